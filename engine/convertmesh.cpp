#include "engine/convert.h"
#include "engine/earliersource.h"
#include "engine/engineerror.h"
#include "engine/extentsscan.h"
#include "engine/normalform.h"
#include "engine/outputfile.h"
#include "engine/phase.h"
#include "engine/phasefiles.h"
#include "engine/pipeline.h"
#include "engine/wholelinesreader.h"
#include "path/filedescriptor.h"
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

namespace {

enum Axis { X, Y, Z };

class Conversion
{
public:
    Conversion(const EngineHost& host, PhaseSteps& phase, WholeLinesReader& reader, RunSummary& summary)
        : m_host(host), m_options(host.options), m_phase(phase), m_reader(reader), m_summary(summary),
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
    // Reads the source chunk by chunk into `pipeline`, each after one step of the pass (progress,
    // cancel test, yield) and with the options read then. True when it was cancelled.
    bool chunkLoop(ChunkPipeline& pipeline, bool readOptions);
    // Runs `handle` on every record of a chunk; a record's fault becomes the chunk's error.
    template <typename Handle> static void forEachRecord(Chunk& chunk, Handle&& handle);
    // Takes a chunk's results in order: its error, with the line counted from the pass's start.
    void takeLines(const Chunk& chunk);
    PassOptions passOptions() const;

