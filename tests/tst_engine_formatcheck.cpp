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

private slots:
    void init();
    void normalForm_data();
    void normalForm();
    void cancelLeavesTheSource();
    void sourcesThatAreKept_data();
    void sourcesThatAreKept();
    void replacementKeepsNameModeAndLink();

private:
    // Writes `input` as the source, runs the check, returns the source's bytes afterwards.
    QByteArray check(const QByteArray& input, Rig& rig, CheckResult* result = nullptr);
    QTemporaryDir m_dir;
};

void TestFormatCheck::init()
{
    CancelRequested.store(kFalse);
}

QByteArray TestFormatCheck::check(const QByteArray& input, Rig& rig, CheckResult* result)
{
    const QString source = m_dir.filePath("cube.obj");
    QFile::remove(source);
    writeAll(source, input);
    rig.files(source, m_dir.filePath("cube_n.obj"));
    const CheckResult outcome = CheckObjFormat(rig.host);
    if (result)
        *result = outcome;
    if (outcome.error)
        qWarning("%s", outcome.error->c_str());
    [&] { QVERIFY2(!QFile::exists(m_dir.filePath("cube_n.obj")), "nothing at the destination path"); }();
    [&] { QCOMPARE(QDir(m_dir.path()).entryList({".*"}, QDir::Files | QDir::Hidden), QStringList()); }();
    return readAll(source);
}

void TestFormatCheck::normalForm_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("chunks");
    const auto row = [](const char* name, const QByteArray& input, const QByteArray& output, int chunks = 1) {
        QTest::newRow(name) << input << output << chunks;
    };
    row("LF", "v 1 2 3\nf 1 2 3\n", "v 1 2 3\r\nf 1 2 3\r\n");
    row("CR", "v 1 2 3\rf 1 2 3\r", "v 1 2 3\r\nf 1 2 3\r\n");
    row("LF CR is two breaks", "a\n\rb", "a\r\n\r\nb");
    row("CR CR LF", "a\r\r\nb", "a\r\n\r\nb");
    row("no final line end stays so", "a\nb", "a\r\nb");
    row("#IND", "v 1.#IND 0 0\nvn -1.#IND00 0 1\n# #IND\n", "v 1.0 0 0\r\nvn -1.000 0 1\r\n# 0\r\n");
    row("#ind kept", "v 1.#ind 0 0\r\n", "v 1.#ind 0 0\r\n");
    row("overlapping #", "##IND#IN#\n", "#0#IN#\r\n");
    row("other bytes untouched", QByteArray("\0\xff\n", 3), QByteArray("\0\xff\r\n", 4));
    row("empty", "", "", 0);
    // Chunks are 4,096 bytes, the last up to 4,097; what straddles two comes out as if in one.
    const QByteArray x(4094, 'x'), y(4000, 'y');
    row("CR LF across chunks", x + "x\r\n" + y, x + "x\r\n" + y, 2);
    row("#IND across chunks", x + "#IND" + y, x + "0" + y, 2);
    row("CR at the very end", x + "xx\r", x + "xx\r\n");
    row("4,097 bytes are one chunk", x + "xx\n", x + "xx\r\n");
    row("4,098 bytes are two", x + "xxx\n", x + "xxx\r\n", 2);
    row("2 x 4,096 + 4,097 are three", QByteArray(3 * 4096, '\n') + "#",
        QByteArray("\r\n").repeated(3 * 4096) + "#", 3);
}

void TestFormatCheck::normalForm()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QFETCH(int, chunks);
    Rig rig;
    QCOMPARE(check(input, rig), output);
    QCOMPARE(rig.events.yields, long(chunks));
    if (chunks == 0)
        return;
    QCOMPARE(rig.status.caption, std::string("Convert"));
    QCOMPARE(rig.status.labels, std::vector<std::string>{"Checking OBJ file format ..."});
    QCOMPARE(rig.status.min, 1.0f);
    QCOMPARE(rig.status.max, float(input.size()));
    std::vector<float> positions;
    for (int i = 0; i < chunks; ++i)
        positions.push_back(float(1 + 4096 * i));
    QCOMPARE(rig.status.values, positions);
    QVERIFY(!rig.status.visible);
}

