#include "reliability/harness.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace jf::test;

// The command line as a user runs it: the real executable, real files, exit statuses and messages.
// Refusals and failures of the source and destination themselves are the reliability tests' to run.
class TestCli : public QObject
{
    Q_OBJECT

private slots:
    // A small input with every kind of record, converted with a fixed day and compared byte for byte
    // with an output that was checked by hand (worked_vertex.py beside it recomputes one vertex line),
    // and the summary line that says what was done.
    void goldenOutput()
    {
        // An unnoticed edit to the golden files fails here, not as a puzzling difference below.
        const QString golden = TEST_DATA_DIR "/golden/";
        for (const QByteArray& line : readAll(golden + "SHA256SUMS").trimmed().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            QCOMPARE(
                QCryptographicHash::hash(readAll(golden + fields[1]), QCryptographicHash::Sha256).toHex(),
                fields[0]);
        }
        const QByteArray input = readAll(golden + "every_record.obj");
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath("every_record.obj"), input));
        const ChildOutcome result =
            runCli({"--day", "45000", "-n", "-s", "every_record.obj", "out"}, dir.path());
        QVERIFY2(result.status == 0, result.err.constData());
        QCOMPARE(readAll(dir.filePath("out.obj")), readAll(golden + "every_record_n.obj"));
        QCOMPARE(readAll(dir.filePath("every_record.obj")), normalForm(input));
        QVERIFY2(result.out.contains("out.obj: 6 vertices and 2 normals noised, 2 quads split; amplitude "
                                     "0.30000000000000004, day 45000"),
                 result.out.constData());

        // A kept source is converted as it is, to the same output.
        QVERIFY(writeAll(dir.filePath("every_record.obj"), input));
        const QList<QByteArray> kept{
            "--day", "45000", "-n", "-s", "-q", "-f", "--keep-source", "every_record.obj", "out"};
        QCOMPARE(runCli(kept, dir.path()).status, 0);
        QCOMPARE(readAll(dir.filePath("out.obj")), readAll(golden + "every_record_n.obj"));
        QCOMPARE(readAll(dir.filePath("every_record.obj")), input);
    }

    // Exit statuses and messages, and file names as a user may give them. A refusal or failure
    // creates and removes nothing, and no source is harmed.
    void exitStatuses_data()
    {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::addColumn<int>("status");
        // What the run says: on stdout for status 0, else on stderr; @ is the folder in lower case.
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<QByteArray>("made"); // the destination's name on disk
        const auto row = [](const char* name, const QList<QByteArray>& arguments, int status,
                            const QByteArray& said, const QByteArray& made = {}) {
            QTest::newRow(name) << arguments << status << said << made;
        };
        row("version", {"--version"}, 0, "Jitterform 0.1 build 8\n");
        row("help", {"--help"}, 0, "Usage: jitterform-cli [options] SOURCE [DESTINATION]");
        row("no axes noised", {"-a", "none", "-q", "a.obj"}, 0, "", "a_n.obj");
        row("no source", {}, 2, "SOURCE");
        row("unknown option", {"--bogus", "a.obj"}, 2, "bogus");
        row("unknown type", {"-t", "pink", "a.obj"}, 2, "pink");
        row("bad axes", {"-a", "xw", "a.obj"}, 2, "xw");
        row("bad day", {"--day", "soon", "a.obj"}, 2, "soon");
        row("failure", {"bad.obj"}, 1, "bad.obj, line 1: a vertex needs three coordinates");
        // Without a terminal to ask on, an existing file is never replaced.
        row("existing destination", {"old.obj"}, 1, "exists. Overwrite?");
        row("existing destination, --force", {"-f", "-q", "old.obj"}, 0, "", "old_n.obj");
        row("destination folder missing", {"a.obj", "nowhere/out.obj"}, 1,
            "Problem: The folder of the destination file @/nowhere/out.obj does not exist.\n");
        // Writing "sub.d/.obj" instead would leave the user a hidden file that they never asked for.
        row("destination an existing folder", {"a.obj", "./sub.d"}, 1, "Problem: ");
        row("source a FIFO, never opened", {"fifo.obj"}, 1,
            "Problem: Can't locate the source file @/fifo.obj\n");
        // Also when running as root, which may write any file: its mode says it is not to be changed.
        row("source without write permission", {"readonly.obj", "ro_out"}, 0,
            "The source was left as it is: the source file is read-only.\n", "ro_out.obj");
        row("quotes, blanks, wildcards", {"it's \"my\" st*r?[a].obj"}, 0, "", "it's \"my\" st*r?[a]_n.obj");
        row("a newline", {"two\nlines.obj"}, 0, "", "two\nlines_n.obj");
        row("a leading dash", {"--", "-n.obj"}, 0, "", "-n_n.obj");
        row("bytes that are not UTF-8", {"\xff\xfe\x80.obj"}, 0, "", "\xff\xfe\x80_n.obj");
        // Upper case of "ß" is "SS": the name the destination gets is the lower case of that.
        row("a folder of non-ASCII letters", {"Mes Modèles/Straße.OBJ"}, 0, "", "Mes Modèles/strasse_n.obj");
        // The parts of a path are kept without their surrounding blanks: such a name cannot be reached.
        row("a leading blank", {" lead.obj"}, 1, "Problem: Can't locate the source file ");
    }
    void exitStatuses()
    {
        QFETCH(QList<QByteArray>, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, said);
        QFETCH(QByteArray, made);
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path()),
                         mesh = "# made elsewhere\nv 0 0 0\nv 1 2 3\n";
        QVERIFY(::mkdir(folder + "/Mes Modèles", 0755) == 0 && ::mkdir(folder + "/sub.d", 0755) == 0 &&
                ::mkfifo(folder + "/fifo.obj", 0644) == 0);
        const QList<QByteArray> sources{
            "a.obj",          "old.obj", "readonly.obj",     "it's \"my\" st*r?[a].obj",
            "two\nlines.obj", "-n.obj",  "\xff\xfe\x80.obj", "Mes Modèles/Straße.OBJ",
            " lead.obj"};
        for (const QByteArray& name : sources)
            QVERIFY(writeBytes(folder + "/" + name, mesh));
        QVERIFY(writeBytes(folder + "/bad.obj", "v 1 2\n") && writeBytes(folder + "/old_n.obj", "mine"));
        QCOMPARE(::chmod(folder + "/readonly.obj", 0444), 0);
        const QList<QByteArray> before = rawEntries(folder);

        const ChildOutcome run = runCli(arguments, dir.path(), {std::nullopt, 20000});
        QVERIFY2(run.status == status, (run.err + run.out).constData());
        said.replace("@", QFile::encodeName(dir.path().toLower()));
        QVERIFY2((status == 0 ? run.out : run.err).contains(said), (run.err + run.out).constData());
        if (arguments.contains("-q")) // which leaves out the summary line
            QVERIFY2(run.out.isEmpty(), run.out.constData());
        if (status == 1)
            QVERIFY2(run.err.startsWith("Problem: ") && run.err.count('\n') == 1, run.err.constData());
        if (status != 0)
            QCOMPARE(rawEntries(folder), before);
        if (!made.isEmpty())
            QCOMPARE(crlfLines(readBytes(folder + "/" + made)).size(), 3);
        else
            QCOMPARE(readBytes(folder + "/old_n.obj"), QByteArray("mine"));
        for (const QByteArray& name : sources) {
            const QByteArray after = readBytes(folder + "/" + name);
            QVERIFY2(after == mesh || (after == normalForm(mesh) && name != "readonly.obj"),
                     name.constData());
        }
        for (const QByteArray& name : rawEntries(folder)) // names that QTemporaryDir could not remove
            ::unlink(folder + "/" + name);
    }

    // Ctrl-C in the noise pass: exit status 130, complete lines only, the source untouched.
    void interruptKeepsCompleteLines()
    {
        QTemporaryDir dir;
        const QByteArray input = meshOfSize(40 << 20, "\r\n");
        writeAll(dir.filePath("big.obj"), input);
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(cliPath(), {"-q", "--day", "1", "big.obj"});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(dir.filePath("big_n.obj")).size() > 0 || process.state() != QProcess::Running, 30000);
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(30000));
        if (process.exitCode() == 0)
            QSKIP("the conversion finished before the interrupt arrived");
        QCOMPARE(process.exitCode(), 130);
        const QByteArray out = readAll(dir.filePath("big_n.obj"));
        QVERIFY(out.endsWith("\r\n") && out.size() < input.size());
        QCOMPARE(readAll(dir.filePath("big.obj")), input);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
