#pragma once

// The normalised copy that the format check puts in the source's place: written beside the source,
// nameless until it is complete, and renamed over the source in one step only if the source is
// still as the check read it. A run killed at any moment leaves the source either as it was or
// replaced by its complete copy.

#include "engine/engineerror.h"
#include "engine/outputfile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>

namespace jf {

class EventLoop;

// The error for a source that changed under the check; the change is the user's and stays.
EngineError changedWhileChecked(const std::string& sourcePath);

// True when `a` and `b` are the status of one file with the same size and time of change.
bool sameFileState(const struct stat& a, const struct stat& b);

// Why the source (really at `target`, past any link) may not be replaced, or empty when it may.
std::string reasonToKeep(const struct stat& source, const std::string& target);

// The size of the blocks in which the check reads the source and copies its unchanged start: the
// host's `blockBytes` in whole disk blocks, or a megabyte for 0.
std::size_t checkReadBytes(std::size_t blockBytes);

// Removes the copies that runs killed between naming and renaming a copy of `target` left behind,
// where the run's process is gone.
void removeStaleCopies(const std::string& target);

class ReplacementFile
{
public:
    ReplacementFile() = default;
    ~ReplacementFile(); // removes a copy that has a name and did not take the source's place
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Creates the copy of `target`, written in blocks of the host's `blockBytes` (0: the output
    // file's own size) and copied in checkReadBytes(blockBytes); false when its folder may not be
    // written. Its helper threads start through `start` where it is given.
    bool create(const std::string& target, mode_t mode, std::size_t blockBytes,
                const HelperStart& start = {});
    bool created() const { return m_out.has_value(); }
    OutputFile& out() { return *m_out; }

    // Writes the first `length` bytes of the source open as `from`, unchanged, to the copy; in the
    // kernel where the two files allow it.
    void copyPrefix(int from, std::uint64_t length, const std::string& sourcePath);

    // Gives the copy the source's permissions and owner, puts it on disk, and renames it over the
    // source in one step, unless the source has changed since the check read it (as `source`).
    // Returns the copy's status; nothing when a Cancel came while the disk took the copy, which then
    // stays unnamed and is not put in the source's place.
    std::optional<struct stat> replaceTarget(const struct stat& source, const std::string& sourcePath,
                                             EventLoop& events);

private:
    std::string m_target;
    std::string m_folder;
    std::string m_name; // the copy's name while it has one and is not yet the source
    std::size_t m_readBytes = 0;
    HelperStart m_start;
    std::optional<OutputFile> m_out;
};

} // namespace jf
