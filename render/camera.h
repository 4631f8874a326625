#pragma once

// The camera both sides of the preview share: it orbits a target point, pans across the view and
// zooms towards the target. It works in the file's own coordinates, in doubles, so that a mesh far
// from the origin keeps its detail until the last step before the graphics card.

#include <array>
#include <cstddef>
#include <span>

namespace jf {

// A box around the finite points given to it. A point with a NaN or an infinite coordinate is left
// out, so that one broken vertex cannot shrink the mesh to a speck.
struct Bounds
{
    std::array<double, 3> min{0, 0, 0};
    std::array<double, 3> max{0, 0, 0};
    bool empty = true;

    void include(double x, double y, double z);
    // `xyz` holds 3 doubles a point; a trailing partial point is ignored.
    void includePositions(std::span<const double> xyz);
    std::array<double, 3> center() const;
    // Half the box's diagonal; 0 for an empty box or a single point.
    double radius() const;
};

// Column-major 4x4 matrices, as OpenGL takes them.
using Matrix4 = std::array<double, 16>;

class Camera
{
public:
    // Looks at the whole box from the front, a little from above and the right, at a distance
    // at which the box fills the view of the narrower side. An empty or point-sized box gets a
    // unit-sized view around its centre (or the origin), so the matrices stay finite.
    void fit(const Bounds& box);

    // Turns around the target: `dx`, `dy` in pixels of a view `viewportHeight` pixels high; a
    // drag across the view's height turns about half a turn. Looking straight up or down is stopped
    // short so that "up" stays defined.
    void orbit(double dx, double dy, int viewportHeight);
    // Moves the target so that the point under the pointer follows it (at the target's depth).
    void pan(double dx, double dy, int viewportHeight);
    // `steps` in wheel notches (positive towards the target); each notch is a fixed ratio of the
    // distance, so zooming never passes through the target.
    void zoom(double steps);

    Matrix4 viewMatrix() const;
    // `aspect` is width / height of the view it is drawn into; the near and far planes bracket the
    // fitted box wherever the camera is.
    Matrix4 projectionMatrix(double aspect) const;

    std::array<double, 3> target() const { return m_target; }
    double distance() const { return m_distance; }
    double yaw() const { return m_yaw; }
    double pitch() const { return m_pitch; }
    // The fitted box's radius, which sets the clip planes and the zoom limits.
    double sceneRadius() const { return m_radius; }

    static constexpr double kFieldOfViewDegrees = 30.0;

private:
    std::array<double, 3> m_target{0, 0, 0};
    double m_distance = 4.0;
    double m_radius = 1.0;
    double m_yaw = 0.0;   // radians about the vertical axis
    double m_pitch = 0.0; // radians above the horizontal
};

} // namespace jf
