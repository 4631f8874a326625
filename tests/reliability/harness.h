#pragma once

// What the reliability tests need beyond the engine fakes: the command line run as a child process
// with limits of our choosing and its peak memory measured, and sources of the forms they need.

#include "../bytes.h"
#include "../enginefakes.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

// The child's part, between its start and the program: QProcess may start the child with vfork, so
// that it runs on this process's stack until the exec; the address sanitizer's marks for this
// frame's locals would then stay behind in this process and fault a later, sound read there.
__attribute__((no_sanitize("address"))) [[noreturn]] inline void startChild(std::optional<rlim_t> fileSize,
                                                                          char** argv)
{
    if (fileSize) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{*fileSize, *fileSize};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execv(argv[0], argv);
    ::_exit(127);
}

// Runs the command line with `arguments` (bytes, passed on as they are) in `folder`.
inline ChildOutcome runCli(const QList<QByteArray>& arguments, const QString& folder,
                           const ChildLimits& limits = {})
{
    std::vector<QByteArray> storage{QFile::encodeName(cliPath())};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (QByteArray& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setStandardInputFile(QProcess::nullDevice());
    // QProcess takes its arguments as text, which cannot hold a name that is not UTF-8: the child
    // starts the program itself, once its pipes and folder are set up.
    char** const childArgv = argv.data();
    const std::optional<rlim_t> fileSize = limits.fileSize;
    process.setChildProcessModifier([childArgv, fileSize] { startChild(fileSize, childArgv); });
    ChildOutcome outcome;
    const auto readPeak = [&] {
        const QString proc = "/proc/" + QString::number(process.processId());
        if (QFileInfo(proc + "/exe").canonicalFilePath() != QFileInfo(cliPath()).canonicalFilePath())
            return; // not yet the program
        QFile status(proc + "/status");
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    outcome.peakKb =
                        std::max(outcome.peakKb, line.mid(6).trimmed().split(' ').first().toLong());
    };
    QElapsedTimer clock;
    clock.start();
    process.start(cliPath(), {});
    while (!process.waitForFinished(limits.watchMemory ? 2 : 1000) && process.state() == QProcess::Running) {
        if (clock.elapsed() > limits.timeoutMs) {
            process.kill(); // what it said by then is kept: it tells where it hung
            process.waitForFinished();
            break;
        }
        if (limits.watchMemory)
            readPeak();
    }
    outcome.out = process.readAllStandardOutput();
    outcome.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit)
        outcome.status = process.exitCode();
    return outcome;
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
