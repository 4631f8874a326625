#include "cli/filerun.h"

#include <atomic>
#include <chrono>
#include <csignal>

namespace jf::cli {

namespace {

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
    CliOptions(const Settings& settings, FileJob& file) : m_settings(settings), m_file(file) {}
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
    FileJob& m_file;
};

class CliEvents : public EventLoop
{
public:
    // Every phase clears the one cancel flag at its start. Where files run side by side, one that
    // starts a phase just after the interrupt would clear it for the others too; setting it again
    // at every step makes each running file see the interrupt at its next chunk.
    void yield() override
    {
        if (g_interrupted.load(std::memory_order_relaxed))
            CancelRequested.store(kTrue, std::memory_order_relaxed);
    }
    bool interrupted() const override { return g_interrupted.load(std::memory_order_relaxed); }
};

} // namespace

void installInterruptHandlers()
{
    struct sigaction action
    {
    };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interruptRequested()
{
    return g_interrupted.load();
}

void requestInterrupt()
{
    onInterrupt(SIGINT);
}

FileResult runFile(const Settings& settings, const FileJob& file, int workers, StatusView& status,
                   CommandPrompts& prompts)
{
    FileResult result;
    result.file = file;
    CliOptions options(settings, result.file);
    CliEvents events;
    EngineHost host{options, status, events};
    if (settings.day) {
        const double fixed = *settings.day;
        host.clock = [fixed] { return fixed; };
    }
    host.rewriteSource = !settings.keepSource;
    host.workers = workers;

    const auto start = std::chrono::steady_clock::now();
    CommandOutcome outcome = runConvertCommand(host, prompts);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The files that the run lets go are released beside its end, which the time leaves out; the
    // next file in a batch starts once they are.
    if (outcome.releasing.valid())
        outcome.releasing.wait();
    if (outcome.check.dropping.valid())
        outcome.check.dropping.wait();

    result.kind = outcome.kind;
    result.keptReason = outcome.check.keptReason;
    switch (outcome.kind) {
    case CommandOutcome::Kind::Refused:
    case CommandOutcome::Kind::Failed:
        result.status = FileStatus::Failed;
        result.error = outcome.message;
        break;
    case CommandOutcome::Kind::Declined:
        result.status = FileStatus::Failed;
        result.error = "The destination file " + result.file.destination +
                       " exists and was not replaced: --force replaces it without asking.";
        break;
    case CommandOutcome::Kind::Interrupted:
        result.status = FileStatus::Cancelled;
        break;
    case CommandOutcome::Kind::Done:
        result.summary = std::move(outcome.summary);
        result.status = result.summary.noiseCancelled ? FileStatus::Cancelled : FileStatus::Done;
        break;
    }
    return result;
}

} // namespace jf::cli
