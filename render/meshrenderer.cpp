#include "render/meshrenderer.h"

#include "render/glfunctions.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

namespace jf {

namespace {

using namespace gl;

constexpr GLuint kPositionAttribute = 0;

// GLSL 1.20 has no flat interpolation and no geometry stage; the screen-space derivatives of the
// eye-space position span the plane of the triangle being filled, so their cross product is that
// triangle's normal, whatever the winding and without a normal per corner.
constexpr const char* kVertexSource = R"(#version 120
attribute vec3 position;
uniform mat4 modelView;
uniform mat4 projection;
varying vec3 eyePosition;
void main()
{
    vec4 eye = modelView * vec4(position, 1.0);
    eyePosition = eye.xyz;
    gl_Position = projection * eye;
}
)";

constexpr const char* kFragmentSource = R"(#version 120
varying vec3 eyePosition;
uniform vec4 color;
uniform int lit;
void main()
{
    if (lit == 0) {
        gl_FragColor = color;
        return;
    }
    vec3 n = cross(dFdx(eyePosition), dFdy(eyePosition));
    float len = length(n);
    n = len > 0.0 ? n / len : vec3(0.0, 0.0, 1.0);
    // Both faces of a sheet are lit alike: files do not agree on which way their polygons wind.
    if (dot(n, eyePosition) > 0.0)
        n = -n;
    vec3 key = normalize(vec3(-0.45, 0.65, 0.6));
    vec3 fill = normalize(vec3(0.6, -0.2, 0.75));
    float light = 0.18 + 0.72 * max(dot(n, key), 0.0) + 0.25 * max(dot(n, fill), 0.0);
    gl_FragColor = vec4(color.rgb * light, 1.0);
}
)";

struct Rgba
{
    float r, g, b, a;
};
constexpr Rgba kBackground{0.17f, 0.18f, 0.20f, 1.0f};
constexpr Rgba kSurface{0.80f, 0.80f, 0.78f, 1.0f};
constexpr Rgba kWire{0.08f, 0.09f, 0.11f, 1.0f};
constexpr Rgba kDiagonal{0.95f, 0.55f, 0.15f, 1.0f};
constexpr Rgba kPoint{0.88f, 0.88f, 0.85f, 1.0f};
constexpr float kPointPixels = 3.0f;

// Keeps the primitives (runs of `per` indices) whose indices all name a usable vertex.
std::vector<std::uint32_t> usable(std::span<const std::uint32_t> indices, std::size_t per,
                                  std::size_t vertexCount, const std::vector<std::uint8_t>& bad)
{
    std::vector<std::uint32_t> kept;
    kept.reserve(indices.size() - indices.size() % per);
    for (std::size_t i = 0; i + per <= indices.size(); i += per) {
        bool ok = true;
        for (std::size_t k = 0; k < per && ok; ++k) {
            const std::uint32_t v = indices[i + k];
            ok = v < vertexCount && (bad.empty() || !bad[v]);
        }
        if (ok)
            kept.insert(kept.end(), indices.begin() + static_cast<std::ptrdiff_t>(i),
                        indices.begin() + static_cast<std::ptrdiff_t>(i + per));
    }
    return kept;
}

std::array<float, 16> toFloat(const Matrix4& m)
{
    std::array<float, 16> f{};
    for (std::size_t i = 0; i < 16; ++i)
        f[i] = static_cast<float>(m[i]);
    return f;
}

Matrix4 multiply(const Matrix4& a, const Matrix4& b)
{
    Matrix4 r{};
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row) {
            double s = 0;
            for (int k = 0; k < 4; ++k)
                s += a[k * 4 + row] * b[c * 4 + k];
            r[c * 4 + row] = s;
        }
    return r;
}

} // namespace

struct MeshRenderer::State
{
    Functions f;
    bool ready = false;
    GLuint program = 0;
    GLint modelViewLocation = -1, projectionLocation = -1, colorLocation = -1, litLocation = -1;

    bool wireframe = false;
    bool diagonals = false;

