// alloc_count: shows that the format check and both passes of the conversion allocate nothing per
// record once warm.
//
//   alloc_count [--normals] [--split] SMALL.obj [MORE.obj ...] LARGE.obj
//
// Every heap allocation of the process is counted: the C++ operators and the C allocator are both
// replaced here (the latter forwards to glibc's __libc_* entry points), so Qt's and the standard
// library's allocations are seen as well as ours. Each input is copied into a private folder, then
// the format check and the conversion run on the copy through minimal front-end stand-ins that do
// not allocate themselves. Per phase and input the harness reports the allocations of the whole
// phase and those made once it is warm (past a quarter of its progress and kWarm steps: chunks of
// lines in the passes, thousands of records each, or blocks in the format check).
// The verdict is the slope between the smallest and the largest input: extra allocations of a phase
// over its extra steps. An allocation per record, or per hundredth record, gives a slope near 1 or
// 0.01; what is bounded whatever the size gives a slope that shrinks as the inputs grow apart. Such
// bounded growths are expected: the conversion hands records on in chunks of 256 KiB through a
// ring of a few of them, and each chunk's buffers grow to the largest chunk that slot has met, which
// may first happen late in a run (all the more with a second thread, whose pace decides which slot
// gets which chunk). So the inputs should be far apart in size (20 MB and 1 GB, say).
// Exit status 1 when a phase's slope is kMaxSlope or more.

#include "engine/convert.h"
#include "engine/host.h"

#include <atomic>
#include <cerrno>
#include <execinfo.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Counting allocator

namespace {
std::atomic<unsigned long long> g_allocations{0};
std::atomic<unsigned long long> g_bytes{0};
// With ALLOC_TRACE set, each allocation made while this is on prints its call stack (on stderr,
// through backtrace_symbols_fd, which itself allocates nothing).
std::atomic<bool> g_trace{false};
thread_local bool t_inTrace = false;

inline void counted(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(size, std::memory_order_relaxed);
    if (g_trace.load(std::memory_order_relaxed) && !t_inTrace) {
        t_inTrace = true;
        void* frames[24];
        const int n = ::backtrace(frames, 24);
        char line[64];
        const int length = std::snprintf(line, sizeof line, "--- allocation of %zu bytes\n", size);
        if (::write(2, line, static_cast<std::size_t>(length)) < 0) {
        }
        ::backtrace_symbols_fd(frames, n, 2);
        t_inTrace = false;
    }
}
} // namespace

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size)
{
    counted(size);
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size)
{
    counted(n * size);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size)
{
    counted(size); // a growth is an allocation as far as the hot path is concerned
    return __libc_realloc(p, size);
}
void free(void* p)
{
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size)
{
    counted(size);
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    counted(size);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
    counted(size);
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}
} // extern "C"

