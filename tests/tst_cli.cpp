#include "enginefakes.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace jf::test;

// The command line as a user runs it: the real executable, real files, exit statuses and messages.
class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void goldenOutput();
    void exitStatuses_data();
    void exitStatuses();
    void existingDestination();
    void interruptKeepsCompleteLines();

private:
    struct Run
    {
        int status = -1;
        QByteArray out;
        QByteArray err;
    };
    Run run(const QStringList& arguments, const QString& folder);
};

TestCli::Run TestCli::run(const QStringList& arguments, const QString& folder)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(JITTERFORM_CLI, arguments);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        process.kill();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// A small input with every kind of record, converted with a fixed day and compared byte for byte
// with an output that was checked by hand (worked_vertex.py beside it recomputes one vertex line).
void TestCli::goldenOutput()
{
    // An unnoticed edit to the golden files fails here, not as a puzzling difference below.
    for (const QByteArray& line : readAll(TEST_DATA_DIR "/golden/SHA256SUMS").trimmed().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        const QByteArray sum = QCryptographicHash::hash(readAll(TEST_DATA_DIR "/golden/" + fields[1]),
                                                        QCryptographicHash::Sha256);
        QCOMPARE(sum.toHex(), fields[0]);
    }
    QTemporaryDir dir;
    QVERIFY(QFile::copy(TEST_DATA_DIR "/golden/every_record.obj", dir.filePath("every_record.obj")));
    QFile::setPermissions(dir.filePath("every_record.obj"), QFile::ReadOwner | QFile::WriteOwner);
    const Run result = run({"--day", "45000", "-n", "-s", "-q", "every_record.obj"}, dir.path());
    QVERIFY2(result.status == 0, result.err.constData());
    QCOMPARE(readAll(dir.filePath("every_record_n.obj")),
             readAll(TEST_DATA_DIR "/golden/every_record_n.obj"));
    QVERIFY(result.out.isEmpty());
    // The source now holds CR LF line ends and no "#IND".
    QByteArray normal = readAll(TEST_DATA_DIR "/golden/every_record.obj");
    normal.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n").replace("#IND", "0");
    QCOMPARE(readAll(dir.filePath("every_record.obj")), normal);

    // The summary line says what was done, and with --keep-source the output is the same.
    QFile::remove(dir.filePath("every_record_n.obj"));
    QVERIFY(writeAll(dir.filePath("every_record.obj"), readAll(TEST_DATA_DIR "/golden/every_record.obj")));
    const Run kept =
        run({"--day", "45000", "-n", "-s", "--keep-source", "every_record.obj", "out"}, dir.path());
    QVERIFY2(kept.status == 0, kept.err.constData());
    QCOMPARE(readAll(dir.filePath("out.obj")), readAll(TEST_DATA_DIR "/golden/every_record_n.obj"));
    QCOMPARE(readAll(dir.filePath("every_record.obj")), readAll(TEST_DATA_DIR "/golden/every_record.obj"));
    QVERIFY2(kept.out.contains("out.obj: 6 vertices and 2 normals noised, 2 quads split; amplitude "
                               "0.30000000000000004, day 45000"),
             kept.out.constData());
}

void TestCli::exitStatuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("stdoutHas");
    QTest::addColumn<QByteArray>("stderrHas");
    QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("Jitterform 0.1 build 8\n")
                             << QByteArray();
    QTest::newRow("help") << QStringList{"--help"} << 0
                          << QByteArray("Usage: jitterform-cli [options] SOURCE [DESTINATION]") << QByteArray();
    QTest::newRow("no source") << QStringList{} << 2 << QByteArray() << QByteArray("SOURCE");
    QTest::newRow("unknown option") << QStringList{"--bogus", "a.obj"} << 2 << QByteArray()
                                    << QByteArray("bogus");
    QTest::newRow("unknown type") << QStringList{"-t", "pink", "a.obj"} << 2 << QByteArray()
                                  << QByteArray("pink");
    QTest::newRow("bad axes") << QStringList{"-a", "xw", "a.obj"} << 2 << QByteArray() << QByteArray("xw");
    QTest::newRow("bad day") << QStringList{"--day", "soon", "a.obj"} << 2 << QByteArray()
                             << QByteArray("soon");
    QTest::newRow("missing source") << QStringList{"gone.obj"} << 1 << QByteArray()
                                    << QByteArray("Problem: Can't locate the source file ");
    QTest::newRow("a leading dash after --")
        << QStringList{"--", "-odd.obj"} << 1 << QByteArray() << QByteArray("/-odd.obj");
    QTest::newRow("same file") << QStringList{"a.obj", "A.OBJ"} << 1 << QByteArray()
                               << QByteArray("Problem: The source and destination files are the same.");
    QTest::newRow("failure") << QStringList{"bad.obj"} << 1 << QByteArray()
                             << QByteArray("bad.obj, line 1: a vertex needs three coordinates");
    QTest::newRow("no axes noised") << QStringList{"-a", "none", "-q", "a.obj"} << 0 << QByteArray()
                                    << QByteArray();
}

void TestCli::exitStatuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, stdoutHas);
    QFETCH(QByteArray, stderrHas);
    QTemporaryDir dir;
    writeAll(dir.filePath("a.obj"), "v 1 2 3\n");
    writeAll(dir.filePath("bad.obj"), "v 1 2\n");
    const Run result = run(arguments, dir.path());
    QVERIFY2(result.status == status, result.err.constData());
    QVERIFY2(result.out.contains(stdoutHas), result.out.constData());
    QVERIFY2(result.err.contains(stderrHas), result.err.constData());
    if (status != 0)
        QVERIFY(!QFile::exists(dir.filePath("bad_n.obj")));
}

void TestCli::existingDestination()
{
    QTemporaryDir dir;
    writeAll(dir.filePath("a.obj"), "v 1 2 3\n");
    writeAll(dir.filePath("a_n.obj"), "mine");
    // Without a terminal to ask on, an existing file is never replaced.
    const Run refused = run({"a.obj"}, dir.path());
    QCOMPARE(refused.status, 1);
    QVERIFY2(refused.err.contains("exists. Overwrite?"), refused.err.constData());
    QCOMPARE(readAll(dir.filePath("a_n.obj")), QByteArray("mine"));
    const Run forced = run({"-f", "-q", "a.obj"}, dir.path());
    QCOMPARE(forced.status, 0);
    QVERIFY(readAll(dir.filePath("a_n.obj")).startsWith("v "));
}

void TestCli::interruptKeepsCompleteLines()
{
    QTemporaryDir dir;
    QByteArray input;
    input.reserve(40 << 20);
    for (int i = 0; input.size() < (40 << 20); ++i)
        input += "v " + QByteArray::number(i) + " 2 3\r\nvt 0.5 0.5\r\n";
    writeAll(dir.filePath("big.obj"), input);
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(JITTERFORM_CLI, {"-q", "--day", "1", "big.obj"});
    QVERIFY(process.waitForStarted());
    // Interrupt once the noise pass has written something.
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo(dir.filePath("big_n.obj")).size() > 0 || process.state() != QProcess::Running, 30000);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(30000));
    if (process.exitCode() == 0)
        QSKIP("the conversion finished before the interrupt arrived");
    QCOMPARE(process.exitCode(), 130);
    const QByteArray out = readAll(dir.filePath("big_n.obj"));
    QVERIFY(out.endsWith("\r\n"));
    QVERIFY(out.size() < input.size());
    QCOMPARE(readAll(dir.filePath("big.obj")), input);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
