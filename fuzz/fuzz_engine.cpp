// The whole conversion over an in-memory source, with fuzzed options and a fuzzed event during the
// run, held against what the records say the output must be: records that are neither vertices,
// nor noised normals, nor split quads byte for byte and in order (empty ones not at all); a vertex
// ("v ", or "vn " for a noised normal) as three printed numbers, each within |amplitude| of its
// input and exactly it on an axis without noise, then its further fields; a split quad as its two
// triangles in print zones; the same bytes with and without helper threads, and for copies of a
// line under the same options; a fault stops the run naming the line and leaves no destination.
// Header bytes (missing ones read as 0):
//  0: chkX, chkY, chkZ (two bits each: unchecked, checked, grayed, checked), chkNormals, chkSplit
//  1: the algorithm index, -1 to 3      2: the intensity text, from a table
//  3: the record at which the event happens (0: none)      4: the event      5: the day
//  6: bit 0: also run the format check on a real file and convert that; the outputs must agree;
//     bits 1-7: less 2, the size of the chunks of a further run without an event, which also writes
//     the smallest file blocks; its output must be the same. Every other run reads chunks of one
//     byte, which hold one line each: one step of progress, cancel test and yield a record, so that
//     an event acts at an exact record.

#include "engine/convert.h"
#include "fuzzsupport.h"
#include "tests/enginefakes.h"
#include "text/number.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

using namespace jf;
using namespace jf::fuzz;
using jf::test::FakeOptions;

namespace {

constexpr std::size_t kHeader = 7;
// Files are written in blocks of this size, in place of megabytes; one run takes the smallest, so
// that the output crosses blocks and hands them to the writer's thread.
constexpr std::size_t kBlockBytes = 16384;
constexpr std::size_t kSmallestBlockBytes = 4096;
const char* const kIntensities[] = {"0.1",   "1",          "-2", "0",     "abc",    "1e-300",
                                    "1e300", " 0 . 5 e 1", "3",  "1e999", "-0.001", "123456",
                                    "0.25",  "+.5",        "7e", "1.#IND"};

enum class Event { None, ToggleX, ToggleNormals, ToggleSplit, ChangeAlgorithm, CancelScan, CancelNoise };

void change(FakeOptions& o, Event e)
{
    if (e == Event::ToggleX)
        o.x = o.x == Checked ? Unchecked : Checked;
    else if (e == Event::ToggleNormals)
        o.normals = o.normals == Checked ? Unchecked : Checked;
    else if (e == Event::ToggleSplit)
        o.split = o.split == Checked ? Grayed : Checked;
    else if (e == Event::ChangeAlgorithm)
        o.algorithm = (o.algorithm + 2) % 5 - 1;
}

struct Config
{
    FakeOptions options;
    Event event = Event::None;
    long atRecord = 0;
    int day = 45000;
    bool formatCheck = false;
    std::size_t chunkBytes = 2;
};

Config readConfig(const std::uint8_t* bytes, std::size_t size)
{
    std::uint8_t h[kHeader] = {};
    std::memcpy(h, bytes, std::min(size, kHeader));
    Config c;
    const int checks[4] = {Unchecked, Checked, Grayed, Checked};
    c.options.x = checks[h[0] & 3];
    c.options.y = checks[(h[0] >> 2) & 3];
    c.options.z = checks[(h[0] >> 4) & 3];
    c.options.normals = (h[0] & 0x40) ? Checked : Unchecked;
    c.options.split = (h[0] & 0x80) ? Checked : Unchecked;
    c.options.algorithm = h[1] % 5 - 1;
    c.options.intensity = kIntensities[h[2] % std::size(kIntensities)];
    c.atRecord = h[3];
    c.event = h[3] == 0 ? Event::None : Event(1 + h[4] % 6);
    c.day = 45000 + h[5];
    c.formatCheck = h[6] & 1;
    c.chunkBytes = 2 + (h[6] >> 1);
    return c;
}

// The files of a run live in memory, in a folder on tmpfs, so that neither writes nor flushes wait
// for a disk. The engine sees the folder through a link whose name, like every file name in it, is
// in upper case: the name resolver then finds each component under its own name and never lists a
// folder, but for the root's entry of the link's folder.
std::string g_folder;     // the link, as the engine sees it
std::string g_realFolder; // on tmpfs where there is one
int g_memory = -1;        // the in-memory source, which MEM.OBJ in the folder leads to
std::string g_memoryPath;

// The engine's helper threads, started once: a new thread per pass costs more than a small run.
// A run that wants more at once than there are idle gets one more, kept for later runs.
class HelperPool
{
public:
    // Hands `work` to an idle thread.
    void start(std::function<void()> work)
    {
        std::unique_lock lock(m_mutex);
        for (std::unique_ptr<Job>& job : m_jobs) {
            if (!job->work) {
                job->work = std::move(work);
                job->wake.notify_one();
                return;
            }
        }
        m_jobs.push_back(std::make_unique<Job>());
        m_jobs.back()->work = std::move(work);
        std::thread([this, job = m_jobs.back().get()] { serve(*job); }).detach();
    }
    // Waits until every job has ended and is gone, so that nothing a run allocated is freed after it.
    void waitIdle()
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] {
            return std::none_of(m_jobs.begin(), m_jobs.end(), [](auto& j) { return bool(j->work); });
        });
    }

