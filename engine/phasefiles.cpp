#include "engine/phasefiles.h"

#include "engine/engineerror.h"
#include "engine/host.h"
#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace jf {

namespace {

// The path on disk of the file a descriptor names, for opening it; where nothing matches, the path
// as the user sees it (lower case), for the message that follows.
std::string pathOnDisk(const FileDescriptor& descriptor)
{
    const ResolvedPath resolved = resolveOnDisk(descriptor.Path());
    return resolved.exists ? resolved.path : toLowerText(descriptor.Path());
}

// Fails when a destination path names a folder, which no file may replace.
void requireNoFolderAt(const FileDescriptor& destination)
{
    const ResolvedPath resolved = resolveOnDisk(destination.Path());
    struct stat info
    {
    };
    if (resolved.exists && ::stat(resolved.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        throw EngineError("The destination " + resolved.path + " is a folder, not a file.");
}

} // namespace

bool unchangedSince(const struct stat& now, const struct stat& before)
{
    return now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

bool unchangedSince(int fd, const struct stat& before)
{
    struct stat now
    {
    };
    return ::fstat(fd, &now) == 0 && unchangedSince(now, before);
}

PhaseFiles openPhaseFiles(const ConversionOptions& options)
{
    PhaseFiles files;
    files.source = std::make_unique<FileDescriptor>();
    files.source->Split(options.sourceText());
    files.destination = std::make_unique<FileDescriptor>();
    files.destination->Split(options.destinationText());
    files.sourcePath = pathOnDisk(*files.source);
    files.sourceFd = openSourceFile(files.sourcePath, files.sourceInfo);
    files.source->iFile = files.sourceFd.get();
    bool folderExists = false;
    files.destinationPath = pathForNewFile(files.destination->Path(), &folderExists);
    if (!folderExists)
        throw EngineError("The folder of the destination file " + toLowerText(files.destination->Path()) +
                          " does not exist.");
    requireNoFolderAt(*files.destination);
    return files;
}

UniqueFd openSourceFile(const std::string& path, struct stat& info)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        throwSystemError("Cannot open the source file", path, errno);
    if (::fstat(fd.get(), &info) != 0)
        throwSystemError("Cannot read the source file", path, errno);
    if (!S_ISREG(info.st_mode))
        throw EngineError("The source file " + path + " is not a file.");
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

} // namespace jf
