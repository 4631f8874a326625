#include "path/filedescriptor.h"

#include <QTest>

using jf::FileDescriptor;
using jf::PathStyle;

namespace {

QByteArray qb(const std::string& text)
{
    return QByteArray::fromStdString(text);
}

std::string_view view(const QByteArray& bytes)
{
    return std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace

class TestFileDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void composing();
};

void TestFileDescriptor::split_data()
{
    QTest::addColumn<bool>("posix");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArrayList>("parts"); // drive, directory, file, extension, path

    // Each drive-letter row with a backslash is also run in the Posix style, slashes for backslashes:
    // there the drive is just the first level of a relative path, which is dropped, and the rest
    // must split the same way.
    const auto row = [](const char* name, const QByteArray& input, const QByteArrayList& parts) {
        QTest::newRow(name) << false << input << parts;
        if (!input.contains('\\'))
            return;
        QByteArrayList posixParts{""};
        for (QByteArray part : parts.mid(1))
            posixParts << part.replace('\\', '/');
        posixParts.last().remove(0, parts[0].size());
        QTest::newRow(QByteArray("posix: ").append(name))
            << true << QByteArray(input).replace('\\', '/') << posixParts;
    };
    const auto posixRow = [](const char* name, const QByteArray& input, const QByteArrayList& parts) {
        QTest::newRow(QByteArray("posix: ").append(name)) << true << input << parts;
    };

    row("full path", R"(C:\Models\cube.obj)", {"C:", R"(\MODELS)", "CUBE", "OBJ", R"(C:\MODELS\CUBE.OBJ)"});
    row("one backslash", R"(C:\cube.obj)", {"C:", "", "CUBE", "OBJ", R"(C:\CUBE.OBJ)"});
    row("no dot", R"(C:\Models\Sub)", {"C:", R"(\MODELS\SUB)", "", "", R"(C:\MODELS\SUB)"});
    row("trailing backslash", R"(C:\Models\)", {"C:", R"(\MODELS\)", "", "", R"(C:\MODELS\)"});
    row("root", R"(C:\)", {"C:", R"(\)", "", "", R"(C:\)"});
    row("bare drive", "C:", {"C:", R"(\)", "", "", R"(C:\)"});
    row("drive-relative file", "C:cube.obj", {"C:", "", "CUBE", "OBJ", R"(C:\CUBE.OBJ)"});
    row("drive-relative folder", "C:cube", {"C:", R"(\CUBE)", "", "", R"(C:\CUBE)"});
    row("network path", R"(\\server\share\dir\cube.obj)",
        {"", R"(\\SERVER\SHARE\DIR)", "CUBE", "OBJ", R"(\\SERVER\SHARE\DIR\CUBE.OBJ)"});
    row("relative, one level", R"(dir\cube.obj)", {"", "", "CUBE", "OBJ", R"(\CUBE.OBJ)"});
    row("relative, two levels", R"(dir\sub\cube.obj)", {"", R"(\SUB)", "CUBE", "OBJ", R"(\SUB\CUBE.OBJ)"});
    row("bare file name", "cube.obj", {"", "", "CUBE", "OBJ", R"(\CUBE.OBJ)"});
    row("bare name", "cube", {"", "", "CUBE", "", R"(\CUBE)"});
    row("empty", "", {"", "", "", "", ""});
    row("two dots", R"(C:\m\a.b.obj)", {"C:", R"(\M)", "A.B", "OBJ", R"(C:\M\A.B.OBJ)"});
    row("dot after last backslash", R"(C:\m\.obj)", {"C:", R"(\M)", "", "OBJ", R"(C:\M\.OBJ)"});
    row("trailing dot", R"(C:\m\cube.)", {"C:", R"(\M)", "CUBE", "", R"(C:\M\CUBE)"});
    // Parts lose their surrounding blanks (not tabs) and are held in upper case, by full case mapping;
    // bytes that are not UTF-8 stay as they are.
    row("blanks around parts", R"(   c:\m\ cube .obj   )",
        {"C:", R"(\M)", "CUBE", "OBJ", R"(C:\M\CUBE.OBJ)"});
    row("inner blanks and tabs kept", "C:\\my  m\\\tcube.obj",
        {"C:", "\\MY  M", "\tCUBE", "OBJ", "C:\\MY  M\\\tCUBE.OBJ"});
    row("letters beyond ASCII", "C:\\Stra\u00DFe\\\u00E9t\u00E9.obj",
        {"C:", "\\STRASSE", "\u00C9T\u00C9", "OBJ", "C:\\STRASSE\\\u00C9T\u00C9.OBJ"});
    row("bytes that are not UTF-8", "C:\\caf\xE9\\ab\xC3.obj",
        {"C:", "\\CAF\xE9", "AB\xC3", "OBJ", "C:\\CAF\xE9\\AB\xC3.OBJ"});
    // A dot in a folder or drive name is no extension dot; taken as one, the file name's length
    // would come out negative.
    row("dotted folder", R"(C:\my.dir\cube)", {"C:", R"(\MY.DIR\CUBE)", "", "", R"(C:\MY.DIR\CUBE)"});
    row("dotted folder, trailing backslash", R"(C:\my.dir\)", {"C:", R"(\MY.DIR\)", "", "", R"(C:\MY.DIR\)"});
    row("dotted relative folder", R"(my.dir\cube)", {"", R"(\CUBE)", "", "", R"(\CUBE)"});
    row("dot before colon", "a.b:c", {"A.B:", R"(\C)", "", "", R"(A.B:\C)"});
    row("slashes are ordinary", "C:/m/cube.obj", {"C:", "", "/M/CUBE", "OBJ", R"(C:\/M/CUBE.OBJ)"});

    posixRow("colon alone", "C:", {"", "", "C:", "", "/C:"});
    posixRow("colon in a file name", "C:cube.obj", {"", "", "C:CUBE", "OBJ", "/C:CUBE.OBJ"});
    posixRow("colon in a name", "C:cube", {"", "", "C:CUBE", "", "/C:CUBE"});
    posixRow("dot before colon", "a.b:c", {"", "", "A", "B:C", "/A.B:C"});
    posixRow("bare file name", "cube.obj", {"", "", "CUBE", "OBJ", "/CUBE.OBJ"});
    posixRow("backslashes are ordinary", R"(/m\x/cube.obj)",
             {"", R"(/M\X)", "CUBE", "OBJ", R"(/M\X/CUBE.OBJ)"});

    QByteArray deep;
    while (deep.size() < 100'000)
        deep += "/level";
    const QByteArray longName(100'000, 'n');
    const QByteArray deepUpper = deep.toUpper().replace('/', '\\');
    row("deep folders", "c:" + QByteArray(deep).replace('/', '\\') + "\\cube.obj",
        {"C:", deepUpper, "CUBE", "OBJ", "C:" + deepUpper + "\\CUBE.OBJ"});
    posixRow("long file name", "/m/" + longName + ".obj",
             {"", "/M", longName.toUpper(), "OBJ", "/M/" + longName.toUpper() + ".OBJ"});
}

void TestFileDescriptor::split()
{
    QFETCH(bool, posix);
    QFETCH(QByteArray, input);
    QFETCH(QByteArrayList, parts);

    FileDescriptor d(posix ? PathStyle::Posix : PathStyle::DriveLetter);
    d.Split(view(input));
    QCOMPARE(
        QByteArrayList({qb(d.Drive()), qb(d.Directory()), qb(d.File()), qb(d.Extension()), qb(d.Path())}),
        parts);
}

void TestFileDescriptor::composing()
{
    FileDescriptor d(PathStyle::DriveLetter);
    d.Split(R"(C:\models\)");
    d.PathSet({}, {}, "cube", "_n");
    QCOMPARE(qb(d.FileName()), QByteArray("CUBE_N"));
    d.setExtension("obj");
    QVERIFY2(d.Path() == R"(C:\MODELS\\CUBE_N.OBJ)",
             "a directory ending in a separator is joined to the file name without merging separators");
    d.PathSet({}, "models");
    QVERIFY2(d.Path() == R"(C:MODELS\CUBE_N.OBJ)", "no separator is put between drive and directory");
    d.PathSet({}, "", {}, "", "");
    QVERIFY2(d.Path() == R"(C:\CUBE)", "given empty texts are stored, omitted parts are kept");
    d.iFile = 3;
    d.Clear();
    QVERIFY(d.iFile == 0 && d.Path().empty());
}

QTEST_APPLESS_MAIN(TestFileDescriptor)
#include "tst_path_filedescriptor.moc"
