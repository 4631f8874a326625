// preview_redraw [--runs N] TRIANGLES...: what a change of intensity costs the preview before it can
// draw After again, for meshes of given triangle counts shown whole (the display budget set to the
// count), beside a 12-triangle cube measured in the same run as the baseline.
//
// Each mesh is a height field of quads (about TRIANGLES / 2 vertices, each record as a terrain
// export writes it) written to a temporary file and loaded through the preview's own loader. Then,
// N times with a new intensity each time (the first run of each size is not counted): After's noise
// (noisePreviewMesh) and the renderer taking the new positions (MeshRenderer::setAfterPositions:
// the conversion to floats and the upload), on a headless context as the command line's. Prints a
// markdown table of the medians in milliseconds; the window adds one frame to them.

#include "offscreen/offscreencontext.h"
#include "preview/displaymodel.h"
#include "render/meshrenderer.h"

#include <QGuiApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A square height field of about `triangles` triangles in quads.
void writeField(const std::string& path, std::uint64_t triangles)
{
    const int side = std::max(2, int(std::sqrt(double(triangles) / 2)) + 1);
    std::ofstream out(path);
    char line[96];
    for (int z = 0; z < side; ++z)
        for (int x = 0; x < side; ++x) {
            std::snprintf(line, sizeof line, "v %.6f %.6f %.6f\n", x * 0.25 - 100, std::sin(x * 0.05) * std::cos(z * 0.03),
                          z * 0.25);
            out << line;
        }
    for (int z = 0; z + 1 < side; ++z)
        for (int x = 0; x + 1 < side; ++x) {
            const int a = z * side + x + 1;
            out << "f " << a << ' ' << a + 1 << ' ' << a + side + 1 << ' ' << a + side << '\n';
        }
}

void writeCube(const std::string& path)
{
    std::ofstream(path) << "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
                           "f 1 2 3 4\nf 5 8 7 6\nf 1 5 6 2\nf 2 6 7 3\nf 3 7 8 4\nf 5 1 4 8\n";
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 9;
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else
            sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
    if (sizes.empty())
        sizes = {100'000, 250'000, 500'000, 1'000'000};

    int qtArgc = 3;
    char name[] = "preview_redraw", option[] = "-platform", platform[] = "offscreen";
    char* qtArgv[] = {name, option, platform, nullptr};
    QGuiApplication application(qtArgc, qtArgv);
    std::string error;
    const std::unique_ptr<jf::OffscreenContext> context = jf::OffscreenContext::create(640, 480, error);
    if (!context) {
        std::fprintf(stderr, "preview_redraw: %s\n", error.c_str());
        return 1;
    }

    QTemporaryDir dir;
    std::printf("| mesh | vertices | triangles | noise ms | floats and upload ms | together ms |\n");
    std::printf("|---|---|---|---|---|---|\n");
    sizes.insert(sizes.begin(), 0); // the cube
    for (const std::uint64_t size : sizes) {
        const std::string path = dir.filePath("mesh.obj").toStdString();
        if (size == 0)
            writeCube(path);
        else
            writeField(path, size);
        const jf::PreviewLoad load = jf::loadPreviewMesh(path, std::max<std::uint64_t>(size, 12), {});
        if (!load.mesh) {
            std::fprintf(stderr, "preview_redraw: %s\n", load.error.value_or("cancelled").c_str());
            return 1;
        }
        const jf::PreviewMesh& mesh = *load.mesh;
        jf::MeshRenderer renderer;
        if (const std::optional<std::string> missing = renderer.initialize(&jf::OffscreenContext::procAddress)) {
            std::fprintf(stderr, "preview_redraw: %s\n", missing->c_str());
            return 1;
        }
        renderer.setMesh({mesh.positions, mesh.triangles, mesh.edges, mesh.diagonals});
        std::vector<double> noiseMs, uploadMs, bothMs;
        jf::PreviewSettings settings;
        settings.daySeed = 46000;
        for (int run = 0; run <= runs; ++run) {
            settings.intensityText = "0.0" + std::to_string(run + 1);
            const auto start = std::chrono::steady_clock::now();
            const jf::PreviewNoise noise = jf::noisePreviewMesh(mesh, settings);
            const double noiseTook = msSince(start);
            const auto uploadStart = std::chrono::steady_clock::now();
            renderer.setAfterPositions(noise.positions);
            const double uploadTook = msSince(uploadStart);
            if (run == 0)
                continue;
            noiseMs.push_back(noiseTook);
            uploadMs.push_back(uploadTook);
            bothMs.push_back(noiseTook + uploadTook);
        }
        renderer.release();
        std::printf("| %s | %zu | %llu | %.1f | %.1f | %.1f |\n", size == 0 ? "cube (baseline)" : "field",
                    mesh.positions.size() / 3, static_cast<unsigned long long>(mesh.shownTriangles()),
                    median(noiseMs), median(uploadMs), median(bothMs));
        std::fflush(stdout);
    }
    return 0;
}
