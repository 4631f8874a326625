// jitterform-cli: the Convert command without a window. The options stand for the window's
// controls, progress goes to stderr, and Ctrl-C or SIGTERM cancel as the Cancel button would.

#include "cli/options.h"
#include "engine/command.h"
#include "text/number.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using namespace jf;
using namespace jf::cli;

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int)
{
    g_interrupted.store(true);
    CancelRequested.store(kTrue);
}

class CliOptions : public ConversionOptions
{
public:
    CliOptions(const Settings& settings, FileJob file) : m_settings(settings), m_file(std::move(file)) {}
    std::string sourceText() const override { return m_file.source; }
    std::string destinationText() const override { return m_file.destination; }
    void setDestinationText(std::string_view text) override { m_file.destination = text; }
    std::string intensityText() const override { return m_settings.intensity; }
    int algorithmIndex() const override { return m_settings.algorithm; }
    int xValue() const override { return m_settings.axes[0] ? Checked : Unchecked; }
    int yValue() const override { return m_settings.axes[1] ? Checked : Unchecked; }
    int zValue() const override { return m_settings.axes[2] ? Checked : Unchecked; }
    int normalsValue() const override { return m_settings.normals ? Checked : Unchecked; }
    int splitValue() const override { return m_settings.split ? Checked : Unchecked; }

private:
    const Settings& m_settings;
    FileJob m_file;
};

// The phase and a percentage on stderr, a few times a second, when stderr is a terminal.
class CliStatus : public StatusView
{
public:
    explicit CliStatus(bool enabled) : m_enabled(enabled) {}
    void setCaption(std::string_view) override {}
    std::string label() const override { return m_label; }
    void setLabel(std::string_view text) override { m_label = text; }
    void setMin(float value) override { m_min = value; }
    void setMax(float value) override { m_max = value; }
    void setValue(float value) override
    {
        m_value = value;
        if (m_enabled && (++m_calls & 4095) == 0)
            repaint(false);
    }
    void show() override
    {
        m_shown = true;
        if (m_enabled)
            repaint(true);
    }
    void hide() override
    {
        if (m_enabled && m_shown)
            std::fputs("\r\033[K", stderr);
        m_shown = false;
    }

private:
    void repaint(bool now)
    {
        const auto time = std::chrono::steady_clock::now();
        if (!now && time - m_lastPaint < std::chrono::milliseconds(250))
            return;
        m_lastPaint = time;
        const double span = double(m_max) - double(m_min);
        const int percent = span > 0 ? int(100.0 * (double(m_value) - double(m_min)) / span) : 0;
        std::fprintf(stderr, "\r\033[K%s %d%%", m_label.c_str(), std::max(0, std::min(100, percent)));
        std::fflush(stderr);
    }

    bool m_enabled;
    bool m_shown = false;
    std::string m_label;
    float m_min = 0, m_max = 0, m_value = 0;
    unsigned m_calls = 0;
    std::chrono::steady_clock::time_point m_lastPaint;
};

class CliEvents : public EventLoop
{
public:
    void yield() override {}
    bool interrupted() const override { return g_interrupted.load(std::memory_order_relaxed); }
};

class CliPrompts : public CommandPrompts
{
public:
    explicit CliPrompts(bool force) : m_force(force) {}
    void problem(std::string_view message) override { std::cerr << "Problem: " << message << '\n'; }
    bool confirm(std::string_view message) override
    {
        if (m_force)
            return true;
        if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) {
            std::cerr << "Problem: " << message << " Not replaced: --force replaces it without asking.\n";
            return false;
        }
        std::cerr << message << " [y/N] " << std::flush;
        std::string answer;
        std::getline(std::cin, answer);
        return answer == "y" || answer == "Y" || answer == "yes";
    }
    void focusSource() override {}
    void focusDestination() override {}

private:
    bool m_force;
};

std::string formatted(double value)
{
    char buffer[kPrintedNumberMax];
    const char* const end = printNumber(value, buffer);
    const char* const begin = buffer + (buffer[0] == ' ' ? 1 : 0);
    return std::string(begin, end - 1);
}

void printSummary(const CommandOutcome& outcome, double seconds)
{
    const RunSummary& s = outcome.summary;
    std::string line = s.destination + ": " + std::to_string(s.vertices) + " vertices and " +
                       std::to_string(s.normals) + " normals noised, " + std::to_string(s.quadsSplit) +
                       " quads split; amplitude " + formatted(s.noiseScale);
    if (s.noiseScale == 0.0)
        line += s.intensity == 0.0 ? " (the intensity reads as 0)" : " (the smallest extent of the box is 0)";
    line += ", day " + std::to_string(s.daySeed);
    if (s.scanCancelled)
        line += "; the scan was cancelled";
    if (s.noiseCancelled)
        line += "; cancelled, the destination holds the lines written so far";
    char time[32];
    std::snprintf(time, sizeof time, "; %.2f s", seconds);
    std::cout << line << time << '\n';
    if (!outcome.check.keptReason.empty())
        std::cout << "The source was left as it is: " << outcome.check.keptReason << ".\n";
}

int runOne(const Settings& settings, const FileJob& file)
{
    CliOptions options(settings, file);
    CliStatus status(!settings.quiet && ::isatty(STDERR_FILENO));
    CliEvents events;
    CliPrompts prompts(settings.force);
    EngineHost host{options, status, events};
    if (settings.day) {
        const double fixed = *settings.day;
        host.clock = [fixed] { return fixed; };
    }
    host.rewriteSource = !settings.keepSource;
    host.workers = settings.workers;

    const auto start = std::chrono::steady_clock::now();
    const CommandOutcome outcome = runConvertCommand(host, prompts);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    switch (outcome.kind) {
    case CommandOutcome::Kind::Refused:
    case CommandOutcome::Kind::Declined:
    case CommandOutcome::Kind::Failed:
        return kExitFailure;
    case CommandOutcome::Kind::Interrupted:
        std::cerr << "Interrupted.\n";
        return kExitInterrupted;
    case CommandOutcome::Kind::Done:
        break;
    }
    if (!settings.quiet)
        printSummary(outcome, seconds);
    return g_interrupted.load() ? kExitInterrupted : kExitDone;
}

} // namespace

int main(int argc, char* argv[])
{
    ReadOutcome read = readOptions(argumentList(argc, argv));
    if (const int* status = std::get_if<int>(&read))
        return *status;
    const Settings& settings = std::get<Settings>(read);

    struct sigaction action
    {
    };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    int exitStatus = kExitDone;
    for (const FileJob& file : settings.files) {
        const int status = runOne(settings, file);
        if (status != kExitDone)
            exitStatus = status;
        if (status == kExitInterrupted)
            break;
    }
    return exitStatus;
}
