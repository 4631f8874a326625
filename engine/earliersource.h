#pragma once

// The hand-over from the format check to the conversion: a source that the check replaced, still
// open. The conversion reads its records from it (they are the rewritten file's records) because
// its bytes are in memory already, while the rewritten copy went straight to the disk.

#include "engine/uniquefd.h"

#include <memory>
#include <sys/stat.h>
#include <sys/types.h>

namespace jf {

class ExtentsScan;

struct EarlierSource
{
    EarlierSource();
    ~EarlierSource();
    EarlierSource(const EarlierSource&) = delete;
    EarlierSource& operator=(const EarlierSource&) = delete;

    UniqueFd fd;
    struct stat info
    {
    };
    // The file that took its place: the conversion reads this one only while the source is still
    // that file.
    dev_t replacementDevice = 0;
    ino_t replacementInode = 0;
    // The conversion's first pass, begun on this descriptor during the check; it ends before the
    // descriptor is closed.
    std::unique_ptr<ExtentsScan> extents;
};

} // namespace jf
