// The whole conversion over an in-memory source, with fuzzed options and a fuzzed event during the
// run, held against what the records say the output must be:
//  - every record that is neither a vertex, nor a noised normal, nor a split quad comes out byte for
//    byte and in order; empty records not at all;
//  - a vertex (a noised normal) comes out as "v " ("vn ") and three printed numbers followed by its
//    further fields, each number within |amplitude| of its input, and exactly its input on an axis
//    without noise;
//  - a split quad comes out as its two triangles in print zones;
//  - so the output has one line per non-empty record plus one per split quad;
//  - the same input twice gives the same bytes, with and without helper threads; copies of a line with the same options, the same line;
//  - a fault stops the run with a message that names the line, and leaves no destination.
// Header bytes (missing ones read as 0):
//  0: chkX, chkY, chkZ (two bits each: unchecked, checked, grayed, checked), chkNormals, chkSplit
//  1: the algorithm index, -1 to 3      2: the intensity text, from a table
//  3: the record at which the event happens (0: none)      4: the event      5: the day
//  6: bit 0: also run the format check on a real file and convert that; the outputs must agree

#include "engine/convert.h"
#include "fuzzsupport.h"
#include "text/number.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <dirent.h>
#include <limits>
#include <map>
#include <optional>

using namespace jf;
using namespace jf::fuzz;

namespace {

constexpr std::size_t kHeader = 7;
const char* const kIntensities[] = {"0.1", "1",     "-2",     "0",      "abc",  "1e-300", "1e300", " 0 . 5 e 1",
                                    "3",   "1e999", "-0.001", "123456", "0.25", "+.5",    "7e",    "1.#IND"};

struct Options : ConversionOptions
{
    std::string source, destination, intensity;
    int algorithm = White;
    int axes[3] = {Checked, Checked, Checked};
    int normals = Unchecked, split = Unchecked;

    std::string sourceText() const override { return source; }
    std::string destinationText() const override { return destination; }
    void setDestinationText(std::string_view text) override { destination = text; }
    std::string intensityText() const override { return intensity; }
    int algorithmIndex() const override { return algorithm; }
    int xValue() const override { return axes[0]; }
    int yValue() const override { return axes[1]; }
    int zValue() const override { return axes[2]; }
    int normalsValue() const override { return normals; }
    int splitValue() const override { return split; }
};

struct Status : StatusView
{
    std::string caption, text;
    int phase = 0; // 1 the format check or the scan, 2 the noise pass
    long phaseYields = 0;
    std::vector<long> yieldsPerPhase;
    bool visible = false;
    void setCaption(std::string_view t) override { caption = t; }
    std::string label() const override { return text; }
    void setLabel(std::string_view t) override { text = t; }
    void setMin(float) override {}
    void setMax(float) override {}
    void setValue(float) override {}
    void show() override
    {
        ++phase;
        yieldsPerPhase.push_back(0);
        visible = true;
    }
    void hide() override { visible = false; }
};

enum class Event { None, ToggleX, ToggleNormals, ToggleSplit, ChangeAlgorithm, CancelScan, CancelNoise };

struct Events : EventLoop
{
    Status* status = nullptr;
    Options* options = nullptr;
    Event event = Event::None;
    long atRecord = 0;
    void yield() override
    {
        const long n = ++status->yieldsPerPhase.back();
        if (n != atRecord)
            return;
        const int phase = status->phase;
        switch (event) {
        case Event::None:
            break;
        case Event::ToggleX:
        case Event::ToggleNormals:
        case Event::ToggleSplit:
        case Event::ChangeAlgorithm:
            if (phase == 2)
                change(*options, event);
            break;
        case Event::CancelScan:
        case Event::CancelNoise:
            if (phase == (event == Event::CancelScan ? 1 : 2))
                CancelRequested.store(kTrue);
            break;
        }
    }
    static void change(Options& o, Event e)
    {
        if (e == Event::ToggleX)
            o.axes[0] = o.axes[0] == Checked ? Unchecked : Checked;
        else if (e == Event::ToggleNormals)
            o.normals = o.normals == Checked ? Unchecked : Checked;
        else if (e == Event::ToggleSplit)
            o.split = o.split == Checked ? Grayed : Checked;
        else if (e == Event::ChangeAlgorithm)
            o.algorithm = (o.algorithm + 2) % 5 - 1;
    }
};

struct Config
{
    Options options;
    Event event = Event::None;
    long atRecord = 0;
    int day = 45000;
    bool formatCheck = false;
};

Config readConfig(const std::uint8_t* bytes, std::size_t size)
{
    std::uint8_t h[kHeader] = {};
    std::memcpy(h, bytes, std::min(size, kHeader));
    Config c;
    const int checks[4] = {Unchecked, Checked, Grayed, Checked};
    for (int axis = 0; axis < 3; ++axis)
        c.options.axes[axis] = checks[(h[0] >> (2 * axis)) & 3];
    c.options.normals = (h[0] & 0x40) ? Checked : Unchecked;
    c.options.split = (h[0] & 0x80) ? Checked : Unchecked;
    c.options.algorithm = h[1] % 5 - 1;
    c.options.intensity = kIntensities[h[2] % std::size(kIntensities)];
    c.atRecord = h[3];
    c.event = h[3] == 0 ? Event::None : Event(1 + h[4] % 6);
    c.day = 45000 + h[5];
    c.formatCheck = h[6] & 1;
    return c;
}

struct Run
{
    std::optional<std::string> error;
    RunSummary summary;
    std::string output;
    bool destinationExists = false;
    std::vector<long> yieldsPerPhase;
    bool statusVisible = false;
};

std::string g_folder;

std::string readFile(const std::string& path, bool* exists)
{
    std::string data;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    *exists = fd >= 0;
    if (fd < 0)
        return data;
    char block[65536];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;)
        data.append(block, static_cast<std::size_t>(n));
    ::close(fd);
    return data;
}

