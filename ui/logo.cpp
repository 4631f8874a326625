#include "ui/logo.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace jf {

namespace {

constexpr int kRings = 11;
constexpr int kSegments = 14;
constexpr double kPi = 3.14159265358979323846;

// A fixed pseudo-random offset in [-1, 1] for each vertex, so the picture is the same every time.
double jitter(int ring, int segment, int axis)
{
    std::uint32_t h = static_cast<std::uint32_t>(ring * 73856093) ^
                      static_cast<std::uint32_t>(segment * 19349663) ^
                      static_cast<std::uint32_t>(axis * 83492791);
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return (h & 0xffff) / 32767.5 - 1.0;
}

// The vase's radius at height t in [0, 1], bottom to top, as a fraction of the half width.
double profile(double t)
{
    const auto bump = [t](double centre, double width) {
        return std::exp(-std::pow((t - centre) / width, 2.0));
    };
    return 0.35 + 0.2 * (1.0 - t) + 0.65 * bump(0.35, 0.25) + 0.18 * bump(1.0, 0.1);
}

struct Vertex
{
    QPointF point;
    double depth; // towards the viewer: positive in front
};

// Draws the roughened vase into `area` (logical coordinates of the painter).
void drawMesh(QPainter& painter, const QRectF& area)
{
    const double halfWidth = area.width() * 0.40;
    const double top = area.top() + area.height() * 0.08;
    const double height = area.height() * 0.84;
    const double tilt = 0.22; // how far the rings are seen from above
    const double roughness = area.width() * 0.03;

    std::array<std::array<Vertex, kSegments>, kRings> mesh;
    for (int ring = 0; ring < kRings; ++ring) {
        const double t = 1.0 - double(ring) / (kRings - 1);
        const double radius = halfWidth * profile(t);
        for (int segment = 0; segment < kSegments; ++segment) {
            const double angle = 2.0 * kPi * segment / kSegments;
            const double x =
                area.center().x() + radius * std::cos(angle) + roughness * jitter(ring, segment, 0);
            const double y = top + height * ring / (kRings - 1) + radius * tilt * std::sin(angle) +
                             roughness * jitter(ring, segment, 1);
            mesh[ring][segment] = {QPointF(x, y), std::sin(angle)};
        }
    }

    struct Face
    {
        QPolygonF corners;
        double depth;
        double light;
    };
    std::vector<Face> faces;
    faces.reserve((kRings - 1) * kSegments * 2);
    for (int ring = 0; ring + 1 < kRings; ++ring) {
        for (int segment = 0; segment < kSegments; ++segment) {
            const int next = (segment + 1) % kSegments;
            const Vertex& a = mesh[ring][segment];
            const Vertex& b = mesh[ring][next];
            const Vertex& c = mesh[ring + 1][next];
            const Vertex& d = mesh[ring + 1][segment];
            const double angle = 2.0 * kPi * (segment + 0.5) / kSegments;
            // Light from the upper left, with the roughness showing as uneven shading.
            const double light = 0.55 + 0.35 * std::cos(angle - 2.3) + 0.08 * jitter(ring, segment, 2);
            const double depth = (a.depth + b.depth + c.depth + d.depth) / 4.0;
            faces.push_back({QPolygonF({a.point, b.point, c.point}), depth, light});
            faces.push_back({QPolygonF({a.point, c.point, d.point}), depth, light * 0.93});
        }
    }
    std::stable_sort(faces.begin(), faces.end(),
                     [](const Face& x, const Face& y) { return x.depth < y.depth; });

    painter.setRenderHint(QPainter::Antialiasing);
    QPen edge(QColor(220, 240, 255, 150), std::max(0.6, area.width() / 180.0));
    edge.setJoinStyle(Qt::RoundJoin);
    for (const Face& face : faces) {
        const double l = std::clamp(face.light, 0.0, 1.0);
        const QColor fill =
            QColor::fromRgbF(float(0.10 + 0.55 * l), float(0.38 + 0.45 * l), float(0.52 + 0.40 * l));
        painter.setBrush(fill);
        painter.setPen(face.depth > -0.2 ? edge : Qt::NoPen);
        painter.drawPolygon(face.corners);
    }
}

} // namespace

QPixmap drawLogo(QSize size, qreal devicePixelRatio)
{
    QPixmap pixmap(size * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    QPainter painter(&pixmap);
    const QRectF area(QPointF(0, 0), QSizeF(size));
    QLinearGradient sky(area.topLeft(), area.bottomLeft());
    sky.setColorAt(0.0, QColor(28, 42, 60));
    sky.setColorAt(1.0, QColor(10, 16, 24));
    painter.fillRect(area, sky);
    drawMesh(painter, area.adjusted(area.width() * 0.06, 0, -area.width() * 0.06, 0));
    return pixmap;
}

QIcon applicationIcon()
{
    QIcon icon;
    for (const int side : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF tile(side * 0.04, side * 0.04, side * 0.92, side * 0.92);
        QLinearGradient sky(tile.topLeft(), tile.bottomLeft());
        sky.setColorAt(0.0, QColor(28, 42, 60));
        sky.setColorAt(1.0, QColor(10, 16, 24));
        painter.setPen(Qt::NoPen);
        painter.setBrush(sky);
        painter.drawRoundedRect(tile, side * 0.18, side * 0.18);
        drawMesh(painter, QRectF(side * 0.22, side * 0.06, side * 0.56, side * 0.88));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace jf
