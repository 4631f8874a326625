#include "engine/convert.h"
#include "engine/extentsscan.h"
#include "engine/fileio.h"
#include "engine/linescan.h"
#include "engine/phase.h"
#include "engine/pipeline.h"
#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace jf {

namespace {

constexpr std::int64_t kChunkSize = 4096;
constexpr std::size_t kBlockSize = std::size_t(1) << 20;
constexpr std::string_view kInd = "#IND";
constexpr std::uint64_t kNoChange = static_cast<std::uint64_t>(-1);

// The size of the blocks the check reads and copies: the host's, in whole chunks, or kBlockSize.
std::size_t checkBlockBytes(std::size_t hostBlockBytes)
{
    const auto chunk = static_cast<std::size_t>(kChunkSize);
    return hostBlockBytes ? (hostBlockBytes + chunk - 1) / chunk * chunk : kBlockSize;
}

// Rewrites line ends as CR LF and "#IND" as "0", byte by byte in effect, carrying a trailing CR or
// a partial "#IND" from one chunk into the next so that chunking never shows in the result.
// It also finds where the result first differs from the input, so that a source already in normal
// form is never written at all, and one that is not is copied unchanged up to that point.
class Normaliser
{
public:
    // Adds the normal form of `data`, which starts at file offset `offset`, to output().
    void process(std::string_view data, std::uint64_t offset);
    void finish();

    std::string_view output() const { return {m_out.data(), m_used}; }
    void clearOutput() { m_used = 0; }

    // The file offset of the first byte whose normal form differs. Until then nothing is put out,
    // since the output would equal the input: a source in normal form costs one read and no copy.
    std::uint64_t firstChange() const { return m_changeIn; }

private:
    void noteChange(std::uint64_t inputOffset)
    {
        if (m_changeIn == kNoChange) {
            m_changeIn = inputOffset;
            m_writing = true;
        }
    }
    // Room for the normal form of `size` more input bytes: at most two bytes each (a lone line
    // end becomes CR LF), the carried "#IN" and CR, and the copying scan's 16-byte overrun.
    char* room(std::size_t size)
    {
        const std::size_t need = m_used + 2 * size + 32;
        if (m_out.size() < need)
            m_out.resize(need);
        return m_out.data() + m_used;
    }
    static char* put(char* w, std::string_view text)
    {
        text.copy(w, text.size());
        return w + text.size();
    }

    std::vector<char> m_out;
    std::size_t m_used = 0;
    bool m_pendingCr = false;
    std::uint64_t m_crOffset = 0;
    std::size_t m_matched = 0; // characters of "#IND" matched so far
    std::uint64_t m_hashOffset = 0;
    std::uint64_t m_changeIn = kNoChange;
    bool m_writing = false;
};

void Normaliser::process(std::string_view data, std::uint64_t offset)
{
    const char* const begin = data.data();
    const char* const end = begin + data.size();
    char* const base = room(data.size());
    char* w = base;
    const char* p = begin;
    // Before the first change nothing is written, so the input is only searched.
    const auto emit = [&](std::string_view text) {
        if (m_writing)
            w = put(w, text);
    };
    while (p != end) {
        if (m_pendingCr) {
            m_pendingCr = false;
            if (*p == '\n')
                ++p;
            else
                noteChange(m_crOffset);
            emit("\r\n");
            continue;
        }
        if (m_matched > 0) {
            if (*p == kInd[m_matched]) {
                ++p;
                if (++m_matched == kInd.size()) {
                    noteChange(m_hashOffset);
                    emit("0");
                    m_matched = 0;
                }
                continue;
            }
            emit(kInd.substr(0, m_matched));
            m_matched = 0;
            continue;
        }
        p = m_writing ? copyToLineByte(p, end, w) : skipNormalForm(p, end);
        if (p == end)
            break;
        const std::uint64_t at = offset + static_cast<std::uint64_t>(p - begin);
        if (*p == '\r') {
            m_pendingCr = true;
            m_crOffset = at;
        } else if (*p == '\n') {
            noteChange(at);
            emit("\r\n");
        } else {
            m_matched = 1;
            m_hashOffset = at;
        }
        ++p;
    }
    if (m_writing)
        m_used += static_cast<std::size_t>(w - base);
}

void Normaliser::finish()
{
    char* w = room(0);
    if (m_pendingCr) {
        noteChange(m_crOffset); // a last CR without its LF
        w = put(w, "\r\n");
        m_pendingCr = false;
    }
    if (m_writing)
        m_used = static_cast<std::size_t>(put(w, kInd.substr(0, m_matched)) - m_out.data());
    m_matched = 0;
}

// The source read in large blocks and handed out in the check's chunks.
class ChunkReader
{
public:
    // `blockBytes` 0: kBlockSize.
    ChunkReader(int fd, std::string path, std::size_t blockBytes)
        : m_fd(fd), m_path(std::move(path)), m_blockBytes(checkBlockBytes(blockBytes)),
          m_buffer(m_blockBytes + kReadAlignment)
    {
    }

