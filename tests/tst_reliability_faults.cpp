// Faults from outside: a full disk, a source that vanishes, turns into a FIFO or changes under the
// run (folders and FIFOs named as files are the command-line test's). Each case says what the user
// is told and what is left on disk; the source is never harmed and nothing half-written stays.

#include "reliability/harness.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstring>
#include <functional>

using namespace jf;
using namespace jf::test;

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

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable("no command line at " + cliPath()));
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
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_reliability_faults.moc"
