#pragma once

// Running what the options asked for. Both expect installInterruptHandlers() to have been called
// and return the exit status.

#include "cli/options.h"

namespace jf::cli {

// One file, as the command line has always converted it: progress by phase on a terminal, an
// existing destination replaced after asking there (or with -f), the summary on stdout.
int runSingle(const Settings& settings);

// Several sources, -j at a time, each converted exactly as it would be alone. Refuses the whole
// batch (exit 2) before any work when a source is named twice, two sources share a destination or a
// destination is another source. Never asks; one file's failure does not stop the others.
int runBatch(const Settings& settings);

} // namespace jf::cli
