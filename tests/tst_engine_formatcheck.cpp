#include "bytes.h"
#include "enginefakes.h"

#include "engine/convert.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace jf;
using namespace jf::test;

class TestFormatCheck : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void init() { CancelRequested.store(kFalse); }

    // Which bytes change over random input is the fuzz target's to check; here what straddles the
    // check's chunks of 4,096 bytes (the last up to 4,097), and what a Cancel leaves. Nothing is made
    // at the destination or beside the source.
    void normalForm_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("cancelAt"); // the yield at which Cancel is pressed; 0: none
        const auto row = [](const char* name, const QByteArray& input, const QByteArray& output,
                            int cancelAt = 0) { QTest::newRow(name) << input << output << cancelAt; };
        row("line ends", "a\n\rb\r\r\nc\rd", "a\r\n\r\nb\r\n\r\nc\r\nd");
        row("#IND, #ind and overlapping #", "v 1.#IND 0 #ind\n##IND#IN#\n", "v 1.0 0 #ind\r\n#0#IN#\r\n");
        row("empty", "", "");
        const QByteArray x(4094, 'x'), y(4000, 'y');
        row("CR LF across chunks", x + "x\r\n" + y, x + "x\r\n" + y);
        row("#IND across chunks", x + "#IND" + y, x + "0" + y);
        row("CR at the very end of one chunk of 4,097", x + "xx\r", x + "xx\r\n");
        // A source in normal form is passed over 64 and then 16 bytes a step: a lone line end, an
        // "#IND" or a pair split by a step is found wherever it lies.
        const QByteArray pairs = QByteArray("xy\r\n").repeated(40);
        row("CR LF pairs, some across a step", "z" + pairs, "z" + pairs);
        for (const int at : {0, 14, 15, 16, 17, 47, 63, 64, 65, 127})
            for (const char* odd : {"\n", "\r", "#IND"}) {
                const QByteArray input = pairs.left(at) + odd + pairs.mid(at);
                QTest::newRow(qPrintable(
                    QString("%1 at %2 among pairs").arg(QByteArray(odd).toPercentEncoding()).arg(at)))
                    << input << test::normalForm(input) << 0;
            }
        const QByteArray late = QByteArray(3 * 4096, 'x') + "\n#IND\n";
        row("a Cancel leaves the source as it was", late, late, 2);
    }
    void normalForm()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, cancelAt);
        const QString source = m_dir.filePath("cube.obj");
        QVERIFY(writeAll(source, input));
        Rig rig;
        rig.files(source, m_dir.filePath("cube_n.obj"));
        if (cancelAt)
            rig.cancelAt(cancelAt);
        const CheckResult result = CheckObjFormat(rig.host);
        QVERIFY(!result.error && result.cancelled == (cancelAt > 0));
        QTEST(readAll(source), "output");
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"cube.obj"});
        QVERIFY(!rig.status.visible);
        if (input.isEmpty())
            return;
        QCOMPARE(rig.status.caption, std::string("Convert"));
        QCOMPARE(rig.status.labels.back(), kCheckLabel + (cancelAt ? "cancel" : ""));
        QVERIFY(rig.status.min == 1.0f && rig.status.max == float(input.size()));
    }

    void sources_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("reason"); // why it was kept; empty: replaced by its normal form
        const auto row = [](const char* name, const char* how, const char* reason) {
            QTest::newRow(name) << QString(how) << QString(reason);
        };
        row("already in normal form", "normal", "");
        row("no write bits", "read-only", "the source file is read-only");
        row("read-only folder", "folder", "the source file's folder is read-only");
        // A replacement would leave the other name with the old file.
        row("second hard link", "link",
            "the source file has further hard links, which a replacement would cut off");
        // The file the link points to is replaced, in its folder and under its name as on disk.
        row("symbolic link, named in other letter case", "symlink", "");
    }
    // A source that is not rewritten is not touched at all, and converts to what its normal form
    // gives; one that is keeps its name, its mode and the links to it.
    void sources()
    {
        QFETCH(QString, how);
        QFETCH(QString, reason);
        // A kept source is converted as it is: its copied records, too, must come out as in the
        // normal form, also one whose #IND is replaced amid CR LF lines.
        const QByteArray normal = "# a\r\n  # x 1.0 #ind\r\nv 1.0 2 3\r\nv 4 5 6\r\n\r\nf 1 2 3 4";
        const QByteArray input =
            how == "normal" ? normal
                            : QByteArray("# a\r\n  # x 1.#IND #ind\r\nv 1.#IND 2 3\rv 4 5 6\n\nf 1 2 3 4");
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("In"));
        const QString source = dir.filePath("In/Cube.Obj");
        const QByteArray folder = QFile::encodeName(dir.filePath("In")), path = QFile::encodeName(source);
        QVERIFY(writeAll(source, input));
        if (how == "link")
            QCOMPARE(::link(path, folder + "/hard.obj"), 0);
        if (how == "symlink")
            QVERIFY(QFile::link(source, dir.filePath("link.obj")));
        QCOMPARE(::chmod(path, how == "read-only" ? 0444 : 0640), 0);
        QCOMPARE(::chmod(folder, how == "folder" ? 0555 : 0755), 0);
        struct stat before = {}, after = {};
        QCOMPARE(::stat(path, &before), 0);
        Rig rig;
        rig.options.split = Checked;
        rig.files(how == "symlink" ? dir.filePath("LINK.OBJ") : source, dir.filePath("out.obj"));
        const CheckResult result = CheckObjFormat(rig.host);
        ::chmod(folder, 0755);
        QVERIFY(!result.error && result.rewritten == (how == "symlink"));
        QCOMPARE(QString::fromStdString(result.keptReason), reason);
        QCOMPARE(::stat(path, &after), 0);
        QCOMPARE(int(after.st_mode & 07777), how == "read-only" ? 0444 : 0640);
        QCOMPARE(QDir(dir.filePath("In")).entryList(QDir::Files | QDir::Hidden),
                 how == "link" ? QStringList({"Cube.Obj", "hard.obj"}) : QStringList({"Cube.Obj"}));
        if (how == "symlink") {
            QVERIFY(QFileInfo(dir.filePath("link.obj")).isSymLink());
            QCOMPARE(readAll(source), normal);
            return;
        }
        QCOMPARE(readAll(source), input);
        QVERIFY(after.st_ino == before.st_ino && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);
        QVERIFY(!ConvertMesh(rig.host).error);
        QVERIFY(writeAll(dir.filePath("normal.obj"), normal));
        rig.files(dir.filePath("normal.obj"), dir.filePath("reference.obj"));
        QVERIFY(!ConvertMesh(rig.host).error);
        QCOMPARE(readAll(dir.filePath("out.obj")), readAll(dir.filePath("reference.obj")));
    }
};

QTEST_GUILESS_MAIN(TestFormatCheck)
#include "tst_engine_formatcheck.moc"
