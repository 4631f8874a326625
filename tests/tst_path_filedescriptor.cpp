#include "bytes.h"
#include "path/filedescriptor.h"

#include <QTest>

using jf::FileDescriptor;
using jf::test::qb;

// The parts that the Convert command builds the destination's name from. That the parts are
// trimmed, upper case and free of separators whatever the input, and that the drive stays empty in
// this path style, is the path fuzz target's to check.
class TestFileDescriptor : public QObject
{
    Q_OBJECT

private slots:
    void split_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArrayList>("parts"); // directory, file, extension, path
        const auto row = [](const char* name, const QByteArray& input, const QByteArrayList& parts) {
            QTest::newRow(name) << input << parts;
        };
        row("full path", "/Models/cube.obj", {"/MODELS", "CUBE", "OBJ", "/MODELS/CUBE.OBJ"});
        row("trailing slash", "/Models/", {"/MODELS/", "", "", "/MODELS/"});
        row("double slash", "//server/share/cube.obj",
            {"//SERVER/SHARE", "CUBE", "OBJ", "//SERVER/SHARE/CUBE.OBJ"});
        // A relative path's first level is dropped.
        row("relative", "dir/sub/cube.obj", {"/SUB", "CUBE", "OBJ", "/SUB/CUBE.OBJ"});
        row("bare file name", "cube.obj", {"", "CUBE", "OBJ", "/CUBE.OBJ"});
        row("empty", "", {"", "", "", ""});
        row("two dots", "/m/a.b.obj", {"/M", "A.B", "OBJ", "/M/A.B.OBJ"});
        row("dot after last slash", "/m/.obj", {"/M", "", "OBJ", "/M/.OBJ"});
        row("trailing dot", "/m/cube.", {"/M", "CUBE", "", "/M/CUBE"});
        // A dot in a folder name is no extension dot; taken as one, the file name's length would
        // come out negative.
        row("dotted folder", "/my.dir/cube", {"/MY.DIR/CUBE", "", "", "/MY.DIR/CUBE"});
        row("colon and dot", "/a.b:c", {"", "A", "B:C", "/A.B:C"});
        row("backslashes are ordinary", R"(/m\x/cube.obj)", {R"(/M\X)", "CUBE", "OBJ", R"(/M\X/CUBE.OBJ)"});
        // Blanks around a part are dropped; tabs are not, nor blanks within it.
        row("inner blanks and tabs kept", "/my  m/\tcube.obj",
            {"/MY  M", "\tCUBE", "OBJ", "/MY  M/\tCUBE.OBJ"});
        // A zero-width no-break space is a character of the name like any other, also where it
        // starts a run of UTF-8 (after a byte that is not UTF-8, or at the start of a part).
        const QByteArray zw = "\xEF\xBB\xBF";
        row("zero-width no-break space kept", "/m/" + zw + "a\xFF" + zw + "b.obj",
            {"/M", zw + "A\xFF" + zw + "B", "OBJ", "/M/" + zw + "A\xFF" + zw + "B.OBJ"});
        QByteArray deep;
        while (deep.size() < 100'000)
            deep += "/level";
        const QByteArray name(100'000, 'n');
        row("deep folders and a long name", deep + "/" + name + ".obj",
            {deep.toUpper(), name.toUpper(), "OBJ", deep.toUpper() + "/" + name.toUpper() + ".OBJ"});
    }
    void split()
    {
        QFETCH(QByteArray, input);
        FileDescriptor d;
        d.Split(input.toStdString());
        QTEST(QByteArrayList({qb(d.Directory()), qb(d.File()), qb(d.Extension()), qb(d.Path())}), "parts");
    }
};

QTEST_APPLESS_MAIN(TestFileDescriptor)
#include "tst_path_filedescriptor.moc"