Run convert(const Config& config, const std::string& source, int workers)
{
    Options options = config.options;
    options.source = source;
    options.destination = g_folder + "/out.obj";
    ::unlink(options.destination.c_str());
    Status status;
    Events events;
    events.status = &status;
    events.options = &options;
    events.event = config.event;
    events.atRecord = config.atRecord;
    const double day = config.day;
    EngineHost host{options, status, events, [day] { return day; }};
    host.workers = workers;
    CancelRequested.store(kFalse);
    const RunResult result = ConvertMesh(host);
    Run run;
    run.error = result.error;
    run.summary = result.summary;
    run.output = readFile(options.destination, &run.destinationExists);
    run.yieldsPerPhase = status.yieldsPerPhase;
    run.statusVisible = status.visible;
    ::unlink(options.destination.c_str());
    return run;
}

// The options in effect for record `index` (1-based) of the noise pass.
Options optionsAt(const Config& config, std::size_t index)
{
    Options o = config.options;
    const bool change = config.event != Event::None && config.event != Event::CancelScan &&
                        config.event != Event::CancelNoise;
    if (change && index >= std::size_t(config.atRecord))
        Events::change(o, config.event);
    return o;
}

bool withNoise(const Options& o, int axis)
{
    return o.axes[axis] == Checked && o.algorithm >= 0 && o.algorithm <= 2;
}

std::string afterPath(const std::string& message)
{
    const std::size_t at = message.find(", line ");
    return at == std::string::npos ? message : message.substr(at);
}

