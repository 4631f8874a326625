#include "cli/options.h"

#include "engine/version.h"
#include "path/filedescriptor.h"
#include "text/casemap.h"

#include <QCommandLineParser>

#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace jf::cli {

namespace {

// Wrapped by hand: the parser wraps the options' texts but prints this one as it stands.
const char* const kDescription =
    "Adds seeded noise to the vertices (and, on request, the normals) of a Wavefront\n"
    "OBJ mesh, and splits its quads on request.\n"
    "\n"
    "One or two files are SOURCE [DESTINATION]. Three or more are all sources, and\n"
    "so is every file with -o: each is written beside its source, or into DIR, with\n"
    "_n added to its name (a.obj gives a_n.obj), and -j of them are converted at\n"
    "once. Such a batch never asks: an existing destination is replaced with -f, or\n"
    "else that file fails. A source named twice, two sources with one destination,\n"
    "or a destination that is another source stop the batch before any work.\n"
    "\n"
    "Exit status: 0 when every file was converted, 1 when one failed, 2 for wrong\n"
    "options or files, 130 on Ctrl-C or SIGTERM (running files end as a Cancel\n"
    "would, and no further file starts).";

int usageError(const QString& message)
{
    std::cerr << "jitterform-cli: " << message.toStdString() << "\nTry 'jitterform-cli --help'.\n";
    return kExitUsage;
}

std::string absolute(const std::string& path)
{
    if (!path.empty() && path.front() == '/')
        return path;
    std::string cwd(4096, '\0');
    while (!::getcwd(cwd.data(), cwd.size()))
        cwd.resize(cwd.size() * 2);
    cwd.resize(std::char_traits<char>::length(cwd.c_str()));
    return cwd == "/" ? "/" + path : cwd + "/" + path;
}

// The name part of a path: what follows its last "/".
std::string lastLevel(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

QStringList argumentList(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLatin1(argv[i]);
    return arguments;
}

std::string bytes(const QString& text)
{
    return text.toLatin1().toStdString();
}

std::string proposedDestination(const std::string& source)
{
    FileDescriptor descriptor;
    descriptor.Split(source);
    descriptor.setFile(descriptor.File() + "_n");
    return toLowerText(descriptor.Path());
}

ReadOutcome readOptions(const QStringList& arguments, const std::vector<OptionGroup>& groups)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption intensity({"i", "intensity"}, "The intensity text, as typed into the window.",
                                       "X", "0.1");
    const QCommandLineOption type({"t", "type"}, "white, squared or cubic.", "NAME", "white");
    const QCommandLineOption axes({"a", "axes"}, "The axes that get noise, e.g. xz; \"none\" for none.",
                                  "AXES", "xyz");
    const QCommandLineOption normals({"n", "normals"}, "Add noise to normals.");
    const QCommandLineOption split({"s", "split-quads"}, "Split four-cornered faces.");
    const QCommandLineOption day("day", "Use day number N instead of today's, for reproducible output.", "N");
    const QCommandLineOption force({"f", "force"}, "Replace an existing destination without asking.");
    const QCommandLineOption keep("keep-source", "Leave the source file as it is (same output).");
    const QCommandLineOption quiet({"q", "quiet"}, "No progress and no summary.");
    const QCommandLineOption threads("threads",
                                     "Helper threads for each file's number work: 0 for none (default: "
                                     "one when a core is to spare). The output is the same.",
                                     "N");
    const QCommandLineOption outputDir({"o", "output-dir"},
                                       "Every file named is a source; write each destination into the "
                                       "existing folder DIR, as NAME_n.obj for NAME.obj.",
                                       "DIR");
    const QCommandLineOption jobs({"j", "jobs"},
                                  "Convert N files at once (default: the number of cores). A file's "
                                  "output is the same as when it is converted alone.",
                                  "N");
    const QCommandLineOption json("json", "Print one JSON object per file on stdout, one per line: source, "
                                          "destination, status, error, vertices, normals, quadsSplit, "
                                          "smallestExtent, intensity, amplitude, day, seconds; status is "
                                          "done, failed, cancelled or not started. The other messages go "
                                          "to stderr.");
    const QCommandLineOption version("version", "Print the version.");
    parser.addOptions({intensity, type, axes, normals, split, day, force, keep, quiet, threads, outputDir,
                       jobs, json, version});
    for (const OptionGroup& group : groups)
        parser.addOptions(group.options);
    parser.addHelpOption();
    parser.addPositionalArgument("SOURCE", "The OBJ file to roughen.");
    parser.addPositionalArgument("DESTINATION",
                                 "The file to write; default: SOURCE with _n added to its name. "
                                 "A third file makes every file a source.",
                                 "[DESTINATION]");
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet("help") || parser.isSet("help-all")) {
        // Without an application object the parser cannot know the program's name.
        std::cout << parser.helpText()
                         .replace(QStringLiteral("<executable_name>"), QStringLiteral("jitterform-cli"))
                         .toStdString();
        return kExitDone;
    }
    if (parser.isSet(version)) {
        std::cout << versionCaption() << '\n';
        return kExitDone;
    }

