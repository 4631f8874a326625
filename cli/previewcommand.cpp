#include "cli/previewcommand.h"

#include "offscreen/offscreencontext.h"
#include "render/meshrenderer.h"

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <QString>

#include <QCommandLineParser>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <thread>

namespace jf {

namespace {

constexpr int kMinSide = 16;
constexpr int kMaxSide = 8192;

bool parseSide(const std::string& text, int& value)
{
    if (text.empty() || text.size() > 5)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= kMinSide && value <= kMaxSide;
}

// "Before" and "After" over their halves, in the corner where a mesh fitted to the view leaves room.
void label(QImage& picture)
{
    QPainter painter(&picture);
    QFont font = painter.font();
    font.setPixelSize(std::max(12, picture.height() / 30));
    painter.setFont(font);
    painter.setPen(Qt::white);
    const int margin = font.pixelSize() / 2;
    const int half = picture.width() / 2;
    painter.drawText(QRect(margin, margin, half - 2 * margin, picture.height()), Qt::AlignLeft | Qt::AlignTop,
                     QStringLiteral("Before"));
    painter.drawText(QRect(half + margin, margin, half - 2 * margin, picture.height()),
                     Qt::AlignLeft | Qt::AlignTop, QStringLiteral("After"));
}

bool samePath(const std::string& a, const std::string& b)
{
    struct stat first{};
    struct stat second{};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

} // namespace

bool parsePictureSize(const std::string& text, int& width, int& height)
{
    const std::size_t x = text.find_first_of("xX");
    if (x == std::string::npos)
        return false;
    return parseSide(text.substr(0, x), width) && parseSide(text.substr(x + 1), height);
}

cli::OptionGroup previewOptions(PreviewChoice& choice)
{
    const QCommandLineOption picture("preview",
                                     "Render the preview's Before/After picture of SOURCE to FILE.png with the "
                                     "noise options given, instead of converting. Needs no display.",
                                     "FILE.png");
    const QCommandLineOption size("size", "The size of the --preview picture (default 1600x800).", "WxH",
                                  "1600x800");
    return {{picture, size}, [&choice, picture, size](const QCommandLineParser& parser, cli::Settings&) {
                if (!parser.isSet(picture))
                    return parser.isSet(size) ? QStringLiteral("--size goes with --preview.") : QString();
                if (parser.positionalArguments().size() != 1)
                    return QStringLiteral("--preview takes one SOURCE file.");
                if (!parsePictureSize(cli::bytes(parser.value(size)), choice.width, choice.height))
                    return "The size \"" + parser.value(size) + "\" is not WIDTHxHEIGHT, each from 16 to 8192.";
                choice.picture = std::filesystem::absolute(cli::bytes(parser.value(picture))).string();
                return QString();
            }};
}

PreviewRequest previewRequest(const cli::Settings& settings, const PreviewChoice& choice)
{
    PreviewRequest request;
    request.source = settings.files.front().source;
    request.picture = choice.picture;
    request.width = choice.width;
    request.height = choice.height;
    request.settings.intensityText = settings.intensity;
    request.settings.algorithm = settings.algorithm;
    std::copy(std::begin(settings.axes), std::end(settings.axes), std::begin(request.settings.axes));
    request.settings.split = settings.split;
    const double fixed = settings.day.value_or(0);
    request.settings.daySeed = DaySeed(settings.day ? DayClock([fixed] { return fixed; }) : DayClock(systemOleDate));
    request.force = settings.force;
    request.quiet = settings.quiet;
    return request;
}

int runPreviewCommand(const PreviewRequest& request)
{
    // Text on the picture needs Qt's fonts, which need an application object; the offscreen
    // platform gives one without a display.
    int argc = 3;
    char name[] = "jitterform-cli";
    char option[] = "-platform";
    char platform[] = "offscreen";
    char* argv[] = {name, option, platform, nullptr};
    // Qt's remarks on a machine without a desktop session (no runtime folder, say) are not the
    // user's concern; its errors still reach stderr.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::cerr << message.toStdString() << '\n';
    });
    const QString picturePath = QString::fromLocal8Bit(request.picture.c_str());
    if (samePath(request.source, request.picture)) {
        std::cerr << "Problem: the picture " << request.picture << " would replace the source.\n";
        return 1;
    }
    struct stat existing{};
    if (!request.force && ::stat(request.picture.c_str(), &existing) == 0) {
        std::cerr << "Problem: " << request.picture
                  << " already exists. Not replaced: --force replaces it without asking.\n";
        return 1;
    }

    // The file loads while Qt, the OpenGL context and the renderer start: on a file of a hundred
    // megabytes each takes about as long as the other.
    PreviewLoad load;
    std::thread loading([&] { load = loadPreviewMesh(request.source, kDefaultTriangleBudget, {}); });
    struct Join
    {
        std::thread& thread;
        ~Join()
        {
            if (thread.joinable())
                thread.join();
        }
    } join{loading};

    QGuiApplication application(argc, argv);
    std::string error;
    const std::unique_ptr<OffscreenContext> context =
        OffscreenContext::create(request.width, request.height, error);
    MeshRenderer renderer;
    std::optional<std::string> missing;
    if (context)
        missing = renderer.initialize(&OffscreenContext::procAddress);
    loading.join();

    const PreviewNoise after = load.mesh ? noisePreviewMesh(*load.mesh, request.settings) : PreviewNoise();
    if (const std::optional<std::string>& fault = load.error ? load.error : after.error) {
        if (context && !missing)
            renderer.release();
        std::cerr << "Problem: " << *fault << '\n';
        return 1;
    }
    const PreviewMesh& mesh = *load.mesh;
    if (!context) {
        std::cerr << "Problem: " << error << '\n';
        return 1;
    }
    if (missing) {
        std::cerr << "Problem: No OpenGL renderer can be had here: " << *missing << '\n';
        return 1;
    }
    renderer.setMesh({mesh.positions, mesh.triangles, mesh.edges, mesh.diagonals});
    renderer.setAfterPositions(after.positions);
    renderer.setShowDiagonals(request.settings.split);
    Camera camera;
    camera.fit(renderer.bounds());
    renderer.drawSideBySide(request.width, request.height, camera);
    QImage picture = context->grab();
    renderer.release();
    label(picture);

    // Written beside its place and renamed over it, so that a failed write leaves nothing half done.
    QSaveFile file(picturePath);
    if (!file.open(QIODevice::WriteOnly) || !picture.save(&file, "PNG") || !file.commit()) {
        std::cerr << "Problem: the picture " << request.picture << " cannot be written: "
                  << file.errorString().toStdString() << ".\n";
        return 1;
    }
    if (!request.quiet) {
        std::string shown = std::to_string(mesh.shownTriangles()) + " of " + std::to_string(mesh.fileTriangles);
        std::printf("%s: %llu vertices, %llu faces, showing %s triangles; amplitude %g, day %d\n",
                    request.picture.c_str(), static_cast<unsigned long long>(mesh.fileVertices),
                    static_cast<unsigned long long>(mesh.fileFaces), shown.c_str(),
                    after.amplitude.noiseScale, request.settings.daySeed);
    }
    return 0;
}

} // namespace jf