// What the records demand of the run, checked against what it did.
void checkRun(const Config& config, const std::vector<ReferenceRecord>& records, const Run& run)
{
    const long recordCount = static_cast<long>(records.size());
    FUZZ_CHECK(!run.statusVisible);
    const std::string detail = run.error ? *run.error : std::string();

    // Pass 1: the box of the vertices measured, or the first fault among them.
    const bool scanCancelled = config.event == Event::CancelScan && config.atRecord <= recordCount;
    const std::size_t measured = scanCancelled ? std::size_t(config.atRecord) : records.size();
    bool first = true;
    double low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    // A record with a fault stops the run with a message that names its line. Which of two faults
    // of one record is named (too few coordinates, one beyond a double) is the engine's choice.
    const auto faultAt = [&](std::size_t index, const std::vector<std::string>& faults) {
        const std::string line = ", line " + std::to_string(index + 1) + ": ";
        FUZZ_CHECK_MSG(run.error, "expected a failure at" + line + faults.front());
        bool named = false;
        for (const std::string& fault : faults)
            named |= run.error->find(line + fault) != std::string::npos;
        FUZZ_CHECK_MSG(named, detail + " (expected" + line + faults.front() + ")");
        FUZZ_CHECK(!run.destinationExists);
    };
    const auto faultsOf = [](const std::vector<std::string_view>& fields, bool normal) {
        std::vector<std::string> faults;
        if (fields.size() < 4)
            faults.push_back(normal ? "a normal needs three coordinates" : "a vertex needs three coordinates");
        for (std::size_t f = 1; f < fields.size() && f < 4; ++f)
            if (textToNumber(fields[f]).overflow)
                faults.push_back("the number \"");
        return faults;
    };
    for (std::size_t i = 0; i < measured; ++i) {
        const std::vector<std::string_view> fields = referenceFields(records[i].text);
        if (fields.empty() || fields[0] != "v")
            continue;
        if (const std::vector<std::string> faults = faultsOf(fields, false); !faults.empty())
            return faultAt(i, faults);
        for (int axis = 0; axis < 3; ++axis) {
            const double c = textToNumber(fields[axis + 1]).value;
            low[axis] = first ? c : std::min(low[axis], c);
            high[axis] = first ? c : std::max(high[axis], c);
        }
        first = false;
    }
    const double extent = std::min({high[0] - low[0], high[1] - low[1], high[2] - low[2]});
    const NumberReading intensity = textToNumber(config.options.intensity);
    if (intensity.overflow) {
        FUZZ_CHECK_MSG(run.error && run.error->find("The intensity") == 0, detail);
        FUZZ_CHECK(!run.destinationExists);
        return;
    }
    const double scale = intensity.value * extent;
    if (!std::isfinite(scale)) {
        FUZZ_CHECK_MSG(run.error && run.error->find("The noise amplitude") == 0, detail);
        FUZZ_CHECK(!run.destinationExists);
        return;
    }
    FUZZ_CHECK(run.summary.noiseScale == scale);
    // A cancel during the last record's yield finds no record left to stop before.
    FUZZ_CHECK(run.summary.scanCancelled == (scanCancelled && config.atRecord < recordCount));
    FUZZ_CHECK(run.summary.daySeed == config.day);
    // One yield per record in each pass, empty records included.
    FUZZ_CHECK(!run.yieldsPerPhase.empty() && run.yieldsPerPhase[0] == long(measured));

    // Pass 2, record by record.
    const bool noiseCancelled = config.event == Event::CancelNoise && config.atRecord <= recordCount;
    const std::size_t written = noiseCancelled ? std::size_t(config.atRecord) : records.size();
    std::size_t at = 0; // read position in the output
    std::uint64_t vertices = 0, normals = 0, quads = 0;
    std::map<std::pair<std::string, std::string>, std::string> seen; // (options, record) -> its lines
    const auto nextLine = [&](std::size_t index) {
        const std::size_t end = run.output.find("\r\n", at);
        FUZZ_CHECK_MSG(end != std::string::npos,
                       "output ends before record " + std::to_string(index + 1) + " " + detail);
        const std::string_view line(run.output.data() + at, end - at);
        at = end + 2;
        FUZZ_CHECK(line.find('\r') == std::string_view::npos && line.find('\n') == std::string_view::npos);
        return line;
    };
    // The first fault of the noise pass, if any, ends the run: nothing of it may remain.
    for (std::size_t i = 0; i < written; ++i) {
        const Options o = optionsAt(config, i + 1);
        const std::vector<std::string_view> fields = referenceFields(records[i].text);
        const bool normal = !fields.empty() && fields[0] == "vn" && o.normals == Checked;
        if (fields.empty() || (fields[0] != "v" && !normal))
            continue;
        if (const std::vector<std::string> faults = faultsOf(fields, normal); !faults.empty())
            return faultAt(i, faults);
        bool nearLimit = false;
        for (int axis = 0; axis < 3; ++axis)
            nearLimit |= std::fabs(textToNumber(fields[axis + 1]).value) + std::fabs(scale) >=
                         std::numeric_limits<double>::max() / 2;
        if (run.error && run.error->find(", line " + std::to_string(i + 1) + ": the coordinate") != std::string::npos) {
            // The noise carried a coordinate beyond the largest double, which only happens near it.
            FUZZ_CHECK_MSG(nearLimit, detail);
            FUZZ_CHECK(!run.destinationExists);
            return;
        }
    }
    FUZZ_CHECK_MSG(!run.error, detail);

    for (std::size_t i = 0; i < written; ++i) {
        const std::string& record = records[i].text;
        if (record.empty())
            continue;
        const Options o = optionsAt(config, i + 1);
        const std::vector<std::string_view> fields = referenceFields(record);
        const std::string_view keyword = fields.empty() ? std::string_view() : fields[0];
        const bool normal = keyword == "vn" && o.normals == Checked;
        const std::size_t lineStart = at;
        if (keyword == "v" || normal) {
            const std::string_view line = nextLine(i);
            const std::string_view prefix = normal ? "vn " : "v ";
            FUZZ_CHECK_MSG(line.substr(0, prefix.size()) == prefix, printable(line));
            std::size_t pos = prefix.size();
            for (int axis = 0; axis < 3; ++axis) {
                FUZZ_CHECK_MSG(pos < line.size() && (line[pos] == '-' || line[pos] == ' '), printable(line));
                const std::size_t end = line.find(' ', pos + 1);
                FUZZ_CHECK_MSG(end != std::string_view::npos, printable(line));
                const std::string_view item = line.substr(pos, end + 1 - pos);
                const double value = textToNumber(item).value;
                char printed[kPrintedNumberMax];
                const std::string_view canonical(printed, std::size_t(printNumber(value, printed) - printed));
                FUZZ_CHECK_MSG(item == canonical, printable(line)); // a printed number, shortest form
                const double c = textToNumber(fields[axis + 1]).value;
                if (withNoise(o, axis)) {
                    constexpr double eps = std::numeric_limits<double>::epsilon();
                    const double bound = std::fabs(scale) * (1 + 4 * eps) + 4 * eps * std::fabs(c);
                    FUZZ_CHECK_MSG(std::fabs(value - c) <= bound,
                                   printable(record) + " -> " + printable(line) + " scale " + std::to_string(scale));
                } else {
                    FUZZ_CHECK_MSG(value == c, printable(record) + " -> " + printable(line));
                }
                pos = end + 1;
            }
            std::string rest;
            for (std::size_t f = 4; f < fields.size(); ++f)
                rest.append(f > 4 ? " " : "").append(fields[f]);
            FUZZ_CHECK_MSG(line.substr(pos) == rest, printable(record) + " -> " + printable(line));
            ++(normal ? normals : vertices);
        } else if (keyword == "f" && o.split == Checked && fields.size() == 5) {
            const auto zoned = [](std::initializer_list<std::string_view> items) {
                std::string text;
                std::size_t n = 0;
                for (const std::string_view item : items) {
                    text.append(item);
                    if (++n < items.size())
                        text.append((text.size() / 14 + 1) * 14 - text.size(), ' ');
                }
                return text;
            };
            FUZZ_CHECK_MSG(nextLine(i) == zoned({fields[0], fields[1], fields[2], fields[4]}), printable(record));
            FUZZ_CHECK_MSG(nextLine(i) == zoned({fields[0], fields[2], fields[3], fields[4]}), printable(record));
            ++quads;
        } else {
            FUZZ_CHECK_MSG(nextLine(i) == record, "record " + std::to_string(i + 1) + ": " + printable(record));
        }
        // Copies of a line under the same options come out the same.
        const std::string key = std::to_string(o.axes[0]) + std::to_string(o.axes[1]) + std::to_string(o.axes[2]) +
                                std::to_string(o.normals) + std::to_string(o.split) + std::to_string(o.algorithm);
        const std::string lines = run.output.substr(lineStart, at - lineStart);
        const auto [it, added] = seen.try_emplace({key, record}, lines);
        FUZZ_CHECK_MSG(added || it->second == lines, printable(record));
    }
    FUZZ_CHECK(run.destinationExists);
    FUZZ_CHECK_MSG(at == run.output.size(), "the output has lines that no record accounts for");
    FUZZ_CHECK(run.summary.vertices == vertices && run.summary.normals == normals && run.summary.quadsSplit == quads);
    FUZZ_CHECK(run.summary.noiseCancelled == (noiseCancelled && config.atRecord < recordCount));
    FUZZ_CHECK(run.yieldsPerPhase.size() == 2 && run.yieldsPerPhase[1] == long(written));
}

