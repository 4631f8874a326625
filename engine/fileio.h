#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace jf {

class EventLoop;

// A failure of a run: the message names the file, the line where there is one, and the fault.
// Thrown inside the engine only; the entry points turn it into a result value.
class EngineError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// "<what> <path>: <reason of errno>."
[[noreturn]] void throwSystemError(std::string_view what, std::string_view path, int error);

// Owns a POSIX file descriptor and closes it on every way out.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();
    // Closes now and reports the close's own failure (errno), 0 on success.
    int close();

private:
    int m_fd = -1;
};

// The path on disk of the file a descriptor names, for opening it; where nothing matches, the
// path as the user sees it (lower case), for the message that follows.
std::string pathOnDisk(const class FileDescriptor& descriptor);

// Fails when a destination path names a folder, which no file may replace.
void requireNoFolderAt(const FileDescriptor& destination);

// True when the file behind `fd` (or with status `now`) still has the size and time of change in
// `before`.
bool unchangedSince(int fd, const struct stat& before);
bool unchangedSince(const struct stat& now, const struct stat& before);

// Opens an existing source for reading. Refuses anything but a regular file without ever blocking
// on it (a FIFO or a device stays unread). `info` receives its status.
UniqueFd openSourceFile(const std::string& path, struct stat& info);

// Where a read from the page cache should land: at the same place within a cache line as its first
// byte has in the file. The kernel's copy into a buffer placed otherwise can run at a quarter of its
// speed on the processors we run on (a gigabyte read in 1 MiB blocks: 0.40 s into a buffer 16 bytes
// past a line, 0.09 s at the file's own alignment), so the readers place their unread bytes so.
constexpr std::size_t kReadAlignment = 64;
// How far into `buffer` to put `kept` bytes so that bytes read from file offset `next` land
// just after them at the alignment they have in the file.
inline std::size_t readAlignedStart(const char* buffer, std::size_t kept, std::uint64_t next)
{
    const auto end = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(buffer) + kept);
    return static_cast<std::size_t>((next - end) % kReadAlignment);
}
// Moves the unread bytes [begin, end) of `buffer` to where the read of file offset `next` that
// follows them lands at its alignment; returns their new start. `buffer` needs kReadAlignment
// bytes of room beyond them.
std::size_t placeUnread(char* buffer, std::size_t begin, std::size_t end, std::uint64_t next);

// The records of bytes in memory that hold whole lines: each line ended by CR LF, LF or CR, where a
// CR as the last byte is a line end of its own, and the last line may lack its line end. A record
// comes without its leading blanks and tabs and without its line end, with every "#IND" replaced
// by "0"; all other bytes pass untouched.
class LineSplitter
{
public:
    LineSplitter(const char* begin, const char* end) : m_p(begin), m_end(end) {}

    bool atEnd() const { return m_p == m_end; }
    // The next record; it stays valid until the following call.
    std::string_view next();
    // True when the last record is followed, in memory, by the CR LF that ended it, so that the
    // record and its line end can be taken in one piece (until the following call).
    bool lastEndsInCrLf() const { return m_lastCrLf; }

private:
    const char* m_p;
    const char* m_end;
    bool m_lastCrLf = false;
    std::string m_replaced;
};

// The bytes of a run of whole lines, read for any thread to split. They start at data(), which is
// the file's byte at `fileOffset`; the buffer keeps its size between fills.
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

// Reads a file as runs of whole lines, each of about `chunkBytes`, a longer line whole; the buffer
// grows to the longest line and no further. Reads at offsets of its own, so that readers on other
// threads may share its descriptor, and at the alignment the file has (see kReadAlignment).
class WholeLinesReader
{
public:
    WholeLinesReader(int fd, std::string path, std::size_t chunkBytes)
        : m_fd(fd), m_path(std::move(path)), m_chunkBytes(chunkBytes > 0 ? chunkBytes : 1)
    {
    }

    void rewind();
    // Fills `text` with the next lines; false, with `text` empty, once every byte has been read.
    bool fill(ChunkText& text);
    // The 1-based offset of the first byte not yet handed out.
    std::uint64_t position() const { return m_offset - m_carry.size() + 1; }
    const std::string& path() const { return m_path; }

private:
    // Reads into `to`; 0 at the end of the file.
    std::size_t read(char* to, std::size_t room);

    int m_fd;
    std::string m_path;
    std::size_t m_chunkBytes;
    std::uint64_t m_offset = 0; // of the next byte to read
    std::string m_carry;        // read, but past the last line end handed out
    bool m_eof = false;
    bool m_positional = true;
};

class ExtentsScan;

// A source that the format check replaced: its descriptor and status, and the file that took its
// place, by device and inode.
struct EarlierSource
{
    EarlierSource();
    ~EarlierSource();
    EarlierSource(const EarlierSource&) = delete;
    EarlierSource& operator=(const EarlierSource&) = delete;

    UniqueFd fd;
    struct stat info
    {
    };
    dev_t replacementDevice = 0;
    ino_t replacementInode = 0;
    // The conversion's first pass, begun on this descriptor during the check; it ends before the
    // descriptor is closed.
    std::unique_ptr<ExtentsScan> extents;
};

// What the format check and the conversion both begin with: the two names read from the options,
// the source opened for reading, and the destination's folder found (a missing one, or a folder
// where the file should go, fails here).
struct PhaseFiles
{
    std::unique_ptr<FileDescriptor> source;
    std::unique_ptr<FileDescriptor> destination;
    std::string sourcePath;      // on disk
    std::string destinationPath; // where the destination file is created
    struct stat sourceInfo
    {
    };
    UniqueFd sourceFd;
};
PhaseFiles openPhaseFiles(const class ConversionOptions& options);

// A buffered output file: whole records are appended and written in large blocks; every write and
// the close are checked. `name` says what the file is in messages ("the destination file /a/b.obj").
//
// The blocks go to the disk directly (O_DIRECT) where the file system allows it: a gigabyte
// written through the page cache costs seconds of the kernel's time on a machine whose free memory
// is slow to hand out, and nobody reads the file back during the run. Where direct writes are
// refused the file is written through the page cache as usual.
//
// Full blocks are written on a thread of the file's own while the next ones fill, so that the
// disk and the caller work at the same time; a few blocks may wait for the disk, so that the
// caller goes on when one write takes longer than usual. A failed write is reported by the next
// call that hands over a block, flushes, syncs or closes. A file destroyed without close() is
// abandoned: blocks that still wait for the disk are not written.
class OutputFile
{
public:
    // `blockBytes` (0: kBufferSize) is rounded up to whole disk blocks; the bytes on the disk do not
    // depend on it.
    OutputFile(int fd, std::string name, std::size_t blockBytes = 0);
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
    // Flushes, optionally syncs to disk, and closes; throws on any failure.
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
    char* m_data = nullptr;      // the block that fills
    std::size_t m_fill = 0;      // its index
    std::size_t m_used = 0;
    std::size_t m_lengths[kBlocks] = {}; // of the blocks handed over
    std::uint64_t m_written = 0;         // by whichever thread writes, never both at once
    // Cleared by the writer when the file system turns direct writes down; it is never set again,
    // so a block cut to whole disk blocks while it was still set is written correctly either way.
    std::atomic<bool> m_direct = false;

    std::thread m_writer; // started with the first full block
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::size_t m_pending = 0; // blocks handed over and not yet written; 0 when the writer is idle
    bool m_stop = false;
    std::exception_ptr m_failure;
    EventLoop* m_events = nullptr;
    std::thread::id m_serveThread;
};

} // namespace jf
