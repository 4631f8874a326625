#include "path/filedescriptor.h"

#include <QTest>

using jf::FileDescriptor;

namespace {

QByteArray qb(const std::string& text)
{
    return QByteArray::fromStdString(text);
}

} // namespace

// The parts that the Convert command builds the destination's name from. That the parts are
// trimmed, upper case and free of separators whatever the input is the path fuzz target's to check.
class TestFileDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArrayList>("parts"); // drive, directory, file, extension, path
        const auto row = [](const char* name, const QByteArray& input, const QByteArrayList& parts) {
            QTest::newRow(name) << input << parts;
        };
        row("full path", "/Models/cube.obj", {"", "/MODELS", "CUBE", "OBJ", "/MODELS/CUBE.OBJ"});
        row("no dot", "/Models/Sub", {"", "/MODELS/SUB", "", "", "/MODELS/SUB"});
        row("trailing slash", "/Models/", {"", "/MODELS/", "", "", "/MODELS/"});
        row("root", "/", {"", "/", "", "", "/"});
        row("double slash", "//server/share/cube.obj",
            {"", "//SERVER/SHARE", "CUBE", "OBJ", "//SERVER/SHARE/CUBE.OBJ"});
        // A relative path's first level is dropped.
        row("relative", "dir/sub/cube.obj", {"", "/SUB", "CUBE", "OBJ", "/SUB/CUBE.OBJ"});
        row("bare file name", "cube.obj", {"", "", "CUBE", "OBJ", "/CUBE.OBJ"});
        row("empty", "", {"", "", "", "", ""});
        row("two dots", "/m/a.b.obj", {"", "/M", "A.B", "OBJ", "/M/A.B.OBJ"});
        row("dot after last slash", "/m/.obj", {"", "/M", "", "OBJ", "/M/.OBJ"});
        row("trailing dot", "/m/cube.", {"", "/M", "CUBE", "", "/M/CUBE"});
        // A dot in a folder name is no extension dot; taken as one, the file name's length would
        // come out negative.
        row("dotted folder", "/my.dir/cube", {"", "/MY.DIR/CUBE", "", "", "/MY.DIR/CUBE"});
        row("colon and dot", "/a.b:c", {"", "", "A", "B:C", "/A.B:C"});
        row("backslashes are ordinary", R"(/m\x/cube.obj)",
            {"", R"(/M\X)", "CUBE", "OBJ", R"(/M\X/CUBE.OBJ)"});
        // Parts lose their surrounding blanks (not tabs) and are held in upper case, by full case
        // mapping; bytes that are not UTF-8 stay as they are.
        row("blanks around parts", "   /m/ cube .obj   ", {"", "/M", "CUBE", "OBJ", "/M/CUBE.OBJ"});
        row("inner blanks and tabs kept", "/my  m/\tcube.obj",
            {"", "/MY  M", "\tCUBE", "OBJ", "/MY  M/\tCUBE.OBJ"});
        row("letters beyond ASCII", "/Stra\u00DFe/\u00E9t\u00E9.obj",
            {"", "/STRASSE", "\u00C9T\u00C9", "OBJ", "/STRASSE/\u00C9T\u00C9.OBJ"});
        row("bytes that are not UTF-8", "/caf\xE9/ab\xC3.obj",
            {"", "/CAF\xE9", "AB\xC3", "OBJ", "/CAF\xE9/AB\xC3.OBJ"});
        // A zero-width no-break space is a character of the name like any other, also where it
        // starts a run of UTF-8 (after a byte that is not UTF-8, or at the start of a part).
        const QByteArray zw = "\xEF\xBB\xBF";
        row("zero-width no-break space kept", "/m/" + zw + "a\xFF" + zw + "b.obj",
            {"", "/M", zw + "A\xFF" + zw + "B", "OBJ", "/M/" + zw + "A\xFF" + zw + "B.OBJ"});
        QByteArray deep;
        while (deep.size() < 100'000)
            deep += "/level";
        const QByteArray name(100'000, 'n');
        row("deep folders and a long name", deep + "/" + name + ".obj",
            {"", deep.toUpper(), name.toUpper(), "OBJ", deep.toUpper() + "/" + name.toUpper() + ".OBJ"});
    }
    void split()
    {
        QFETCH(QByteArray, input);
        FileDescriptor d;
        d.Split(input.toStdString());
        QTEST(
            QByteArrayList({qb(d.Drive()), qb(d.Directory()), qb(d.File()), qb(d.Extension()), qb(d.Path())}),
            "parts");
    }

    void composing()
    {
        FileDescriptor d;
        d.Split("/models/");
        d.PathSet({}, {}, "cube", "_n");
        QCOMPARE(qb(d.FileName()), QByteArray("CUBE_N"));
        d.setExtension("obj");
        // A directory ending in a separator is joined to the file name without merging separators.
        QCOMPARE(qb(d.Path()), QByteArray("/MODELS//CUBE_N.OBJ"));
        d.PathSet({}, "", {}, "", ""); // given empty texts are stored, omitted parts are kept
        QCOMPARE(qb(d.Path()), QByteArray("/CUBE"));
        d.iFile = 3;
        d.Clear();
        QVERIFY(d.iFile == 0 && d.Path().empty());
    }
};

QTEST_APPLESS_MAIN(TestFileDescriptor)
#include "tst_path_filedescriptor.moc"
