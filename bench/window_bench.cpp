// window_bench: the conversion run from the main window, offscreen, against the command line on the
// same file; how late a timer fires while the window converts; how soon Cancel ends a phase.
//
//   window_bench [--runs N] [--cli PATH] [--no-cancel] SOURCE.obj
//
// Every run works on a fresh copy of SOURCE in a private folder beside it (the format check
// rewrites its source), made and written back to disk (sync) before the clock starts.
//  1. Timing: N window runs and N command-line runs, alternating; the window's controls are set as
//     `jitterform-cli -q --day 45000 -f` reads its options, the day clock is fixed the same way, and
//     the first run's two outputs are compared byte for byte.
//  2. Timer latency: during each window run a chain of 1 ms single-shot timers, owned by the
//     window, is kept going; each timer's lateness is the time it fired minus the time it was due.
//  3. Cancel: one window run per phase (format check, scan, noise); 300 ms after the phase's label
//     is up (the scan's: as soon as it is seen), the status window's Cancel button is clicked; the
//     latency is the time until the status window hides, the next phase's label is up (seen at the
//     next serving of events, so the figure is an upper bound) or the run returns.
// Prints a markdown table. Runs offscreen unless QT_QPA_PLATFORM says otherwise.

#include "ui/frmmain1.h"
#include "ui/frmstatus.h"
#include "ui/registry.h"
#include "ui/services.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace jf;
namespace fs = std::filesystem;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

class NoDialog : public FileDialog
{
public:
    std::optional<QString> choose(QWidget*, const Setup&) override { return std::nullopt; }
};

// Answers OK and keeps the texts: a message during a timed run is reported, since it means the run
// did not do the whole job.
class Messages : public MessageBoxes
{
public:
    QStringList shown;
    bool show(QWidget*, const QString& title, const QString& text, Buttons) override
    {
        shown << title + ": " + text;
        return true;
    }
};

class NoTools : public SystemTools
{
public:
    bool startProgram(const QString&) override { return false; }
    void beep() override {}
};

// Follows the phases through the status window: its hidings (an event) and its label, which the
// engine sets at each phase's start without hiding the window between the two passes. The label
// is looked at whenever a probe timer fires, so a change is seen at most one serving late.
class StatusWatch : public QObject
{
public:
    explicit StatusWatch(frmMain1& window) : m_window(window) {}
    std::vector<Clock::time_point> hides;
    std::vector<QString> labels; // each phase's label, in order
    std::vector<Clock::time_point> labelSeen;

    void clear()
    {
        hides.clear();
        labels.clear();
        labelSeen.clear();
    }
    void look()
    {
        const frmStatus* status = m_window.status();
        if (status == nullptr || !status->isVisible())
            return;
        const QString label = status->Label1->text();
        // Cancel marks the running phase's label; that is still the same phase.
        if (label.endsWith(QStringLiteral("cancel")))
            return;
        if (labels.empty() || labels.back() != label) {
            labels.push_back(label);
            labelSeen.push_back(Clock::now());
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_window.status() && m_window.status() != nullptr && event->type() == QEvent::Hide)
            hides.push_back(Clock::now());
        return false;
    }

private:
    frmMain1& m_window;
};

// A chain of 1 ms single-shot timers owned by the window: each one, when it fires, notes how late
// it is and posts the next.
class TimerProbe
{
public:
    explicit TimerProbe(QObject* owner) : m_owner(owner) {}
    std::vector<double> lateness; // seconds
    std::vector<Clock::time_point> due;
    std::function<void()> onFire;

    void start()
    {
        ++m_generation;
        lateness.clear();
        due.clear();
        post();
    }
    // A timer still pending from an earlier run is ignored when it fires.
    void stop() { ++m_generation; }

private:
    void post()
    {
        const Clock::time_point at = Clock::now() + std::chrono::milliseconds(1);
        QTimer::singleShot(1, Qt::PreciseTimer, m_owner, [this, when = at, generation = m_generation] {
            if (generation != m_generation)
                return;
            lateness.push_back(std::max(0.0, seconds(Clock::now() - when)));
            due.push_back(when);
            if (onFire)
                onFire();
            post();
        });
    }

