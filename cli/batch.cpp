#include "cli/filerun.h"
#include "cli/report.h"
#include "cli/run.h"

#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace jf::cli {

namespace {

unsigned cores()
{
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return unsigned(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

// What a name leads to on disk, as the Convert command will find it: the same file under two names
// (a link, another letter case) gives the same key.
std::string fileKey(const std::string& onDisk)
{
    struct stat info
    {
    };
    if (::stat(onDisk.c_str(), &info) == 0)
        return "inode " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
    return "path " + onDisk;
}

std::string sourceKey(const std::string& source)
{
    FileDescriptor descriptor;
    descriptor.Split(source);
    return fileKey(resolveOnDisk(descriptor.Path()).path);
}

std::string destinationKey(const std::string& destination)
{
    FileDescriptor descriptor;
    descriptor.Split(destination);
    return fileKey(pathForNewFile(descriptor.Path()));
}

// Why the batch may not start, or nothing. Each source's destination has been completed already.
std::optional<std::string> batchFault(const std::vector<FileJob>& files)
{
    std::map<std::string, std::size_t> sources;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const auto [at, added] = sources.emplace(sourceKey(files[i].source), i);
        if (!added)
            return files[at->second].source == files[i].source
                       ? "The source " + files[i].source + " is named twice."
                       : "The sources " + files[at->second].source + " and " + files[i].source +
                             " are the same file.";
    }
    std::map<std::string, std::size_t> destinations;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string key = destinationKey(files[i].destination);
        const auto [at, added] = destinations.emplace(key, i);
        if (!added)
            return "The sources " + files[at->second].source + " and " + files[i].source +
                   " would both be written to " + files[i].destination + ".";
        const auto source = sources.find(key);
        if (source != sources.end() && source->second != i)
            return "The destination " + files[i].destination + " of " + files[i].source +
                   " is another source of the batch.";
    }
    return std::nullopt;
}

std::uint64_t sizeOnDisk(const std::string& source)
{
    FileDescriptor descriptor;
    descriptor.Split(source);
    struct stat info
    {
    };
    const ResolvedPath path = resolveOnDisk(descriptor.Path());
    return path.exists && ::stat(path.path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
               ? std::uint64_t(info.st_size)
               : 0;
}

// A file's share of the batch's progress: its bytes, spread over the phases that read it.
class FileProgress : public StatusView
{
public:
    // With the source kept, the format check does not read it.
    FileProgress(std::uint64_t bytes, bool checked, std::atomic<std::uint64_t>& done)
        : m_bytes(bytes), m_phases(checked ? 3 : 2), m_done(done)
    {
    }
    void setCaption(std::string_view) override {}
    std::string label() const override { return m_label; }
    void setLabel(std::string_view text) override
    {
        m_label = text;
        // The format check, the scan for extents and the noise pass each read the whole source.
        m_phase = m_label.rfind("adding noise", 0) == 0 ? m_phases - 1
                  : m_label.rfind("scan", 0) == 0       ? m_phases - 2
                                                        : 0;
    }
    void setMin(float value) override { m_min = value; }
    void setMax(float value) override { m_max = value; }
    void setValue(float value) override
    {
        const double span = double(m_max) - double(m_min);
        const double part = span > 0 ? std::clamp((double(value) - double(m_min)) / span, 0.0, 1.0) : 0.0;
        const auto bytes = std::uint64_t(double(m_bytes) * (m_phase + part) / m_phases);
        // Never backwards, should a phase report less than one before it.
        if (bytes > m_done.load(std::memory_order_relaxed))
            m_done.store(bytes, std::memory_order_relaxed);
    }
    void show() override {}
    void hide() override {}

private:
    std::uint64_t m_bytes;
    int m_phases;
    std::atomic<std::uint64_t>& m_done;
    std::string m_label;
    int m_phase = 0;
    float m_min = 0, m_max = 0;
};

// A batch never asks: with no one to answer for a file among many, an existing destination is
// replaced only with -f. Messages travel with the file's result, to be reported in one line.
class BatchPrompts : public CommandPrompts
{
public:
    explicit BatchPrompts(bool force) : m_force(force) {}
    void problem(std::string_view) override {}
    bool confirm(std::string_view) override { return m_force; }
    void focusSource() override {}
    void focusDestination() override {}

private:
    bool m_force;
};

std::string megabytes(std::uint64_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", double(bytes) / 1e6);
    return text;
}

struct Shared
{
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::size_t> finished; // indices of results not yet reported
    unsigned running = 0;             // workers still at work
};

} // namespace

int runBatch(const Settings& settings)
{
    const std::vector<FileJob>& files = settings.files;
    if (const std::optional<std::string> fault = batchFault(files)) {
        std::cerr << "jitterform-cli: " << *fault << " Nothing was converted.\n";
        return kExitUsage;
    }

    const std::size_t count = files.size();
    std::vector<std::uint64_t> sizes(count);
    std::uint64_t totalBytes = 0;
    for (std::size_t i = 0; i < count; ++i)
        totalBytes += sizes[i] = sizeOnDisk(files[i].source);

    const unsigned machine = cores();
    const unsigned jobs = unsigned(std::min<std::size_t>(settings.jobs ? settings.jobs : machine, count));
    // A file's helper thread mostly overlaps its own waits for the disk, so files on every core still
    // gain from one each; beyond a file a core they would only queue for the cores.
    const int workers = settings.workers >= 0 ? settings.workers : (jobs <= machine ? -1 : 0);

    std::vector<FileResult> results(count);
    for (std::size_t i = 0; i < count; ++i)
        results[i].file = files[i];
    std::vector<std::atomic<std::uint64_t>> progress(count);
    std::atomic<std::size_t> next{0};
    Shared shared;
    shared.running = jobs;

    const auto work = [&] {
        for (;;) {
            if (interruptRequested())
                break;
            const std::size_t i = next.fetch_add(1);
            if (i >= count)
                break;
            FileProgress status(sizes[i], !settings.keepSource, progress[i]);
            BatchPrompts prompts(settings.force);
            FileResult result = runFile(settings, files[i], workers, status, prompts);
            std::lock_guard lock(shared.mutex);
            results[i] = std::move(result);
            progress[i].store(sizes[i]);
            shared.finished.push_back(i);
            shared.changed.notify_one();
        }
        std::lock_guard lock(shared.mutex);
        --shared.running;
        shared.changed.notify_one();
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (unsigned j = 0; j < jobs; ++j)
        threads.emplace_back(work);

    const bool showProgress = !settings.quiet && ::isatty(STDERR_FILENO);
    std::ostream& human = settings.json ? std::cerr : std::cout;
    std::size_t reported = 0;
    bool progressShown = false;
    const auto clearProgress = [&] {
        if (progressShown)
            std::fputs("\r\033[K", stderr);
        progressShown = false;
    };
    const auto report = [&](const FileResult& result) {
        ++reported;
        if (settings.json)
            std::cout << jsonLine(result).toStdString() << '\n' << std::flush;
        switch (result.status) {
        case FileStatus::Done:
            if (!settings.quiet) {
                human << summaryLine(result) << '\n';
                if (const std::string kept = keptSourceLine(result); !kept.empty())
                    human << kept << '\n';
                human << std::flush;
            }
            break;
        case FileStatus::Failed:
            std::cerr << "Problem with " << result.file.source << ": " << result.error << '\n';
            break;
        case FileStatus::Cancelled:
            std::cerr << "Cancelled: " << result.file.source
                      << (result.kind == CommandOutcome::Kind::Done
                              ? "; " + result.summary.destination + " holds the lines written so far"
                              : std::string())
                      << '\n';
            break;
        case FileStatus::NotStarted:
            std::cerr << "Not started: " << result.file.source << '\n';
            break;
        }
    };

    std::unique_lock lock(shared.mutex);
    for (;;) {
        shared.changed.wait_for(lock, std::chrono::milliseconds(250));
        while (!shared.finished.empty()) {
            const std::size_t i = shared.finished.front();
            shared.finished.pop_front();
            clearProgress();
            report(results[i]);
        }
        if (shared.running == 0)
            break;
        if (showProgress) {
            std::uint64_t bytes = 0;
            for (const auto& done : progress)
                bytes += done.load(std::memory_order_relaxed);
            std::fprintf(stderr, "\r\033[K%zu of %zu files, %s of %s MB", reported, count,
                         megabytes(bytes).c_str(), megabytes(totalBytes).c_str());
            std::fflush(stderr);
            progressShown = true;
        }
    }
    lock.unlock();
    for (std::thread& thread : threads)
        thread.join();
    clearProgress();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::size_t tally[4] = {};
    std::uint64_t bytesDone = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (results[i].status == FileStatus::NotStarted)
            report(results[i]);
        ++tally[int(results[i].status)];
        if (results[i].status == FileStatus::Done)
            bytesDone += sizes[i];
    }
    const bool interrupted = interruptRequested();
    if (interrupted)
        std::cerr << "Interrupted.\n";
    if (!settings.quiet || interrupted) {
        char time[32];
        std::snprintf(time, sizeof time, "%.2f s", seconds);
        (interrupted ? std::cerr : human)
            << tally[int(FileStatus::Done)] << " of " << count << " files done, "
            << tally[int(FileStatus::Failed)] << " failed, " << tally[int(FileStatus::Cancelled)]
            << " cancelled, " << tally[int(FileStatus::NotStarted)] << " not started; "
            << megabytes(bytesDone) << " of " << megabytes(totalBytes) << " MB in " << time << '\n';
    }
    if (interrupted)
        return kExitInterrupted;
    return tally[int(FileStatus::Failed)] > 0 ? kExitFailure : kExitDone;
}

} // namespace jf::cli
