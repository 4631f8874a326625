#pragma once

#include "engine/host.h"
#include "engine/records.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>

namespace jf {

struct ChunkText;

// The first pass's work on a run of whole lines: its vertices measured into `box`, its lines
// counted in `lines`. The first faulty vertex ends it, as the last line counted; its fault is
// returned.
std::optional<std::string> measureVertices(const ChunkText& text, RecordFormatter& formatter, Extents& box,
                                           std::uint64_t& lines);

// The conversion's first pass, the vertices' bounding box, measured on a thread of its own while
// the format check puts the normalised copy of the source on the disk. The check mostly waits for
// the disk and leaves a core idle; the box is then ready, or nearly, when the conversion starts.
// The records come through a reader of their own on the check's descriptor, in chunks of whole
// lines as the conversion reads them.
class ExtentsScan
{
public:
    // The thread starts through `start` where it is given.
    ExtentsScan(int fd, std::string path, std::size_t chunkBytes, const HelperStart& start = {});
    ~ExtentsScan(); // ends the thread and waits for it
    ExtentsScan(const ExtentsScan&) = delete;
    ExtentsScan& operator=(const ExtentsScan&) = delete;

    // Waits at most `timeout`; true once the thread has ended.
    bool waitFor(std::chrono::milliseconds timeout);
    // Ends the thread before its next chunk of lines and waits for it.
    void stop();
    // The 1-based offset of the next byte to be read.
    std::uint64_t position() const { return m_position.load(std::memory_order_relaxed); }

    // Once the thread has ended: what the records measured gave, and why it ended early, if it did.
    struct Failure
    {
        std::string message;    // a record's fault, or the whole message of a failed read
        std::uint64_t line = 0; // the faulty record's line; 0 for a failed read
        bool outOfMemory = false;
    };
    const Extents& box() const { return m_box; }
    const std::optional<Failure>& failure() const { return m_failure; }

private:
    void run();

    int m_fd;
    std::string m_path;
    std::size_t m_chunkBytes;
    Extents m_box;
    std::optional<Failure> m_failure;
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_position{1};
    std::future<void> m_run; // last: the thread starts once everything above is in place
};

} // namespace jf
