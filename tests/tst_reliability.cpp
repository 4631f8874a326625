// Faults from outside: a full disk, a source that vanishes, turns into a FIFO or changes under the
// run (folders and FIFOs named as files are the command-line test's), and a run killed outright.
// Each case says what the user is told and what is left on disk; the source is never harmed and
// nothing half-written stays. And text that no exporter should write and some do: enormous lines
// and endless empty ones (awkward file names are the command-line test's; NUL bytes, bytes that are
// not UTF-8, UTF-16 and numbers beyond a double are the engine fuzz target's, beyond the size the
// fuzzer makes). Each gives exactly the output expected, never a crash or a hang, and memory grows
// with the longest line only.

#include "reliability/harness.h"

#include "engine/convert.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <functional>

using namespace jf;
using namespace jf::test;

namespace {

constexpr qsizetype kHuge = 20 << 20;

// The flat box of these two vertices (its z extent is 0) gives a noise amplitude of 0, so every
// vertex prints exactly as it reads.
const QByteArray kFlat = "v 0 0 0\nv 1 1 0\n";
const QByteArray kFlatOut = "v  0  0  0 \r\nv  1  1  0 \r\n";

// A source and the output expected of it.
std::pair<QByteArray, QByteArray> build(const QString& recipe)
{
    const auto repeated = [](QByteArray text, const QByteArray& part) {
        text.reserve(kHuge + 16);
        while (text.size() < kHuge)
            text += part;
        return text;
    };
    if (recipe == "long comment") {
        const QByteArray line = "# " + QByteArray(kHuge, 'x');
        return {kFlat + line + "\nv 2 2 0\n", kFlatOut + line + "\r\nv  2  2  0 \r\n"};
    }
    if (recipe == "long last line") {
        const QByteArray line = "g " + QByteArray(kHuge, 'g');
        return {kFlat + line, kFlatOut + line + "\r\n"};
    }
    if (recipe == "long vertex") { // a further field of 10 MB, then millions of short ones
        const QByteArray fields = repeated(QByteArray(10 << 20, 'w'), " 0.5");
        return {kFlat + "v 3 3 0 " + fields + "\n", kFlatOut + "v  3  3  0 " + fields + "\r\n"};
    }
    if (recipe == "long face") {
        const QByteArray face = repeated("f", " 1");
        return {kFlat + face + " \n", kFlatOut + face + " \r\n"};
    }
    if (recipe == "million empty lines") {
        QByteArray empty;
        for (int i = 0; i < 1000000; ++i)
            empty += (i % 3 == 0 ? "\n" : i % 3 == 1 ? "\r\n" : " \t\r");
        return {"v 0 0 0\n" + empty + "v 1 1 0\n", kFlatOut};
    }
    return {};
}

} // namespace

// The engine, linked into this test, puts the format check's copy on the disk with fsync(): a test
// may act right after that, before the copy takes the source's place.
static std::function<void()> g_afterFlush;
extern "C" int fsync(int fd)
{
    const int result = int(::syscall(SYS_fsync, fd));
    if (const std::function<void()> act = std::exchange(g_afterFlush, {}))
        act();
    return result;
}

// rename() is wrapped too, to kill the run (SIGKILL: no handler, no clean-up) at the format check's
// rename or just after it.
enum class Step { None, Rename, Renamed };
static volatile Step g_killAt = Step::None;
static void killSelf()
{
    ::kill(::getpid(), SIGKILL);
}
extern "C" int rename(const char* from, const char* to)
{
    if (g_killAt == Step::Rename)
        killSelf();
    const int result = int(::syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to));
    if (result == 0 && g_killAt == Step::Renamed)
        killSelf();
    return result;
}

