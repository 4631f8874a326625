#pragma once

// What the preview shows of a mesh file: its vertices and faces read once, reduced when the file
// holds more triangles than a picture can turn smoothly, and the same vertices with the noise a
// Convert of the file would give them. Free of windows and of OpenGL, so that the window and the
// command line share it, and any thread can load.

#include "engine/host.h"
#include "engine/noise.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace jf {

// Triangles above which a file is shown reduced: about the most that Mesa's software rasteriser
// (llvmpipe) orbits at 30 frames a second on a two-core machine in a window of the preview's first
// size, with the main window's default intensity. The noise makes After's triangles long and
// overlapping, so a frame there costs in pixels filled more than in triangles; a graphics card
// turns many times this many.
constexpr std::uint64_t kDefaultTriangleBudget = 15'000;

// The main window's choices, read as a Convert reads them.
struct PreviewSettings
{
    std::string intensityText = "0.1"; // txtIntensity's text, read as Convert reads it
    int algorithm = White;             // cmbAlgorithm's index; any other gives no noise
    bool axes[3] = {true, true, true}; // X, Y, Z checked
    bool split = false;                // shows the split diagonals in the wireframe
    std::int32_t daySeed = 0;
};

// A mesh as loaded; immutable once loaded, shared as shared_ptr<const PreviewMesh>.
struct PreviewMesh
{
    std::string path;
    // The file's own counts: v records, f records, triangles of all its faces as fans, and faces
    // left out because they name a vertex the file does not hold.
    std::uint64_t fileVertices = 0, fileFaces = 0, fileTriangles = 0, skippedFaces = 0;
    Extents box; // the whole file's vertex box, as the extents scan measures it

    // Shown vertices, x y z each, exactly as the file has them. Coordinates need not be finite
    // (a file may hold "inf" or "nan"); a camera fit should leave such vertices out.
    std::vector<double> positions;
    std::vector<std::uint32_t> triangles; // 3 per shown triangle (polygons as fans)
    std::vector<std::uint32_t> edges;     // 2 per polygon side (wireframe)
    std::vector<std::uint32_t> diagonals; // 2 per quad's split diagonal (wireframe when split)

    std::uint64_t shownTriangles() const { return triangles.size() / 3; }
    bool pointsOnly() const { return triangles.empty(); } // vertices and no faces: drawn as points
    bool reduced = false; // beyond the budget: a reduced mesh is shown

    // What After needs of each shown vertex, so that a change of options redraws without reading
    // the file again: its record as Convert reads it ("#IND" read as "0"), and its line.
    std::string recordText;                 // the shown vertices' records, one after another
    std::vector<std::uint64_t> recordEnds;  // where each ends in recordText
    std::vector<std::uint64_t> recordLines; // 1-based, as Convert's messages count them
};

struct PreviewLoad
{
    std::shared_ptr<const PreviewMesh> mesh; // null on error or cancel
    std::optional<std::string> error;        // names the file, the line and the fault
    bool cancelled = false;
};

// Reads the file at `path` (never writes, never creates anything) on the caller's thread; where
// the machine has a second core, a file of more than a few chunks has its numbers read ahead on a
// second thread, which ends before this returns. The mesh is the same either way.
//
// Faces of any number of corners are drawn as fans, but a quad as Split quads writes it (its
// diagonal from the second corner to the fourth), so that After shows the surface Convert gives.
// A face that names a vertex the file does not hold is skipped and counted; l and p records and
// faces of fewer than three corners are not drawn. A vertex record that Convert cannot read fails
// the load with "<path>, line <n>: <fault>".
//
// The file is read once. Beyond `triangleBudget` triangles (or vertices) it is shown reduced to
// at most that many, by vertex clustering: a grid of cubic cells (1024 across the box of the
// vertices read until the file went beyond the budget, coarser by halves as needed), one real
// vertex of the file standing for every occupied cell (the first in the file), faces mapped to
// cells and those that collapse dropped. Memory stays bounded whatever the size of the file but
// for 4 bytes a vertex, up to 64 Mi vertices; a reduced picture leaves out faces that name a
// vertex beyond those, or one defined after the face.
//
// `progress(done, total)` (bytes) is called from the caller's thread once every few hundred
// kilobytes; it returns false to cancel. `progress` may be empty.
PreviewLoad loadPreviewMesh(const std::string& path, std::uint64_t triangleBudget,
                            const std::function<bool(std::uint64_t, std::uint64_t)>& progress);

struct PreviewNoise
{
    std::vector<double> positions; // as PreviewMesh::positions, with the noise
    NoiseAmplitude amplitude;
    std::optional<std::string> error; // positions are then the file's own
};

// After's positions: exactly the doubles Convert writes for the same vertices with `settings`.
PreviewNoise noisePreviewMesh(const PreviewMesh& mesh, const PreviewSettings& settings);

} // namespace jf
