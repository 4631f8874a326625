#include "engine/convert.h"
#include "engine/extentsscan.h"
#include "engine/fileio.h"
#include "engine/phase.h"
#include "engine/pipeline.h"
#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"
#include "text/exactnumber.h"
#include "text/number.h"
#include "text/parser.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace jf {

std::string lineMessage(std::string_view path, std::uint64_t line, std::string_view fault)
{
    std::string message(path);
    message += ", line ";
    message += std::to_string(line);
    message += ": ";
    message += fault;
    return message;
}

namespace {

enum Axis { X, Y, Z };

class Conversion
{
public:
    Conversion(const EngineHost& host, RecordReader& reader, RunSummary& summary)
        : m_host(host), m_options(host.options), m_reader(reader), m_summary(summary),
          m_workers(host.workers >= 0 ? unsigned(host.workers) : defaultWorkers())
    {
    }

    // Pass 1; true when it was cancelled.
    bool scan();
    // Pass 1 begun during the format check: its progress shown and a Cancel ending it, as if the
    // pass ran here. True when it was cancelled.
    bool awaitScan(ExtentsScan& ahead);
    void computeScale();
    // Pass 2; true when it was cancelled.
    bool addNoise(OutputFile& out);

private:
    template <typename Dispatch> bool recordLoop(Dispatch&& dispatch);
    // Runs `handle` on every record of a chunk, turning a record's fault into the chunk's error.
    template <typename Handle> void forEachRecord(Chunk& chunk, Handle&& handle) const;
    NoiseChoice noiseChoice() const;