    // The mesh as uploaded: positions are (p - origin) * scale, which keeps the floats' precision
    // for a mesh far from the origin and keeps a huge one inside the float range.
    std::size_t vertexCount = 0;
    std::array<double, 3> origin{0, 0, 0};
    double scale = 1.0;
    std::vector<std::uint32_t> triangles, edges, diagonalPairs;
    std::vector<std::uint8_t> beforeBad; // empty when every Before position is usable
    std::vector<std::uint8_t> appliedBad; // the mask the index buffers were filtered with
    Bounds beforeBounds, afterBounds;

    GLuint beforeBuffer = 0, afterBuffer = 0;
    GLuint triangleBuffer = 0, edgeBuffer = 0, diagonalBuffer = 0, pointBuffer = 0;
    std::size_t triangleIndices = 0, edgeIndices = 0, diagonalIndices = 0, pointIndices = 0;

    GLuint compile(GLenum type, const char* source, std::string& log);
    // Converts to floats for the card; marks the vertices that cannot be drawn in `bad` (sized
    // vertexCount, or left empty when all can).
    std::vector<float> convert(std::span<const double> positions, std::vector<std::uint8_t>& bad) const;
    void upload(GLenum target, GLuint& buffer, const void* data, std::size_t bytes);
    void uploadIndices(const std::vector<std::uint8_t>& bad);
    void freeBuffers();
    void drawIndexed(GLenum mode, GLuint buffer, std::size_t count, std::size_t per);
};

GLuint MeshRenderer::State::compile(GLenum type, const char* source, std::string& log)
{
    const GLuint shader = f.CreateShader(type);
    f.ShaderSource(shader, 1, &source, nullptr);
    f.CompileShader(shader);
    GLint ok = 0;
    f.GetShaderiv(shader, kCompileStatus, &ok);
    if (!ok) {
        GLint length = 0;
        f.GetShaderiv(shader, kInfoLogLength, &length);
        log.assign(static_cast<std::size_t>(std::max(length, 1)), '\0');
        f.GetShaderInfoLog(shader, static_cast<GLsizei>(log.size()), nullptr, log.data());
        log.resize(std::strlen(log.c_str()));
        f.DeleteShader(shader);
        return 0;
    }
    return shader;
}

std::vector<float> MeshRenderer::State::convert(std::span<const double> positions,
                                                std::vector<std::uint8_t>& bad) const
{
    std::vector<float> out(vertexCount * 3);
    bad.clear();
    for (std::size_t v = 0; v < vertexCount; ++v) {
        bool ok = true;
        for (std::size_t k = 0; k < 3; ++k) {
            const float c = static_cast<float>((positions[v * 3 + k] - origin[k]) * scale);
            ok = ok && std::isfinite(c);
            out[v * 3 + k] = std::isfinite(c) ? c : 0.0f;
        }
        if (!ok) {
            if (bad.empty())
                bad.assign(vertexCount, 0);
            bad[v] = 1;
        }
    }
    return out;
}

void MeshRenderer::State::upload(GLenum target, GLuint& buffer, const void* data, std::size_t bytes)
{
    if (bytes == 0) {
        if (buffer)
            f.DeleteBuffers(1, &buffer);
        buffer = 0;
        return;
    }
    if (!buffer)
        f.GenBuffers(1, &buffer);
    f.BindBuffer(target, buffer);
    f.BufferData(target, static_cast<GLsizeiptr>(bytes), data, kStaticDraw);
    f.BindBuffer(target, 0);
}

