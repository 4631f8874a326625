#pragma once

#include "render/camera.h"
#include "preview/displaymodel.h"
#include "render/meshrenderer.h"

#include <QImage>
#include <QOpenGLWidget>
#include <QPoint>

#include <memory>
#include <optional>
#include <vector>

namespace jf {

// The preview's drawing surface: Before on its left half and After on its right half, one camera for
// both. Left drag orbits, middle drag (or Shift and left drag) pans, the wheel zooms, Home or a
// double-click fits the mesh, W turns the wireframe on and off.
class PreviewView : public QOpenGLWidget
{
    Q_OBJECT

public:
    explicit PreviewView(QWidget* parent = nullptr);
    ~PreviewView() override;

    // Shows a new mesh on both sides (After as Before until setAfterPositions()) and fits the camera.
    void setMesh(std::shared_ptr<const PreviewMesh> mesh);
    // After's positions: as many as the mesh's, else ignored.
    void setAfterPositions(std::vector<double> positions);
    void clearMesh();
    void setShowDiagonals(bool on);
    void setWireframe(bool on);
    bool wireframe() const { return m_renderer.wireframe(); }
    void fitCamera();
    Camera& camera() { return m_camera; }

    // One side as it is drawn now, alone at the place of Before and with Before's size. The halves of
    // a side-by-side picture can differ in the last bit of a few pixels, as the software rasteriser
    // rounds by where on the framebuffer a triangle falls; this puts both at the same place.
    QImage grabSide(MeshSide side);

    // Why the view cannot draw, once the widget's context has been tried; nothing while it can.
    std::optional<QString> failure() const { return m_failure; }

signals:
    // The widget's OpenGL turned out unusable; the window shows `reason` instead of the views.
    void unavailable(const QString& reason);

protected:
    void initializeGL() override;
    void paintGL() override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Puts the kept mesh on the graphics card; the context must be current.
    void upload();
    void releaseGl();

    MeshRenderer m_renderer;
    Camera m_camera;
    std::optional<QString> m_failure;
    // Kept so that a context made later (the first showing, a new top-level window) gets them too.
    std::shared_ptr<const PreviewMesh> m_mesh;
    std::vector<double> m_after;
    std::optional<MeshSide> m_only; // grabSide() at work
    enum class Drag { None, Orbit, Pan } m_drag = Drag::None;
    QPoint m_last;
};

// Whether this display can draw the preview at all: a context of the default format is made on an
// offscreen surface and the renderer is set up in it. The reason in words when it cannot, which
// includes when the environment variable JITTERFORM_NO_OPENGL is set (for a display whose OpenGL
// misbehaves, and to try the window without it).
std::optional<QString> previewOpenGlProblem();

} // namespace jf
