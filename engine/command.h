#pragma once

#include "engine/convert.h"

#include <string>

namespace jf {

struct CommandOutcome
{
    enum class Kind {
        Refused,     // a check failed; its message was shown
        Declined,    // the user kept the existing destination
        Failed,      // the format check or the conversion failed; the message was shown
        Interrupted, // the command line was interrupted; no later phase ran
        Done,        // the conversion ran to its end or was cancelled in one of its phases
    };
    Kind kind = Kind::Refused;
    std::string message;
    bool checkCancelled = false;
    CheckResult check;
    RunSummary summary;
    std::shared_future<void> releasing; // RunResult::releasing
};

// The Convert command: checks the two names in their fixed order, completes the destination from the
// source and writes it back, asks before an existing destination is replaced, then runs the format
// check and the conversion. Every message goes through `prompts`, titled "Problem".
CommandOutcome runConvertCommand(const EngineHost& host, CommandPrompts& prompts);

} // namespace jf
