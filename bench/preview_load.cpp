// preview_load FILE [BUDGET]: loads FILE as the preview does and prints, on one line, the seconds
// the load took, the seconds of one redraw of After's noise (wall and processor time, all threads),
// the peak resident memory of this process and what was shown; for preview_load.sh, which sets it
// beside a conversion of the file.

#include "preview/displaymodel.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

long peakKb()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "Usage: preview_load FILE [BUDGET]\n");
        return 2;
    }
    const std::uint64_t budget = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : jf::kDefaultTriangleBudget;
    auto start = std::chrono::steady_clock::now();
    const jf::PreviewLoad load = jf::loadPreviewMesh(argv[1], budget, {});
    const double loadSeconds = secondsSince(start);
    if (!load.mesh) {
        std::fprintf(stderr, "%s\n", load.error.value_or("cancelled").c_str());
        return 1;
    }
    start = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    const jf::PreviewNoise noise = jf::noisePreviewMesh(*load.mesh, jf::PreviewSettings{});
    const double noiseSeconds = secondsSince(start);
    const double noiseCpu = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const jf::PreviewMesh& mesh = *load.mesh;
    std::printf("load %.3f s  noise %.3f s  peak %ld kB  vertices %zu of %llu  triangles %llu of %llu"
                "  noise-cpu %.3f s%s\n",
                loadSeconds, noiseSeconds, peakKb(), mesh.positions.size() / 3,
                static_cast<unsigned long long>(mesh.fileVertices),
                static_cast<unsigned long long>(mesh.shownTriangles()),
                static_cast<unsigned long long>(mesh.fileTriangles), noiseCpu, noise.error ? "  (noise failed)" : "");
    return 0;
}
