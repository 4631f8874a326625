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
    const QString golden = TEST_DATA_DIR "/golden/";
    for (const QByteArray& line : readAll(golden + "SHA256SUMS").trimmed().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        QCOMPARE(QCryptographicHash::hash(readAll(golden + fields[1]), QCryptographicHash::Sha256).toHex(),
                 fields[0]);
    }
    const QByteArray input = readAll(golden + "every_record.obj"),
                     expected = readAll(golden + "every_record_n.obj");
    QTemporaryDir dir;
    QVERIFY(writeAll(dir.filePath("every_record.obj"), input));
    const Run result = run({"--day", "45000", "-n", "-s", "-q", "every_record.obj"}, dir.path());
    QVERIFY2(result.status == 0, result.err.constData());
    QCOMPARE(readAll(dir.filePath("every_record_n.obj")), expected);
    QVERIFY(result.out.isEmpty());
    // The source now holds CR LF line ends and no "#IND".
    QByteArray normal = input;
    normal.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n").replace("#IND", "0");
    QCOMPARE(readAll(dir.filePath("every_record.obj")), normal);

    // The summary line says what was done, and with --keep-source the output is the same.
    QVERIFY(writeAll(dir.filePath("every_record.obj"), input));
    const Run kept =
        run({"--day", "45000", "-n", "-s", "--keep-source", "every_record.obj", "out"}, dir.path());
    QVERIFY2(kept.status == 0, kept.err.constData());
    QCOMPARE(readAll(dir.filePath("out.obj")), expected);
    QCOMPARE(readAll(dir.filePath("every_record.obj")), input);
    QVERIFY2(kept.out.contains("out.obj: 6 vertices and 2 normals noised, 2 quads split; amplitude "
                               "0.30000000000000004, day 45000"),
             kept.out.constData());
}

// Refusals and failures of the source and destination themselves are the reliability tests' to run.
void TestCli::exitStatuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("stdoutHas");
    QTest::addColumn<QByteArray>("stderrHas");
    const auto row = [](const char* name, const QStringList& arguments, int status, const char* out,
                        const char* err) {
        QTest::newRow(name) << arguments << status << QByteArray(out) << QByteArray(err);
    };
    row("version", {"--version"}, 0, "Jitterform 0.1 build 8\n", "");
    row("help", {"--help"}, 0, "Usage: jitterform-cli [options] SOURCE [DESTINATION]", "");
    row("no axes noised", {"-a", "none", "-q", "a.obj"}, 0, "", "");
    row("no source", {}, 2, "", "SOURCE");
    row("unknown option", {"--bogus", "a.obj"}, 2, "", "bogus");
    row("unknown type", {"-t", "pink", "a.obj"}, 2, "", "pink");
    row("bad axes", {"-a", "xw", "a.obj"}, 2, "", "xw");
    row("bad day", {"--day", "soon", "a.obj"}, 2, "", "soon");
    row("failure", {"bad.obj"}, 1, "", "bad.obj, line 1: a vertex needs three coordinates");
    // Without a terminal to ask on, an existing file is never replaced.
    row("existing destination", {"old.obj"}, 1, "", "exists. Overwrite?");
    row("existing destination, --force", {"-f", "-q", "old.obj"}, 0, "", "");
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
    writeAll(dir.filePath("old.obj"), "v 1 2 3\n");
    writeAll(dir.filePath("old_n.obj"), "mine");
    const Run result = run(arguments, dir.path());
    QVERIFY2(result.status == status, result.err.constData());
    QVERIFY2(result.out.contains(stdoutHas), result.out.constData());
    QVERIFY2(result.err.contains(stderrHas), result.err.constData());
    QVERIFY(!QFile::exists(dir.filePath("bad_n.obj")));
    const QByteArray old = readAll(dir.filePath("old_n.obj"));
    QVERIFY2(arguments.contains("-f") ? old.startsWith("v ") : old == "mine", old.constData());
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
