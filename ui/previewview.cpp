#include "ui/previewview.h"

#include "render/framememory.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QWheelEvent>

namespace jf {

namespace {

GlProcLoader loaderOf(QOpenGLContext* context)
{
    return [context](const char* name) -> void* {
        return reinterpret_cast<void*>(context->getProcAddress(name));
    };
}

} // namespace

std::optional<QString> previewOpenGlProblem()
{
    if (qEnvironmentVariableIsSet("JITTERFORM_NO_OPENGL"))
        return QStringLiteral("The preview cannot be shown: OpenGL is switched off for this program "
                              "(JITTERFORM_NO_OPENGL is set).");
    QOpenGLContext context;
    if (!context.create())
        return QStringLiteral("The preview cannot be shown: this display offers no OpenGL (a remote "
                              "display without GLX, say). Everything else works as before.");
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!context.makeCurrent(&surface))
        return QStringLiteral("The preview cannot be shown: the display's OpenGL context cannot be used.");
    MeshRenderer probe;
    const std::optional<std::string> problem = probe.initialize(loaderOf(&context));
    probe.release();
    context.doneCurrent();
    if (problem)
        return QStringLiteral("The preview cannot be shown. ") + QString::fromStdString(*problem);
    return std::nullopt;
}

PreviewView::PreviewView(QWidget* parent) : QOpenGLWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(160, 90);
}

PreviewView::~PreviewView()
{
    releaseGl();
    // The base class destroys the context after this object is gone: its signal must not reach us.
    if (context() != nullptr)
        disconnect(context(), nullptr, this, nullptr);
}

void PreviewView::releaseGl()
{
    if (!m_renderer.isInitialized() || context() == nullptr)
        return;
    makeCurrent();
    m_renderer.release();
    doneCurrent();
}

void PreviewView::upload()
{
    if (!m_renderer.isInitialized())
        return;
    if (!m_mesh) {
        m_renderer.clearMesh();
        return;
    }
    m_renderer.setMesh({m_mesh->positions, m_mesh->triangles, m_mesh->edges, m_mesh->diagonals});
    if (!m_after.empty())
        m_renderer.setAfterPositions(m_after);
}

void PreviewView::setMesh(std::shared_ptr<const PreviewMesh> mesh)
{
    m_mesh = std::move(mesh);
    m_after.clear();
    if (m_renderer.isInitialized()) {
        makeCurrent();
        upload();
        doneCurrent();
    }
    fitCamera();
}

void PreviewView::setAfterPositions(std::vector<double> positions)
{
    if (!m_mesh || positions.size() != m_mesh->positions.size())
        return;
    m_after = std::move(positions);
    if (m_renderer.isInitialized()) {
        makeCurrent();
        m_renderer.setAfterPositions(m_after);
        doneCurrent();
    }
    update();
}

void PreviewView::clearMesh()
{
    setMesh(nullptr);
}

void PreviewView::setShowDiagonals(bool on)
{
    m_renderer.setShowDiagonals(on);
    update();
}

void PreviewView::setWireframe(bool on)
{
    m_renderer.setWireframe(on);
    update();
}

void PreviewView::fitCamera()
{
    // The Before positions only: After's noise would move the fit with every change of intensity.
    Bounds box;
    if (m_mesh)
        box.includePositions(m_mesh->positions);
    m_camera.fit(box);
    update();
}

void PreviewView::initializeGL()
{
    // A new context (the first showing, or a move to another top-level window) starts afresh.
    m_renderer.release();
    if (const std::optional<std::string> problem = m_renderer.initialize(loaderOf(context()))) {
        m_failure = QStringLiteral("The preview cannot be shown. ") + QString::fromStdString(*problem);
        emit unavailable(*m_failure);
        return;
    }
    m_failure.reset();
    keepFrameMemory();
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, &PreviewView::releaseGl,
            Qt::UniqueConnection);
    upload();
}

void PreviewView::paintGL()
{
    const qreal ratio = devicePixelRatioF();
    const int w = qRound(width() * ratio), h = qRound(height() * ratio);
    if (m_only) {
        m_renderer.clear(w, h);
        m_renderer.draw(*m_only, {0, 0, w / 2, h}, m_camera);
        return;
    }
    m_renderer.drawSideBySide(w, h, m_camera);
}

QImage PreviewView::grabSide(MeshSide side)
{
    m_only = side;
    const QImage all = grabFramebuffer();
    m_only.reset();
    update();
    return all.copy(0, 0, all.width() / 2, all.height());
}

void PreviewView::mousePressEvent(QMouseEvent* event)
{
    m_last = event->position().toPoint();
    if (event->button() == Qt::MiddleButton ||
        (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier)))
        m_drag = Drag::Pan;
    else if (event->button() == Qt::LeftButton)
        m_drag = Drag::Orbit;
}

void PreviewView::mouseMoveEvent(QMouseEvent* event)
{
    if (m_drag == Drag::None)
        return;
    const QPoint at = event->position().toPoint();
    const QPoint delta = at - m_last;
    m_last = at;
    if (m_drag == Drag::Orbit)
        m_camera.orbit(delta.x(), delta.y(), height());
    else
        m_camera.pan(delta.x(), delta.y(), height());
    update();
}

void PreviewView::mouseReleaseEvent(QMouseEvent*)
{
    m_drag = Drag::None;
}

void PreviewView::mouseDoubleClickEvent(QMouseEvent*)
{
    fitCamera();
}

void PreviewView::wheelEvent(QWheelEvent* event)
{
    m_camera.zoom(event->angleDelta().y() / 120.0);
    update();
}

void PreviewView::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Home:
        fitCamera();
        return;
    case Qt::Key_W:
        setWireframe(!wireframe());
        return;
    default:
        QOpenGLWidget::keyPressEvent(event);
    }
}

} // namespace jf
