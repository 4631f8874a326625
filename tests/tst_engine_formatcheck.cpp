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
    void chunksAndProgress_data();
    void chunksAndProgress();
    void normalSourceIsNotWritten();
    void cancelLeavesTheSource();
    void sourcesThatAreKept_data();
    void sourcesThatAreKept();
    void replacementKeepsNameModeAndLinks();
    void missingDestinationFolderStopsFirst();
    void keptSourceConvertsTheSame();

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
    rig.options.source = bytes(source);
    rig.options.destination = bytes(m_dir.filePath("cube_n.obj"));
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
    QTest::newRow("LF") << QByteArray("v 1 2 3\nf 1 2 3\n") << QByteArray("v 1 2 3\r\nf 1 2 3\r\n");
    QTest::newRow("CR") << QByteArray("v 1 2 3\rf 1 2 3\r") << QByteArray("v 1 2 3\r\nf 1 2 3\r\n");
    QTest::newRow("LF CR is two breaks") << QByteArray("a\n\rb") << QByteArray("a\r\n\r\nb");
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << QByteArray("a\r\n\r\nb");
    QTest::newRow("no final line end stays so") << QByteArray("a\nb") << QByteArray("a\r\nb");
    QTest::newRow("#IND") << QByteArray("v 1.#IND 0 0\nvn -1.#IND00 0 1\n# #IND\n")
                          << QByteArray("v 1.0 0 0\r\nvn -1.000 0 1\r\n# 0\r\n");
    QTest::newRow("#ind kept") << QByteArray("v 1.#ind 0 0\r\n") << QByteArray("v 1.#ind 0 0\r\n");
    QTest::newRow("overlapping #") << QByteArray("##IND#IN#\n") << QByteArray("#0#IN#\r\n");
    QTest::newRow("other bytes untouched") << QByteArray("\0\xff\n", 3) << QByteArray("\0\xff\r\n", 4);
}

void TestFormatCheck::normalForm()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    Rig rig;
    QCOMPARE(check(input, rig), output);
}

void TestFormatCheck::chunksAndProgress_data()
{
    // Sequences that straddle a 4,096-byte chunk come out as if the file were one chunk.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("chunks");
    const QByteArray pad(4095, 'x');
    QTest::newRow("CR LF across chunks") << pad + "\r\n" + QByteArray(4000, 'y') << 2;
    QTest::newRow("#IND across chunks") << QByteArray(4094, 'x') + "#IND" + QByteArray(4000, 'y') << 2;
    QTest::newRow("CR at the very end") << QByteArray(4096, 'x') + "\r" << 1;
    QTest::newRow("4,097 bytes are one chunk") << QByteArray(4096, 'x') + "\n" << 1;
    QTest::newRow("4,096 bytes are one chunk") << QByteArray(4095, 'x') + "\n" << 1;
    QTest::newRow("4,098 bytes are two") << QByteArray(4097, 'x') + "\n" << 2;
    QTest::newRow("2 x 4,096 + 4,097 are three") << QByteArray(3 * 4096, '\n') + "#" << 3;
    QTest::newRow("empty") << QByteArray() << 0;
}