    QObject* m_owner;
    unsigned m_generation = 0;
};

bool freshCopy(const fs::path& from, const fs::path& to)
{
    std::error_code error;
    fs::remove(to, error);
    if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, error)) {
        std::fprintf(stderr, "window_bench: cannot copy %s: %s\n", from.c_str(), error.message().c_str());
        return false;
    }
    ::sync();
    return true;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * double(v.size())))];
}

bool sameBytes(const fs::path& a, const fs::path& b)
{
    return QProcess::execute(QStringLiteral("cmp"), {QStringLiteral("-s"), QString::fromStdString(a.string()),
                                                     QString::fromStdString(b.string())}) == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    // Keep the window's stored settings out of the user's own.
    QStandardPaths::setTestModeEnabled(true);

    int runs = 3;
    bool cancelRuns = true;
    QString cli = QCoreApplication::applicationDirPath() + "/../cli/jitterform-cli";
    QString sourceArg;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--runs" && i + 1 < args.size())
            runs = std::max(1, args[++i].toInt());
        else if (args[i] == "--cli" && i + 1 < args.size())
            cli = args[++i];
        else if (args[i] == "--no-cancel")
            cancelRuns = false;
        else
            sourceArg = args[i];
    }
    if (sourceArg.isEmpty()) {
        std::fprintf(stderr, "usage: window_bench [--runs N] [--cli PATH] [--no-cancel] SOURCE.obj\n");
        return 2;
    }
    const fs::path input = fs::absolute(sourceArg.toStdString());
    std::string pattern = (input.parent_path() / "window-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("window_bench: mkdtemp");
        return 2;
    }
    const fs::path folder = pattern;
    const fs::path source = folder / "source.obj";
    const fs::path destination = folder / "destination.obj";
    const fs::path reference = folder / "reference.obj";
    const auto cleanUp = [&] {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    };

    NoDialog dialog;
    Messages messages;
    StandInRegistry registry;
    NoTools tools;
    const UiServices services{dialog, messages, registry, tools};
    frmMain1 window(services);
    window.setDayClock([] { return 45000.0; });
    window.show();
    QCoreApplication::processEvents();

    const auto setControls = [&] {
        window.txtSource->setText(QString::fromStdString(source.string()));
        window.txtDestination->setText(QString::fromStdString(destination.string()));
        window.txtIntensity->setText(QStringLiteral("0.1"));
        window.cmbAlgorithm->setCurrentIndex(White);
        for (QCheckBox* box : {window.chkX, window.chkY, window.chkZ})
            box->setCheckState(Qt::Checked);
        window.chkNormals->setCheckState(Qt::Unchecked);
        window.chkSplit->setCheckState(Qt::Unchecked);
    };

    StatusWatch watch(window);
    application.installEventFilter(&watch);
    TimerProbe probe(&window);
    probe.onFire = [&] { watch.look(); };

    // One window run; returns its wall time.
    Clock::time_point runStart{}, runEnd{};
    const auto windowRun = [&]() -> double {
        setControls();
        watch.clear();
        probe.start();
        runStart = Clock::now();
        window.cmdConvert->click();
        runEnd = Clock::now();
        probe.stop();
        return seconds(runEnd - runStart);
    };
    // Where in the run a timer was due: in which phase, how far into it, and how soon after it
    // fired the next phase's label was seen (or the run ended). A stall that ends right before
    // the next phase shows the work at the end of a phase (writing the file back, say).
    const auto describeDue = [&](Clock::time_point due, double late) -> QString {
        QString phase = QStringLiteral("before the first phase");
        Clock::time_point phaseSeen = runStart, next = runEnd;
        QString nextName = QStringLiteral("the run's end");
        for (std::size_t i = 0; i < watch.labels.size(); ++i) {
            if (watch.labelSeen[i] <= due) {
                phase = watch.labels[i];
                phaseSeen = watch.labelSeen[i];
            } else {
                next = watch.labelSeen[i];
                nextName = QStringLiteral("the next phase's label");
                break;
            }
        }
        const Clock::time_point fired = due + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(late));
        return QStringLiteral("due %1 s into the run, %2 s into \"%3\"; %4 ms after it fired, %5 was seen")
            .arg(seconds(due - runStart), 0, 'f', 2)
            .arg(seconds(due - phaseSeen), 0, 'f', 2)
            .arg(phase)
            .arg(seconds(next - fired) * 1e3, 0, 'f', 0)
            .arg(nextName);
    };

    std::vector<double> windowTimes, cliTimes, maxLate, p99Late;
    QString latestWhere; // where the latest timer of all was due
    std::size_t timerCount = 0, lateCount = 0;
    bool identical = false;
    for (int r = 0; r < runs; ++r) {
        for (int leg = 0; leg < 2; ++leg) {
            const bool windowLeg = (leg == 0) == (r % 2 == 0);
            std::error_code ignored;
            fs::remove(destination, ignored);
            if (!freshCopy(input, source)) {
                cleanUp();
                return 1;
            }
            if (windowLeg) {
                messages.shown.clear();
                const double wall = windowRun();
                windowTimes.push_back(wall);
                const auto latest = std::max_element(probe.lateness.begin(), probe.lateness.end());
                maxLate.push_back(latest == probe.lateness.end() ? 0.0 : *latest);
                if (latest != probe.lateness.end() &&
                    *latest >= *std::max_element(maxLate.begin(), maxLate.end()))
                    latestWhere = describeDue(probe.due[std::size_t(latest - probe.lateness.begin())], *latest);
                // Every timer over the limit, with where it was due.
                for (std::size_t i = 0; i < probe.lateness.size(); ++i) {
                    if (probe.lateness[i] <= 0.050)
                        continue;
                    ++lateCount;
                    std::fprintf(stderr, "    timer %.1f ms late, %s\n", probe.lateness[i] * 1e3,
                                 qPrintable(describeDue(probe.due[i], probe.lateness[i])));
                }
                p99Late.push_back(percentile(probe.lateness, 0.99));
                timerCount += probe.lateness.size();
                std::fprintf(stderr, "  window run %d: %.3f s, %zu timers, latest %.1f ms, %zu phases seen\n", r + 1,
                             wall, probe.lateness.size(), maxLate.back() * 1e3, watch.labels.size());
                for (const QString& m : messages.shown)
                    std::fprintf(stderr, "    message: %s\n", qPrintable(m));
                if (!fs::exists(destination) || !messages.shown.isEmpty()) {
                    std::fprintf(stderr, "window_bench: the window's run did not complete\n");
                    cleanUp();
                    return 1;
                }
            } else {
                QProcess process;
                const Clock::time_point start = Clock::now();
                process.start(cli, {"-q", "--day", "45000", "-f", QString::fromStdString(source.string()),
                                    QString::fromStdString(destination.string())});
                process.waitForFinished(-1);
                const double wall = seconds(Clock::now() - start);
                if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
                    std::fprintf(stderr, "window_bench: %s failed: %s\n", qPrintable(cli),
                                 process.readAllStandardError().constData());
                    cleanUp();
                    return 1;
                }
                cliTimes.push_back(wall);
                std::fprintf(stderr, "  command line run %d: %.3f s\n", r + 1, wall);
            }
            if (r == 0) {
                if (leg == 0) {
                    fs::rename(destination, reference, ignored);
                } else {
                    identical = sameBytes(destination, reference);
                    fs::remove(reference, ignored);
                }
            }
        }
    }

    // Cancel in each phase, 300 ms into it. The phase has ended when the status window hides or the
    // next phase's label is up, whichever is seen first.
    struct CancelResult
    {
        QString label;
        double latency = -1;
        QString next; // what followed the cancelled phase
    };
    std::vector<CancelResult> cancels;
    // A rewritten source's scan runs beside the format check, so its phase may last only as long
    // as the check outlasts it: Cancel is pressed at the first timer that sees its label.
    const QString phases[3] = {QStringLiteral("Checking OBJ file format ..."),
                               QStringLiteral("scan for extents ..."),
                               QStringLiteral("adding noise to verticies ...")};
    const std::chrono::milliseconds delays[3] = {std::chrono::milliseconds(300), std::chrono::milliseconds(0),
                                                 std::chrono::milliseconds(300)};
    for (std::size_t phase = 0; cancelRuns && phase < 3; ++phase) {
        std::error_code ignored;
        fs::remove(destination, ignored);
        if (!freshCopy(input, source)) {
            cleanUp();
            return 1;
        }
        Clock::time_point pressed{};
        std::size_t pressedAt = 0; // the cancelled phase's index in watch.labels
        probe.onFire = [&] {
            watch.look();
            if (pressed != Clock::time_point{} || watch.labels.empty() || watch.labels.back() != phases[phase] ||
                Clock::now() - watch.labelSeen.back() < delays[phase])
                return;
            pressedAt = watch.labels.size() - 1;
            pressed = Clock::now();
            window.status()->Command1->click();
        };
        windowRun();
        probe.onFire = [&] { watch.look(); };
        CancelResult result;
        result.label = phases[phase];
        if (pressed != Clock::time_point{}) {
            Clock::time_point end = runEnd;
            for (const Clock::time_point& hidden : watch.hides)
                if (hidden >= pressed)
                    end = std::min(end, hidden);
            if (watch.labels.size() > pressedAt + 1)
                end = std::min(end, watch.labelSeen[pressedAt + 1]);
            result.latency = seconds(end - pressed);
            result.next = watch.labels.size() > pressedAt + 1 ? watch.labels[pressedAt + 1]
                                                             : QStringLiteral("(the run ended)");
        }
        cancels.push_back(result);
        std::fprintf(stderr, "  cancel in phase %zu (%s): %.1f ms\n", phase + 1, qPrintable(result.label),
                     result.latency * 1e3);
    }
    cleanUp();

    const double w = median(windowTimes), c = median(cliTimes);
    std::printf("## The window against the command line, %s\n\n", qPrintable(QString::fromStdString(input.filename().string())));
    std::printf("| what | figure | target |\n|---|---|---|\n");
    std::printf("| window, median of %d | %.3f s | |\n", runs, w);
    std::printf("| command line, median of %d | %.3f s | |\n", runs, c);
    std::printf("| window / command line | %.3f | at most 1.15 |\n", c > 0 ? w / c : 0.0);
    std::printf("| outputs byte-identical | %s | yes |\n", identical ? "yes" : "NO");
    std::printf("| timers fired during the window runs | %zu | |\n", timerCount);
    std::printf("| latest timer, worst run (%s) | %.1f ms | at most 50 ms |\n", qPrintable(latestWhere),
                maxLate.empty() ? 0.0 : *std::max_element(maxLate.begin(), maxLate.end()) * 1e3);
    std::printf("| timers more than 50 ms late, all window runs | %zu | 0 |\n", lateCount);
    std::printf("| timer lateness, 99th percentile, worst run | %.1f ms | |\n",
                p99Late.empty() ? 0.0 : *std::max_element(p99Late.begin(), p99Late.end()) * 1e3);
    for (const CancelResult& r : cancels) {
        if (r.latency < 0)
            std::printf("| Cancel in \"%s\" | not measured (the phase ended first) | at most 50 ms |\n",
                        qPrintable(r.label));
        else
            std::printf("| Cancel in \"%s\" until the phase ends (then: %s) | %.1f ms | at most 50 ms |\n",
                        qPrintable(r.label), qPrintable(r.next), r.latency * 1e3);
    }
    return 0;
}
