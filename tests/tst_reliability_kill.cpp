// A run killed outright (SIGKILL: no handler, no clean-up) at the moments that matter to the
// source: while the format check writes its copy, at its rename and just after, and in the noise
// pass (the scan before it reads the source just as that pass does; giving the copy its name comes
// before the rename, so a kill there finds the source as the rename's row does).
// Afterwards the source holds either exactly what it held before or its whole normal form, never a
// part, and running again gives the same result as a run that was never interrupted.
//
// The run goes in a child process of this test. rename() is wrapped here: the engine, linked into
// this executable, calls it, which kills the child at the chosen step.

#include "reliability/harness.h"

#include "engine/command.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

using namespace jf;
using namespace jf::test;

namespace {

enum class Step { None, Rename, Renamed };
volatile Step g_killAt = Step::None;

void killSelf()
{
    ::kill(::getpid(), SIGKILL);
}

} // namespace

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

class TestKilled : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
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
    }

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
        row("adding noise", Step::None, kNoiseLabel, 150000, true, "out.obj");
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
        int status = 0;
        ::waitpid(child, &status,
                  0); // the suite's time-out ends a run that neither ends nor reaches the step
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

private:
    QByteArray m_original;
    QByteArray m_cleanOutput; // what an uninterrupted run writes
};

QTEST_GUILESS_MAIN(TestKilled)
#include "tst_reliability_kill.moc"
