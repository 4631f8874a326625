#pragma once

// The files that the format check and the conversion both begin with, and the source's guard
// against a change under a run.

#include "engine/uniquefd.h"

#include <memory>
#include <string>
#include <sys/stat.h>

namespace jf {

class ConversionOptions;
class FileDescriptor;

// The two names read from the options, the source opened for reading, and the destination's
// folder found.
struct PhaseFiles
{
    std::unique_ptr<FileDescriptor> source; // its iFile is sourceFd
    std::unique_ptr<FileDescriptor> destination;
    std::string sourcePath;      // on disk
    std::string destinationPath; // where the destination file is created
    struct stat sourceInfo
    {
    };
    UniqueFd sourceFd;
};

// Throws EngineError for a source that cannot be opened or is no regular file, for a missing
// folder of the destination, and for a folder where the destination file should go.
PhaseFiles openPhaseFiles(const ConversionOptions& options);

// Opens an existing source for reading. Refuses anything but a regular file without ever blocking
// on it (a FIFO or a device stays unread). `info` receives its status.
UniqueFd openSourceFile(const std::string& path, struct stat& info);

// True when the file behind `fd` (or with status `now`) still has the size and time of change in
// `before`.
bool unchangedSince(int fd, const struct stat& before);
bool unchangedSince(const struct stat& now, const struct stat& before);

} // namespace jf