void MeshRenderer::State::uploadIndices(const std::vector<std::uint8_t>& bad)
{
    const auto put = [&](const std::vector<std::uint32_t>& source, std::size_t per, GLuint& buffer,
                         std::size_t& count) {
        const std::vector<std::uint32_t> kept = usable(source, per, vertexCount, bad);
        upload(kElementArrayBuffer, buffer, kept.data(), kept.size() * sizeof(std::uint32_t));
        count = kept.size();
    };
    put(triangles, 3, triangleBuffer, triangleIndices);
    put(edges, 2, edgeBuffer, edgeIndices);
    put(diagonalPairs, 2, diagonalBuffer, diagonalIndices);
    // A mesh without faces shows its vertices instead.
    std::vector<std::uint32_t> points;
    if (triangles.empty()) {
        for (std::size_t v = 0; v < vertexCount; ++v)
            if (bad.empty() || !bad[v])
                points.push_back(static_cast<std::uint32_t>(v));
    }
    upload(kElementArrayBuffer, pointBuffer, points.data(), points.size() * sizeof(std::uint32_t));
    pointIndices = points.size();
    appliedBad = bad;
}

void MeshRenderer::State::freeBuffers()
{
    for (GLuint* b : {&beforeBuffer, &afterBuffer, &triangleBuffer, &edgeBuffer, &diagonalBuffer, &pointBuffer}) {
        if (*b)
            f.DeleteBuffers(1, b);
        *b = 0;
    }
    triangleIndices = edgeIndices = diagonalIndices = pointIndices = 0;
}

void MeshRenderer::State::drawIndexed(GLenum mode, GLuint buffer, std::size_t count, std::size_t per)
{
    if (!buffer || count == 0)
        return;
    f.BindBuffer(kElementArrayBuffer, buffer);
    // A draw call counts in a GLsizei; a longer list goes in whole primitives a call.
    const std::size_t most = static_cast<std::size_t>(INT_MAX) / per * per;
    for (std::size_t first = 0; first < count; first += most) {
        const std::size_t n = std::min(most, count - first);
        f.DrawElements(mode, static_cast<GLsizei>(n), kUnsignedInt,
                       reinterpret_cast<const void*>(first * sizeof(std::uint32_t)));
    }
    f.BindBuffer(kElementArrayBuffer, 0);
}

MeshRenderer::MeshRenderer() : d(std::make_unique<State>()) {}
MeshRenderer::~MeshRenderer() = default;

std::optional<std::string> MeshRenderer::initialize(const GlProcLoader& getProcAddress)
{
    if (d->ready)
        return std::nullopt;
    if (auto error = d->f.load(getProcAddress))
        return "OpenGL cannot be used: " + *error + ".";
    const auto* versionText = reinterpret_cast<const char*>(d->f.GetString(kVersion));
    const auto version = gl::parseDesktopVersion(versionText);
    if (!version || *version < std::pair{2, 1}) {
        d->f = {};
        return std::string("OpenGL 2.1 or later is needed; this display offers ")
               + (versionText ? versionText : "no OpenGL version") + ".";
    }
    std::string log;
    const GLuint vs = d->compile(gl::kVertexShader, kVertexSource, log);
    const GLuint fs = vs ? d->compile(gl::kFragmentShader, kFragmentSource, log) : 0;
    if (!vs || !fs) {
        if (vs)
            d->f.DeleteShader(vs);
        d->f = {};
        return "The display's OpenGL did not accept the preview's shaders: " + log;
    }
    d->program = d->f.CreateProgram();
    d->f.AttachShader(d->program, vs);
    d->f.AttachShader(d->program, fs);
    d->f.BindAttribLocation(d->program, kPositionAttribute, "position");
    d->f.LinkProgram(d->program);
    d->f.DeleteShader(vs);
    d->f.DeleteShader(fs);
    GLint linked = 0;
    d->f.GetProgramiv(d->program, kLinkStatus, &linked);
    if (!linked) {
        GLint length = 0;
        d->f.GetProgramiv(d->program, kInfoLogLength, &length);
        log.assign(static_cast<std::size_t>(std::max(length, 1)), '\0');
        d->f.GetProgramInfoLog(d->program, static_cast<GLsizei>(log.size()), nullptr, log.data());
        d->f.DeleteProgram(d->program);
        d->program = 0;
        d->f = {};
        return "The display's OpenGL did not accept the preview's shaders: " + log;
    }
    d->modelViewLocation = d->f.GetUniformLocation(d->program, "modelView");
    d->projectionLocation = d->f.GetUniformLocation(d->program, "projection");
    d->colorLocation = d->f.GetUniformLocation(d->program, "color");
    d->litLocation = d->f.GetUniformLocation(d->program, "lit");
    d->ready = true;
    return std::nullopt;
}

