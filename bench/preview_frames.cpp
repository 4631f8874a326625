// preview_frames: how long the preview takes to draw a frame while the camera orbits, for meshes of
// given triangle counts, beside a 12-triangle cube drawn in the same run as the baseline.
//
//   xvfb-run -a -s "-screen 0 1280x1024x24" env LIBGL_ALWAYS_SOFTWARE=1 QT_QPA_PLATFORM=xcb
//       preview_frames [--frames N] [--size WxH] [--intensity T] TRIANGLES...
//
// Without --size the window keeps the size it opens with.
//
// Each mesh is a sphere of about TRIANGLES triangles (quads and two caps), written to a temporary
// file and loaded through the preview's own loader with the budget set to TRIANGLES, then noised
// at intensity T (default 0.1, the main window's). A frame is one orbit step, the view repainted at once (both sides) and the
// context finished, so the figure includes the rasteriser's work and the window's composition.
// Prints a markdown table: the median and the 95th percentile, wireframe off and on, and the median
// processor time of a frame summed over the program's threads (the rasteriser's among them, not the
// X server's), which a busy machine disturbs less than the wall-clock time.

#include "ui/frmpreview.h"
#include "ui/previewview.h"

#include <QApplication>
#include <QLabel>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace {

// A UV sphere of about `triangles` triangles.
void writeSphere(const std::string& path, std::uint64_t triangles)
{
    const int segments = std::max(8, int(std::sqrt(double(triangles))));
    const int rings = std::max(3, int(triangles / (2 * std::uint64_t(segments))) + 1);
    std::ofstream out(path);
    out << "v 0 1 0\n";
    for (int r = 1; r < rings; ++r) {
        const double theta = std::numbers::pi * r / rings;
        for (int s = 0; s < segments; ++s) {
            const double phi = 2 * std::numbers::pi * s / segments;
            out << "v " << std::sin(theta) * std::cos(phi) << ' ' << std::cos(theta) << ' '
                << std::sin(theta) * std::sin(phi) << '\n';
        }
    }
    out << "v 0 -1 0\n";
    const auto at = [&](int r, int s) { return 2 + (r - 1) * segments + s % segments; };
    const int bottom = 2 + (rings - 1) * segments;
    for (int s = 0; s < segments; ++s) {
        out << "f 1 " << at(1, s + 1) << ' ' << at(1, s) << '\n';
        for (int r = 1; r + 1 < rings; ++r)
            out << "f " << at(r, s) << ' ' << at(r, s + 1) << ' ' << at(r + 1, s + 1) << ' ' << at(r + 1, s) << '\n';
        out << "f " << bottom << ' ' << at(rings - 1, s) << ' ' << at(rings - 1, s + 1) << '\n';
    }
}

void writeCube(const std::string& path)
{
    std::ofstream(path) << "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
                           "f 1 2 3 4\nf 5 8 7 6\nf 1 5 6 2\nf 2 6 7 3\nf 3 7 8 4\nf 5 1 4 8\n";
}

struct Figures
{
    double median = 0, p95 = 0, cpu = 0;
};

// Frames not counted: the first ones compile the rasteriser's code and grow the heap, and a mesh
// drawn for the first time runs slower for a few dozen more.
constexpr int kWarmFrames = 30;

double processCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

Figures orbit(jf::PreviewView& view, int frames)
{
    std::vector<double> ms, cpu;
    view.makeCurrent();
    QOpenGLFunctions* gl = view.context()->functions();
    view.doneCurrent();
    for (int i = 0; i < frames + kWarmFrames; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = processCpuMs();
        view.camera().orbit(4, 1, view.height());
        view.repaint();
        view.makeCurrent();
        gl->glFinish();
        view.doneCurrent();
        QCoreApplication::processEvents();
        const auto end = std::chrono::steady_clock::now();
        if (i >= kWarmFrames) {
            ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
            cpu.push_back(processCpuMs() - cpuStart);
        }
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 95 / 100)], cpu[cpu.size() / 2]};
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    int frames = 60;
    QSize size; // the window's own
    std::string intensity = jf::PreviewSettings{}.intensityText;
    std::vector<std::uint64_t> counts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--intensity" && i + 1 < argc)
            intensity = argv[++i];
        else if (arg == "--frames" && i + 1 < argc)
            frames = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--size" && i + 1 < argc && std::sscanf(argv[++i], "%dx%d", &size.rwidth(), &size.rheight()) == 2)
            continue;
        else
            counts.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    if (counts.empty())
        counts.push_back(jf::kDefaultTriangleBudget);

    QTemporaryDir dir;
    std::printf("| mesh | triangles shown | frame ms median | p95 | CPU ms | wireframe median | p95 | CPU ms |\n"
                "|---|---|---|---|---|---|---|---|\n");
    const auto measure = [&](const std::string& name, const std::string& path, std::uint64_t budget) {
        jf::frmPreview preview(
            [&] {
                jf::PreviewSettings settings;
                settings.intensityText = intensity;
                return settings;
            },
            nullptr, budget);
        if (!preview.view) {
            std::fprintf(stderr, "no OpenGL: %s\n", qPrintable(preview.lblUnavailable->text()));
            std::exit(1);
        }
        if (size.isValid())
            preview.resize(size);
        preview.show();
        QSignalSpy finished(&preview, &jf::frmPreview::loadFinished);
        preview.setSource(QString::fromStdString(path));
        if (!finished.wait(600000) || !preview.mesh()) {
            std::fprintf(stderr, "%s did not load: %s\n", path.c_str(), qPrintable(preview.lblStatus->text()));
            std::exit(1);
        }
        const Figures plain = orbit(*preview.view, frames);
        preview.view->setWireframe(true);
        const Figures wire = orbit(*preview.view, frames);
        std::printf("| %s | %llu | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f |\n", name.c_str(),
                    static_cast<unsigned long long>(preview.mesh()->shownTriangles()), plain.median, plain.p95,
                    plain.cpu, wire.median, wire.p95, wire.cpu);
        std::fflush(stdout);
    };
    const std::string cube = dir.filePath(QStringLiteral("cube.obj")).toStdString();
    writeCube(cube);
    measure("cube (baseline)", cube, 1000);
    for (const std::uint64_t count : counts) {
        const std::string sphere = dir.filePath(QStringLiteral("sphere-%1.obj").arg(count)).toStdString();
        writeSphere(sphere, count);
        measure("sphere", sphere, count);
    }
    return 0;
}
