#include "engine/wholelinesreader.h"

#include "engine/engineerror.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace jf {

namespace {

// Where a read from the page cache should land: at the same place within a cache line as its first
// byte has in the file. The kernel's copy into a buffer placed otherwise runs several times slower
// on the processors we run on.
constexpr std::size_t kReadAlignment = 64;
// About how much one read from the kernel asks for when chunks are small; chunks of at most
// kAheadChunkBytes are served from a block of this size.
constexpr std::size_t kReadAheadBytes = 16 * 1024;
constexpr std::size_t kAheadChunkBytes = kReadAheadBytes / 16;

// How far into `buffer` to put `kept` bytes so that bytes read from file offset `next` land just
// after them at the alignment they have in the file.
std::size_t readAlignedStart(const char* buffer, std::size_t kept, std::uint64_t next)
{
    const auto end = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(buffer) + kept);
    return static_cast<std::size_t>((next - end) % kReadAlignment);
}

} // namespace

WholeLinesReader::WholeLinesReader(int fd, std::string path, std::size_t chunkBytes)
    : m_fd(fd), m_path(std::move(path)), m_chunkBytes(chunkBytes > 0 ? chunkBytes : 1)
{
    if (m_chunkBytes <= kAheadChunkBytes)
        m_aheadBytes = kReadAheadBytes / m_chunkBytes * m_chunkBytes;
}

void WholeLinesReader::rewind()
{
    m_offset = 0;
    m_readOffset = 0;
    m_aheadBlock = m_aheadBegin = m_aheadEnd = nullptr;
    m_carry.clear();
    m_eof = false;
}

std::size_t WholeLinesReader::read(char* to, std::size_t room)
{
    if (m_aheadBytes == 0) {
        const std::size_t got = readFile(to, room);
        m_offset += got;
        return got;
    }
    if (m_aheadBegin == m_aheadEnd) {
        if (!m_ahead)
            m_ahead = std::make_unique_for_overwrite<char[]>(m_aheadBytes + kReadAlignment);
        char* const block = m_ahead.get() + readAlignedStart(m_ahead.get(), 0, m_readOffset);
        m_aheadBlock = m_aheadBegin = block;
        m_aheadEnd = block + readFile(block, m_aheadBytes);
    }
    const std::size_t got = std::min(room, static_cast<std::size_t>(m_aheadEnd - m_aheadBegin));
    std::memcpy(to, m_aheadBegin, got);
    m_aheadBegin += got;
    m_offset += got;
    return got;
}

std::size_t WholeLinesReader::readsWithoutLineEnd() const
{
    const char* p = m_aheadBegin;
    while (p != m_aheadEnd && *p != '\n' && *p != '\r')
        ++p;
    if (p == m_aheadEnd)
        return static_cast<std::size_t>(p - m_aheadBegin);
    const auto whole = static_cast<std::size_t>(p - m_aheadBlock) / m_chunkBytes * m_chunkBytes;
    return whole - static_cast<std::size_t>(m_aheadBegin - m_aheadBlock);
}

std::size_t WholeLinesReader::readFile(char* to, std::size_t room)
{
    while (true) {
        const ssize_t n =
            m_positional ? ::pread(m_fd, to, room, static_cast<off_t>(m_readOffset)) : ::read(m_fd, to, room);
        if (n >= 0) {
            m_readOffset += static_cast<std::uint64_t>(n);
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
        const std::size_t bulk =
            m_aheadBytes == 0 || (text.end != text.begin && text.buffer[text.end - 1] == '\r')
                ? 0
                : readsWithoutLineEnd();
        if (text.buffer.size() - text.end < bulk + m_chunkBytes)
            text.buffer.resize(std::max(text.buffer.size() * 2, text.end + bulk + m_chunkBytes));
        if (bulk > 0) {
            // The reads that would each have found no line end, at once.
            std::memcpy(text.buffer.data() + text.end, m_aheadBegin, bulk);
            m_aheadBegin += bulk;
            m_offset += bulk;
            text.end += bulk;
            searched = text.end - 1;
        }
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

} // namespace jf