private:
    struct Job
    {
        std::function<void()> work; // empty while its thread is idle
        std::condition_variable wake;
    };

    void serve(Job& job)
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            job.wake.wait(lock, [&] { return bool(job.work); });
            lock.unlock();
            job.work();
            lock.lock();
            job.work = nullptr;
            m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::vector<std::unique_ptr<Job>> m_jobs; // one a thread
};
HelperPool* g_pool = nullptr;

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}

struct Run
{
    std::optional<std::string> error;
    RunSummary summary;
    std::optional<std::string> output; // none: no destination
    std::vector<long> yieldsPerPhase;  // the format check or the scan, then the noise pass
    bool statusVisible = false;
    CheckResult checked;
};

// Runs the check (`check`) or the conversion of `source`, the event acting at its record.
Run run(const Config& config, const std::string& source, int workers, bool check = false,
        std::size_t chunkBytes = 1, std::size_t blockBytes = kBlockBytes)
{
    FakeOptions options = config.options;
    options.source = source;
    options.destination = g_folder + "/out.obj";
    ::unlink(options.destination.c_str());
    test::FakeStatus status;
    status.recordValues = false;
    test::FakeEvents events;
    Run result;
    events.onYield = [&](long) {
        result.yieldsPerPhase.resize(std::size_t(std::max(status.shows, 1)));
        if (++result.yieldsPerPhase.back() != config.atRecord)
            return;
        if (config.event == Event::CancelScan || config.event == Event::CancelNoise)
            if (status.shows == (config.event == Event::CancelScan ? 1 : 2))
                CancelRequested.store(kTrue);
        if (status.shows == 2)
            change(options, config.event);
    };
    EngineHost host{options, status, events, [day = double(config.day)] { return day; }};
    host.workers = workers;
    host.chunkBytes = chunkBytes;
    host.blockBytes = blockBytes;
    host.startHelper = [](std::function<void()> work) { g_pool->start(std::move(work)); };
    CancelRequested.store(kFalse);
    if (check) {
        result.checked = CheckObjFormat(host);
        result.error = result.checked.error;
    } else {
        const RunResult converted = ConvertMesh(host);
        result.error = converted.error;
        result.summary = converted.summary;
        result.output = readFile(options.destination);
    }
    result.yieldsPerPhase.resize(std::size_t(status.shows));
    result.statusVisible = status.visible;
    ::unlink(options.destination.c_str());
    g_pool->waitIdle();
    return result;
}

// The options in effect for record `index` (1-based) of the noise pass.
FakeOptions optionsAt(const Config& config, std::size_t index)
{
    FakeOptions o = config.options;
    if (index >= std::size_t(config.atRecord))
        change(o, config.event);
    return o;
}

bool withNoise(const FakeOptions& o, int axis)
{
    return (axis == 0 ? o.x : axis == 1 ? o.y : o.z) == Checked && o.algorithm >= 0 && o.algorithm <= 2;
}

// Which faults a vertex (a noised normal) may be reported with: too few coordinates, or one beyond
// a double; which of two faults of one record is named is the engine's choice.
std::vector<std::string> faultsOf(const std::vector<std::string_view>& fields, bool normal)
{
    std::vector<std::string> faults;
    if (fields.size() < 4)
        faults.push_back(normal ? "a normal needs three coordinates" : "a vertex needs three coordinates");
    for (std::size_t f = 1; f < fields.size() && f < 4; ++f)
        if (textToNumber(fields[f]).overflow)
            faults.push_back("the number \"");
    return faults;
}

