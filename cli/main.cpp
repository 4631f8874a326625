// jitterform-cli: the Convert command without a window. The options stand for the window's
// controls, progress goes to stderr, and Ctrl-C or SIGTERM cancel as the Cancel button would.

#include "cli/previewcommand.h"
#include "engine/command.h"
#include "engine/version.h"
#include "path/filedescriptor.h"
#include "text/casemap.h"
#include "text/number.h"

#include <QCommandLineParser>
#include <QStringList>

#include <algorithm>
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

constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int)
{
    g_interrupted.store(true);
    CancelRequested.store(kTrue);
}

struct Settings
{
    std::string source;
    std::string destination;
    std::string intensity = "0.1";
    int algorithm = White;
    bool axes[3] = {true, true, true};
    bool normals = false;
    bool split = false;
    std::optional<std::int32_t> day;
    bool force = false;
    bool keepSource = false;
    bool quiet = false;
    int workers = -1;
};

class CliOptions : public ConversionOptions
{
public:
    explicit CliOptions(Settings& settings) : m_settings(settings) {}
    std::string sourceText() const override { return m_settings.source; }
    std::string destinationText() const override { return m_settings.destination; }
    void setDestinationText(std::string_view text) override { m_settings.destination = text; }
    std::string intensityText() const override { return m_settings.intensity; }
    int algorithmIndex() const override { return m_settings.algorithm; }
    int xValue() const override { return m_settings.axes[0] ? Checked : Unchecked; }
    int yValue() const override { return m_settings.axes[1] ? Checked : Unchecked; }
    int zValue() const override { return m_settings.axes[2] ? Checked : Unchecked; }
    int normalsValue() const override { return m_settings.normals ? Checked : Unchecked; }
    int splitValue() const override { return m_settings.split ? Checked : Unchecked; }

private:
    Settings& m_settings;
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

// Arguments are bytes: decoding them as Latin-1 keeps every byte of a path that is not UTF-8.
std::string bytes(const QString& text)
{
    return text.toLatin1().toStdString();
}

std::string absolute(const std::string& path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    std::string cwd(4096, '\0');
    while (!::getcwd(cwd.data(), cwd.size()))
        cwd.resize(cwd.size() * 2);
    cwd.resize(std::char_traits<char>::length(cwd.c_str()));
    return cwd == "/" ? "/" + path : cwd + "/" + path;
}

std::string proposedDestination(const std::string& source)
{
    FileDescriptor descriptor;
    descriptor.Split(source);
    descriptor.setFile(descriptor.File() + "_n");
    return toLowerText(descriptor.Path());
}

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

int usageError(const QString& message)
{
    std::cerr << "jitterform-cli: " << message.toStdString() << "\nTry 'jitterform-cli --help'.\n";
    return kExitUsage;
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLatin1(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription("Adds seeded noise to the vertices (and, on request, the normals) of a "
                                     "Wavefront OBJ mesh, and splits its quads on request.");
    const QCommandLineOption intensity({"i", "intensity"}, "The intensity text, as typed into the window.",
                                       "X", "0.1");
    const QCommandLineOption type({"t", "type"}, "white, squared or cubic.", "NAME", "white");
    const QCommandLineOption axes({"a", "axes"}, "The axes that get noise, e.g. xz; \"none\" for none.",
                                  "AXES", "xyz");
    const QCommandLineOption normals({"n", "normals"}, "Add noise to normals.");
    const QCommandLineOption split({"s", "split-quads"}, "Split four-cornered faces.");
    const QCommandLineOption day("day", "Use day number N instead of today's, for reproducible output.", "N");
    const QCommandLineOption force({"f", "force"}, "Replace an existing destination without asking.");
    const QCommandLineOption keep("keep-source", "Leave the source file as it is (same output).");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress and no summary.");
    const QCommandLineOption threads("threads",
                                     "Helper threads for the number work: 0 for none (default: one "
                                     "when there is a second core). The output is the same.",
                                     "N");
    const QCommandLineOption version("version", "Print the version.");
    const QCommandLineOption preview("preview",
                                     "Render the preview's Before/After picture of SOURCE to FILE.png "
                                     "with the noise options given, instead of converting. Needs no display.",
                                     "FILE.png");
    const QCommandLineOption size("size", "The size of the --preview picture (default 1600x800).", "WxH",
                                  "1600x800");
    parser.addOptions({intensity, type, axes, normals, split, day, force, keep, quiet, threads, version, preview,
                       size});
    parser.addHelpOption();
    parser.addPositionalArgument("SOURCE", "The OBJ file to roughen.");
    parser.addPositionalArgument(
        "DESTINATION", "The file to write; default: SOURCE with _n added to its name.", "[DESTINATION]");
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet("help")) {
        // Without an application object the parser cannot know the program's name.
        std::cout << parser.helpText()
                         .replace(QStringLiteral("<executable_name>"), QStringLiteral("jitterform-cli"))
                         .toStdString();
        return kExitDone;
    }
    if (parser.isSet(version)) {
        std::cout << versionCaption() << '\n';
        return kExitDone;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty() || positional.size() > 2)
        return usageError(positional.isEmpty() ? "A SOURCE file is needed." : "Too many arguments.");

    Settings settings;
    settings.source = absolute(bytes(positional[0]));
    if (positional.size() == 2) {
        const std::string destination = bytes(positional[1]);
        // A bare name goes through as typed, so that it lands beside the source as in the window.
        settings.destination =
            destination.find('/') == std::string::npos ? destination : absolute(destination);
    } else {
        settings.destination = proposedDestination(settings.source);
    }
    settings.intensity = bytes(parser.value(intensity));
    const QString shape = parser.value(type).toLower();
    if (shape == "white")
        settings.algorithm = White;
    else if (shape == "squared")
        settings.algorithm = Squared;
    else if (shape == "cubic")
        settings.algorithm = Cubic;
    else
        return usageError("Unknown noise type \"" + parser.value(type) + "\": white, squared or cubic.");
    const QString axisText = parser.value(axes).toLower();
    if (axisText != "none") {
        settings.axes[0] = settings.axes[1] = settings.axes[2] = false;
        for (const QChar c : axisText) {
            if (c != 'x' && c != 'y' && c != 'z')
                return usageError("Unknown axes \"" + parser.value(axes) +
                                  "\": letters x, y and z, or none.");
            settings.axes[c.unicode() - 'x'] = true;
        }
        if (axisText.isEmpty())
            return usageError("No axes given: letters x, y and z, or none.");
    } else {
        settings.axes[0] = settings.axes[1] = settings.axes[2] = false;
    }
    settings.normals = parser.isSet(normals);
    settings.split = parser.isSet(split);
    if (parser.isSet(day)) {
        bool ok = false;
        const int value = parser.value(day).toInt(&ok);
        if (!ok)
            return usageError("The day number \"" + parser.value(day) + "\" is not a whole number.");
        settings.day = value;
    }
    if (parser.isSet(threads)) {
        bool ok = false;
        settings.workers = parser.value(threads).toInt(&ok);
        if (!ok || settings.workers < 0 || settings.workers > 64)
            return usageError("The number of threads \"" + parser.value(threads) + "\" is not from 0 to 64.");
    }
    settings.force = parser.isSet(force);
    settings.keepSource = parser.isSet(keep);
    settings.quiet = parser.isSet(quiet);

    if (parser.isSet(preview)) {
        if (positional.size() != 1)
            return usageError("--preview takes one SOURCE file.");
        PreviewRequest request;
        request.source = settings.source;
        request.picture = absolute(bytes(parser.value(preview)));
        if (!parsePictureSize(bytes(parser.value(size)), request.width, request.height))
            return usageError("The size \"" + parser.value(size) + "\" is not WIDTHxHEIGHT, each from 16 to 8192.");
        request.settings.intensityText = settings.intensity;
        request.settings.algorithm = settings.algorithm;
        std::copy(std::begin(settings.axes), std::end(settings.axes), std::begin(request.settings.axes));
        request.settings.split = settings.split;
        const double fixed = settings.day ? double(*settings.day) : 0.0;
        request.settings.daySeed = DaySeed(settings.day ? DayClock([fixed] { return fixed; }) : DayClock(systemOleDate));
        request.force = settings.force;
        request.quiet = settings.quiet;
        return runPreviewCommand(request);
    }

    struct sigaction action
    {
    };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    CliOptions options(settings);
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
