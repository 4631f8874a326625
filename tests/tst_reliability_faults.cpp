// Faults from outside: a full disk, folders and FIFOs where files belong, a source that vanishes or
// changes under the run. Each case says what the user is told and what is left on disk; the source
// is never harmed and nothing half-written stays behind.

#include "reliability/harness.h"
#include "reliability/hookedrig.h"

#include "engine/command.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace jf;
using namespace jf::test;

namespace {

using Kind = CommandOutcome::Kind;

const std::string kCheck = kCheckLabel;
const std::string kNoise = kNoiseLabel;

QByteArray bytesOf(const QString& path)
{
    return QFile::encodeName(path);
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void fullDisk_data();
    void fullDisk();
    void namesThatAreNoFile_data();
    void namesThatAreNoFile();
    void sourceChangesUnderTheRun_data();
    void sourceChangesUnderTheRun();
};

void TestFaults::initTestCase()
{
    QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable("no command line at " + cliPath()));
}

void TestFaults::init()
{
    CancelRequested.store(kFalse);
}

void TestFaults::fullDisk_data()
{
    QTest::addColumn<bool>("sourceSide"); // the format check's copy fills the disk, else the destination
    QTest::addColumn<bool>("tmpfs");      // a small file system, else a limit on the size of any file
    QTest::newRow("destination, small file system") << false << true;
    QTest::newRow("destination, file size limit") << false << false;
    QTest::newRow("source folder in the format check, small file system") << true << true;
    QTest::newRow("source folder in the format check, file size limit") << true << false;
}

// A write that fails for want of space: the run stops with the file and the reason, the command line
// exits with 1, the destination is gone, the source is as it was, and no copy takes up the space.
void TestFaults::fullDisk()
{
    QFETCH(bool, sourceSide);
    QFETCH(bool, tmpfs);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("small") && QDir(dir.path()).mkdir("big"));
    const QString small = dir.filePath("small");
    constexpr qint64 kSmall = 1536 * 1024;
    std::optional<SmallFileSystem> fileSystem;
    ChildLimits limits;
    if (tmpfs) {
        fileSystem.emplace(small, kSmall);
        if (!fileSystem->mounted())
            QSKIP(qPrintable("no tmpfs may be mounted here (" + fileSystem->why() +
                             "); the file size limit rows stand in for it"));
    } else {
        limits.fileSize = rlim_t(kSmall);
    }
    // The source side: an LF source whose CR LF copy does not fit. The destination side: a source in
    // normal form already, so that the check writes nothing and the conversion's output overflows.
    const QString source = (sourceSide && tmpfs ? small : dir.filePath("big")) + "/mesh.obj";
    const QByteArray original = sourceSide ? meshOfSize(tmpfs ? kSmall * 3 / 5 : 2 * kSmall) : meshOfSize(3 * kSmall, "\r\n");
    QVERIFY(writeAll(source, original));
    const QString destination = (sourceSide || !tmpfs ? dir.filePath("big") : small) + "/out.obj";
    const qint64 freeBefore = fileSystem ? fileSystem->freeBytes() : 0;

    const ChildOutcome run = runCli({"-q", "--day", "45000", bytesOf(source), bytesOf(destination)}, dir.path(), limits);
    QCOMPARE(run.status, 1);
    const QByteArray reason = tmpfs ? "No space left on device" : "File too large";
    const QByteArray what = sourceSide ? "Problem: Cannot write a normalised copy of the source file " + bytesOf(source)
                                       : "Problem: Cannot write the destination file " + bytesOf(destination);
    QVERIFY2(run.err.startsWith(what + ": " + reason + "."), run.err.constData());
    QCOMPARE(readAll(source), original);
    QVERIFY(!QFile::exists(destination));
    QCOMPARE(entries(QFileInfo(source).path()), QStringList{"mesh.obj"});
    QCOMPARE(entries(QFileInfo(destination).path()), QFileInfo(source).path() == QFileInfo(destination).path()
                                                         ? QStringList{"mesh.obj"}
                                                         : QStringList{});
    if (fileSystem)
        QCOMPARE(fileSystem->freeBytes(), freeBefore);
}

