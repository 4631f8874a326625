#pragma once

// What the reliability tests need beyond the engine fakes: the command line run as a child process
// with limits of our choosing and its peak memory measured, a small file system of fixed size, and
// a look at what a folder holds afterwards.

#include "../bytes.h"
#include "../enginefakes.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace jf::test {

// True in a build under the address sanitizer, where peak memory says little about our own use.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
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
    int status = -1; // the exit status; -1 when the child did not exit normally (or took too long)
    QByteArray out, err;
    // The peak resident memory of the program the child ran, read from its high-water mark while it
    // runs (what wait4 reports would count this test's memory, which the child shares until exec).
    long peakKb = 0;
};

// Runs the command line with `arguments` (bytes, passed on as they are) in `folder`.
inline ChildOutcome runCli(const QList<QByteArray>& arguments, const QString& folder,
                           const ChildLimits& limits = {})
{
    ChildOutcome outcome;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        return outcome;
    std::vector<QByteArray> storage{QFile::encodeName(cliPath())};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
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
        ::dup2(::open("/dev/null", O_RDONLY), STDIN_FILENO);
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
        const QByteArray proc = "/proc/" + QByteArray::number(pid);
        if (QFileInfo(QFile::decodeName(proc + "/exe")).canonicalFilePath() !=
            QFileInfo(cliPath()).canonicalFilePath())
            return; // not yet the program
        QFile status(QFile::decodeName(proc + "/status"));
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    outcome.peakKb =
                        std::max(outcome.peakKb, line.mid(6).trimmed().split(' ').first().toLong());
    };
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    QByteArray* sinks[2] = {&outcome.out, &outcome.err};
    for (int open = 2; open > 0;) {
        const qint64 left = limits.timeoutMs - clock.elapsed();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
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
            if (const ssize_t n = ::read(fds[i].fd, block, sizeof block); n > 0) {
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
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    return outcome;
}

inline QStringList entries(const QString& folder)
{
    QStringList names;
    for (const QByteArray& name : rawEntries(QFile::encodeName(folder)))
        names << QFile::decodeName(name);
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
        m_mounted =
            ::mount("tmpfs", m_folder.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) == 0;
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
        struct statvfs info
        {
        };
        return ::statvfs(m_folder.constData(), &info) == 0 ? qint64(info.f_bavail) * qint64(info.f_frsize)
                                                           : -1;
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
                QByteArray::number(i % 13) + ".5" + lineEnd + "vt 0.5 0." + QByteArray::number(i % 10) +
                lineEnd;
        if (i % 4 == 3)
            mesh += "f " + QByteArray::number(i - 2) + " " + QByteArray::number(i - 1) + " " +
                    QByteArray::number(i) + " " + QByteArray::number(i + 1) + lineEnd;
    }
    return mesh;
}

} // namespace jf::test
