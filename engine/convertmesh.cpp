#include "engine/convert.h"
#include "engine/fileio.h"
#include "engine/generator.h"
#include "engine/phase.h"
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

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kZoneBlanks = "              ";
static_assert(kZoneBlanks.size() == kPrintZoneWidth);

enum Axis { X, Y, Z };

class Conversion
{
public:
    Conversion(const EngineHost& host, RecordReader& reader, RunSummary& summary)
        : m_host(host), m_options(host.options), m_reader(reader), m_summary(summary)
    {
    }

    // Pass 1; true when it was cancelled.
    bool scan();
    void computeScale();
    // Pass 2; true when it was cancelled.
    bool addNoise(OutputFile& out);

private:
    template <typename Dispatch> bool recordLoop(Dispatch&& dispatch);
    [[noreturn]] void fail(std::string_view fault) const
    {
        throw EngineError(lineMessage(m_reader.path(), m_reader.lineNumber(), fault));
    }
    double number(std::string_view field) const;
    // Reads x, y and z of a vertex or normal record; the cursor is left on the fields after z.
    FieldCursor readCoordinates(std::string_view record, std::string_view kind, double (&c)[3]);
    void measureVertex(std::string_view record);
    void writeNoised(std::string_view record, bool normal);
    void writeFace(std::string_view record);
    void writeCopy(std::string_view record);
    void writeZoned(std::size_t& column, std::string_view item);