void TestFaults::namesThatAreNoFile_data()
{
    QTest::addColumn<QList<QByteArray>>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said"); // on stderr, or on stdout for a run that succeeds
    QTest::addColumn<bool>("sourceMayBeNormalised");

    QTest::newRow("destination folder missing")
        << QList<QByteArray>{"mesh.obj", "nowhere/out.obj"} << 1
        << QByteArray("Problem: The folder of the destination file @/nowhere/out.obj does not exist.\n") << false;
    // A destination that names a folder is no destination file; writing "sub/.obj" instead would
    // leave the user a hidden file that they never asked for.
    QTest::newRow("destination an existing folder")
        << QList<QByteArray>{"mesh.obj", "./sub"} << 1 << QByteArray("Problem: ") << true;
    QTest::newRow("destination an existing folder with a dot")
        << QList<QByteArray>{"mesh.obj", "./sub.d"} << 1 << QByteArray("Problem: ") << true;
    QTest::newRow("source a folder") << QList<QByteArray>{"folder.obj"} << 1
                                     << QByteArray("Problem: Can't locate the source file @/folder.obj\n") << false;
    QTest::newRow("source a FIFO, never opened") << QList<QByteArray>{"fifo.obj"} << 1
                                                 << QByteArray("Problem: Can't locate the source file @/fifo.obj\n")
                                                 << false;
    // Also when running as root, which may write any file: its mode says it is not to be changed.
    QTest::newRow("source without write permission")
        << QList<QByteArray>{"readonly.obj", "ro_out"} << 0
        << QByteArray("The source was left as it is: the source file is read-only.\n") << false;
}

void TestFaults::namesThatAreNoFile()
{
    QFETCH(QList<QByteArray>, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, said);
    QFETCH(bool, sourceMayBeNormalised);
    QTemporaryDir dir;
    const QByteArray original = "# made elsewhere\nv 0 0 0\nv 1 2 3\nf 1 2 3\n";
    for (const char* name : {"mesh.obj", "readonly.obj"})
        QVERIFY(writeAll(dir.filePath(name), original));
    QCOMPARE(::chmod(bytesOf(dir.filePath("readonly.obj")).constData(), 0444), 0);
    QVERIFY(QDir(dir.path()).mkdir("sub") && QDir(dir.path()).mkdir("sub.d") && QDir(dir.path()).mkdir("folder.obj"));
    QCOMPARE(::mkfifo(bytesOf(dir.filePath("fifo.obj")).constData(), 0644), 0);
    const QStringList before = entries(dir.path());

    const ChildOutcome run = runCli(arguments, dir.path(), {std::nullopt, 20000});
    QVERIFY2(!run.timedOut, "the command line hung");
    QVERIFY2(run.status == status, (run.err + run.out).constData());
    // Messages show paths lower-cased, as the descriptor that the window's text went into has them.
    said.replace("@", bytesOf(dir.path().toLower()));
    QVERIFY2((status == 0 ? run.out : run.err).contains(said), (run.err + run.out).constData());
    if (status != 0) {
        QVERIFY2(run.err.startsWith("Problem: ") && run.err.count('\n') == 1, run.err.constData());
        QCOMPARE(entries(dir.path()), before); // nothing created, nothing removed
        QVERIFY(entries(dir.filePath("sub")).isEmpty() && entries(dir.filePath("sub.d")).isEmpty());
    }
    const QString source = dir.filePath(QString::fromUtf8(arguments.first()));
    if (QFileInfo(source).isFile()) { // a FIFO is never opened here either: that would wait for a writer
        const QByteArray after = readAll(source);
        QVERIFY(after == original || (sourceMayBeNormalised && after == normalForm(original)));
    }
    QCOMPARE(readAll(dir.filePath("readonly.obj")), original);
}

void TestFaults::sourceChangesUnderTheRun_data()
{
    // When: the phase, and the yield at which the test acts (0: after the format check); in the
    // noise pass, the change lies far beyond what the reader can have read ahead by then.
    QTest::addColumn<QString>("phase");
    QTest::addColumn<int>("when");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("fault"); // what the message must say
    QTest::newRow("removed between the check and the conversion")
        << "" << 0 << "remove" << "Cannot open the source file @: No such file or directory.";
    QTest::newRow("a FIFO put in its place between the check and the conversion")
        << "" << 0 << "fifo" << "The source file @ is not a file.";
    QTest::newRow("grows during the format check")
        << QString::fromStdString(kCheck) << 2 << "append" << "The source file @ changed while it was checked";
    QTest::newRow("shrinks during the format check")
        << QString::fromStdString(kCheck) << 2 << "truncate" << "The source file @ changed while it was checked";
    QTest::newRow("grows during the noise pass") << QString::fromStdString(kNoise) << 1 << "append"
                                                 << "The source file @ changed";
    QTest::newRow("shrinks during the noise pass") << QString::fromStdString(kNoise) << 1 << "truncate"
                                                   << "The source file @ changed";
    QTest::newRow("rewritten in place during the noise pass") << QString::fromStdString(kNoise) << 1 << "overwrite"
                                                              << "The source file @ changed";
}

