#pragma once

// What the reliability tests need beyond the engine fakes: the command line run as a child process
// with limits of our choosing and its peak memory measured, a small file system of fixed size, and
// a look at what a folder holds afterwards.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace jf::test {

// True in a build under the address sanitizer, where peak memory says little about our own use.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

inline QString cliPath()
{
#ifdef JITTERFORM_CLI
    return QStringLiteral(JITTERFORM_CLI);
#else
    return QCoreApplication::applicationDirPath() + "/../cli/jitterform-cli";
#endif
}

struct ChildLimits
{
    std::optional<rlim_t> fileSize; // RLIMIT_FSIZE in bytes; SIGXFSZ is then ignored, so writes fail
    int timeoutMs = 120000;
    bool watchMemory = false; // look at the child's peak memory often (see ChildOutcome::peakKb)
};

struct ChildOutcome
{
    int status = -1;       // the exit status; -1 when the child did not exit normally
    int signal = 0;        // the signal that ended it, if one did
    bool timedOut = false; // it was killed for taking too long
    QByteArray out, err;
    // The peak resident memory of the program the child ran, read from its high-water mark while it
    // runs (the usage that wait4 reports would count the memory of this test, which the child
    // shares until its exec).
    long peakKb = 0;
    qint64 ms = 0;
};

// Runs `program` with `arguments` (bytes, passed on as they are) in `folder`.
inline ChildOutcome runChild(const QByteArray& program, const QList<QByteArray>& arguments, const QString& folder,
                             const ChildLimits& limits = {})
{
    ChildOutcome outcome;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        return outcome;
    std::vector<QByteArray> storage{program};
    for (const QByteArray& argument : arguments)
        storage.push_back(argument);
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const QByteArray where = QFile::encodeName(folder);

    QElapsedTimer clock;
    clock.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        if (::chdir(where.constData()) != 0)
            ::_exit(126);
        if (limits.fileSize) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{*limits.fileSize, *limits.fileSize};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    const auto readPeak = [&] {
        char exe[4096];
        const QByteArray proc = "/proc/" + QByteArray::number(pid);
        const ssize_t length = ::readlink(proc + "/exe", exe, sizeof exe - 1);
        if (length <= 0 || QFileInfo(QFile::decodeName(QByteArray(exe, int(length)))).canonicalFilePath() !=
                               QFileInfo(QFile::decodeName(program)).canonicalFilePath())
            return; // not yet the program
        QFile status(QFile::decodeName(proc + "/status"));
        if (!status.open(QIODevice::ReadOnly))
            return;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                outcome.peakKb = std::max(outcome.peakKb, line.mid(6).trimmed().split(' ').first().toLong());
    };
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    QByteArray* sinks[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0) {
        const qint64 left = limits.timeoutMs - clock.elapsed();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            outcome.timedOut = true;
            break;
        }
        if (limits.watchMemory)
            readPeak();
        if (::poll(fds, 2, int(std::min<qint64>(left, limits.watchMemory ? 2 : 1000))) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char block[65536];
            const ssize_t n = ::read(fds[i].fd, block, sizeof block);
            if (n > 0) {
                sinks[i]->append(block, n);
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.ms = clock.elapsed();
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    return outcome;
}

// Files named by bytes: QFile's names are decoded text, which cannot hold bytes that are not UTF-8.
inline bool writeBytes(const QByteArray& path, const QByteArray& data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, data.constData(), size_t(data.size())) == data.size();
    return ::close(fd) == 0 && written;
}

inline QByteArray readBytes(const QByteArray& path)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char block[65536];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;)
        data.append(block, n);
    ::close(fd);
    return data;
}

inline ChildOutcome runCli(const QList<QByteArray>& arguments, const QString& folder, const ChildLimits& limits = {})
{
    return runChild(QFile::encodeName(cliPath()), arguments, folder, limits);
}

// Every name in a folder, hidden ones included, sorted.
inline QStringList entries(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                               QDir::Name);
    return names;
}

// The same as bytes, for names that are not UTF-8 (which QDir cannot list).
inline QList<QByteArray> rawEntries(const QByteArray& folder)
{
    QList<QByteArray> names;
    if (DIR* dir = ::opendir(folder.constData())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names << QByteArray(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A tmpfs of a fixed size mounted on a folder, for as long as the object lives. Mounting needs the
// right to (root, in most containers); mounted() tells whether it worked.
class SmallFileSystem
{
public:
    SmallFileSystem(const QString& folder, qint64 bytes) : m_folder(QFile::encodeName(folder))
    {
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
        m_mounted = ::mount("tmpfs", m_folder.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) == 0;
        m_error = m_mounted ? 0 : errno;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(m_folder.constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return m_mounted; }
    QString why() const { return QString::fromLocal8Bit(std::strerror(m_error)); }
    qint64 freeBytes() const
    {
        struct statvfs info{};
        return ::statvfs(m_folder.constData(), &info) == 0 ? qint64(info.f_bavail) * qint64(info.f_frsize) : -1;
    }

private:
    QByteArray m_folder;
    bool m_mounted = false;
    int m_error = 0;
};

// The normal form that the format check gives a source: CR LF line ends, "#IND" as "0".
inline QByteArray normalForm(QByteArray bytes)
{
    return bytes.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n").replace("#IND", "0");
}

// A source of about `bytes` bytes of ordinary records, with LF line ends.
inline QByteArray meshOfSize(qint64 bytes, const QByteArray& lineEnd = "\n")
{
    QByteArray mesh;
    mesh.reserve(bytes + 64);
    for (int i = 0; mesh.size() < bytes; ++i) {
        mesh += "v " + QByteArray::number(i % 1000) + ".25 " + QByteArray::number(i % 7) + " -" +
                QByteArray::number(i % 13) + ".5" + lineEnd;
        mesh += "vt 0.5 0." + QByteArray::number(i % 10) + lineEnd;
        if (i % 4 == 3)
            mesh += "f " + QByteArray::number(i - 2) + " " + QByteArray::number(i - 1) + " " + QByteArray::number(i) +
                    " " + QByteArray::number(i + 1) + lineEnd;
    }
    return mesh;
}

} // namespace jf::test