// The C++ operators go straight to glibc so that one allocation counts once.
void* operator new(std::size_t size)
{
    counted(size);
    if (void* p = __libc_malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    counted(size);
    return __libc_malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept
{
    return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    counted(size);
    if (void* p = __libc_memalign(static_cast<std::size_t>(alignment), size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return operator new(size, alignment);
}
void operator delete(void* p) noexcept
{
    __libc_free(p);
}
void operator delete[](void* p) noexcept
{
    __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    __libc_free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
    __libc_free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    __libc_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    __libc_free(p);
}

// ---------------------------------------------------------------------------------------------
// Front-end stand-ins: they hold plain values and allocate nothing after construction.

namespace {

using namespace jf;

constexpr long kWarm = 20;            // steps of a phase, at least, before it counts as warm
constexpr double kWarmFraction = 0.25; // and the share of its progress
constexpr double kMaxSlope = 1e-3;     // allocations per step between the inputs: one per 1000

class Options : public ConversionOptions
{
public:
    std::string source, destination;
    int normals = Unchecked, split = Unchecked;
    std::string sourceText() const override { return source; }
    std::string destinationText() const override { return destination; }
    void setDestinationText(std::string_view text) override { destination = text; }
    std::string intensityText() const override { return "0.1"; }
    int algorithmIndex() const override { return White; }
    int xValue() const override { return Checked; }
    int yValue() const override { return Checked; }
    int zValue() const override { return Checked; }
    int normalsValue() const override { return normals; }
    int splitValue() const override { return split; }
};

struct Phase
{
    std::string label;
    long steps = 0;
    long warmStep = 0; // the step at which the phase counted as warm
    unsigned long long atStart = 0, atWarm = 0, atLastStep = 0, atEnd = 0;
};

// Each show() opens a phase and hide() closes it; yield() marks the steps in between.
class Recorder : public StatusView, public EventLoop
{
public:
    std::vector<Phase> phases;
    std::string pendingLabel;

    Recorder() { phases.reserve(8), pendingLabel.reserve(256); }

    void setCaption(std::string_view) override {}
    std::string label() const override { return pendingLabel; }
    void setLabel(std::string_view text) override { pendingLabel.assign(text); }
    void setMin(float) override {}
    void setMax(float value) override { m_max = value; }
    void setValue(float value) override { m_value = value; }
    void show() override
    {
        closePhase();
        Phase phase;
        phase.label = pendingLabel;
        phase.atStart = g_allocations.load(std::memory_order_relaxed);
        phases.push_back(std::move(phase));
        m_open = true;
        m_warm = false;
    }
    void hide() override { closePhase(); }
    void yield() override
    {
        if (!m_open)
            return;
        Phase& phase = phases.back();
        const unsigned long long now = g_allocations.load(std::memory_order_relaxed);
        ++phase.steps;
        if (!m_warm && phase.steps >= kWarm && m_value >= kWarmFraction * m_max) {
            m_warm = true;
            phase.warmStep = phase.steps;
            phase.atWarm = now;
            if (m_traceWarm)
                g_trace.store(true);
        }
        phase.atLastStep = now;
    }

private:
    void closePhase()
    {
        if (!m_open)
            return;
        g_trace.store(false);
        phases.back().atEnd = g_allocations.load(std::memory_order_relaxed);
        m_open = false;
    }
    bool m_open = false;
    bool m_warm = false;
    float m_max = 0, m_value = 0;
    bool m_traceWarm = std::getenv("ALLOC_TRACE") != nullptr;
};

bool copyFile(const std::string& from, const std::string& to)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        ::close(in);
        return false;
    }
    std::vector<char> block(1 << 20);
    bool ok = true;
    for (ssize_t n; ok && (n = ::read(in, block.data(), block.size())) != 0;) {
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        ok = ::write(out, block.data(), static_cast<std::size_t>(n)) == n;
    }
    ::close(in);
    return ::close(out) == 0 && ok;
}

struct Measured
{
    std::string input;
    std::uint64_t bytes = 0;
    std::vector<Phase> phases;
    unsigned long long checkTotal = 0, convertTotal = 0;
};

// The format check and the conversion on a fresh copy of `input`, as the Convert command runs them.
bool measure(const std::string& input, const std::string& folder, Options& options, Measured& result)
{
    result.input = input;
    const std::string source = folder + "/source.obj";
    const std::string destination = folder + "/destination.obj";
    ::unlink(destination.c_str());
    if (!copyFile(input, source)) {
        std::fprintf(stderr, "alloc_count: cannot copy %s into %s\n", input.c_str(), folder.c_str());
        return false;
    }
    struct stat info
    {
    };
    ::stat(source.c_str(), &info);
    result.bytes = static_cast<std::uint64_t>(info.st_size);
    options.source = source;
    options.destination = destination;

    Recorder recorder;
    EngineHost host{options, recorder, recorder, [] { return 45000.0; }};
    const unsigned long long beforeCheck = g_allocations.load();
    CheckResult check = CheckObjFormat(host);
    result.checkTotal = g_allocations.load() - beforeCheck;
    if (check.error) {
        std::fprintf(stderr, "alloc_count: %s\n", check.error->c_str());
        return false;
    }
    const unsigned long long beforeConvert = g_allocations.load();
    // The check hands on the file it replaced, with the scan that it began on it.
    const RunResult run = ConvertMesh(host, std::move(check.earlier));
    result.convertTotal = g_allocations.load() - beforeConvert;
    if (run.error) {
        std::fprintf(stderr, "alloc_count: %s\n", run.error->c_str());
        return false;
    }
    result.phases = recorder.phases;
    ::unlink(destination.c_str());
    ::unlink(source.c_str());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--normals")
            options.normals = Checked;
        else if (arg == "--split")
            options.split = Checked;
        else
            inputs.emplace_back(arg);
    }
    if (inputs.size() < 2) {
        std::fprintf(stderr, "usage: alloc_count [--normals] [--split] SMALL.obj [MORE.obj ...] LARGE.obj\n");
        return 2;
    }
    char pattern[] = "/tmp/alloc_count-XXXXXX";
    const char* folder = ::mkdtemp(pattern);
    if (!folder) {
        std::perror("alloc_count: mkdtemp");
        return 2;
    }

    // The first run pays for what is set up once per process (locale, Qt's tables, stdio buffers);
    // only the runs after it are compared.
    Measured warmup;
    std::vector<Measured> runs(inputs.size());
    bool ok = measure(inputs.front(), folder, options, warmup);
    for (std::size_t i = 0; ok && i < inputs.size(); ++i)
        ok = measure(inputs[i], folder, options, runs[i]);
    ::rmdir(folder);
    if (!ok)
        return 1;

    std::printf("options: normals %s, split quads %s; a phase is warm past %.0f %% of its progress and %ld steps\n\n",
                options.normals == Checked ? "on" : "off", options.split == Checked ? "on" : "off",
                kWarmFraction * 100, kWarm);
    std::printf("| input | bytes | phase | steps | allocations in phase | warm from step | allocations once warm |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    bool complete = !runs.front().phases.empty();
    for (const Measured& m : runs) {
        complete = complete && m.phases.size() == runs.front().phases.size();
        for (const Phase& p : m.phases) {
            if (p.warmStep == 0 && p.steps > 0)
                std::fprintf(stderr, "alloc_count: phase \"%s\" of %s never became warm\n", p.label.c_str(),
                             m.input.c_str());
            std::printf("| %s | %llu | %s | %ld | %llu | %ld | %llu |\n", m.input.c_str(),
                        static_cast<unsigned long long>(m.bytes), p.label.c_str(), p.steps,
                        p.atEnd - p.atStart, p.warmStep, p.warmStep ? p.atLastStep - p.atWarm : 0ULL);
        }
    }
    const Measured& small = runs.front();
    const Measured& large = runs.back();
    std::printf("\n| phase | extra steps, largest over smallest input | extra allocations in the phase | per step |\n"
                "|---|---|---|---|\n");
    bool flat = complete;
    for (std::size_t i = 0; complete && i < small.phases.size(); ++i) {
        const Phase& a = small.phases[i];
        const Phase& b = large.phases[i];
        const long steps = b.steps - a.steps;
        const long long extra = static_cast<long long>(b.atEnd - b.atStart) - static_cast<long long>(a.atEnd - a.atStart);
        // A rewritten source's scan runs beside the format check: its allocations fall in the check's
        // phase, and its own phase, in which the conversion only waits for it, may have no steps.
        if (steps <= 0 && extra == 0) {
            std::printf("| %s | %ld | %lld | - |\n", a.label.c_str(), steps, extra);
            continue;
        }
        const double slope = steps > 0 ? double(extra) / double(steps) : 1.0;
        if (slope >= kMaxSlope)
            flat = false;
        std::printf("| %s | %ld | %lld | %.7f |\n", a.label.c_str(), steps, extra, slope);
    }
    std::printf("\n| input | format check, whole call | conversion, whole call |\n|---|---|---|\n");
    for (const Measured& m : runs)
        std::printf("| %s | %llu | %llu |\n", m.input.c_str(), m.checkTotal, m.convertTotal);
    std::printf("\nfewer than %g allocations per step in every phase (none per record): %s\n", kMaxSlope,
                flat ? "yes" : "NO");
    return flat ? 0 : 1;
}
