#include "fileio.h"

#include "engine/extentsscan.h"
#include "engine/host.h"
#include "engine/linescan.h"
#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace jf {

void throwSystemError(std::string_view what, std::string_view path, int error)
{
    std::string message(what);
    message += ' ';
    message += path;
    message += ": ";
    message += std::generic_category().message(error);
    message += '.';
    throw EngineError(message);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.release();
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    close();
}

int UniqueFd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

int UniqueFd::close()
{
    if (m_fd < 0)
        return 0;
    const int result = ::close(release());
    // A close interrupted by a signal has still released the descriptor on Linux.
    return result == 0 || errno == EINTR ? 0 : errno;
}

std::string pathOnDisk(const FileDescriptor& descriptor)
{
    const ResolvedPath resolved = resolveOnDisk(descriptor.Path());
    return resolved.exists ? resolved.path : toLowerText(descriptor.Path());
}

void requireNoFolderAt(const FileDescriptor& destination)
{
    const ResolvedPath resolved = resolveOnDisk(destination.Path());
    struct stat info
    {
    };
    if (resolved.exists && ::stat(resolved.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        throw EngineError("The destination " + resolved.path + " is a folder, not a file.");
}

bool unchangedSince(const struct stat& now, const struct stat& before)
{
    return now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

bool unchangedSince(int fd, const struct stat& before)
{
    struct stat now
    {
    };
    return ::fstat(fd, &now) == 0 && unchangedSince(now, before);
}

std::size_t placeUnread(char* buffer, std::size_t begin, std::size_t end, std::uint64_t next)
{
    const std::size_t kept = end - begin;
    const std::size_t start = readAlignedStart(buffer, kept, next);
    if (start != begin)
        std::memmove(buffer + start, buffer + begin, kept);
    return start;
}

PhaseFiles openPhaseFiles(const ConversionOptions& options)
{
    PhaseFiles files;
    files.source = std::make_unique<FileDescriptor>();
    files.source->Split(options.sourceText());
    files.destination = std::make_unique<FileDescriptor>();
    files.destination->Split(options.destinationText());
    files.sourcePath = pathOnDisk(*files.source);
    files.sourceFd = openSourceFile(files.sourcePath, files.sourceInfo);
    files.source->iFile = files.sourceFd.get();
    bool folderExists = false;
    files.destinationPath = pathForNewFile(files.destination->Path(), &folderExists);
    if (!folderExists)
        throw EngineError("The folder of the destination file " + toLowerText(files.destination->Path()) +
                          " does not exist.");
    requireNoFolderAt(*files.destination);
    return files;
}

UniqueFd openSourceFile(const std::string& path, struct stat& info)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        throwSystemError("Cannot open the source file", path, errno);
    if (::fstat(fd.get(), &info) != 0)
        throwSystemError("Cannot read the source file", path, errno);
    if (!S_ISREG(info.st_mode))
        throw EngineError("The source file " + path + " is not a file.");
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

EarlierSource::EarlierSource() = default;
EarlierSource::~EarlierSource() = default;

// A record's text with every "#IND" from `hit` on replaced by "0", built in `replaced`.
static std::string_view replaceInd(std::string_view record, std::size_t hit, std::string& replaced)
{
    replaced.clear();
    std::size_t from = 0;
    do {
        replaced.append(record.substr(from, hit - from));
        replaced.push_back('0');
        from = hit + 4;
        hit = record.find("#IND", from);
    } while (hit != std::string_view::npos);
    replaced.append(record.substr(from));
    return replaced;
}

std::string_view LineSplitter::next()
{
    const char* lineEnd = m_p;
    bool hash = false;
    while ((lineEnd = findLineByte(lineEnd, m_end)) != m_end && *lineEnd == '#') {
        hash = true;
        ++lineEnd;
    }
    std::size_t terminator = 0;
    if (lineEnd != m_end)
        terminator = *lineEnd == '\r' && lineEnd + 1 != m_end && lineEnd[1] == '\n' ? 2 : 1;
    const char* start = m_p;
    m_p = lineEnd + terminator;
    while (start != lineEnd && (*start == ' ' || *start == '\t'))
        ++start;
    const std::string_view record(start, static_cast<std::size_t>(lineEnd - start));
    const std::size_t hit = hash ? record.find("#IND") : std::string_view::npos;
    m_lastCrLf = terminator == 2 && hit == std::string_view::npos;
    if (hit == std::string_view::npos)
        return record;
    return replaceInd(record, hit, m_replaced);
}

void WholeLinesReader::rewind()
{
    m_offset = 0;
    m_carry.clear();
    m_eof = false;
}

std::size_t WholeLinesReader::read(char* to, std::size_t room)
{
    while (true) {
        const ssize_t n =
            m_positional ? ::pread(m_fd, to, room, static_cast<off_t>(m_offset)) : ::read(m_fd, to, room);
        if (n >= 0) {
            m_offset += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
        if (errno == ESPIPE && m_positional) {
            m_positional = false; // a pipe or a socket: read in order, once
            continue;
        }
        if (errno != EINTR)
            throwSystemError("Cannot read the source file", m_path, errno);
    }
}

bool WholeLinesReader::fill(ChunkText& text)
{
    // A buffer that grew for a long line gives its memory back: only the longest line may cost
    // memory, and only while it is handled.
    const std::size_t size = m_chunkBytes + 2 * kReadAlignment;
    if (text.buffer.size() > 4 * size || text.buffer.size() < size)
        std::vector<char>(size).swap(text.buffer);
    if (text.buffer.size() < m_carry.size() + size)
        text.buffer.resize(m_carry.size() + size);
    text.begin = readAlignedStart(text.buffer.data(), m_carry.size(), m_offset);
    text.end = text.begin + m_carry.size();
    text.fileOffset = m_offset - m_carry.size();
    m_carry.copy(text.buffer.data() + text.begin, m_carry.size());
    m_carry.clear();
    if (m_carry.capacity() > size)
        std::string().swap(m_carry);
    // Bytes before `searched` hold no line end to cut after, but for a CR that was the last one read.
    std::size_t searched = text.begin;
    std::size_t cut = 0;
    while (!m_eof) {
        // Every read asks for a chunk's bytes: a line longer than the chunk grows the buffer.
        if (text.buffer.size() - text.end < m_chunkBytes)
            text.buffer.resize(std::max(text.buffer.size() * 2, text.end + m_chunkBytes));
        const std::size_t got = read(text.buffer.data() + text.end, m_chunkBytes);
        if (got == 0) {
            m_eof = true;
            break;
        }
        text.end += got;
        // The chunk ends after its last line end; a CR as the last byte may still be half of a CR LF.
        const char* const data = text.buffer.data();
        for (std::size_t p = text.end; p > searched; --p) {
            if (data[p - 1] == '\n' || (data[p - 1] == '\r' && p != text.end)) {
                cut = p;
                break;
            }
        }
        if (cut)
            break;
        searched = text.end - 1;
    }
    if (m_eof)
        cut = text.end;
    m_carry.assign(text.buffer.data() + cut, text.end - cut);
    text.end = cut;
    return text.end != text.begin;
}

namespace {
// Direct writes need a buffer, a length and a file offset on a block boundary of the disk.
constexpr std::size_t kDiskBlock = 4096;
} // namespace

OutputFile::OutputFile(int fd, std::string name, std::size_t blockBytes)
    : m_fd(fd), m_name(std::move(name)),
      m_blockBytes(blockBytes ? (blockBytes + kDiskBlock - 1) / kDiskBlock * kDiskBlock : kBufferSize),
      m_storage(std::make_unique_for_overwrite<char[]>(kBlocks * m_blockBytes + kDiskBlock))
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
    if (!m_writer.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_writer.join();
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
    if (!m_writer.joinable())
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
    if (!m_writer.joinable())
        m_writer = std::thread(&OutputFile::writerLoop, this);
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
