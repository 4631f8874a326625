#pragma once

// Draws the preview of a mesh, before and after its noise, into the current OpenGL framebuffer:
// flat-shaded and lit from each triangle's own plane (worked out from the positions drawn, never
// from the file's normals, which would hide the roughness), with an optional wireframe of the
// polygons' sides and of the split diagonals, or as points when the mesh has no faces.
//
// It needs desktop OpenGL 2.1 with GLSL 1.20 and nothing else, and it does not know who made the
// context: every function is looked up through the callback given to initialize(), so the same
// code runs in the window's widget and in a headless context. The framebuffer needs a depth buffer.
// Every call that touches the graphics card (all but the setters of flags and bounds()) expects the
// context of initialize() to be current; before initialize() succeeds they do nothing.

#include "render/camera.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace jf {

// Looks an OpenGL function up by name in the current context; null when it has none.
using GlProcLoader = std::function<void*(const char* name)>;

// A mesh as the renderer takes it; the spans are read during the call only.
struct MeshGeometry
{
    std::span<const double> positions;          // 3 a vertex
    std::span<const std::uint32_t> triangles;   // 3 a triangle
    std::span<const std::uint32_t> edges;       // 2 a polygon side
    std::span<const std::uint32_t> diagonals;   // 2 a split quad's diagonal
};

enum class MeshSide { Before, After };

// A rectangle of the framebuffer in device pixels, from its lower-left corner as OpenGL counts.
struct Viewport
{
    int x = 0, y = 0, width = 0, height = 0;
};

class MeshRenderer
{
public:
    MeshRenderer();
    // Frees nothing on the graphics card (there may be no current context); call release() first.
    ~MeshRenderer();
    MeshRenderer(const MeshRenderer&) = delete;
    MeshRenderer& operator=(const MeshRenderer&) = delete;

    // With a context current: loads the functions and builds the shaders. Returns a sentence
    // saying what is missing when the context cannot draw the preview (no OpenGL 2.1, a shader
    // refused); the renderer then stays unusable and every other call does nothing.
    std::optional<std::string> initialize(const GlProcLoader& getProcAddress);
    bool isInitialized() const;

    // Uploads a mesh; both sides show `geometry.positions` until setAfterPositions(). Indices
    // beyond the positions, and triangles, sides or points at a non-finite position, are left out.
    // Positions become floats only here, relative to the middle of the mesh.
    void setMesh(const MeshGeometry& geometry);
    // The After side's positions: as many as the mesh's, else ignored.
    void setAfterPositions(std::span<const double> positions);
    // Forgets the mesh: both sides draw just the background.
    void clearMesh();

    void setWireframe(bool on);
    bool wireframe() const;
    // Whether the wireframe includes the split diagonals.
    void setShowDiagonals(bool on);
    bool showDiagonals() const;

    // Clears a `width` x `height` framebuffer to the background.
    void clear(int width, int height);
    // Clears `viewport` to the background and draws one side into it.
    void draw(MeshSide side, const Viewport& viewport, const Camera& camera);
    // Before on the left half and After on the right half of a `width` x `height` framebuffer;
    // the halves have the same width (the odd column, if any, stays background).
    void drawSideBySide(int width, int height, const Camera& camera);

    // With the same context current as at initialize(): frees what is on the graphics card.
    void release();

    // The box a camera should fit for the current mesh: the finite positions of both sides.
    Bounds bounds() const;

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace jf