// What the records demand of the run, checked against what it did.
void checkRun(const Config& config, const std::vector<ReferenceRecord>& records, const Run& run)
{
    const long recordCount = static_cast<long>(records.size());
    FUZZ_CHECK(!run.statusVisible);
    const std::string detail = run.error.value_or("");
    const auto failedWith = [&](std::size_t index, const std::vector<std::string>& faults) {
        const std::string line = ", line " + std::to_string(index + 1) + ": ";
        bool named = false;
        for (const std::string& fault : faults)
            named |= detail.find(line + fault) != std::string::npos;
        FUZZ_CHECK_MSG(named, detail + " (expected" + line + faults.front() + ")");
        FUZZ_CHECK(!run.output);
    };

    // Each record's fields, split once for the three walks below.
    std::vector<std::vector<std::string_view>> fieldsOf;
    fieldsOf.reserve(records.size());
    for (const ReferenceRecord& record : records)
        fieldsOf.push_back(referenceFields(record.text));

    // Pass 1: the box of the vertices measured, or the first fault among them.
    const bool scanCancelled = config.event == Event::CancelScan && config.atRecord <= recordCount;
    const std::size_t measured = scanCancelled ? std::size_t(config.atRecord) : records.size();
    bool first = true;
    double low[3] = {0, 0, 0}, high[3] = {0, 0, 0};
    for (std::size_t i = 0; i < measured; ++i) {
        const std::vector<std::string_view>& fields = fieldsOf[i];
        if (fields.empty() || fields[0] != "v")
            continue;
        if (const std::vector<std::string> faults = faultsOf(fields, false); !faults.empty())
            return failedWith(i, faults);
        for (int axis = 0; axis < 3; ++axis) {
            const double c = textToNumber(fields[axis + 1]).value;
            low[axis] = first ? c : std::min(low[axis], c);
            high[axis] = first ? c : std::max(high[axis], c);
        }
        first = false;
    }
    const NumberReading intensity = textToNumber(config.options.intensity);
    const double scale = intensity.value * std::min({high[0] - low[0], high[1] - low[1], high[2] - low[2]});
    if (intensity.overflow || !std::isfinite(scale)) {
        FUZZ_CHECK_MSG(detail.find(intensity.overflow ? "The intensity" : "The noise amplitude") == 0,
                       detail);
        FUZZ_CHECK(!run.output);
        return;
    }
    FUZZ_CHECK(run.summary.noiseScale == scale);
    // A cancel during the last record's yield finds no record left to stop before.
    FUZZ_CHECK(run.summary.scanCancelled == (scanCancelled && config.atRecord < recordCount));
    FUZZ_CHECK(run.summary.daySeed == config.day);
    // One yield per record in each pass, empty records included.
    FUZZ_CHECK(!run.yieldsPerPhase.empty() && run.yieldsPerPhase[0] == long(measured));

    // Pass 2: its first fault, if any, ends the run and nothing of it may remain.
    const bool noiseCancelled = config.event == Event::CancelNoise && config.atRecord <= recordCount;
    const std::size_t written = noiseCancelled ? std::size_t(config.atRecord) : records.size();
    for (std::size_t i = 0; i < written; ++i) {
        const std::vector<std::string_view>& fields = fieldsOf[i];
        const bool normal =
            !fields.empty() && fields[0] == "vn" && optionsAt(config, i + 1).normals == Checked;
        if (fields.empty() || (fields[0] != "v" && !normal))
            continue;
        if (const std::vector<std::string> faults = faultsOf(fields, normal); !faults.empty())
            return failedWith(i, faults);
        if (!detail.empty() &&
            detail.find(", line " + std::to_string(i + 1) + ": the coordinate") != std::string::npos) {
            // The noise carried a coordinate beyond the largest double, which only happens near it.
            bool nearLimit = false;
            for (int axis = 0; axis < 3; ++axis)
                nearLimit |= std::fabs(textToNumber(fields[axis + 1]).value) + std::fabs(scale) >=
                             std::numeric_limits<double>::max() / 2;
            FUZZ_CHECK_MSG(nearLimit && !run.output, detail);
            return;
        }
    }
    FUZZ_CHECK_MSG(!run.error && run.output, detail);

    // And record by record, what it wrote.
    const std::string& output = *run.output;
    std::size_t at = 0; // read position in the output
    std::uint64_t vertices = 0, normals = 0, quads = 0;
    // (options, record) -> its lines
    std::map<std::pair<std::uint64_t, std::string_view>, std::string_view> seen;
    const auto nextLine = [&](std::size_t index) {
        const std::size_t end = output.find("\r\n", at);
        FUZZ_CHECK_MSG(end != std::string::npos, "output ends before record " + std::to_string(index + 1));
        const std::string_view line(output.data() + at, end - at);
        at = end + 2;
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string_view::npos);
        return line;
    };
    const auto zoned = [](std::initializer_list<std::string_view> items) {
        std::string text;
        for (const std::string_view item : items)
            text.append(text.empty() ? 0 : (text.size() / 14 + 1) * 14 - text.size(), ' ').append(item);
        return text;
    };
    for (std::size_t i = 0; i < written; ++i) {
        const std::string& record = records[i].text;
        if (record.empty())
            continue;
        const FakeOptions o = optionsAt(config, i + 1);
        const std::vector<std::string_view>& fields = fieldsOf[i];
        const std::string_view keyword = fields.empty() ? std::string_view() : fields[0];
        const bool normal = keyword == "vn" && o.normals == Checked;
        const std::size_t lineStart = at;
        if (keyword == "v" || normal) {
            const std::string_view line = nextLine(i);
            const auto shown = [&] { return printable(record) + " -> " + printable(line); };
            const std::string_view prefix = normal ? "vn " : "v ";
            FUZZ_CHECK_MSG(line.substr(0, prefix.size()) == prefix, shown());
            std::size_t pos = prefix.size();
            for (int axis = 0; axis < 3; ++axis) {
                FUZZ_CHECK_MSG(pos < line.size() && (line[pos] == '-' || line[pos] == ' '), shown());
                const std::size_t end = line.find(' ', pos + 1);
                FUZZ_CHECK_MSG(end != std::string_view::npos, shown());
                const std::string_view item = line.substr(pos, end + 1 - pos);
                const double value = textToNumber(item).value, c = textToNumber(fields[axis + 1]).value;
                char printed[kPrintedNumberMax];
                FUZZ_CHECK_MSG(
                    item == std::string_view(printed, std::size_t(printNumber(value, printed) - printed)),
                    shown()); // a printed number, shortest form
                constexpr double eps = std::numeric_limits<double>::epsilon();
                if (withNoise(o, axis))
                    FUZZ_CHECK_MSG(std::fabs(value - c) <=
                                       std::fabs(scale) * (1 + 4 * eps) + 4 * eps * std::fabs(c),
                                   shown() + " scale " + std::to_string(scale));
                else
                    FUZZ_CHECK_MSG(value == c, shown());
                pos = end + 1;
            }
            std::string rest;
            for (std::size_t f = 4; f < fields.size(); ++f)
                rest.append(f > 4 ? " " : "").append(fields[f]);
            FUZZ_CHECK_MSG(line.substr(pos) == rest, shown());
            ++(normal ? normals : vertices);
        } else if (keyword == "f" && o.split == Checked && fields.size() == 5) {
            FUZZ_CHECK_MSG(nextLine(i) == zoned({fields[0], fields[1], fields[2], fields[4]}),
                           printable(record));
            FUZZ_CHECK_MSG(nextLine(i) == zoned({fields[0], fields[2], fields[3], fields[4]}),
                           printable(record));
            ++quads;
        } else {
            FUZZ_CHECK_MSG(nextLine(i) == record,
                           "record " + std::to_string(i + 1) + ": " + printable(record));
        }
        std::uint64_t key = 0;
        for (const int option : {o.x, o.y, o.z, o.normals, o.split, o.algorithm})
            key = key << 8 | std::uint8_t(option);
        const std::string_view lines(output.data() + lineStart, at - lineStart);
        const auto [it, added] = seen.try_emplace({key, record}, lines);
        FUZZ_CHECK_MSG(added || it->second == lines, printable(record));
    }
    FUZZ_CHECK_MSG(at == output.size(), "the output has lines that no record accounts for");
    FUZZ_CHECK(run.summary.vertices == vertices && run.summary.normals == normals &&
               run.summary.quadsSplit == quads);
    FUZZ_CHECK(run.summary.noiseCancelled == (noiseCancelled && config.atRecord < recordCount));
    FUZZ_CHECK(run.yieldsPerPhase.size() == 2 && run.yieldsPerPhase[1] == long(written));
}