    bool atEnd()
    {
        if (m_begin < m_end)
            return false;
        fill();
        return m_begin == m_end;
    }
    std::uint64_t position() const { return m_consumed + 1; }
    std::string_view take(std::size_t size)
    {
        if (m_end - m_begin < size)
            fill();
        const std::size_t n = std::min(size, m_end - m_begin);
        const std::string_view chunk(m_buffer.data() + m_begin, n);
        m_begin += n;
        m_consumed += n;
        return chunk;
    }

private:
    void fill()
    {
        const std::size_t kept = m_end - m_begin;
        m_begin = placeUnread(m_buffer.data(), m_begin, m_end, m_read);
        m_end = m_begin + kept;
        // Whole blocks of the file, while the check's chunks divide the block size.
        const std::size_t limit = std::min(m_buffer.size(), m_end + m_blockBytes - kept);
        while (m_end < limit) {
            const ssize_t n = ::read(m_fd, m_buffer.data() + m_end, limit - m_end);
            if (n == 0)
                return;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throwSystemError("Cannot read the source file", m_path, errno);
            }
            m_end += static_cast<std::size_t>(n);
            m_read += static_cast<std::uint64_t>(n);
        }
    }

    int m_fd;
    std::string m_path;
    std::size_t m_blockBytes;
    std::vector<char> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    std::uint64_t m_consumed = 0;
    std::uint64_t m_read = 0; // the file offset of the next read: the descriptor is read from its start
};

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sameFileState(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && unchangedSince(b, a);
}

EngineError changedWhileChecked(const std::string& sourcePath)
{
    return EngineError("The source file " + sourcePath +
                       " changed while it was checked; it was left as it is now.");
}

