#pragma once

#include "engine/host.h"
#include "engine/minmax.h"

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>

namespace jf {

// The source as it was before the format check replaced it, still open (earliersource.h).
struct EarlierSource;

struct RunSummary
{
    std::string destination; // the destination file's path on disk
    std::uint64_t vertices = 0;
    std::uint64_t normals = 0; // normal records that received noise
    std::uint64_t quadsSplit = 0;
    double smallestExtent = 0.0;
    double intensity = 0.0;
    double noiseScale = 0.0;
    std::int32_t daySeed = 0;
    bool scanCancelled = false;
    bool noiseCancelled = false;
    bool interrupted = false; // the noise pass did not start
};

struct RunResult
{
    // A failure names the file, the line where there is one, and the fault. The destination has
    // then been removed; after a cancel it keeps the complete lines written so far.
    std::optional<std::string> error;
    RunSummary summary;
    // The file that the format check replaced, closed after the run on a helper thread: freeing a
    // large file's cached pages takes long enough to be felt, and the end of a run need not wait
    // for it. Whoever holds the result last waits for it.
    std::shared_future<void> releasing;
};

// The conversion: pass 1 measures the vertex bounding box, pass 2 writes the destination with noised
// vertices (and normals on request) and split quads (on request), every other record copied.
// Reads the source and destination from the options at its start; expects the Convert command to
// have completed the destination and removed an existing file there, and the format check to have run.
// `earlier`, from the format check just before, is used while the source is still the file that
// the check put there; the conversion closes it.
RunResult ConvertMesh(const EngineHost& host, std::shared_ptr<EarlierSource> earlier = nullptr);

struct CheckResult
{
    std::optional<std::string> error; // the source is then exactly as it was
    bool cancelled = false;           // the source is then exactly as it was
    bool rewritten = false;           // the source was replaced by its normalised form
    // Why the source was left as it was although it is not in normal form (it may not be
    // written, say); empty otherwise. The conversion reads such a source just as well.
    std::string keptReason;
    // A cancelled check's copy being freed beside the conversion that follows, which need not wait
    // for its pages; whoever holds the result waits for it at the end.
    std::shared_future<void> dropping;
    // After a rewrite: the replaced file, still open. The conversion reads its records from it
    // (they are the rewritten file's records) because its bytes are in memory already, while the
    // rewritten copy went straight to the disk.
    std::shared_ptr<EarlierSource> earlier;
};

// The format check: the source is rewritten in place, atomically, with CR LF line ends and "#IND"
// replaced by "0". Nothing is ever created at the destination path.
CheckResult CheckObjFormat(const EngineHost& host);

} // namespace jf
