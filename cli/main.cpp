// jitterform-cli: the Convert command without a window. The options stand for the window's
// controls, progress goes to stderr, and Ctrl-C or SIGTERM cancel as the Cancel button would.

#include "cli/filerun.h"
#include "cli/options.h"
#include "cli/run.h"

#include <variant>

int main(int argc, char* argv[])
{
    using namespace jf::cli;
    const ReadOutcome read = readOptions(argumentList(argc, argv));
    if (const int* status = std::get_if<int>(&read))
        return *status;
    const Settings& settings = std::get<Settings>(read);
    installInterruptHandlers();
    return settings.batch ? runBatch(settings) : runSingle(settings);
}