bool mayNotWrite(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

// The normalised copy, written beside the file it replaces. It has no name until it is complete
// (O_TMPFILE where the file system offers it), so a run that is killed leaves nothing behind.
class ReplacementFile
{
public:
    // Creates the copy; returns false when the folder may not be written.
    bool create(const std::string& target, mode_t mode, std::size_t blockBytes)
    {
        m_target = target;
        m_folder = folderOf(target);
        int fd = ::open(m_folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode & 0777);
        if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
            const std::size_t slash = target.rfind('/');
            std::string pattern = m_folder + "/." + target.substr(slash + 1) + ".jitterform-XXXXXX";
            fd = ::mkostemp(pattern.data(), O_CLOEXEC);
            if (fd >= 0)
                m_name = pattern;
        }
        if (fd < 0) {
            if (mayNotWrite(errno))
                return false;
            throwSystemError("Cannot create a normalised copy of the source file in the folder", m_folder,
                             errno);
        }
        m_out.emplace(fd, "a normalised copy of the source file " + target, blockBytes);
        return true;
    }
    bool created() const { return m_out.has_value(); }
    OutputFile& out() { return *m_out; }

    // Gives the copy the source's permissions and owner, puts it on disk, and renames it over the
    // source in one step, unless the source has changed since the check read it (as `source`).
    // Returns the copy's status; nothing when a Cancel came while the disk took the copy, which then
    // stays unnamed and is not put in the source's place.
    std::optional<struct stat> replaceTarget(const struct stat& source, const std::string& sourcePath,
                                             EventLoop& events)
    {
        whileServing(events, [this] { m_out->sync(); });
        if (cancelRequested())
            return std::nullopt;
        const int fd = m_out->fd();
        if (::fchmod(fd, source.st_mode & 07777) != 0)
            throwSystemError("Cannot set the permissions of the normalised copy of", m_target, errno);
        if (::fchown(fd, geteuid() == 0 ? source.st_uid : uid_t(-1), source.st_gid) != 0 && geteuid() == 0)
            throwSystemError("Cannot set the owner of the normalised copy of", m_target, errno);
        if (m_name.empty()) {
            std::string pattern = m_folder + "/." + m_target.substr(m_target.rfind('/') + 1) + ".jitterform-";
            const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
            for (int attempt = 0;; ++attempt) {
                std::string name = pattern + std::to_string(::getpid()) + "-" + std::to_string(attempt);
                if (::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                    m_name = std::move(name);
                    break;
                }
                if (errno != EEXIST || attempt > 100)
                    throwSystemError("Cannot name the normalised copy of the source file", m_target, errno);
            }
        }
        struct stat copyInfo
        {
        };
        if (::fstat(fd, &copyInfo) != 0)
            throwSystemError("Cannot write a normalised copy of the source file", m_target, errno);
        m_out->close();
        m_out.reset();
        // The flush takes a while: a change that came meanwhile is the user's, and stays.
        struct stat now
        {
        };
        if (::stat(m_target.c_str(), &now) != 0 || !sameFileState(source, now))
            throw changedWhileChecked(sourcePath);
        if (::rename(m_name.c_str(), m_target.c_str()) != 0)
            throwSystemError("Cannot replace the source file", m_target, errno);
        m_name.clear();
        if (const int dir = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return copyInfo;
    }

    ~ReplacementFile()
    {
        if (!m_name.empty())
            ::unlink(m_name.c_str());
    }

private:
    std::string m_target;
    std::string m_folder;
    std::string m_name; // the copy's name while it has one and is not yet the source
    std::optional<OutputFile> m_out;
};

// Copies the unchanged start of the source into the copy, in the kernel where it can.
void copyPrefix(int from, OutputFile& to, std::uint64_t length, const std::string& sourcePath,
                std::size_t blockBytes)
{
    const std::size_t blockSize = checkBlockBytes(blockBytes);
    const auto changed = [&] {
        return EngineError("The source file " + sourcePath + " changed while it was checked.");
    };
    loff_t offset = 0;
    // A copy written directly to the disk keeps blocks in its buffer: it takes the bytes itself.
    if (!to.direct()) {
        to.flush();
        while (static_cast<std::uint64_t>(offset) < length) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, 1u << 30));
            const ssize_t n = ::copy_file_range(from, &offset, to.fd(), nullptr, want, 0);
            if (n == 0)
                throw changed();
            if (n > 0 || errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                throwSystemError("Cannot write a normalised copy of the source file", sourcePath, errno);
            break; // no kernel copy between these files
        }
    }
    std::vector<char> buffer(static_cast<std::uint64_t>(offset) < length ? blockSize + kReadAlignment : 0);
    while (static_cast<std::uint64_t>(offset) < length) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, blockSize));
        char* const block =
            buffer.data() + readAlignedStart(buffer.data(), 0, static_cast<std::uint64_t>(offset));
        const ssize_t got = ::pread(from, block, piece, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throwSystemError("Cannot read the source file", sourcePath, errno);
        if (got == 0)
            throw changed();
        to.append(std::string_view(block, static_cast<std::size_t>(got)));
        offset += got;
    }
}

// A run killed between naming its copy and renaming it leaves the complete copy behind under
// ".<name>.jitterform-<pid>-<n>". Such a copy of a process that is gone is removed.
void removeStaleCopies(const std::string& target)
{
    const std::string folder = folderOf(target);
    const std::string prefix = "." + target.substr(target.rfind('/') + 1) + ".jitterform-";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.substr(0, prefix.size()) != prefix)
            continue;
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size() ||
            rest.find_first_not_of("0123456789-") != std::string_view::npos ||
            rest.find('-', dash + 1) != std::string_view::npos)
            continue;
        const pid_t pid =
            static_cast<pid_t>(std::strtol(std::string(rest.substr(0, dash)).c_str(), nullptr, 10));
        if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
            ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// Why the source may not be replaced, or empty when it may.
std::string reasonToKeep(const struct stat& source, const std::string& target)
{
    if ((source.st_mode & 0222) == 0)
        return "the source file is read-only";
    if (source.st_nlink > 1)
        return "the source file has further hard links, which a replacement would cut off";
    struct stat folder
    {
    };
    if (::stat(folderOf(target).c_str(), &folder) == 0 && (folder.st_mode & 0222) == 0)
        return "the source file's folder is read-only";
    return {};
}

} // namespace