void TestFormatCheck::cancelLeavesTheSource()
{
    const QByteArray input = QByteArray(3 * 4096, 'x') + "\n#IND\n";
    Rig rig;
    rig.cancelAt(2);
    CheckResult result;
    QCOMPARE(check(input, rig, &result), input);
    QVERIFY(result.cancelled);
    QCOMPARE(rig.events.yields, 2L);
    QCOMPARE(rig.status.labelText, std::string("Checking OBJ file format ...cancel"));
    QVERIFY(!rig.status.visible);
}

void TestFormatCheck::sourcesThatAreKept_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char* name, const char* how, const char* reason) {
        QTest::newRow(name) << QString(how) << QString(reason);
    };
    row("already in normal form", "normal", "");
    row("no write bits", "read-only", "the source file is read-only");
    row("read-only folder", "folder", "the source file's folder is read-only");
    // A replacement would leave the other name with the old file.
    row("second hard link", "link",
        "the source file has further hard links, which a replacement would cut off");
}

// A source that is not rewritten is not touched at all, and converts to what its normal form gives.
void TestFormatCheck::sourcesThatAreKept()
{
    QFETCH(QString, how);
    QFETCH(QString, reason);
    const QByteArray normal = "# x\r\nv 1.0 2 3\r\nv 4 5 6\r\n\r\nf 1 2 3 4";
    const QByteArray input =
        how == "normal" ? normal : QByteArray("# x\rv 1.#IND 2 3\nv 4 5 6\r\n\nf 1 2 3 4");
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("in"));
    const QString source = dir.filePath("in/cube.obj");
    const QByteArray folder = QFile::encodeName(dir.filePath("in"));
    QVERIFY(writeAll(source, input));
    if (how == "link")
        QCOMPARE(::link(QFile::encodeName(source).constData(), folder + "/hard.obj"), 0);
    QCOMPARE(::chmod(QFile::encodeName(source).constData(), how == "read-only" ? 0444 : 0644), 0);
    QCOMPARE(::chmod(folder.constData(), how == "folder" ? 0555 : 0755), 0);
    struct stat before = {}, after = {};
    QCOMPARE(::stat(QFile::encodeName(source).constData(), &before), 0);
    Rig rig;
    rig.options.split = Checked;
    rig.files(source, dir.filePath("out.obj"));
    const CheckResult result = CheckObjFormat(rig.host);
    ::chmod(folder.constData(), 0755);
    QVERIFY(!result.error && !result.rewritten);
    QCOMPARE(QString::fromStdString(result.keptReason), reason);
    QCOMPARE(readAll(source), input);
    QCOMPARE(::stat(QFile::encodeName(source).constData(), &after), 0);
    QVERIFY(after.st_ino == before.st_ino && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);

    QVERIFY(!ConvertMesh(rig.host).error);
    QVERIFY(writeAll(dir.filePath("normal.obj"), normal));
    rig.files(dir.filePath("normal.obj"), dir.filePath("reference.obj"));
    QVERIFY(!ConvertMesh(rig.host).error);
    QCOMPARE(readAll(dir.filePath("out.obj")), readAll(dir.filePath("reference.obj")));
}

void TestFormatCheck::replacementKeepsNameModeAndLink()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("Meshes"));
    const QString target = dir.filePath("Meshes/Cube.Obj");
    QVERIFY(writeAll(target, "v 1 2 3\n"));
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    QVERIFY(QFile::link(target, dir.filePath("link.obj")));
    Rig rig;
    rig.files(dir.filePath("LINK.OBJ"), dir.filePath("out.obj")); // in other letter case than on disk
    QVERIFY(CheckObjFormat(rig.host).rewritten);
    QVERIFY(QFileInfo(dir.filePath("link.obj")).isSymLink());
    QCOMPARE(readAll(target), QByteArray("v 1 2 3\r\n"));
    QCOMPARE(QDir(dir.filePath("Meshes")).entryList(QDir::Files | QDir::Hidden), QStringList{"Cube.Obj"});
    struct stat info = {};
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);
}

QTEST_GUILESS_MAIN(TestFormatCheck)
#include "tst_engine_formatcheck.moc"