bool MeshRenderer::isInitialized() const
{
    return d->ready;
}

void MeshRenderer::setMesh(const MeshGeometry& geometry)
{
    State& s = *d;
    s.vertexCount = geometry.positions.size() / 3;
    s.beforeBounds = {};
    s.beforeBounds.includePositions(geometry.positions);
    s.afterBounds = s.beforeBounds;
    s.origin = s.beforeBounds.center();
    const double radius = s.beforeBounds.radius();
    s.scale = radius > 0.0 && std::isfinite(1.0 / radius) ? 1.0 / radius : 1.0;
    s.triangles.assign(geometry.triangles.begin(), geometry.triangles.end());
    s.edges.assign(geometry.edges.begin(), geometry.edges.end());
    s.diagonalPairs.assign(geometry.diagonals.begin(), geometry.diagonals.end());
    if (!s.ready)
        return;
    const std::vector<float> floats = s.convert(geometry.positions, s.beforeBad);
    s.upload(kArrayBuffer, s.beforeBuffer, floats.data(), floats.size() * sizeof(float));
    s.upload(kArrayBuffer, s.afterBuffer, nullptr, 0);
    s.uploadIndices(s.beforeBad);
}

void MeshRenderer::setAfterPositions(std::span<const double> positions)
{
    State& s = *d;
    if (positions.size() / 3 != s.vertexCount || positions.size() % 3 != 0)
        return;
    s.afterBounds = {};
    s.afterBounds.includePositions(positions);
    if (!s.ready)
        return;
    std::vector<std::uint8_t> afterBad;
    const std::vector<float> floats = s.convert(positions, afterBad);
    s.upload(kArrayBuffer, s.afterBuffer, floats.data(), floats.size() * sizeof(float));
    // The topology is shared, so a vertex either side cannot draw is left out of both.
    std::vector<std::uint8_t> bad = s.beforeBad;
    if (!afterBad.empty()) {
        if (bad.empty())
            bad = std::move(afterBad);
        else
            for (std::size_t v = 0; v < bad.size(); ++v)
                bad[v] |= afterBad[v];
    }
    if (bad != s.appliedBad)
        s.uploadIndices(bad);
}

void MeshRenderer::clearMesh()
{
    State& s = *d;
    s.vertexCount = 0;
    s.triangles.clear();
    s.edges.clear();
    s.diagonalPairs.clear();
    s.beforeBad.clear();
    s.appliedBad.clear();
    s.beforeBounds = s.afterBounds = {};
    if (s.ready)
        s.freeBuffers();
}

void MeshRenderer::setWireframe(bool on)
{
    d->wireframe = on;
}

bool MeshRenderer::wireframe() const
{
    return d->wireframe;
}

void MeshRenderer::setShowDiagonals(bool on)
{
    d->diagonals = on;
}

bool MeshRenderer::showDiagonals() const
{
    return d->diagonals;
}

