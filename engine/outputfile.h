#pragma once

// A buffered output file: whole records are appended and written in large blocks; every write and
// the close are checked.
//
// The blocks go to the disk directly (O_DIRECT) where the file system allows it: nobody reads the
// file back during the run, and a large file written through the page cache costs the kernel much
// time on a machine whose free memory is slow to hand out. Where direct writes are refused the file
// is written through the page cache as usual.
//
// Full blocks are written on a thread of the file's own while the next ones fill, so that the disk
// and the caller work at the same time; a few blocks may wait for the disk, so that the caller goes
// on when one write takes longer than usual. A failed write is reported by the next call that hands
// over a block, flushes, syncs or closes. A file destroyed without close() is abandoned: blocks that
// still wait for the disk are not written.

#include "engine/host.h"
#include "engine/uniquefd.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace jf {

class EventLoop;

class OutputFile
{
public:
    // Takes `fd` over. `name` says what the file is in messages ("the destination file /a/b.obj").
    // `blockBytes` (0: kBufferSize) is rounded up to whole disk blocks; the bytes on the disk do not
    // depend on it. The writer's thread starts through `start` where it is given.
    OutputFile(int fd, std::string name, std::size_t blockBytes = 0, HelperStart start = {});
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void append(std::string_view text)
    {
        if (text.size() <= m_blockBytes - m_used) {
            text.copy(m_data + m_used, text.size());
            m_used += text.size();
            return;
        }
        appendLarge(text);
    }

    // Writes what the buffer holds, but for a tail short of a disk block while writing directly,
    // and waits until it is written.
    void flush();
    // Flushes, optionally syncs to disk, and closes; throws EngineError on any failure.
    void close(bool syncFirst = false);
    // Flushes everything and syncs to disk, keeping the file open.
    void sync();
    int fd() const { return m_fd.get(); }
    // Called every few milliseconds while the thread that set it waits for the disk to take a
    // block, so that a stalling disk does not stall the window that thread serves. Other threads
    // that write the file wait as before.
    void serveWhileWaiting(EventLoop& events);
    bool direct() const { return m_direct.load(std::memory_order_relaxed); }

    static constexpr std::size_t kBufferSize = std::size_t(2) << 20; // each block, unless told
    static constexpr std::size_t kBlocks = 4;

private:
    void appendLarge(std::string_view text);
    // Hands the buffer's whole disk blocks to the writer and keeps the rest for the next block.
    void handOver();
    // Waits until at most `pending` blocks wait for the writer; throws what a write met.
    void awaitWriter(std::size_t pending = 0);
    char* block(std::size_t index);
    void writeTail();
    void writerLoop();
    void writeAll(const char* data, std::size_t size);
    void stopDirect();

    UniqueFd m_fd;
    std::string m_name;
    std::size_t m_blockBytes;
    // kBlocks disk-aligned blocks, used in turn. Left unfilled: only the bytes written are ever read,
    // and filling them would cost a small run more than its conversion.
    std::unique_ptr<char[]> m_storage;
    char* m_data = nullptr; // the block that fills
    std::size_t m_fill = 0; // its index
    std::size_t m_used = 0;
    std::size_t m_lengths[kBlocks] = {}; // of the blocks handed over
    std::uint64_t m_written = 0;         // by whichever thread writes, never both at once
    // Cleared by the writer when the file system turns direct writes down; it is never set again,
    // so a block cut to whole disk blocks while it was still set is written correctly either way.
    std::atomic<bool> m_direct = false;

    HelperStart m_start;
    std::future<void> m_writer; // started with the first full block
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::size_t m_pending = 0; // blocks handed over and not yet written; 0 when the writer is idle
    bool m_stop = false;
    std::exception_ptr m_failure;
    EventLoop* m_events = nullptr;
    std::thread::id m_serveThread;
};

} // namespace jf
