#pragma once

// One file's run of the Convert command from the command line, and the interrupt that stops runs.

#include "cli/options.h"
#include "engine/command.h"

#include <string>

namespace jf::cli {

// Routes SIGINT and SIGTERM to the interrupt below. Call once, before any run starts.
void installInterruptHandlers();

// True once SIGINT or SIGTERM arrived (or requestInterrupt() was called): running files end as a
// Cancel would, and no further phase or file starts.
bool interruptRequested();
void requestInterrupt();

// How a file's run ended, as the summary and the JSON report it.
enum class FileStatus { Done, Failed, Cancelled, NotStarted };

struct FileResult
{
    FileJob file; // the destination as the Convert command completed it
    FileStatus status = FileStatus::NotStarted;
    std::string error; // the failure's message, naming the file; empty unless Failed
    CommandOutcome::Kind kind = CommandOutcome::Kind::Refused;
    RunSummary summary;     // filled when kind is Done
    std::string keptReason; // why the source was left as it is, when it was
    double seconds = 0.0;
};

// Runs the Convert command on one file with the settings' choices. `status` and `prompts` are the
// front end's; each concurrent run needs its own. Engine messages go through `prompts` as they
// come; the result carries the failure's text as well. Waits for the files that the run releases.
FileResult runFile(const Settings& settings, const FileJob& file, int workers, StatusView& status,
                   CommandPrompts& prompts);

} // namespace jf::cli
