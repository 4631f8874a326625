#include "render/meshrenderer.h"

namespace jf {

struct MeshRenderer::State
{
    bool wireframe = false;
    bool diagonals = false;
    Bounds bounds;
};

MeshRenderer::MeshRenderer() : d(std::make_unique<State>()) {}
MeshRenderer::~MeshRenderer() = default;

std::optional<std::string> MeshRenderer::initialize(const GlProcLoader&)
{
    return std::string("The preview's renderer is not built yet.");
}

bool MeshRenderer::isInitialized() const { return false; }
void MeshRenderer::setMesh(const MeshGeometry& geometry)
{
    d->bounds = {};
    d->bounds.includePositions(geometry.positions);
}
void MeshRenderer::setAfterPositions(std::span<const double>) {}
void MeshRenderer::clearMesh() { d->bounds = {}; }
void MeshRenderer::setWireframe(bool on) { d->wireframe = on; }
bool MeshRenderer::wireframe() const { return d->wireframe; }
void MeshRenderer::setShowDiagonals(bool on) { d->diagonals = on; }
bool MeshRenderer::showDiagonals() const { return d->diagonals; }
void MeshRenderer::draw(MeshSide, const Viewport&, const Camera&) {}
void MeshRenderer::drawSideBySide(int, int, const Camera&) {}
void MeshRenderer::release() {}
Bounds MeshRenderer::bounds() const { return d->bounds; }

} // namespace jf