// Runs the Convert command on dir/mesh.obj; `prepare` arms the rig (or the step) first.
static CommandOutcome convert(const QString& dir, const std::function<void(Rig&)>& prepare = {})
{
    Rig rig; // its prompts say yes to replacing a destination that a killed run left
    rig.status.recordValues = false;
    rig.options.normals = rig.options.split = Checked;
    if (prepare)
        prepare(rig);
    CancelRequested.store(kFalse);
    return rig.command(dir + "/mesh.obj", dir + "/out.obj");
}

class TestFaults : public QObject
{
    Q_OBJECT

    QByteArray m_original, m_cleanOutput; // a source for the kill test, and what an uninterrupted run writes
    QTemporaryDir m_dir;
    long m_baselineKb = 0; // the command line's peak memory on a two-line file

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable("no command line at " + cliPath()));
        // Over 3 MB with LF line ends and a "#IND" in the middle: the copy differs from the start, and
        // both the copy and the destination are written in many blocks.
        const QByteArray half = meshOfSize(3 << 19);
        m_original = half + "vn 1.#IND 0 1\n" + half;
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath("mesh.obj"), m_original));
        QCOMPARE(int(convert(dir.path()).kind), int(CommandOutcome::Kind::Done));
        m_cleanOutput = readAll(dir.filePath("out.obj"));
        QVERIFY(m_cleanOutput.size() > (3 << 20));
        QCOMPARE(readAll(dir.filePath("mesh.obj")), normalForm(m_original));
        QVERIFY(writeAll(m_dir.filePath("small.obj"), "v 0 0 0\nv 1 1 1\n"));
        const ChildOutcome small = runCli({"-q", "small.obj"}, m_dir.path(), {std::nullopt, 120000, true});
        QCOMPARE(small.status, 0);
        m_baselineKb = small.peakKb;
    }
    void init() { CancelRequested.store(kFalse); }

    void fullDisk_data()
    {
        QTest::addColumn<bool>("sourceSide"); // the format check's copy fills the disk, else the destination
        QTest::addColumn<bool>("tmpfs");      // a small file system, else a limit on the size of any file
        QTest::newRow("destination, small file system") << false << true;
        QTest::newRow("destination, file size limit") << false << false;
        QTest::newRow("source folder in the format check, small file system") << true << true;
        QTest::newRow("source folder in the format check, file size limit") << true << false;
    }
    // A write that fails for want of space: the run stops with the file and the reason, the command
    // line exits with 1, the destination is gone, the source is as it was, and no copy is left beside it
    // (once the program has ended, only a file with a name can still take up space).
    void fullDisk()
    {
        QFETCH(bool, sourceSide);
        QFETCH(bool, tmpfs);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("small") && QDir(dir.path()).mkdir("big"));
        const QString small = dir.filePath("small");
        constexpr qint64 kSmall = 1536 * 1024;
        // A tmpfs of that size on "small"; mounting needs the right to (root, in most containers).
        const QByteArray folder = QFile::encodeName(small),
                         size = "size=" + QByteArray::number(kSmall) + ",mode=0755";
        const bool mounted = tmpfs && ::mount("tmpfs", folder, "tmpfs", MS_NOSUID | MS_NODEV, size) == 0;
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        const auto unmount = qScopeGuard([&] {
            if (mounted)
                ::umount2(folder, MNT_DETACH);
        });
        if (tmpfs && !mounted)
            QSKIP(qPrintable("no tmpfs may be mounted here (" + why +
                             "); the file size limit rows stand in for it"));
        ChildLimits limits;
        if (!tmpfs)
            limits.fileSize = rlim_t(kSmall);
        // The source side: an LF source whose CR LF copy does not fit. The destination side: a source
        // in normal form already, so that the check writes nothing and the conversion's output overflows.
        const QString source = (sourceSide && tmpfs ? small : dir.filePath("big")) + "/mesh.obj";
        const QByteArray original =
            sourceSide ? meshOfSize(tmpfs ? kSmall * 3 / 5 : 2 * kSmall) : meshOfSize(3 * kSmall, "\r\n");
        QVERIFY(writeAll(source, original));
        const QString destination = (sourceSide || !tmpfs ? dir.filePath("big") : small) + "/out.obj";

        const ChildOutcome run =
            runCli({"-q", "--day", "45000", QFile::encodeName(source), QFile::encodeName(destination)},
                   dir.path(), limits);
        QCOMPARE(run.status, 1);
        const QByteArray what =
            sourceSide ? "Cannot write a normalised copy of the source file " + QFile::encodeName(source)
                       : "Cannot write the destination file " + QFile::encodeName(destination);
        const QByteArray reason = tmpfs ? "No space left on device" : "File too large";
        QVERIFY2(run.err.startsWith("Problem: " + what + ": " + reason + "."), run.err.constData());
        QCOMPARE(readAll(source), original);
        QCOMPARE(rawEntries(QFile::encodeName(QFileInfo(source).path())), QList<QByteArray>{"mesh.obj"});
        if (QFileInfo(source).path() != QFileInfo(destination).path())
            QCOMPARE(rawEntries(QFile::encodeName(QFileInfo(destination).path())), QList<QByteArray>{});
    }

    void sourceChangesUnderTheRun_data()
    {
        // When: the phase whose yield the test acts at (empty: after the format check). In the noise
        // pass, the change lies far beyond what the reader can have read ahead by then.
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("fault"); // what the message must start with
        const QString check = QString::fromStdString(kCheckLabel),
                      noise = QString::fromStdString(kNoiseLabel);
        const auto row = [](const char* name, const QString& phase, const char* change, const char* fault) {
            QTest::newRow(name) << phase << QString(change) << QString(fault);
        };
        const char* const changed = "The source file @ changed";
        const char* const checked = "The source file @ changed while it was checked";
        row("removed between the check and the conversion", "", "remove",
            "Cannot open the source file @: No such file or directory.");
        row("a FIFO put in its place between the check and the conversion", "", "fifo",
            "The source file @ is not a file.");
        row("shrinks during the format check", check, "truncate", checked);
        // The scan beside the check meets the faulty vertex first; the check's failure is the one told.
        row("a faulty first vertex, shrinks during the format check", check, "bad-truncate", checked);
        // The copy is on the disk, not yet in the source's place: the change is the user's, and stays.
        row("shrinks while the check's copy is put on the disk", "flush", "lf-truncate", checked);
        // The format check rewrote this source first: the passes read the file it replaced, and
        // must still see a change made to the rewritten one.
        row("rewritten by the check, shrinks during the noise pass", noise, "lf-truncate", changed);
        // Same length, other numbers, near the end: the box of pass 1 no longer fits.
        row("rewritten in place during the noise pass", noise, "overwrite", changed);
    }
    // The two passes must read the same file: a source that changes under the run stops it with a
    // clear message, and the destination, made from two different files, is removed.
    void sourceChangesUnderTheRun()
    {
        QFETCH(QString, phase);
        QFETCH(QString, change);
        QFETCH(QString, fault);
        const bool lineFeeds = change.startsWith("lf-");
        const bool faultyFirst = change.startsWith("bad-");
        change.remove("lf-").remove("bad-");
        QTemporaryDir dir;
        const QString source = dir.filePath("mesh.obj");
        const QByteArray path = QFile::encodeName(source);
        const bool inCheck = phase == QString::fromStdString(kCheckLabel);
        // Three chunks for the format check, else normal form (the check leaves it) and more than any
        // read-ahead.
        QByteArray original = inCheck || lineFeeds ? meshOfSize(inCheck ? 3 * 4096 : 6 << 20)
                                                   : normalForm(meshOfSize(phase.isEmpty() ? 4096 : 6 << 20));
        if (faultyFirst)
            original.prepend("v 1 2\n");
        QVERIFY(writeAll(source, original));
        QByteArray expected = lineFeeds && phase != "flush" ? normalForm(original) : original;
        const auto act = [&] {
            if (change == "remove" || change == "fifo") {
                QCOMPARE(::unlink(path.constData()), 0);
                if (change == "fifo")
                    QCOMPARE(::mkfifo(path.constData(), 0644), 0);
            } else if (change == "truncate") {
                expected.truncate(expected.indexOf('\n', expected.size() * 3 / 4) + 1);
                QCOMPARE(::truncate(path.constData(), expected.size()), 0);
            } else {
                const qsizetype at = original.indexOf("\nv ", original.size() * 9 / 10) + 1;
                QFile file(source);
                QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(at) && file.write("v 9") == 3);
                expected.replace(at, 3, "v 9");
            }
        };
        Rig rig;
        rig.status.recordValues = false;
        bool acted = false;
        if (phase == "flush")
            g_afterFlush = act;
        else if (phase.isEmpty())
            rig.status.onHide = [&](int n) {
                if (n == 1)
                    act();
            };
        else if (inCheck)
            rig.at(kCheckLabel, 2, act);
        else
            rig.status.onValue = [&](float position) {
                if (!acted && rig.status.labelText == kNoiseLabel && position > 64 * 1024)
                    acted = true, act();
            };

        ::alarm(60); // a FIFO that is opened and waited on must not hang the suite
        const CommandOutcome outcome = rig.command(source, dir.filePath("out.obj"));
        ::alarm(0);
        QCOMPARE(int(outcome.kind), int(CommandOutcome::Kind::Failed));
        QCOMPARE(rig.prompts.problems.size(), std::size_t(1));
        // The path in the message may differ from the name on disk in letter case.
        QVERIFY2(QString::fromStdString(rig.prompts.problems[0])
                     .startsWith(fault.replace("@", source), Qt::CaseInsensitive),
                 rig.prompts.problems[0].c_str());
        QVERIFY(!QFile::exists(dir.filePath("out.obj")));
        QVERIFY(!rig.status.visible);
        if (!phase.isEmpty()) {
            QCOMPARE(readAll(source), expected);
            QCOMPARE(rawEntries(QFile::encodeName(dir.path())), QList<QByteArray>{"mesh.obj"});
        }
    }

    // A Cancel that comes while the disk takes the check's copy cancels the check: the copy is not
    // put in the source's place, and the conversion goes on as after any cancelled check.
    void cancelWhileTheCopyIsFlushed()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath("mesh.obj"), normal = dir.filePath("normal.obj");
        const QByteArray original = meshOfSize(1 << 20);
        QVERIFY(writeAll(source, original) && writeAll(normal, normalForm(original)));
        Rig rig;
        rig.status.recordValues = false;
        g_afterFlush = [] { CancelRequested.store(kTrue); };
        const CommandOutcome outcome = rig.command(source, dir.filePath("out.obj"));
        QCOMPARE(int(outcome.kind), int(CommandOutcome::Kind::Done));
        QVERIFY(outcome.checkCancelled && !outcome.summary.noiseCancelled);
        QCOMPARE(readAll(source), original);
        QCOMPARE(rawEntries(QFile::encodeName(dir.path())),
                 (QList<QByteArray>{"mesh.obj", "normal.obj", "out.obj"}));
        Rig reference;
        reference.files(normal, dir.filePath("reference.obj"));
        QVERIFY(!ConvertMesh(reference.host).error);
        QCOMPARE(readAll(dir.filePath("out.obj")), readAll(dir.filePath("reference.obj")));
    }

    // Killed at the moments that matter to the source: while the format check writes its copy, at its
    // rename and just after, and in the noise pass (the scan before it reads the source just as that
    // pass does; giving the copy its name comes before the rename, so a kill there finds the source as
    // the rename's row does). The run goes in a child process of this test. Afterwards the source holds
    // either exactly what it held before or its whole normal form, never a part, and running again
    // gives the same result as a run that was never interrupted.
    void killedAt_data()
    {
        QTest::addColumn<int>("step");         // a wrapped call, or Step::None for a yield
        QTest::addColumn<QString>("phase");    // the phase of that yield
        QTest::addColumn<int>("yield");        // and its number within the phase
        QTest::addColumn<bool>("normalised");  // the source afterwards: its normal form, else the original
        QTest::addColumn<QString>("leftOver"); // a name beside the source that may remain, as a pattern
        const auto row = [](const char* name, Step step, const std::string& phase, int yield, bool normalised,
                            const char* leftOver = "-") { // "-" matches no name
            QTest::newRow(name) << int(step) << QString::fromStdString(phase) << yield << normalised
                                << leftOver;
        };
        // 400 chunks of 4,096 bytes: more than a megabyte of the copy is written by then.
        row("format check, writing its copy", Step::None, kCheckLabel, 400, false);
        // The copy is complete and named, but not yet in the source's place: a hidden file stays.
        row("format check, at its rename", Step::Rename, "", 0, false, ".mesh.obj.jitterform-*");
        row("format check, just after its rename", Step::Renamed, "", 0, true);
        // Chunks of 256 KiB: two megabytes of the destination are written by the eighth.
        row("adding noise", Step::None, kNoiseLabel, 8, true, "out.obj");
    }
    void killedAt()
    {
        QFETCH(int, step);
        QFETCH(QString, phase);
        QFETCH(int, yield);
        QFETCH(bool, normalised);
        QFETCH(QString, leftOver);
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath("mesh.obj"), m_original));

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const CommandOutcome outcome = convert(dir.path(), [&](Rig& rig) {
                g_killAt = Step(step);
                if (!phase.isEmpty())
                    rig.at(phase.toStdString(), yield, killSelf);
            });
            ::_exit(outcome.kind == CommandOutcome::Kind::Done ? 0 : 1);
        }
        int status = 0; // the suite's time-out ends a run that neither ends nor reaches the step
        ::waitpid(child, &status, 0);
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
                 "the run ended on its own: the step where it was to be killed never came");

        const QByteArray source = readAll(dir.filePath("mesh.obj"));
        QVERIFY2(source == (normalised ? normalForm(m_original) : m_original),
                 source == m_original               ? "the source is the original"
                 : source == normalForm(m_original) ? "the source is normalised"
                                                    : "the source is damaged");
        // Beside it at most the left-over of the row; what a killed rename leaves is the complete copy.
        for (const QByteArray& entry : rawEntries(QFile::encodeName(dir.path()))) {
            const QString name = QFile::decodeName(entry);
            QVERIFY2(name == "mesh.obj" || QRegularExpression::fromWildcard(leftOver).match(name).hasMatch(),
                     qPrintable(name));
            if (name.startsWith(".mesh.obj."))
                QCOMPARE(readAll(dir.filePath(name)), normalForm(m_original));
        }

        // Running again, as the user would, gives what a run that was never killed gives.
        const CommandOutcome again = convert(dir.path());
        QCOMPARE(int(again.kind), int(CommandOutcome::Kind::Done));
        QCOMPARE(readAll(dir.filePath("out.obj")), m_cleanOutput);
        QCOMPARE(readAll(dir.filePath("mesh.obj")), normalForm(m_original));
        // ... and clears away the copy that a killed run had named but not yet put in place.
        QCOMPARE(rawEntries(QFile::encodeName(dir.path())), (QList<QByteArray>{"mesh.obj", "out.obj"}));
    }

    void hostileRecords_data()
    {
        QTest::addColumn<QString>("recipe");
        for (const char* recipe :
             {"long comment", "long last line", "long vertex", "long face", "million empty lines"})
            QTest::newRow(recipe) << recipe;
    }
    // Every option on: the format check gives the normal form and the conversion exactly the output
    // expected.
    void hostileRecords()
    {
        QFETCH(QString, recipe);
        const auto [input, expected] = build(recipe);
        const QString source = m_dir.filePath("hostile.obj"), destination = m_dir.filePath("hostile_n.obj");
        QFile::remove(destination);
        QVERIFY(writeAll(source, input));
        Rig rig;
        rig.status.recordValues = false;
        rig.files(source, destination);
        rig.options.normals = rig.options.split = Checked;

        ::alarm(300); // a hang ends the test program rather than waiting for the suite's time-out
        const CheckResult check = CheckObjFormat(rig.host);
        const RunResult run = ConvertMesh(rig.host);
        ::alarm(0);
        QVERIFY2(!check.error, check.error ? check.error->c_str() : "");
        QCOMPARE(readAll(source), normalForm(input));
        QVERIFY(!rig.status.visible);
        QVERIFY2(!run.error, run.error ? run.error->c_str() : "");
        const QByteArray output = readAll(destination);
        QVERIFY2(output == expected,
                 qPrintable(QString("%1 bytes for %2").arg(output.size()).arg(expected.size())));
    }

    void memoryGrowsWithTheLongestLineOnly_data()
    {
        QTest::addColumn<QString>("recipe");
        QTest::addColumn<qint64>("longestLine");
        for (const char* recipe : {"long comment", "long vertex", "long face"})
            QTest::newRow(recipe) << recipe << qint64(kHuge);
        QTest::newRow("40 MB of ordinary records") << "ordinary" << qint64(0);
    }
    // Peak memory of the command line, every option on, beyond that of a two-line file: the reader's
    // buffer may grow to hold the longest line and the output may take it whole, each with room to
    // spare, and that is all. The source is kept: the format check's copy is not what is measured.
    void memoryGrowsWithTheLongestLineOnly()
    {
        QFETCH(QString, recipe);
        QFETCH(qint64, longestLine);
        if (kAddressSanitizer)
            QSKIP("the address sanitizer's own memory hides the program's");
        QVERIFY(writeAll(m_dir.filePath("memory.obj"),
                         recipe == "ordinary" ? meshOfSize(40 << 20) : build(recipe).first));
        QFile::remove(m_dir.filePath("memory_n.obj"));
        const ChildOutcome run = runCli({"-q", "-n", "-s", "--keep-source", "memory.obj"}, m_dir.path(),
                                        {std::nullopt, 120000, true});
        QVERIFY2(run.status == 0, run.err.constData());
        const qint64 allowedKb = 4 * longestLine / 1024 + 32 * 1024, grownKb = run.peakKb - m_baselineKb;
        QVERIFY2(grownKb <= allowedKb, qPrintable(QString("grew by %1 MB").arg(grownKb / 1024)));
    }
    // A rewritten source costs no more memory than a kept one: the format check's copy gives its
    // write blocks back before the conversion takes its own.
    void rewriteCostsNoFurtherMemory()
    {
        if (kAddressSanitizer)
            QSKIP("the address sanitizer's own memory hides the program's");
        const QByteArray mesh = meshOfSize(40 << 20);
        qint64 peakKb[2] = {};
        for (const bool keep : {true, false}) {
            QVERIFY(writeAll(m_dir.filePath("rewrite.obj"), mesh));
            QFile::remove(m_dir.filePath("rewrite_n.obj"));
            QList<QByteArray> arguments{"-q", "-n", "-s", "rewrite.obj"};
            if (keep)
                arguments.insert(3, "--keep-source");
            const ChildOutcome run = runCli(arguments, m_dir.path(), {std::nullopt, 120000, true});
            QVERIFY2(run.status == 0, run.err.constData());
            peakKb[keep] = run.peakKb;
        }
        QVERIFY2(peakKb[false] <= peakKb[true] + 4 * 1024,
                 qPrintable(QString("%1 KiB rewritten, %2 KiB kept").arg(peakKb[false]).arg(peakKb[true])));
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_reliability.moc"