void MeshRenderer::draw(MeshSide side, const Viewport& viewport, const Camera& camera)
{
    State& s = *d;
    if (!s.ready || viewport.width <= 0 || viewport.height <= 0)
        return;
    const Functions& f = s.f;
    f.Enable(kScissorTest);
    f.Scissor(viewport.x, viewport.y, viewport.width, viewport.height);
    f.Viewport(viewport.x, viewport.y, viewport.width, viewport.height);
    f.ClearColor(kBackground.r, kBackground.g, kBackground.b, kBackground.a);
    f.DepthMask(1);
    f.ClearDepth(1.0);
    f.Clear(kColorBufferBit | kDepthBufferBit);

    const GLuint positions = side == MeshSide::After && s.afterBuffer ? s.afterBuffer : s.beforeBuffer;
    if (positions) {
        // The uploaded positions are (p - origin) * scale; undo that in doubles before the view.
        const double k = 1.0 / s.scale;
        const Matrix4 model = {k, 0, 0, 0, 0, k, 0, 0, 0, 0, k, 0, s.origin[0], s.origin[1], s.origin[2], 1};
        const auto modelView = toFloat(multiply(camera.viewMatrix(), model));
        const auto projection = toFloat(camera.projectionMatrix(double(viewport.width) / viewport.height));

        f.Enable(kDepthTest);
        f.DepthFunc(kLequal);
        f.Disable(kCullFace);
        f.Disable(kBlend);
        f.UseProgram(s.program);
        f.UniformMatrix4fv(s.modelViewLocation, 1, kFalse, modelView.data());
        f.UniformMatrix4fv(s.projectionLocation, 1, kFalse, projection.data());
        f.BindBuffer(kArrayBuffer, positions);
        f.EnableVertexAttribArray(kPositionAttribute);
        f.VertexAttribPointer(kPositionAttribute, 3, kFloat, kFalse, 0, nullptr);

        const auto color = [&](const Rgba& c) { f.Uniform4f(s.colorLocation, c.r, c.g, c.b, c.a); };
        if (s.triangleIndices > 0) {
            // The surface steps back a little so that the lines over it are not half buried.
            f.Enable(kPolygonOffsetFill);
            f.PolygonOffset(1.0f, 1.0f);
            f.Uniform1i(s.litLocation, 1);
            color(kSurface);
            s.drawIndexed(kTriangles, s.triangleBuffer, s.triangleIndices, 3);
            f.Disable(kPolygonOffsetFill);
            if (s.wireframe) {
                f.Uniform1i(s.litLocation, 0);
                color(kWire);
                s.drawIndexed(kLines, s.edgeBuffer, s.edgeIndices, 2);
                if (s.diagonals) {
                    color(kDiagonal);
                    s.drawIndexed(kLines, s.diagonalBuffer, s.diagonalIndices, 2);
                }
            }
        } else {
            f.Uniform1i(s.litLocation, 0);
            color(kPoint);
            f.PointSize(kPointPixels);
            s.drawIndexed(kPoints, s.pointBuffer, s.pointIndices, 1);
        }
        f.DisableVertexAttribArray(kPositionAttribute);
        f.BindBuffer(kArrayBuffer, 0);
        f.UseProgram(0);
        f.Disable(kDepthTest);
    }
    f.Disable(kScissorTest);
}

void MeshRenderer::clear(int width, int height)
{
    if (!d->ready || width <= 0 || height <= 0)
        return;
    d->f.Disable(kScissorTest);
    d->f.Viewport(0, 0, width, height);
    d->f.ClearColor(kBackground.r, kBackground.g, kBackground.b, kBackground.a);
    d->f.DepthMask(1);
    d->f.ClearDepth(1.0);
    d->f.Clear(kColorBufferBit | kDepthBufferBit);
}

void MeshRenderer::drawSideBySide(int width, int height, const Camera& camera)
{
    if (!d->ready || width <= 0 || height <= 0)
        return;
    const int half = width / 2;
    if (width % 2 != 0)
        clear(width, height);
    draw(MeshSide::Before, {0, 0, half, height}, camera);
    draw(MeshSide::After, {half, 0, half, height}, camera);
}

void MeshRenderer::release()
{
    State& s = *d;
    if (!s.ready)
        return;
    s.freeBuffers();
    if (s.program)
        s.f.DeleteProgram(s.program);
    s.program = 0;
    s.ready = false;
    s.f = {};
}

Bounds MeshRenderer::bounds() const
{
    Bounds b = d->beforeBounds;
    if (!d->afterBounds.empty) {
        b.include(d->afterBounds.min[0], d->afterBounds.min[1], d->afterBounds.min[2]);
        b.include(d->afterBounds.max[0], d->afterBounds.max[1], d->afterBounds.max[2]);
    }
    return b;
}

} // namespace jf