    Settings settings;
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError("A SOURCE file is needed.");
    if (parser.isSet(outputDir)) {
        const QString given = parser.value(outputDir);
        settings.outputDir = absolute(bytes(given));
        struct stat info
        {
        };
        if (given.isEmpty() || ::stat(settings.outputDir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            return usageError("The output folder \"" + given + "\" is not an existing folder.");
        while (settings.outputDir.size() > 1 && settings.outputDir.back() == '/')
            settings.outputDir.pop_back();
        for (const QString& source : positional) {
            FileJob file{absolute(bytes(source)), {}};
            const std::string name = lastLevel(proposedDestination(file.source));
            file.destination = (settings.outputDir == "/" ? "" : settings.outputDir) + "/" + name;
            settings.files.push_back(std::move(file));
        }
    } else if (positional.size() <= 2) {
        FileJob file{absolute(bytes(positional[0])), {}};
        if (positional.size() == 2) {
            const std::string destination = bytes(positional[1]);
            // A bare name goes through as typed, so that it lands beside the source as in the window.
            file.destination =
                destination.find('/') == std::string::npos ? destination : absolute(destination);
        } else {
            file.destination = proposedDestination(file.source);
        }
        settings.files.push_back(std::move(file));
    } else {
        for (const QString& source : positional) {
            FileJob file{absolute(bytes(source)), {}};
            file.destination = proposedDestination(file.source);
            settings.files.push_back(std::move(file));
        }
    }
    settings.batch = settings.files.size() > 1;

    settings.intensity = bytes(parser.value(intensity));
    const QString shape = parser.value(type).toLower();
    if (shape == "white")
        settings.algorithm = White;
    else if (shape == "squared")
        settings.algorithm = Squared;
    else if (shape == "cubic")
        settings.algorithm = Cubic;
    else
        return usageError("Unknown noise type \"" + parser.value(type) + "\": white, squared or cubic.");
    const QString axisText = parser.value(axes).toLower();
    settings.axes[0] = settings.axes[1] = settings.axes[2] = false;
    if (axisText != "none") {
        for (const QChar c : axisText) {
            if (c != 'x' && c != 'y' && c != 'z')
                return usageError("Unknown axes \"" + parser.value(axes) +
                                  "\": letters x, y and z, or none.");
            settings.axes[c.unicode() - 'x'] = true;
        }
        if (axisText.isEmpty())
            return usageError("No axes given: letters x, y and z, or none.");
    }
    settings.normals = parser.isSet(normals);
    settings.split = parser.isSet(split);
    if (parser.isSet(day)) {
        bool ok = false;
        const int value = parser.value(day).toInt(&ok);
        if (!ok)
            return usageError("The day number \"" + parser.value(day) + "\" is not a whole number.");
        settings.day = value;
    }
    if (parser.isSet(threads)) {
        bool ok = false;
        settings.workers = parser.value(threads).toInt(&ok);
        if (!ok || settings.workers < 0 || settings.workers > 64)
            return usageError("The number of threads \"" + parser.value(threads) + "\" is not from 0 to 64.");
    }
    if (parser.isSet(jobs)) {
        bool ok = false;
        const int value = parser.value(jobs).toInt(&ok);
        if (!ok || value < 1 || value > 256)
            return usageError("The number of jobs \"" + parser.value(jobs) + "\" is not from 1 to 256.");
        settings.jobs = unsigned(value);
    }
    settings.force = parser.isSet(force);
    settings.keepSource = parser.isSet(keep);
    settings.quiet = parser.isSet(quiet);
    settings.json = parser.isSet(json);
    for (const OptionGroup& group : groups)
        if (const QString fault = group.read(parser, settings); !fault.isEmpty())
            return usageError(fault);
    return settings;
}

} // namespace jf::cli