// The two passes must read the same file: a source that changes under the run stops it with a clear
// message, and the destination, made from two different files, is removed.
void TestFaults::sourceChangesUnderTheRun()
{
    QFETCH(QString, phase);
    QFETCH(int, when);
    QFETCH(QString, change);
    QFETCH(QString, fault);
    QTemporaryDir dir;
    const QString source = dir.filePath("mesh.obj");
    // Three chunks for the format check; for the passes, more than any read-ahead.
    QByteArray original = meshOfSize(phase == QString::fromStdString(kNoise) ? 6 << 20 : 3 * 4096);
    if (phase != QString::fromStdString(kCheck))
        original = normalForm(original); // so that the check leaves it as it is
    QVERIFY(writeAll(source, original));
    QByteArray expected = original;
    const auto act = [&] {
        const QByteArray path = bytesOf(source);
        if (change == "remove") {
            QCOMPARE(::unlink(path.constData()), 0);
        } else if (change == "fifo") {
            QCOMPARE(::unlink(path.constData()), 0);
            QCOMPARE(::mkfifo(path.constData(), 0644), 0);
        } else if (change == "append") {
            QFile file(source);
            QVERIFY(file.open(QIODevice::Append));
            file.write("v 1000 1000 1000\n");
            expected += "v 1000 1000 1000\n";
        } else if (change == "truncate") {
            const qsizetype cut = original.indexOf('\n', original.size() * 3 / 4) + 1;
            QCOMPARE(::truncate(path.constData(), cut), 0);
            expected.truncate(cut);
        } else {
            // Same length, other numbers, near the end: the box of pass 1 no longer fits.
            const qsizetype at = original.indexOf("\nv ", original.size() * 9 / 10) + 1;
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(at));
            file.write("v 9");
            expected.replace(at, 3, "v 9");
        }
    };
    HookedRig rig;
    FakePrompts prompts;
    rig.options.source = bytesOf(source).toStdString();
    rig.options.destination = bytesOf(dir.filePath("out.obj")).toStdString();
    bool acted = false;
    if (when == 0) {
        rig.status.onHide = [&](int n) {
            if (n == 1)
                act();
        };
    } else if (phase == QString::fromStdString(kNoise)) {
        rig.status.onValue = [&](float position) {
            if (!acted && rig.status.labelText == kNoise && position > 64 * 1024) {
                acted = true;
                act();
            }
        };
    } else {
        rig.at(phase.toStdString(), when, act);
    }

    ::alarm(60); // a FIFO that is opened and waited on must not hang the suite
    const CommandOutcome outcome = runConvertCommand(rig.host, prompts);
    ::alarm(0);
    if (outcome.kind == Kind::Done) {
        const QList<QByteArray> written = crlfLines(readAll(dir.filePath("out.obj")));
        QFAIL(qPrintable(QString("the run reported success; the destination holds %1 lines for %2 records "
                                 "now in the source (%3 before)")
                             .arg(written.size())
                             .arg(crlfLines(normalForm(expected)).size())
                             .arg(crlfLines(normalForm(original)).size())));
    }
    QCOMPARE(int(outcome.kind), int(Kind::Failed));
    fault.replace("@", source);
    QCOMPARE(prompts.problems.size(), std::size_t(1));
    // The path in the message may differ from the name on disk in letter case.
    QVERIFY2(QString::fromStdString(prompts.problems[0]).startsWith(fault, Qt::CaseInsensitive),
             prompts.problems[0].c_str());
    QVERIFY(!QFile::exists(dir.filePath("out.obj")));
    QVERIFY(!rig.status.visible);
    if (change != "remove" && change != "fifo") {
        QCOMPARE(readAll(source), expected);
        QCOMPARE(entries(dir.path()), QStringList{"mesh.obj"});
    }
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_reliability_faults.moc"
