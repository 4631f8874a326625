#include "engine/replacementfile.h"

#include "engine/phase.h"
#include "engine/phasefiles.h"
#include "engine/wholelinesreader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace jf {

namespace {

// Whole blocks of the file, as the disk likes them.
constexpr std::size_t kReadBytes = std::size_t(1) << 20;
constexpr std::size_t kDiskBlock = 4096;

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool mayNotWrite(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

} // namespace

std::size_t checkReadBytes(std::size_t blockBytes)
{
    return blockBytes ? (blockBytes + kDiskBlock - 1) / kDiskBlock * kDiskBlock : kReadBytes;
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

ReplacementFile::~ReplacementFile()
{
    if (!m_name.empty())
        ::unlink(m_name.c_str());
}

// The copy has no name until it is complete (O_TMPFILE where the file system offers it), so a run
// that is killed leaves nothing behind.
bool ReplacementFile::create(const std::string& target, mode_t mode, std::size_t blockBytes,
                             const HelperStart& start)
{
    m_start = start;
    m_readBytes = checkReadBytes(blockBytes);
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
        throwSystemError("Cannot create a normalised copy of the source file in the folder", m_folder, errno);
    }
    m_out.emplace(fd, "a normalised copy of the source file " + target, blockBytes, start);
    return true;
}

void ReplacementFile::copyPrefix(int from, std::uint64_t length, const std::string& sourcePath)
{
    const auto changed = [&] {
        return EngineError("The source file " + sourcePath + " changed while it was checked.");
    };
    loff_t offset = 0;
    // A copy written directly to the disk keeps blocks in its buffer: it takes the bytes itself.
    if (!m_out->direct()) {
        m_out->flush();
        while (static_cast<std::uint64_t>(offset) < length) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(length - offset, 1u << 30));
            const ssize_t n = ::copy_file_range(from, &offset, m_out->fd(), nullptr, want, 0);
            if (n == 0)
                throw changed();
            if (n > 0 || errno == EINTR)
                continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                throwSystemError("Cannot write a normalised copy of the source file", sourcePath, errno);
            break; // no kernel copy between these files
        }
    }
    std::uint64_t copied = static_cast<std::uint64_t>(offset);
    if (copied >= length)
        return;
    WholeLinesReader reader(from, sourcePath, m_readBytes);
    ChunkText text;
    while (copied < length && reader.fill(text)) {
        const std::uint64_t end = std::min<std::uint64_t>(text.fileOffset + text.size(), length);
        if (end > copied) {
            m_out->append(std::string_view(text.data() + (copied - text.fileOffset),
                                           static_cast<std::size_t>(end - copied)));
            copied = end;
        }
    }
    if (copied < length)
        throw changed();
}

std::optional<struct stat> ReplacementFile::replaceTarget(const struct stat& source,
                                                          const std::string& sourcePath, EventLoop& events)
{
    whileServing(
        events, [this] { m_out->sync(); }, m_start);
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

} // namespace jf
