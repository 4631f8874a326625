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
    void setters_data();
    void setters();
    void composingAndResetting();
    void longPaths_data();
    void longPaths();
};

void TestFileDescriptor::split_data()
{
    QTest::addColumn<bool>("posix");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArrayList>("parts"); // drive, directory, file, extension, path

    // Each drive-letter row with a backslash is also run in the Posix style, slashes for backslashes:
    // there the drive is just the first level of a relative path, which is dropped, and the rest
    // must split the same way.
    const auto row = [](const char* name, const char* input, const QByteArrayList& parts) {
        QTest::newRow(name) << false << QByteArray(input) << parts;
        if (!QByteArray(input).contains('\\'))
            return;
        QByteArrayList posixParts{""};
        for (QByteArray part : parts.mid(1))
            posixParts << part.replace('\\', '/');
        posixParts.last().remove(0, parts[0].size());
        QTest::newRow(QByteArray("posix: ").append(name))
            << true << QByteArray(input).replace('\\', '/') << posixParts;
    };
    const auto posixRow = [](const char* name, const char* input, const QByteArrayList& parts) {
        QTest::newRow(QByteArray("posix: ").append(name)) << true << QByteArray(input) << parts;
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
    row("blanks around parts", R"(   c:\m\ cube .obj   )",
        {"C:", R"(\M)", "CUBE", "OBJ", R"(C:\M\CUBE.OBJ)"});
    // A dot in a folder or drive name is no extension dot.
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
    QVERIFY(d.FileS().empty());
    QVERIFY2(d.isEmpty() == (parts[2].isEmpty() && parts[3].isEmpty()),
             "isEmpty must be true exactly when no file name was split off");
}

void TestFileDescriptor::setters_data()
{
    QTest::addColumn<QByteArray>("given");
    QTest::addColumn<QByteArray>("stored");

    QTest::newRow("blanks trimmed") << QByteArray("  obj  ") << QByteArray("OBJ");
    QTest::newRow("inner blanks kept") << QByteArray(" my  cube ") << QByteArray("MY  CUBE");
    QTest::newRow("tabs are not blanks") << QByteArray("\tobj\t") << QByteArray("\tOBJ\t");
    QTest::newRow("e acute") << QByteArray("\u00E9t\u00E9") << QByteArray("\u00C9T\u00C9");
    QTest::newRow("sharp s grows") << QByteArray("stra\u00DFe") << QByteArray("STRASSE");
    QTest::newRow("invalid byte kept") << QByteArray("caf\xE9 ") << QByteArray("CAF\xE9");
    QTest::newRow("cut-off sequence kept") << QByteArray("ab\xC3") << QByteArray("AB\xC3");
}

void TestFileDescriptor::setters()
{
    QFETCH(QByteArray, given);
    QFETCH(QByteArray, stored);
    const std::string_view text = view(given);

    FileDescriptor d;
    d.setDrive(text);
    d.setDirectory(text);
    d.setFile(text);
    d.setFileS(text);
    d.setExtension(text);
    FileDescriptor set;
    set.PathSet(text, text, text, text, text);
    for (const FileDescriptor* x : {&d, &set})
        QCOMPARE(QByteArrayList(
                     {qb(x->Drive()), qb(x->Directory()), qb(x->File()), qb(x->FileS()), qb(x->Extension())}),
                 QByteArrayList(5, stored));
}

void TestFileDescriptor::composingAndResetting()
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

    d.iFile = 7;
    d.Split("sphere");
    QCOMPARE(d.iFile, 0);
    QVERIFY2(qb(d.Path()) == R"(\SPHERE)" && d.Drive().empty(),
             "a second Split must leave nothing of the first");
    d.iFile = 3;
    d.Clear();
    QVERIFY(d.iFile == 0 && d.Path().empty());
}

void TestFileDescriptor::longPaths_data()
{
    QTest::addColumn<bool>("posix");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("directoryLength");
    QTest::addColumn<int>("fileLength");

    constexpr int kLength = 100'000;
    QByteArray deep;
    while (deep.size() < kLength)
        deep += "/level";
    QTest::newRow("posix: deep folders") << true << deep + "/cube.obj" << int(deep.size()) << 4;
    QTest::newRow("drive: deep folders")
        << false << "c:" + QByteArray(deep).replace('/', '\\') + "\\cube.obj" << int(deep.size()) << 4;
    QTest::newRow("posix: long file name")
        << true << "/m/" + QByteArray(kLength, 'n') + ".obj" << 2 << kLength;
}

void TestFileDescriptor::longPaths()
{
    QFETCH(bool, posix);
    QFETCH(QByteArray, input);
    QFETCH(int, directoryLength);
    QFETCH(int, fileLength);

    FileDescriptor d(posix ? PathStyle::Posix : PathStyle::DriveLetter);
    d.Split(view(input));
    QCOMPARE(d.Directory().size(), std::size_t(directoryLength));
    QCOMPARE(d.File().size(), std::size_t(fileLength));
    QVERIFY2(qb(d.Path()) == input.toUpper(), "a long path must come back whole");
}

QTEST_APPLESS_MAIN(TestFileDescriptor)
#include "tst_path_filedescriptor.moc"
