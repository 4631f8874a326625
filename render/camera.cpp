#include "render/camera.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace jf {

namespace {

constexpr double kDefaultYaw = 0.5;     // a little from the right
constexpr double kDefaultPitch = 0.35;  // and from above, so the top and a side read as faces
constexpr double kPitchLimit = 1.55;    // just short of straight up or down
constexpr double kZoomRatio = 0.85;     // a wheel notch's change of distance
constexpr double kMinDistanceRatio = 1e-3;
constexpr double kMaxDistanceRatio = 1e3;

using Vec3 = std::array<double, 3>;

Vec3 cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

double dot(const Vec3& a, const Vec3& b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// The unit vector from the target towards the eye.
Vec3 backward(double yaw, double pitch)
{
    return {std::cos(pitch) * std::sin(yaw), std::sin(pitch), std::cos(pitch) * std::cos(yaw)};
}

} // namespace

void Bounds::include(double x, double y, double z)
{
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z))
        return;
    if (empty) {
        min = max = {x, y, z};
        empty = false;
        return;
    }
    const double p[3] = {x, y, z};
    for (int i = 0; i < 3; ++i) {
        min[i] = std::min(min[i], p[i]);
        max[i] = std::max(max[i], p[i]);
    }
}

void Bounds::includePositions(std::span<const double> xyz)
{
    for (std::size_t i = 0; i + 3 <= xyz.size(); i += 3)
        include(xyz[i], xyz[i + 1], xyz[i + 2]);
}

std::array<double, 3> Bounds::center() const
{
    if (empty)
        return {0, 0, 0};
    // Halves first: the sum of two coordinates near the largest double would overflow.
    return {min[0] / 2 + max[0] / 2, min[1] / 2 + max[1] / 2, min[2] / 2 + max[2] / 2};
}

double Bounds::radius() const
{
    if (empty)
        return 0.0;
    const double r = std::hypot(max[0] / 2 - min[0] / 2, max[1] / 2 - min[1] / 2, max[2] / 2 - min[2] / 2);
    return std::isfinite(r) ? r : 0.0;
}

void Camera::fit(const Bounds& box)
{
    m_target = box.center();
    m_radius = box.radius();
    if (!(m_radius > 0.0) || !std::isfinite(m_radius))
        m_radius = 1.0;
    m_yaw = kDefaultYaw;
    m_pitch = kDefaultPitch;
    const double halfFov = kFieldOfViewDegrees * std::numbers::pi / 360.0;
    // The bounding sphere touches the view's narrower sides; a margin keeps the silhouette clear.
    m_distance = 1.1 * m_radius / std::sin(halfFov);
}

void Camera::orbit(double dx, double dy, int viewportHeight)
{
    const double perPixel = std::numbers::pi / std::max(viewportHeight, 1);
    m_yaw = std::remainder(m_yaw - dx * perPixel, 2 * std::numbers::pi);
    m_pitch = std::clamp(m_pitch + dy * perPixel, -kPitchLimit, kPitchLimit);
}

void Camera::pan(double dx, double dy, int viewportHeight)
{
    const Vec3 back = backward(m_yaw, m_pitch);
    const Vec3 right = {std::cos(m_yaw), 0.0, -std::sin(m_yaw)};
    const Vec3 up = cross(back, right);
    const double halfFov = kFieldOfViewDegrees * std::numbers::pi / 360.0;
    const double perPixel = 2.0 * m_distance * std::tan(halfFov) / std::max(viewportHeight, 1);
    for (int i = 0; i < 3; ++i)
        m_target[i] += (-dx * right[i] + dy * up[i]) * perPixel;
}

void Camera::zoom(double steps)
{
    m_distance = std::clamp(m_distance * std::pow(kZoomRatio, steps), m_radius * kMinDistanceRatio,
                            m_radius * kMaxDistanceRatio);
}

Matrix4 Camera::viewMatrix() const
{
    const Vec3 back = backward(m_yaw, m_pitch);
    const Vec3 right = {std::cos(m_yaw), 0.0, -std::sin(m_yaw)};
    const Vec3 up = cross(back, right);
    const Vec3 eye = {m_target[0] + back[0] * m_distance, m_target[1] + back[1] * m_distance,
                      m_target[2] + back[2] * m_distance};
    return {right[0], up[0], back[0], 0,
            right[1], up[1], back[1], 0,
            right[2], up[2], back[2], 0,
            -dot(right, eye), -dot(up, eye), -dot(back, eye), 1};
}

Matrix4 Camera::projectionMatrix(double aspect) const
{
    if (!(aspect > 0.0) || !std::isfinite(aspect))
        aspect = 1.0;
    const double halfFov = kFieldOfViewDegrees * std::numbers::pi / 360.0;
    double f = 1.0 / std::tan(halfFov);
    // A view wider than high keeps the vertical angle; a taller one keeps the horizontal one, so the
    // fitted mesh shows whole in either.
    const double fx = aspect >= 1.0 ? f / aspect : f;
    const double fy = aspect >= 1.0 ? f : f * aspect;
    const double farPlane = m_distance + 2.0 * m_radius;
    const double nearPlane = std::max(m_distance - 2.0 * m_radius, farPlane * 1e-4);
    return {fx, 0, 0, 0,
            0, fy, 0, 0,
            0, 0, (farPlane + nearPlane) / (nearPlane - farPlane), -1,
            0, 0, 2 * farPlane * nearPlane / (nearPlane - farPlane), 0};
}

} // namespace jf
