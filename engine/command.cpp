#include "engine/command.h"

#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"

#include <sys/stat.h>

namespace jf {

namespace {

// Names that differ in their text can still lead to one file: a link, or a letter case that the
// file system maps to the same name. Writing the destination would then empty the source.
bool sameFile(const FileDescriptor& a, const FileDescriptor& b)
{
    const ResolvedPath first = resolveOnDisk(a.Path());
    const ResolvedPath second = resolveOnDisk(b.Path());
    if (!first.exists || !second.exists)
        return false;
    struct stat x
    {
    };
    struct stat y
    {
    };
    return ::stat(first.path.c_str(), &x) == 0 && ::stat(second.path.c_str(), &y) == 0 &&
           x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string shown(const FileDescriptor& descriptor)
{
    return toLowerText(trimBlanks(descriptor.Path()));
}

} // namespace

CommandOutcome runConvertCommand(const EngineHost& host, CommandPrompts& prompts)
{
    CommandOutcome outcome;
    const auto refuse = [&](std::string message, void (CommandPrompts::*focus)()) {
        prompts.problem(message);
        (prompts.*focus)();
        outcome.kind = CommandOutcome::Kind::Refused;
        outcome.message = std::move(message);
        return outcome;
    };
    const auto failure = [&](std::string message) {
        prompts.problem(message);
        outcome.kind = CommandOutcome::Kind::Failed;
        outcome.message = std::move(message);
        return outcome;
    };

    FileDescriptor source;
    source.Split(host.options.sourceText());
    if (!source.isFile())
        return refuse("Can't locate the source file " + shown(source), &CommandPrompts::focusSource);

    const std::string destinationText = host.options.destinationText();
    if (trimBlanks(destinationText).empty())
        return refuse("You must specify a destination file.", &CommandPrompts::focusDestination);

    FileDescriptor destination;
    destination.Split(destinationText);
    if (trimBlanks(destination.Drive()).empty())
        destination.setDrive(source.Drive());
    if (trimBlanks(destination.Directory()).empty())
        destination.setDirectory(source.Directory());
    if (trimBlanks(destination.Extension()).empty())
        destination.setExtension("obj");
    host.options.setDestinationText(toLowerText(destination.Path()));
    // A name that ends in a separator or has no dot names a folder: completing it would write a
    // hidden ".obj" into that folder, a file that nobody asked for.
    if (trimBlanks(destination.File()).empty())
        return refuse("You must specify a destination file.", &CommandPrompts::focusDestination);

    if (toLowerText(source.Path()) == toLowerText(destination.Path()) || sameFile(source, destination))
        return refuse(
            "The source and destination files are the same. Choose another name for the destination file.",
            &CommandPrompts::focusDestination);

    if (destination.isFile()) {
        if (!prompts.confirm("The destination file " + shown(destination) + " exists. Overwrite?")) {
            outcome.kind = CommandOutcome::Kind::Declined;
            return outcome;
        }
        if (const std::error_code error = destination.Delete())
            return failure("Cannot delete the destination file " + resolveOnDisk(destination.Path()).path +
                           ": " + error.message() + ".");
    }

    outcome.check = CheckObjFormat(host);
    outcome.checkCancelled = outcome.check.cancelled;
    if (outcome.check.error)
        return failure(*outcome.check.error);
    if (host.events.interrupted()) {
        outcome.kind = CommandOutcome::Kind::Interrupted;
        return outcome;
    }

    RunResult run = ConvertMesh(host, std::move(outcome.check.earlier));
    outcome.summary = std::move(run.summary);
    outcome.releasing = std::move(run.releasing);
    if (run.error)
        return failure(*run.error);
    outcome.kind =
        outcome.summary.interrupted ? CommandOutcome::Kind::Interrupted : CommandOutcome::Kind::Done;
    return outcome;
}

} // namespace jf
