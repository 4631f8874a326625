#include "cli/filerun.h"
#include "cli/report.h"
#include "cli/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <unistd.h>

namespace jf::cli {

namespace {

// The phase and a percentage on stderr, a few times a second, when stderr is a terminal.
class PhaseProgress : public StatusView
{
public:
    explicit PhaseProgress(bool enabled) : m_enabled(enabled) {}
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

// The window's message boxes on stderr; the question is asked only where someone can answer it.
class TerminalPrompts : public CommandPrompts
{
public:
    explicit TerminalPrompts(bool force) : m_force(force) {}
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

} // namespace

int runSingle(const Settings& settings)
{
    PhaseProgress status(!settings.quiet && ::isatty(STDERR_FILENO));
    TerminalPrompts prompts(settings.force);
    const FileResult result = runFile(settings, settings.files.front(), settings.workers, status, prompts);
    if (settings.json)
        std::cout << jsonLine(result).toStdString() << std::endl;

    switch (result.kind) {
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
    if (!settings.quiet) {
        std::ostream& human = settings.json ? std::cerr : std::cout;
        human << summaryLine(result) << '\n';
        if (const std::string kept = keptSourceLine(result); !kept.empty())
            human << kept << '\n';
    }
    return interruptRequested() ? kExitInterrupted : kExitDone;
}

} // namespace jf::cli