    const EngineHost& m_host;
    const ConversionOptions& m_options;
    PhaseSteps& m_phase;
    WholeLinesReader& m_reader;
    RunSummary& m_summary;
    unsigned m_workers;
    Extents m_box;
    double m_noiseScale = 0.0;
    std::uint64_t m_daySalt = 0;
    std::uint64_t m_lines = 0; // of the pass, delivered so far
};

bool Conversion::chunkLoop(ChunkPipeline& pipeline, bool readOptions)
{
    m_lines = 0;
    bool cancelled = false;
    while (m_reader.fill(pipeline.current().text)) {
        if (!m_phase.step(pipeline.current().text.position())) {
            cancelled = true;
            break;
        }
        // The options change only while the window is served, which is in the step: read after
        // it, they hold for every record of the chunk.
        if (readOptions)
            pipeline.current().options = passOptions();
        pipeline.submit();
    }
    pipeline.finish();
    return cancelled;
}

template <typename Handle> void Conversion::forEachRecord(Chunk& chunk, Handle&& handle)
{
    LineSplitter split(chunk.text.data(), chunk.text.data() + chunk.text.size());
    while (!split.atEnd()) {
        const std::string_view record = split.next();
        ++chunk.lines;
        try {
            handle(record, FirstWord(record), split.lastEndsInCrLf());
        } catch (const RecordFault& fault) {
            chunk.error = fault.what();
            return;
        }
    }
}

void Conversion::takeLines(const Chunk& chunk)
{
    if (chunk.error)
        throw EngineError(lineMessage(m_reader.path(), m_lines + chunk.lines, *chunk.error));
    m_lines += chunk.lines;
}

PassOptions Conversion::passOptions() const
{
    PassOptions options;
    NoiseChoice& choice = options.noise;
    choice.axes[X] = m_options.xValue() == Checked;
    choice.axes[Y] = m_options.yValue() == Checked;
    choice.axes[Z] = m_options.zValue() == Checked;
    if (choice.axes[X] || choice.axes[Y] || choice.axes[Z])
        choice.algorithm = m_options.algorithmIndex();
    options.normals = m_options.normalsValue() == Checked;
    options.split = m_options.splitValue() == Checked;
    return options;
}

bool Conversion::scan()
{
    m_box = Extents();
    ChunkPipeline pipeline(
        m_workers,
        [](Chunk& chunk, RecordFormatter& formatter) {
            chunk.error = measureVertices(chunk.text, formatter, chunk.box, chunk.lines);
        },
        [this](Chunk& chunk) {
            takeLines(chunk);
            m_box.add(chunk.box);
        },
        m_host.startHelper);
    pipeline.serveWhileWaiting(m_host.events);
    return chunkLoop(pipeline, false);
}

bool Conversion::awaitScan(ExtentsScan& ahead)
{
    bool cancelled = false;
    while (true) {
        if (ahead.waitFor(std::chrono::milliseconds(0))) {
            m_phase.showProgress(ahead.position());
            break;
        }
        if (!m_phase.waitingStep(ahead.position())) {
            ahead.stop();
            cancelled = true;
            break;
        }
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
    const NoiseAmplitude amplitude = computeNoiseScale(m_box, m_options.intensityText());
    if (amplitude.error)
        throw EngineError(*amplitude.error);
    m_noiseScale = amplitude.noiseScale;
    m_summary.smallestExtent = amplitude.smallestExtent;
    m_summary.intensity = amplitude.intensity;
    m_summary.noiseScale = m_noiseScale;
    m_summary.daySeed = DaySeed(m_host.clock);
    m_daySalt = daySalt(m_summary.daySeed);
}

bool Conversion::addNoise(OutputFile& out)
{
    ChunkPipeline pipeline(
        m_workers,
        [this](Chunk& chunk, RecordFormatter& formatter) {
            const PassOptions& options = chunk.options;
            std::string& text = chunk.out;
            if (chunk.text.size() <= kPassChunkBytes * 2)
                text.reserve(chunk.text.size() + chunk.text.size() / 2 + 64);
            // Copied records that follow each other in memory, with their line ends, are taken in
            // one piece.
            const char* copyBegin = nullptr;
            const char* copyEnd = nullptr;
            const auto flushCopies = [&] {
                text.append(copyBegin, static_cast<std::size_t>(copyEnd - copyBegin));
                copyBegin = copyEnd = nullptr;
            };
            forEachRecord(chunk, [&](std::string_view record, std::string_view keyword, bool crLfFollows) {
                if (keyword.empty())
                    return; // nothing is written for an empty record
                const bool normal = keyword == "vn" && options.normals;
                const bool split = keyword == "f" && options.split;
                if (keyword == "v" || normal || split) {
                    if (copyBegin)
                        flushCopies();
                    if (split) {
                        chunk.quads += formatter.writeSplitFace(record, text);
                    } else {
                        formatter.writeNoised(record, normal, options.noise, m_noiseScale, m_daySalt, text);
                        ++(normal ? chunk.normals : chunk.vertices);
                    }
                } else if (!crLfFollows) {
                    if (copyBegin)
                        flushCopies();
                    RecordFormatter::writeCopy(record, text);
                } else if (record.data() == copyEnd) {
                    copyEnd += record.size() + 2;
                } else {
                    if (copyBegin)
                        flushCopies();
                    copyBegin = record.data();
                    copyEnd = copyBegin + record.size() + 2;
                }
            });
            if (copyBegin)
                flushCopies();
        },
        // On whichever thread finished the chunk, one chunk at a time: nothing here may touch the
        // window or the options.
        [&](Chunk& chunk) {
            takeLines(chunk);
            out.append(chunk.out);
            m_summary.vertices += chunk.vertices;
            m_summary.normals += chunk.normals;
            m_summary.quadsSplit += chunk.quads;
        },
        m_host.startHelper);
    pipeline.serveWhileWaiting(m_host.events);
    return chunkLoop(pipeline, true);
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

// The run behind ConvertMesh; its failures are thrown.
void convert(const EngineHost& host, std::shared_ptr<EarlierSource> earlier, PhaseSteps& phase,
             RunResult& result)
{
    RunSummary& summary = result.summary;
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
    OutputFile out(destinationFd.release(), "the destination file " + destinationPath, host.blockBytes,
                   host.startHelper);
    out.serveWhileWaiting(host.events);
    summary.destination = destinationPath;

    WholeLinesReader reader(sourceFd, sourcePath, host.chunkBytes);
    Conversion conversion(host, phase, reader, summary);

    phase.begin(static_cast<std::uint64_t>(sourceInfo.st_size), "scan for extents ...");
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
        return; // nothing written: the partial destination goes
    }
    phase.begin(static_cast<std::uint64_t>(sourceInfo.st_size), "adding noise to verticies ...");
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
}

} // namespace

RunResult ConvertMesh(const EngineHost& host, std::shared_ptr<EarlierSource> earlier)
{
    RunResult result;
    PhaseSteps phase(host.status, host.events);
    result.error = failureOf([&] { convert(host, std::move(earlier), phase, result); },
                             "There is not enough memory for the conversion.");
    return result;
}

} // namespace jf