    const EngineHost& m_host;
    const ConversionOptions& m_options;
    RecordReader& m_reader;
    RunSummary& m_summary;
    unsigned m_workers;
    Extents m_box;
    double m_noiseScale = 0.0;
    std::uint64_t m_daySalt = 0;
};

template <typename Dispatch> bool Conversion::recordLoop(Dispatch&& dispatch)
{
    StatusView& status = m_host.status;
    EventLoop& events = m_host.events;
    while (!m_reader.atEnd()) {
        status.setValue(static_cast<float>(m_reader.position()));
        if (cancelRequested())
            return true;
        events.yield();
        const std::string_view record = m_reader.next();
        dispatch(record, FirstWord(record));
    }
    return false;
}

template <typename Handle> void Conversion::forEachRecord(Chunk& chunk, Handle&& handle) const
{
    for (const RecordEntry& entry : chunk.records) {
        try {
            handle(entry, chunk.record(entry));
        } catch (const RecordFault& fault) {
            chunk.error = lineMessage(m_reader.path(), entry.line, fault.what());
            return;
        }
    }
}

NoiseChoice Conversion::noiseChoice() const
{
    NoiseChoice choice;
    choice.axes[X] = m_options.xValue() == Checked;
    choice.axes[Y] = m_options.yValue() == Checked;
    choice.axes[Z] = m_options.zValue() == Checked;
    if (choice.axes[X] || choice.axes[Y] || choice.axes[Z])
        choice.algorithm = m_options.algorithmIndex();
    return choice;
}

bool Conversion::scan()
{
    m_box = Extents();
    ChunkPipeline pipeline(
        m_workers,
        [this](Chunk& chunk, RecordFormatter& formatter) {
            forEachRecord(chunk, [&](const RecordEntry&, std::string_view record) {
                formatter.measureVertex(record, chunk.box);
            });
        },
        [this](Chunk& chunk) {
            if (chunk.error)
                throw EngineError(*chunk.error);
            m_box.add(chunk.box);
        });
    pipeline.serveWhileWaiting(m_host.events);
    const bool cancelled = recordLoop([&](std::string_view record, std::string_view keyword) {
        if (keyword != "v")
            return;
        RecordEntry entry;
        entry.line = m_reader.lineNumber();
        entry.kind = RecordKind::Vertex;
        pipeline.current().add(record, entry);
        pipeline.submitIfFull();
    });
    pipeline.finish();
    return cancelled;
}

bool Conversion::awaitScan(ExtentsScan& ahead)
{
    StatusView& status = m_host.status;
    EventLoop& events = m_host.events;
    bool cancelled = false;
    while (true) {
        const bool ended = ahead.waitFor(std::chrono::milliseconds(0));
        status.setValue(static_cast<float>(ahead.position()));
        if (ended)
            break;
        if (cancelRequested()) {
            ahead.stop();
            cancelled = true;
            break;
        }
        events.serveWhileWaiting();
        ahead.waitFor(std::chrono::milliseconds(2));
    }
    if (const std::optional<ExtentsScan::Failure>& failure = ahead.failure(); failure && !cancelled) {
        if (failure->outOfMemory)
            throw std::bad_alloc();
        throw EngineError(failure->line > 0 ? lineMessage(m_reader.path(), failure->line, failure->message)
                                            : failure->message);
    }
    m_box = ahead.box();
    return cancelled;
}

void Conversion::computeScale()
{
    double d = m_box.max[X] - m_box.min[X];
    d = MinOf(d, m_box.max[Y] - m_box.min[Y]);
    d = MinOf(d, m_box.max[Z] - m_box.min[Z]);
    const std::string intensityText = m_options.intensityText();
    const NumberReading intensity = textToNumber(intensityText);
    if (intensity.overflow)
        throw EngineError("The intensity \"" + intensityText + "\" is beyond the range of a double.");
    m_noiseScale = intensity.value * d;
    if (!std::isfinite(m_noiseScale))
        throw EngineError("The noise amplitude is beyond the range of a double: the mesh's bounding box "
                          "spans more than the largest number.");
    m_summary.smallestExtent = d;
    m_summary.intensity = intensity.value;
    m_summary.noiseScale = m_noiseScale;
    m_summary.daySeed = DaySeed(m_host.clock);
    m_daySalt = static_cast<std::uint64_t>(static_cast<std::int64_t>(m_summary.daySeed));
}

bool Conversion::addNoise(OutputFile& out)
{
    ChunkPipeline pipeline(
        m_workers,
        [this](Chunk& chunk, RecordFormatter& formatter) {
            if (chunk.text.size() <= ChunkPipeline::kChunkBytes * 2)
                chunk.out.reserve(chunk.text.size() + chunk.text.size() / 2 + 64);
            forEachRecord(chunk, [&](const RecordEntry& entry, std::string_view record) {
                switch (entry.kind) {
                case RecordKind::Vertex:
                case RecordKind::Normal:
                    formatter.writeNoised(record, entry.kind == RecordKind::Normal, entry.noise, m_noiseScale,
                                          m_daySalt, chunk.out);
                    ++(entry.kind == RecordKind::Normal ? chunk.normals : chunk.vertices);
                    break;
                case RecordKind::Face:
                    chunk.quads += formatter.writeSplitFace(record, chunk.out);
                    break;
                case RecordKind::Copy:
                    chunk.out.append(record); // the records with their line ends
                    break;
                }
            });
        },
        // On whichever thread finished the chunk, one chunk at a time: nothing here may touch the
        // window or the options.
        [&](Chunk& chunk) {
            if (chunk.error)
                throw EngineError(*chunk.error);
            out.append(chunk.out);
            m_summary.vertices += chunk.vertices;
            m_summary.normals += chunk.normals;
            m_summary.quadsSplit += chunk.quads;
        });
    pipeline.serveWhileWaiting(m_host.events);
    const bool cancelled = recordLoop([&](std::string_view record, std::string_view keyword) {
        if (keyword.empty())
            return; // nothing is written for an empty record
        RecordEntry entry;
        entry.line = m_reader.lineNumber();
        if (keyword == "v") {
            entry.kind = RecordKind::Vertex;
            entry.noise = noiseChoice();
        } else if (keyword == "vn" && m_options.normalsValue() == Checked) {
            entry.kind = RecordKind::Normal;
            entry.noise = noiseChoice();
        } else if (keyword == "f" && m_options.splitValue() == Checked) {
            entry.kind = RecordKind::Face; // a quad among them is split
        } else {
            pipeline.current().addCopy(record, entry.line, m_reader.lastEndsInCrLf());
            pipeline.submitIfFull();
            return;
        }
        pipeline.current().add(record, entry);
        pipeline.submitIfFull();
    });
    pipeline.finish();
    return cancelled;
}

// Removes a destination that a failed run leaves incomplete.
class PartialDestination
{
public:
    explicit PartialDestination(std::string path) : m_path(std::move(path)) {}
    ~PartialDestination()
    {
        if (!m_kept)
            ::unlink(m_path.c_str());
    }
    void keep() { m_kept = true; }

private:
    std::string m_path;
    bool m_kept = false;
};

} // namespace

