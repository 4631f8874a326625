#pragma once

// The command line's options: what the user asked for, read from argv into settings, or the exit
// status of a run that ends before any file is touched (a usage error, --help, --version).

#include "engine/host.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

class QCommandLineParser;

namespace jf::cli {

constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// One file to convert. Both texts are bytes as the user gave them; the source is absolute, the
// destination absolute or a bare name, which the Convert command completes beside the source.
struct FileJob
{
    std::string source;
    std::string destination;
};

struct Settings
{
    std::vector<FileJob> files; // in the order given, at least one
    // Set when the positionals are all sources (three or more, or -o): files are then converted side
    // by side, never ask, and report per file. One file is converted as it always was, even with -o.
    bool batch = false;
    std::string intensity = "0.1";
    int algorithm = White;
    bool axes[3] = {true, true, true};
    bool normals = false;
    bool split = false;
    std::optional<std::int32_t> day;
    bool force = false;
    bool keepSource = false;
    bool quiet = false;
    bool json = false;
    int workers = -1;      // --threads; negative when not given
    unsigned jobs = 0;     // --jobs; 0 when not given
    std::string outputDir; // --output-dir, absolute; empty when not given
};

// Options that a feature kept in a file of its own adds: the options themselves, and how their
// values go into the settings. `read` returns an empty text, or the fault for a usage error.
struct OptionGroup
{
    QList<QCommandLineOption> options;
    std::function<QString(const QCommandLineParser&, Settings&)> read;
};

// Either the settings of a run, or the exit status of one that is over: help and version have been
// printed on stdout, a usage error (exit 2) on stderr.
using ReadOutcome = std::variant<Settings, int>;

// Reads argv (bytes, each taken as Latin-1 so that every byte of a path survives). Relative paths
// are made absolute against the current folder. Nothing on disk is touched except to make -o's
// folder absolute and to require that it exists.
ReadOutcome readOptions(const QStringList& arguments, const std::vector<OptionGroup>& groups = {});

// The arguments of main() as readOptions takes them.
QStringList argumentList(int argc, char* argv[]);

// The destination that the window proposes for a source: its name with "_n" added, in lower case.
std::string proposedDestination(const std::string& source);

// Bytes of a text read as Latin-1, which is how arguments are kept.
std::string bytes(const QString& text);

} // namespace jf::cli
