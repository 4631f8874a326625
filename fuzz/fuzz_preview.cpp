// The preview's loader over any bytes, from an in-memory file. The first input byte picks the
// triangle budget (small ones make the loader cluster almost every input), and the file is loaded
// twice: whole and reduced. A load ends in a mesh or a message naming the file; every index names a
// shown vertex; a reduced mesh keeps the budget, and each vertex it shows is the vertex the whole
// load has at the same line, with the same record for its noise.

#include "fuzzsupport.h"
#include "preview/displaymodel.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

using namespace jf;
using namespace jf::fuzz;

namespace {

bool sameBits(const double* a, const double* b, std::size_t count)
{
    return count == 0 || std::memcmp(a, b, count * sizeof(double)) == 0;
}

std::string_view recordOf(const PreviewMesh& mesh, std::size_t i)
{
    const std::size_t begin = i == 0 ? 0 : mesh.recordEnds[i - 1];
    return std::string_view(mesh.recordText).substr(begin, mesh.recordEnds[i] - begin);
}

void checkMesh(const PreviewLoad& load, const std::string& path, std::uint64_t budget)
{
    FUZZ_CHECK(!load.cancelled);
    FUZZ_CHECK(!load.mesh != !load.error);
    if (load.error) {
        FUZZ_CHECK_MSG(load.error->rfind(path, 0) == 0 || load.error->find(path) != std::string::npos,
                       *load.error);
        return;
    }
    const PreviewMesh& mesh = *load.mesh;
    const std::size_t shown = mesh.positions.size() / 3;
    FUZZ_CHECK(mesh.positions.size() % 3 == 0 && mesh.triangles.size() % 3 == 0);
    FUZZ_CHECK(mesh.edges.size() % 2 == 0 && mesh.diagonals.size() % 2 == 0);
    FUZZ_CHECK(mesh.recordEnds.size() == shown && mesh.recordLines.size() == shown);
    FUZZ_CHECK(mesh.skippedFaces <= mesh.fileFaces && mesh.shownTriangles() <= mesh.fileTriangles);
    for (const auto* list : {&mesh.triangles, &mesh.edges, &mesh.diagonals})
        for (const std::uint32_t v : *list)
            FUZZ_CHECK(v < shown);
    if (mesh.reduced) {
        FUZZ_CHECK(mesh.shownTriangles() <= budget && shown <= budget);
    } else {
        FUZZ_CHECK(shown == mesh.fileVertices);
    }
    // No noise leaves every coordinate as the file has it.
    PreviewSettings still;
    still.axes[0] = still.axes[1] = still.axes[2] = false;
    const PreviewNoise none = noisePreviewMesh(mesh, still);
    FUZZ_CHECK(none.positions.size() == mesh.positions.size());
    if (!none.error)
        FUZZ_CHECK(sameBits(none.positions.data(), mesh.positions.data(), mesh.positions.size()));
    const PreviewNoise noise = noisePreviewMesh(mesh, PreviewSettings{});
    FUZZ_CHECK(noise.positions.size() == mesh.positions.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint64_t budget = 1 + (bytes[0] & 0x3f);
    const std::string_view data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    const int memory = ::memfd_create("jf-preview", MFD_CLOEXEC);
    FUZZ_CHECK(memory >= 0 && ::write(memory, data.data(), data.size()) == ssize_t(data.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(memory);

    const PreviewLoad whole = loadPreviewMesh(path, std::uint64_t(1) << 40, {});
    checkMesh(whole, path, std::uint64_t(1) << 40);
    const PreviewLoad reduced = loadPreviewMesh(path, budget, {});
    checkMesh(reduced, path, budget);
    ::close(memory);

    FUZZ_CHECK(!whole.error == !reduced.error);
    if (!whole.mesh)
        return 0;
    const PreviewMesh& all = *whole.mesh;
    const PreviewMesh& few = *reduced.mesh;
    FUZZ_CHECK(all.fileVertices == few.fileVertices && all.fileFaces == few.fileFaces);
    FUZZ_CHECK(all.fileTriangles == few.fileTriangles);
    FUZZ_CHECK(sameBits(all.box.min, few.box.min, 3) && sameBits(all.box.max, few.box.max, 3));
    std::size_t at = 0; // the whole mesh's vertices are in file order, and so are the reduced one's
    for (std::size_t i = 0; i < few.recordLines.size(); ++i) {
        while (at < all.recordLines.size() && all.recordLines[at] < few.recordLines[i])
            ++at;
        FUZZ_CHECK(at < all.recordLines.size() && all.recordLines[at] == few.recordLines[i]);
        FUZZ_CHECK(sameBits(&all.positions[3 * at], &few.positions[3 * i], 3));
        FUZZ_CHECK(recordOf(all, at) == recordOf(few, i));
    }
    if (!few.reduced)
        FUZZ_CHECK(few.skippedFaces == all.skippedFaces && few.triangles == all.triangles);
    return 0;
}
