#pragma once

// The one reader of the source: its bytes as runs of whole lines, for any thread to split into
// records (LineSplitter) or to write in normal form.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace jf {

// The bytes of a run of whole lines. They start at data(), which is the file's byte at
// `fileOffset`; the buffer keeps its size between fills.
struct ChunkText
{
    std::vector<char> buffer;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::uint64_t fileOffset = 0;

    const char* data() const { return buffer.data() + begin; }
    std::size_t size() const { return end - begin; }
    // The 1-based file offset of its first byte.
    std::uint64_t position() const { return fileOffset + 1; }
};

// Reads a file from its start as runs of whole lines, each of about `chunkBytes`, a longer line
// whole; a chunk ends after a line end (a CR LF is never cut in two), the last one at the end of
// the file. The buffer grows to the longest line and no further. Reads at offsets of its own, so
// that readers on other threads may share its descriptor (a pipe is read in order, once), and at
// the alignment the file has, which the kernel copies to fastest. A failed read throws EngineError.
// Chunks far smaller than a read from the kernel should be (a line each, say) come from a
// read-ahead block of its own: the chunks are the same as if each were read on its own, but one
// call to the kernel serves thousands of them.
class WholeLinesReader
{
public:
    WholeLinesReader(int fd, std::string path, std::size_t chunkBytes);

    // Starts again at the file's first byte.
    void rewind();
    // Fills `text` with the next lines; false, with `text` empty, once every byte has been read.
    bool fill(ChunkText& text);
    // The 1-based offset of the first byte not yet handed out.
    std::uint64_t position() const { return m_offset - m_carry.size() + 1; }
    const std::string& path() const { return m_path; }

private:
    // Hands the next bytes to `to`, at most `room`, from the read-ahead block where there is one;
    // 0 at the end of the file.
    std::size_t read(char* to, std::size_t room);
    // How many of the bytes waiting in the read-ahead block make up reads of a chunk's bytes that
    // hold no line end (all of them when none is left in the block): a single read would stop at
    // each, and go on. Reads are a chunk's bytes from the block's start.
    std::size_t readsWithoutLineEnd() const;
    // Reads from the file into `to`; 0 at the end of the file.
    std::size_t readFile(char* to, std::size_t room);

    int m_fd;
    std::string m_path;
    std::size_t m_chunkBytes;
    std::uint64_t m_offset = 0;     // of the next byte to hand out
    std::uint64_t m_readOffset = 0; // of the next byte to read from the file
    // The read-ahead: a whole number of chunks, so that a regular file's reads end where reads of
    // single chunks would; empty where chunks are large enough to be read on their own.
    std::size_t m_aheadBytes = 0;
    std::unique_ptr<char[]> m_ahead;
    const char* m_aheadBlock = nullptr; // where the last read from the file went
    const char* m_aheadBegin = nullptr;
    const char* m_aheadEnd = nullptr;
    std::string m_carry; // read, but past the last line end handed out
    bool m_eof = false;
    bool m_positional = true;
};

} // namespace jf
