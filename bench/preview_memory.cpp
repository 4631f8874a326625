// preview_memory FILE: the whole program's peak memory with the preview open on FILE, as a user
// gets there: the main window started as `jitterform FILE` starts it (splash and all), View >
// Preview, the load waited for and the first picture drawn; then this process's VmHWM. Run it under
// a virtual X screen with Mesa's software renderer (preview_memory.sh does), one file a process:
// the peak is the process's.
//
// Prints one line: the file, the seconds from View > Preview to the end of the load and to the
// first picture, the triangles shown, the peak (VmHWM) and the resident memory at the end (VmRSS).
// Exits 1 when the load fails or the preview has no OpenGL.

#include "ui/desktopservices.h"
#include "ui/frmmain1.h"
#include "ui/frmpreview.h"
#include "ui/previewview.h"
#include "ui/startup.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

long statusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    const std::size_t length = std::char_traits<char>::length(field);
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, length, field) == 0)
            return std::atol(line.c_str() + length);
    return -1;
}

// Serves the window's events for `ms` milliseconds.
void serve(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "Usage: preview_memory FILE (under a virtual X screen; see preview_memory.sh)\n");
        return 2;
    }
    const QString path = QFile::decodeName(argv[1]);
    jf::DesktopServices desktop;
    const std::unique_ptr<jf::frmMain1> window = jf::Main(desktop.services(), path);
    serve(200); // the window mapped and painted, as a user sees it before opening the preview

    QElapsedTimer clock;
    clock.start();
    QEventLoop loaded;
    window->mnuViewPreview->trigger();
    jf::frmPreview* preview = window->preview();
    if (preview == nullptr) {
        std::fprintf(stderr, "preview_memory: View > Preview opened no window\n");
        return 1;
    }
    QObject::connect(preview, &jf::frmPreview::loadFinished, &loaded, &QEventLoop::quit);
    if (preview->isLoading())
        loaded.exec();
    const double loadSeconds = clock.nsecsElapsed() / 1e9;
    if (!preview->mesh() || preview->view == nullptr) {
        std::fprintf(stderr, "preview_memory: %s\n",
                     preview->view == nullptr ? "the preview has no OpenGL" : "the load failed");
        return 1;
    }
    preview->view->repaint();
    preview->view->makeCurrent();
    preview->view->context()->functions()->glFinish();
    preview->view->doneCurrent();
    const double pictureSeconds = clock.nsecsElapsed() / 1e9;
    serve(300); // whatever the first picture leaves to do

    std::printf("%s  load %.2f s  first picture %.2f s  shown %llu of %llu triangles  peak %ld kB  resident %ld kB\n",
                argv[1], loadSeconds, pictureSeconds,
                static_cast<unsigned long long>(preview->mesh()->shownTriangles()),
                static_cast<unsigned long long>(preview->mesh()->fileTriangles), statusKb("VmHWM:"),
                statusKb("VmRSS:"));
    std::fflush(stdout);
    // Quit without the main window's close: it would store its place in the settings file.
    std::_Exit(0);
}