    const EngineHost& m_host;
    const ConversionOptions& m_options;
    RecordReader& m_reader;
    RunSummary& m_summary;
    OutputFile* m_out = nullptr;
    TokenList m_fields;
    Generator m_generator;
    bool m_firstVertex = true;
    double m_min[3] = {0, 0, 0};
    double m_max[3] = {0, 0, 0};
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

double Conversion::number(std::string_view field) const
{
    const NumberReading reading = fieldToNumber(field);
    if (reading.overflow)
        fail("the number \"" + std::string(field.substr(0, 40)) + (field.size() > 40 ? "..." : "") +
             "\" is beyond the range of a double.");
    return reading.value;
}

bool Conversion::scan()
{
    m_firstVertex = true;
    return recordLoop([this](std::string_view record, std::string_view keyword) {
        if (keyword == "v")
            measureVertex(record);
    });
}

void Conversion::measureVertex(std::string_view record)
{
    double c[3];
    readCoordinates(record, "vertex", c);
    for (int axis = X; axis <= Z; ++axis) {
        if (m_firstVertex) {
            m_min[axis] = m_max[axis] = c[axis];
        } else {
            m_min[axis] = MinOf(m_min[axis], c[axis]);
            m_max[axis] = MaxOf(m_max[axis], c[axis]);
        }
    }
    m_firstVertex = false;
}

FieldCursor Conversion::readCoordinates(std::string_view record, std::string_view kind, double (&c)[3])
{
    FieldCursor fields(record);
    std::string_view field;
    fields.next(field); // the keyword
    for (int axis = X; axis <= Z; ++axis) {
        if (!fields.next(field))
            fail("a " + std::string(kind) + " needs three coordinates, x, y and z; this one has " +
                 std::to_string(axis) + ".");
        c[axis] = number(field);
    }
    return fields;
}

void Conversion::computeScale()
{
    double d = m_max[X] - m_min[X];
    d = MinOf(d, m_max[Y] - m_min[Y]);
    d = MinOf(d, m_max[Z] - m_min[Z]);
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
    m_out = &out;
    return recordLoop([this](std::string_view record, std::string_view keyword) {
        if (keyword.empty())
            return;
        if (keyword == "v") {
            writeNoised(record, false);
        } else if (keyword == "vn" && m_options.normalsValue() == Checked) {
            writeNoised(record, true);
        } else if (keyword == "f") {
            writeFace(record);
        } else {
            writeCopy(record);
        }
    });
}

void Conversion::writeCopy(std::string_view record)
{
    m_out->append(record);
    m_out->append(kLineEnd);
}

void Conversion::writeNoised(std::string_view record, bool normal)
{
    // The seed is the exact number that the record's text reads as once the keyword, periods and
    // blanks (and, for a vertex, minus signs and letters e) are taken out: copies of a vertex line
    // share their noise, and vertices whose digits differ anywhere get their own.
    ExactNumberScanner seed;
    if (normal) {
        for (std::size_t i = 0; i < record.size(); ++i) {
            const char c = record[i];
            if (c == 'v' && i + 1 < record.size() && record[i + 1] == 'n') {
                ++i;
                continue;
            }
            if (c == '.' || c == ' ')
                continue;
            if (!seed.feed(c))
                break;
        }
    } else {
        seed.feedAll(record, [](char c) { return c == ' ' || c == '.' || c == '-' || c == 'v' || c == 'e'; });
    }
    m_generator.reset(-1);
    m_generator.reseed(seed.key(m_daySalt));

    double c[3];
    FieldCursor further = readCoordinates(record, normal ? "normal" : "vertex", c);
    char* p = m_out->reserve(3 + 3 * kPrintedNumberMax);
    *p++ = 'v';
    if (normal)
        *p++ = 'n';
    *p++ = ' ';
    const int checks[3] = {m_options.xValue(), m_options.yValue(), m_options.zValue()};
    for (int axis = X; axis <= Z; ++axis) {
        if (checks[axis] == Checked) {
            if (const std::optional<double> sample = NoiseValue(m_generator, m_options.algorithmIndex()))
                c[axis] = c[axis] + m_noiseScale * *sample;
            if (!std::isfinite(c[axis]))
                fail("a coordinate with its noise is beyond the range of a double.");
        }
        p = printNumber(c[axis], p);
    }
    m_out->commit(p);
    // Further fields (a weight, vertex colours) are kept as they stood.
    std::string_view field;
    for (bool first = true; further.next(field); first = false) {
        if (!first)
            m_out->append(" ");
        m_out->append(field);
    }
    m_out->append(kLineEnd);
    ++(normal ? m_summary.normals : m_summary.vertices);
}

void Conversion::writeZoned(std::size_t& column, std::string_view item)
{
    m_out->append(item);
    column += item.size();
    const std::size_t next = nextPrintZone(column);
    for (std::size_t blanks = next - column; blanks > 0;) {
        const std::size_t n = std::min(blanks, kZoneBlanks.size());
        m_out->append(kZoneBlanks.substr(0, n));
        blanks -= n;
    }
    column = next;
}

void Conversion::writeFace(std::string_view record)
{
    // Only a ticked box splits; reading it first spares the split of every other face.
    if (m_options.splitValue() != Checked) {
        writeCopy(record);
        return;
    }
    SplitTokens(record, m_fields);
    if (m_fields.Count() != 5) {
        writeCopy(record);
        return;
    }
    const std::string_view f = m_fields.Item(1);
    const std::string_view triangles[2][3] = {{m_fields.Item(2), m_fields.Item(3), m_fields.Item(5)},
                                              {m_fields.Item(3), m_fields.Item(4), m_fields.Item(5)}};
    for (const auto& corners : triangles) {
        std::size_t column = 0;
        writeZoned(column, f);
        writeZoned(column, corners[0]);
        writeZoned(column, corners[1]);
        m_out->append(corners[2]);
        m_out->append(kLineEnd);
    }
    ++m_summary.quadsSplit;
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

std::uint64_t currentLength(int fd, const std::string& path)
{
    struct stat info
    {
    };
    if (::fstat(fd, &info) != 0)
        throwSystemError("Cannot read the source file", path, errno);
    return static_cast<std::uint64_t>(info.st_size);
}

} // namespace

RunResult ConvertMesh(const EngineHost& host)
{
    RunResult result;
    RunSummary& summary = result.summary;
    std::optional<StatusHider> hider;
    try {
        FileDescriptor source;
        source.Split(host.options.sourceText());
        FileDescriptor destination;
        destination.Split(host.options.destinationText());

        const std::string sourcePath = resolveOnDisk(source.Path()).path;
        struct stat sourceInfo
        {
        };
        UniqueFd sourceFd = openSourceFile(sourcePath, sourceInfo);
        source.iFile = sourceFd.get();

        bool folderExists = false;
        const std::string destinationPath = pathForNewFile(destination.Path(), &folderExists);
        if (!folderExists)
            throw EngineError("The folder of the destination file " + toLowerText(destination.Path()) +
                              " does not exist.");
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
        summary.destination = destinationPath;

        RecordReader reader(source.iFile, sourcePath);
        Conversion conversion(host, reader, summary);

        CancelRequested.store(kFalse);
        preparePhase(host.status, static_cast<std::uint64_t>(sourceInfo.st_size), "scan for extents ...");
        hider.emplace(host.status);
        reader.rewind();
        summary.scanCancelled = conversion.scan();
        conversion.computeScale();

        if (host.events.interrupted()) {
            summary.interrupted = true;
            return result; // nothing written: the partial destination goes
        }
        CancelRequested.store(kFalse);
        preparePhase(host.status, currentLength(source.iFile, sourcePath), "adding noise to verticies ...");
        reader.rewind();
        summary.noiseCancelled = conversion.addNoise(out);

        sourceFd.close();
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
