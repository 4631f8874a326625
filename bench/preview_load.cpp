// preview_load FILE [BUDGET]: loads FILE as the preview does and prints, on one line, the seconds
// the load took, the seconds of one redraw of After's noise (wall and processor time, all threads),
// the peak resident memory of this process and what was shown; for preview_load.sh, which sets it
// beside a conversion of the file. The line ends with a digest of everything the load gave (counts,
// box, positions, triangles, lines, records, and After's positions), so that two builds of the
// loader can be shown to give the same mesh.

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

// FNV-1a over the bytes of everything the load gave, field after field.
class Digest
{
public:
    void add(const void* data, std::size_t size)
    {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i)
            m_value = (m_value ^ bytes[i]) * 0x100000001b3ULL;
    }
    template <class T>
    void add(const std::vector<T>& items)
    {
        add(items.size());
        add(items.data(), items.size() * sizeof(T));
    }
    template <class T>
    void add(const T& value)
    {
        add(&value, sizeof value);
    }
    std::uint64_t value() const { return m_value; }

private:
    std::uint64_t m_value = 0xcbf29ce484222325ULL;
};

std::uint64_t digestOf(const jf::PreviewMesh& mesh, const jf::PreviewNoise& noise)
{
    Digest digest;
    for (const std::uint64_t count : {mesh.fileVertices, mesh.fileFaces, mesh.fileTriangles, mesh.skippedFaces})
        digest.add(count);
    digest.add(mesh.box.empty);
    digest.add(mesh.box.min);
    digest.add(mesh.box.max);
    digest.add(mesh.reduced);
    digest.add(mesh.positions);
    digest.add(mesh.triangles);
    digest.add(mesh.edges);
    digest.add(mesh.diagonals);
    digest.add(mesh.recordText.size());
    digest.add(mesh.recordText.data(), mesh.recordText.size());
    digest.add(mesh.recordEnds);
    digest.add(mesh.recordLines);
    digest.add(noise.positions);
    return digest.value();
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
                "  noise-cpu %.3f s%s  digest %016llx\n",
                loadSeconds, noiseSeconds, peakKb(), mesh.positions.size() / 3,
                static_cast<unsigned long long>(mesh.fileVertices),
                static_cast<unsigned long long>(mesh.shownTriangles()),
                static_cast<unsigned long long>(mesh.fileTriangles), noiseCpu, noise.error ? "  (noise failed)" : "",
                static_cast<unsigned long long>(digestOf(mesh, noise)));
    return 0;
}