void removeFolder()
{
    if (DIR* dir = ::opendir(g_folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                ::unlink((g_folder + "/" + entry->d_name).c_str());
        ::closedir(dir);
    }
    ::rmdir(g_folder.c_str());
}

std::vector<std::string> folderEntries()
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(g_folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/jf-fuzz-engine-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    g_folder = pattern;
    std::atexit(removeFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const Config config = readConfig(bytes, size);
    const std::size_t header = std::min(size, kHeader);
    const std::string_view data(reinterpret_cast<const char*>(bytes) + header, size - header);
    const std::vector<ReferenceRecord> records = referenceRecords(data);

    const int memory = ::memfd_create("jf-source", MFD_CLOEXEC);
    FUZZ_CHECK(memory >= 0);
    FUZZ_CHECK(::write(memory, data.data(), data.size()) == ssize_t(data.size()));
    const std::string source = "/proc/self/fd/" + std::to_string(memory);

    // Once on the calling thread alone, once with helpers: the output may not depend on it.
    const Run first = convert(config, source, 0);
    checkRun(config, records, first);
    const Run second = convert(config, source, 2);
    FUZZ_CHECK(second.error == first.error);
    FUZZ_CHECK(second.output == first.output);
    ::close(memory);

    if (config.formatCheck) {
        // The source brought into normal form by the check converts to the same bytes.
        const std::string path = g_folder + "/src.obj";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        FUZZ_CHECK(fd >= 0);
        FUZZ_CHECK(::write(fd, data.data(), data.size()) == ssize_t(data.size()));
        ::close(fd);
        Options options = config.options;
        options.source = path;
        options.destination = g_folder + "/out.obj";
        Status status;
        Events events;
        events.status = &status;
        events.options = &options;
        events.event = config.event == Event::CancelScan ? Event::CancelScan : Event::None;
        events.atRecord = 1;
        EngineHost host{options, status, events, [] { return 45000.0; }};
        CancelRequested.store(kFalse);
        const CheckResult check = CheckObjFormat(host);
        FUZZ_CHECK_MSG(!check.error, *check.error);
        FUZZ_CHECK(!status.visible);
        bool exists = false;
        const std::string after = readFile(path, &exists);
        const std::string normal = referenceNormalForm(data);
        // A cancel leaves the source whole: as it was, or in its complete normal form.
        FUZZ_CHECK_MSG(after == normal || (check.cancelled && after == data), printable(after));
        FUZZ_CHECK(check.rewritten == (after != data));
        FUZZ_CHECK(folderEntries() == std::vector<std::string>{"src.obj"});
        const Run normalised = convert(config, path, 1);
        FUZZ_CHECK(normalised.output == first.output);
        FUZZ_CHECK(normalised.error.has_value() == first.error.has_value());
        if (first.error)
            FUZZ_CHECK_MSG(afterPath(*normalised.error) == afterPath(*first.error), *normalised.error);
        ::unlink(path.c_str());
    }
    return 0;
}