std::vector<std::string> folderEntries()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(g_realFolder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    const std::string linkFolder = tmp && *tmp ? tmp : "/tmp";
    struct stat shm
    {
    };
    const bool onTmpfs =
        ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && ::access("/dev/shm", W_OK) == 0;
    std::string pattern = (onTmpfs ? std::string("/dev/shm") : linkFolder) + "/jf-fuzz-engine-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    g_realFolder = pattern;
    g_folder = linkFolder + "/JF-FUZZ-ENGINE-" + std::to_string(::getpid());
    ::unlink(g_folder.c_str()); // a link that a killed run of the same number left
    FUZZ_CHECK_MSG(::symlink(g_realFolder.c_str(), g_folder.c_str()) == 0, g_folder);
    std::atexit([] {
        ::unlink(g_folder.c_str());
        std::filesystem::remove_all(g_realFolder);
    });
    g_memory = ::memfd_create("jf-source", MFD_CLOEXEC);
    FUZZ_CHECK(g_memory >= 0);
    g_memoryPath = g_folder + "/MEM.OBJ";
    FUZZ_CHECK(::symlink(("/proc/self/fd/" + std::to_string(g_memory)).c_str(), g_memoryPath.c_str()) == 0);
    g_pool = new HelperPool;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const Config config = readConfig(bytes, size);
    const std::size_t header = std::min(size, kHeader);
    const std::string_view data(reinterpret_cast<const char*>(bytes) + header, size - header);
    std::string normal;
    const std::vector<ReferenceRecord> records = referenceRecords(data, &normal);

    FUZZ_CHECK(::ftruncate(g_memory, 0) == 0 &&
               ::pwrite(g_memory, data.data(), data.size(), 0) == ssize_t(data.size()));
    // Once on the calling thread alone, once with helpers: the output may not depend on it.
    const Run first = run(config, g_memoryPath, 0);
    checkRun(config, records, first);
    const Run second = run(config, g_memoryPath, 2);
    FUZZ_CHECK(second.error == first.error && second.output == first.output);
    if (config.event == Event::None) { // nor on where chunks and blocks end
        const Run chunked = run(config, g_memoryPath, 1, false, config.chunkBytes, kSmallestBlockBytes);
        FUZZ_CHECK(chunked.error == first.error && chunked.output == first.output);
    }
    if (!config.formatCheck)
        return 0;

    // The source brought into normal form by the check converts to the same bytes. A cancel leaves
    // the source whole: as it was, or in its complete normal form.
    const std::string path = g_folder + "/SRC.OBJ";
    FUZZ_CHECK(std::ofstream(path, std::ios::binary).write(data.data(), std::streamsize(data.size())));
    Config checkConfig = config;
    checkConfig.atRecord = 1;
    checkConfig.event = config.event == Event::CancelScan ? Event::CancelScan : Event::None;
    const Run check = run(checkConfig, path, 1, true);
    FUZZ_CHECK_MSG(!check.error && !check.statusVisible, check.error.value_or(""));
    const std::string after = readFile(path).value_or("");
    FUZZ_CHECK_MSG(after == normal || (check.checked.cancelled && after == data), printable(after));
    FUZZ_CHECK(check.checked.rewritten == (after != data));
    FUZZ_CHECK(folderEntries() == (std::vector<std::string>{"MEM.OBJ", "SRC.OBJ"}));
    const Run normalised = run(config, path, 1);
    FUZZ_CHECK(normalised.output == first.output && normalised.error.has_value() == first.error.has_value());
    const auto afterPath = [](const std::string& text) {
        return text.substr(std::min(text.find(", line "), text.size()));
    };
    if (first.error)
        FUZZ_CHECK_MSG(afterPath(*normalised.error) == afterPath(*first.error), *normalised.error);
    ::unlink(path.c_str());
    return 0;
}