CheckResult CheckObjFormat(const EngineHost& host)
{
    CheckResult result;
    std::optional<StatusHider> hider;
    try {
        // The conversion that follows creates the destination: a folder that is missing stops the
        // command here, before the source is touched.
        PhaseFiles files = openPhaseFiles(host.options);
        const std::string& sourcePath = files.sourcePath;
        const struct stat& info = files.sourceInfo;
        FileDescriptor& source = *files.source;

        if (!host.rewriteSource)
            return result;
        // A link stays a link: its target is what gets rewritten.
        std::string target = sourcePath;
        if (char* real = ::realpath(sourcePath.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
        result.keptReason = reasonToKeep(info, target);
        if (!result.keptReason.empty())
            return result;
        removeStaleCopies(target);

        CancelRequested.store(kFalse);
        preparePhase(host.status, static_cast<std::uint64_t>(info.st_size), "Checking OBJ file format ...");
        hider.emplace(host.status);

        const std::int64_t length = static_cast<std::int64_t>(info.st_size);
        ChunkReader reader(source.iFile, sourcePath, host.blockBytes);
        Normaliser normaliser;
        ReplacementFile copy;
        // Ended before `files` closes the descriptor it reads.
        std::unique_ptr<ExtentsScan> extents;
        const bool helped = host.workers > 0 || (host.workers < 0 && defaultWorkers() > 0);
        const auto emit = [&]() {
            const std::string_view output = normaliser.output();
            if (copy.created()) {
                copy.out().append(output);
            } else if (normaliser.firstChange() != kNoChange) {
                if (!copy.create(target, info.st_mode, host.blockBytes)) {
                    result.keptReason = "the source file's folder may not be written";
                    return false;
                }
                copy.out().serveWhileWaiting(host.events);
                // From here the check waits for the disk, which leaves time for the first pass.
                if (helped)
                    extents = std::make_unique<ExtentsScan>(source.iFile, sourcePath, host.chunkBytes);
                copyPrefix(source.iFile, copy.out(), normaliser.firstChange(), sourcePath, host.blockBytes);
                copy.out().append(output);
            }
            normaliser.clearOutput();
            return true;
        };
        const auto cancelled = [&] {
            result.cancelled = true;
            // A second descriptor keeps the copy alive past its close here, so that its pages are
            // freed on a helper thread and the next phase starts at once.
            if (const int held = copy.created() ? ::dup(copy.out().fd()) : -1; held >= 0)
                result.dropping = std::async(std::launch::async, [held] {
                                      [[maybe_unused]] const int ignored = ::ftruncate(held, 0);
                                      ::close(held);
                                  }).share();
            return result; // the copy goes, the source stays as it was
        };
        while (!reader.atEnd()) {
            const std::uint64_t position = reader.position();
            host.status.setValue(static_cast<float>(position));
            if (cancelRequested())
                return cancelled();
            host.events.yield();
            const std::int64_t remaining = length - static_cast<std::int64_t>(position) + 1;
            const std::int64_t size = length - static_cast<std::int64_t>(position) > kChunkSize
                                          ? kChunkSize
                                          : (remaining > 0 ? remaining : kChunkSize);
            normaliser.process(reader.take(static_cast<std::size_t>(size)), position - 1);
            if (!emit())
                return result;
        }
        normaliser.finish();
        if (!emit())
            return result;
        if (!copy.created())
            return result; // already in normal form

        struct stat now
        {
        };
        if (reader.position() - 1 != static_cast<std::uint64_t>(length) ||
            ::stat(target.c_str(), &now) != 0 || !sameFileState(info, now))
            throw changedWhileChecked(sourcePath);
        const std::optional<struct stat> copyInfo = copy.replaceTarget(info, sourcePath, host.events);
        if (!copyInfo)
            return cancelled();
        result.rewritten = true;
        auto earlier = std::make_shared<EarlierSource>();
        earlier->fd = std::move(files.sourceFd);
        earlier->info = info;
        earlier->replacementDevice = copyInfo->st_dev;
        earlier->replacementInode = copyInfo->st_ino;
        earlier->extents = std::move(extents);
        source.iFile = 0;
        result.earlier = std::move(earlier);
    } catch (const EngineError& error) {
        result.error = error.what();
    } catch (const std::bad_alloc&) {
        result.error = "There is not enough memory for the format check.";
    }
    return result;
}

} // namespace jf
