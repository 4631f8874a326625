#include "engine/outputfile.h"

#include "engine/engineerror.h"
#include "engine/host.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace jf {

namespace {
// Direct writes need a buffer, a length and a file offset on a block boundary of the disk.
constexpr std::size_t kDiskBlock = 4096;
} // namespace

OutputFile::OutputFile(int fd, std::string name, std::size_t blockBytes, HelperStart start)
    : m_fd(fd), m_name(std::move(name)),
      m_blockBytes(blockBytes ? (blockBytes + kDiskBlock - 1) / kDiskBlock * kDiskBlock : kBufferSize),
      m_storage(std::make_unique_for_overwrite<char[]>(kBlocks * m_blockBytes + kDiskBlock)),
      m_start(std::move(start))
{
    m_data = block(0);
    const int flags = ::fcntl(m_fd.get(), F_GETFL);
    struct stat info
    {
    };
    // Only a regular file at offset 0 is written directly: then every block starts on a boundary.
    m_direct = flags >= 0 && ::fstat(m_fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
               ::lseek(m_fd.get(), 0, SEEK_CUR) == 0 && ::fcntl(m_fd.get(), F_SETFL, flags | O_DIRECT) == 0;
}

OutputFile::~OutputFile()
{
    if (!m_writer.valid())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_writer.wait();
}

void OutputFile::stopDirect()
{
    if (!m_direct)
        return;
    m_direct = false;
    const int flags = ::fcntl(m_fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(m_fd.get(), F_SETFL, flags & ~O_DIRECT) != 0)
        throwSystemError("Cannot write", m_name, errno);
}

void OutputFile::appendLarge(std::string_view text)
{
    while (!text.empty()) {
        if (m_used == m_blockBytes)
            handOver();
        const std::size_t piece = std::min(text.size(), m_blockBytes - m_used);
        text.copy(m_data + m_used, piece);
        m_used += piece;
        text.remove_prefix(piece);
    }
}

void OutputFile::writeAll(const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_fd.get(), data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EINVAL && m_direct) {
                stopDirect(); // a file system that takes the flag but not the writes
                continue;
            }
            throwSystemError("Cannot write", m_name, errno);
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        m_written += static_cast<std::uint64_t>(n);
        if (m_direct && (m_written % kDiskBlock) != 0)
            stopDirect(); // a short write leaves the next block off its boundary
    }
}

char* OutputFile::block(std::size_t index)
{
    const auto address = reinterpret_cast<std::uintptr_t>(m_storage.get());
    return m_storage.get() + (kDiskBlock - address % kDiskBlock) % kDiskBlock + index * m_blockBytes;
}

void OutputFile::writerLoop()
{
    std::size_t next = 0; // the oldest block handed over
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stop || m_pending > 0; });
        if (m_pending == 0)
            return;
        const std::size_t length = m_lengths[next];
        // After a failure the file is lost, and a file abandoned unclosed is being removed (a
        // cancelled run truncates it meanwhile, and writes would wait for that): neither gets more.
        const bool skip = m_failure != nullptr || m_stop;
        lock.unlock();
        try {
            if (!skip)
                writeAll(block(next), length);
        } catch (...) {
            lock.lock();
            m_failure = std::current_exception();
            lock.unlock();
        }
        lock.lock();
        next = (next + 1) % kBlocks;
        --m_pending;
        m_wake.notify_all();
    }
}

void OutputFile::awaitWriter(std::size_t pending)
{
    if (!m_writer.valid())
        return;
    std::unique_lock lock(m_mutex);
    const auto ready = [&] { return m_pending <= pending || m_failure; };
    if (m_events && std::this_thread::get_id() == m_serveThread) {
        while (!m_wake.wait_for(lock, kServeSlice, ready)) {
            lock.unlock();
            m_events->serveWhileWaiting();
            lock.lock();
        }
    } else {
        m_wake.wait(lock, ready);
    }
    if (m_failure)
        std::rethrow_exception(m_failure); // the file is lost: every later call reports it again
}

void OutputFile::serveWhileWaiting(EventLoop& events)
{
    m_events = &events;
    m_serveThread = std::this_thread::get_id();
}

void OutputFile::handOver()
{
    // The next block must be free before the tail of this one moves there.
    awaitWriter(kBlocks - 2);
    // While writing directly, whatever the last write did to the flag, only whole blocks go.
    const std::size_t whole = m_direct ? m_used - m_used % kDiskBlock : m_used;
    if (whole == 0)
        return;
    const char* const full = m_data;
    m_lengths[m_fill] = whole;
    m_fill = (m_fill + 1) % kBlocks;
    m_data = block(m_fill);
    std::memcpy(m_data, full + whole, m_used - whole);
    m_used -= whole;
    if (!m_writer.valid())
        m_writer = startWork(m_start, [this] { writerLoop(); });
    {
        std::lock_guard lock(m_mutex);
        ++m_pending;
    }
    m_wake.notify_all();
}

void OutputFile::writeTail()
{
    flush();
    if (m_used > 0) {
        stopDirect(); // the last, partial block goes through the page cache
        writeAll(m_data, m_used);
        m_used = 0;
    }
}

void OutputFile::flush()
{
    handOver();
    awaitWriter();
}

void OutputFile::sync()
{
    writeTail();
    if (::fsync(m_fd.get()) != 0)
        throwSystemError("Cannot write", m_name, errno);
}

void OutputFile::close(bool syncFirst)
{
    if (syncFirst)
        sync();
    writeTail();
    if (const int error = m_fd.close())
        throwSystemError("Cannot write", m_name, error);
}

} // namespace jf