void TestFormatCheck::chunksAndProgress()
{
    QFETCH(QByteArray, input);
    QFETCH(int, chunks);
    Rig rig;
    QByteArray expected = input;
    expected.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n").replace("#IND", "0");
    QCOMPARE(check(input, rig), expected);
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

void TestFormatCheck::normalSourceIsNotWritten()
{
    const QString source = m_dir.filePath("normal.obj");
    QVERIFY(writeAll(source, "v 1 2 3\r\nf 1 2 3\r\n"));
    struct stat before
    {
    };
    QCOMPARE(::stat(QFile::encodeName(source).constData(), &before), 0);
    Rig rig;
    rig.options.source = bytes(source);
    rig.options.destination = bytes(m_dir.filePath("out.obj"));
    const CheckResult result = CheckObjFormat(rig.host);
    QVERIFY(!result.error && !result.rewritten);
    struct stat after
    {
    };
    QCOMPARE(::stat(QFile::encodeName(source).constData(), &after), 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

void TestFormatCheck::cancelLeavesTheSource()
{
    const QByteArray input = QByteArray(3 * 4096, 'x') + "\n#IND\n";
    Rig rig;
    rig.events.onYield = [&](long n) {
        if (n == 2)
            pressCancel(rig.status);
    };
    CheckResult result;
    QCOMPARE(check(input, rig, &result), input);
    QVERIFY(result.cancelled);
    QCOMPARE(rig.events.yields, 2L);
    QCOMPARE(rig.status.labelText, std::string("Checking OBJ file format ...cancel"));
    QVERIFY(!rig.status.visible);
}

void TestFormatCheck::sourcesThatAreKept_data()
{
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no write bits") << 0444 << 0755 << "the source file is read-only";
    QTest::newRow("read-only folder") << 0644 << 0555 << "the source file's folder is read-only";
}

void TestFormatCheck::sourcesThatAreKept()
{
    QFETCH(int, fileMode);
    QFETCH(int, folderMode);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString source = dir.filePath("in/cube.obj");
    QVERIFY(QDir(dir.path()).mkdir("in"));
    QVERIFY(writeAll(source, "v 1 2 3\n"));
    QCOMPARE(::chmod(QFile::encodeName(source).constData(), mode_t(fileMode)), 0);
    QCOMPARE(::chmod(QFile::encodeName(dir.filePath("in")).constData(), mode_t(folderMode)), 0);
    Rig rig;
    rig.options.source = bytes(source);
    rig.options.destination = bytes(dir.filePath("out.obj"));
    const CheckResult result = CheckObjFormat(rig.host);
    ::chmod(QFile::encodeName(dir.filePath("in")).constData(), 0755);
    QVERIFY(!result.error && !result.rewritten);
    QCOMPARE(QString::fromStdString(result.keptReason), reason);
    QCOMPARE(readAll(source), QByteArray("v 1 2 3\n"));
}

void TestFormatCheck::replacementKeepsNameModeAndLinks()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("Meshes"));
    const QString target = dir.filePath("Meshes/Cube.Obj");
    QVERIFY(writeAll(target, "v 1 2 3\n"));
    QCOMPARE(::chmod(QFile::encodeName(target).constData(), 0640), 0);
    QVERIFY(QFile::link(target, dir.filePath("link.obj")));
    Rig rig;
    rig.options.source = bytes(dir.filePath("LINK.OBJ")); // the letter case of the name on disk differs
    rig.options.destination = bytes(dir.filePath("out.obj"));
    const CheckResult result = CheckObjFormat(rig.host);
    QVERIFY(result.rewritten);
    QVERIFY(QFileInfo(dir.filePath("link.obj")).isSymLink());
    QCOMPARE(readAll(target), QByteArray("v 1 2 3\r\n"));
    QCOMPARE(QDir(dir.filePath("Meshes")).entryList(QDir::Files | QDir::Hidden), QStringList{"Cube.Obj"});
    struct stat info
    {
    };
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);

    // A source with a second hard link is left alone: a replacement would leave the other name behind.
    QVERIFY(::link(QFile::encodeName(target).constData(),
                   QFile::encodeName(dir.filePath("hard.obj")).constData()) == 0);
    QVERIFY(writeAll(target, "v 1 2 3\n"));
    const CheckResult linked = CheckObjFormat(rig.host);
    QVERIFY(!linked.rewritten && !linked.keptReason.empty());
    QCOMPARE(readAll(dir.filePath("hard.obj")), QByteArray("v 1 2 3\n"));
}

void TestFormatCheck::missingDestinationFolderStopsFirst()
{
    Rig rig;
    const QString source = m_dir.filePath("lf.obj");
    QVERIFY(writeAll(source, "v 1 2 3\n"));
    rig.options.source = bytes(source);
    rig.options.destination = bytes(m_dir.filePath("nowhere/out.obj"));
    const CheckResult result = CheckObjFormat(rig.host);
    QVERIFY(result.error && result.error->find("nowhere/out.obj does not exist") != std::string::npos);
    QCOMPARE(readAll(source), QByteArray("v 1 2 3\n"));
}

// Where the source may not be rewritten, the conversion reads it as it is, to the same output.
void TestFormatCheck::keptSourceConvertsTheSame()
{
    const QByteArray input = "# x\rv 1.#IND 2 3\nv 4 5 6\r\n\nf 1 2 3 4";
    Rig rewritten;
    check(input, rewritten);
    rewritten.options.split = Checked;
    QVERIFY(!ConvertMesh(rewritten.host).error);
    const QByteArray first = readAll(m_dir.filePath("cube_n.obj"));
    QFile::remove(m_dir.filePath("cube_n.obj"));

    QVERIFY(writeAll(m_dir.filePath("cube.obj"), input));
    Rig kept;
    kept.options = rewritten.options;
    kept.host.rewriteSource = false;
    QVERIFY(!CheckObjFormat(kept.host).error);
    QCOMPARE(readAll(m_dir.filePath("cube.obj")), input);
    QVERIFY(!ConvertMesh(kept.host).error);
    QCOMPARE(readAll(m_dir.filePath("cube_n.obj")), first);
    QFile::remove(m_dir.filePath("cube_n.obj"));
}

QTEST_GUILESS_MAIN(TestFormatCheck)
#include "tst_engine_formatcheck.moc"