RunResult ConvertMesh(const EngineHost& host, std::shared_ptr<EarlierSource> earlier)
{
    RunResult result;
    RunSummary& summary = result.summary;
    std::optional<StatusHider> hider;
    try {
        PhaseFiles files = openPhaseFiles(host.options);
        const std::string& sourcePath = files.sourcePath;
        const std::string& destinationPath = files.destinationPath;
        // The file that the format check replaced gives the same records, and from memory.
        const bool readEarlier = earlier && files.sourceInfo.st_dev == earlier->replacementDevice &&
                                 files.sourceInfo.st_ino == earlier->replacementInode;
        if (!readEarlier)
            earlier.reset();
        const struct stat& sourceInfo = readEarlier ? earlier->info : files.sourceInfo;
        const int sourceFd = readEarlier ? earlier->fd.get() : files.sourceFd.get();
        FileDescriptor& destination = *files.destination;
        UniqueFd destinationFd(
            ::open(destinationPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
        if (!destinationFd.valid()) {
            // The Convert command has removed any file there: one that is back now is not ours.
            if (errno == EEXIST)
                throw EngineError("The destination file " + destinationPath + " exists already.");
            throwSystemError("Cannot create the destination file", destinationPath, errno);
        }
        PartialDestination partial(destinationPath);
        destination.iFile = destinationFd.get();
        OutputFile out(destinationFd.release(), "the destination file " + destinationPath);
        out.serveWhileWaiting(host.events);
        summary.destination = destinationPath;

        RecordReader reader(sourceFd, sourcePath);
        Conversion conversion(host, reader, summary);

        CancelRequested.store(kFalse);
        preparePhase(host.status, static_cast<std::uint64_t>(sourceInfo.st_size), "scan for extents ...");
        hider.emplace(host.status);
        reader.rewind();
        // Both passes must read the same file: one that changes under the run is no mesh to trust.
        const auto requireUnchanged = [&](bool readToTheEnd, std::uint64_t position) {
            if (!unchangedSince(sourceFd, sourceInfo) ||
                (readEarlier && !unchangedSince(files.sourceFd.get(), files.sourceInfo)) ||
                (readToTheEnd && position - 1 != static_cast<std::uint64_t>(sourceInfo.st_size)))
                throw EngineError("The source file " + sourcePath + " changed while it was converted.");
        };
        if (std::unique_ptr<ExtentsScan> ahead = earlier ? std::move(earlier->extents) : nullptr) {
            summary.scanCancelled = conversion.awaitScan(*ahead);
            requireUnchanged(!summary.scanCancelled, ahead->position());
        } else {
            summary.scanCancelled = conversion.scan();
            requireUnchanged(!summary.scanCancelled, reader.position());
        }
        conversion.computeScale();

        if (host.events.interrupted()) {
            summary.interrupted = true;
            return result; // nothing written: the partial destination goes
        }
        CancelRequested.store(kFalse);
        preparePhase(host.status, static_cast<std::uint64_t>(sourceInfo.st_size),
                     "adding noise to verticies ...");
        reader.rewind();
        summary.noiseCancelled = conversion.addNoise(out);
        requireUnchanged(!summary.noiseCancelled, reader.position());

        files.sourceFd.close();
        if (earlier)
            result.releasing = std::async(std::launch::async, [gone = std::move(earlier)]() mutable {
                                   gone.reset(); // its last descriptor
                               }).share();
        out.close();
        partial.keep();
    } catch (const EngineError& error) {
        result.error = error.what();
    } catch (const std::bad_alloc&) {
        result.error = "There is not enough memory for the conversion.";
    }
    return result;
}

} // namespace jf
