#include "render/meshrenderer.h"

#include "render/glfunctions.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace jf {

namespace {

using namespace gl;

// Attribute locations, bound before the program links.
constexpr GLuint kPositionAttribute = 0;
constexpr GLuint kNormalAttribute = 1;
constexpr GLuint kCornerAttribute = 2;
constexpr GLuint kSidesAttribute = 3;

// Every triangle is sent as three corners of its own, each carrying the triangle's normal, so that
// the light is worked out once a corner and the fill only copies it: on a software rasteriser the
// per-pixel derivatives that flat shading needs otherwise cost as much as the triangles themselves.
// The same corners carry where the polygon's sides are, so the wireframe is drawn in the same pass
// rather than as lines, which the rasteriser turns into two triangles each.
// Both stages are compiled twice: with WIREFRAME defined for the wireframe, and without, which
// leaves the fill one colour to interpolate instead of three.
constexpr const char* kVertexSource = R"(
attribute vec3 position;
attribute vec3 normal;
uniform mat4 modelView;
uniform mat4 projection;
uniform vec4 color;
uniform int lit;
varying vec3 shade;
#ifdef WIREFRAME
attribute vec4 corner; // xyz: this corner's own weight 1, the others' 0
attribute vec4 sides;  // xyz: the side facing each corner: 0 none, 1 a polygon's side, 2 a split diagonal
varying vec3 weights;
varying vec3 sideKinds;
#endif
void main()
{
    vec4 eye = modelView * vec4(position, 1.0);
    gl_Position = projection * eye;
#ifdef WIREFRAME
    weights = corner.xyz;
    sideKinds = sides.xyz;
#endif
    if (lit == 0) {
        shade = color.rgb;
        return;
    }
    // The view is a rotation and one scale for all axes, so it turns normals as it turns positions.
    vec3 n = mat3(modelView) * normal;
    float len = length(n);
    n = len > 0.0 ? n / len : vec3(0.0, 0.0, 1.0);
    // Both faces of a sheet are lit alike: files do not agree on which way their polygons wind.
    // Every point of the triangle's plane gives this product the same sign, so its corners agree.
    if (dot(n, eye.xyz) > 0.0)
        n = -n;
    vec3 key = normalize(vec3(-0.45, 0.65, 0.6));
    vec3 fill = normalize(vec3(0.6, -0.2, 0.75));
    float light = 0.18 + 0.72 * max(dot(n, key), 0.0) + 0.25 * max(dot(n, fill), 0.0);
    shade = color.rgb * light;
}
)";

constexpr const char* kFragmentSource = R"(
varying vec3 shade;
#ifdef WIREFRAME
uniform int wire; // 1 the polygons' sides, 2 the sides and the split diagonals
uniform vec4 wireColor;
uniform vec4 diagonalColor;
varying vec3 weights;
varying vec3 sideKinds;
#endif
void main()
{
    vec3 c = shade;
#ifdef WIREFRAME
    // A side lies where the weight of the corner facing it is 0: this many pixels away.
    vec3 pixels = weights / max(fwidth(weights), vec3(1e-7));
    // Half a pixel of ink each side of the line; the triangle across draws the other half.
    vec3 ink = vec3(1.0) - smoothstep(vec3(0.0), vec3(1.0), pixels);
    vec3 isSide = step(vec3(0.5), sideKinds) * (vec3(1.0) - step(vec3(1.5), sideKinds));
    vec3 isDiagonal = step(vec3(1.5), sideKinds) * (wire > 1 ? 1.0 : 0.0);
    vec3 sideInk = ink * isSide;
    vec3 diagonalInk = ink * isDiagonal;
    c = mix(c, wireColor.rgb, max(sideInk.x, max(sideInk.y, sideInk.z)));
    c = mix(c, diagonalColor.rgb, max(diagonalInk.x, max(diagonalInk.y, diagonalInk.z)));
#endif
    gl_FragColor = vec4(c, 1.0);
}
)";

// One corner as the card takes it.
struct Corner
{
    float position[3];
    float normal[3];
    std::uint8_t weight[4]; // 255 at this corner, else 0
    std::uint8_t sides[4];  // SideKind of the side facing each corner
};
static_assert(sizeof(Corner) == 32);

enum SideKind : std::uint8_t { NoSide = 0, PolygonSide = 1, SplitDiagonal = 2 };

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

// What OpenGL says about a shader's compile or a program's link, through the matching pair of calls.
template <typename GetParameter, typename GetLog>
std::string infoLog(GLuint object, GetParameter getParameter, GetLog getLog)
{
    GLint length = 0;
    getParameter(object, kInfoLogLength, &length);
    std::string log(static_cast<std::size_t>(std::max(length, 1)), '\0');
    getLog(object, static_cast<GLsizei>(log.size()), nullptr, log.data());
    log.resize(std::strlen(log.c_str()));
    return log;
}

std::uint64_t sideKey(std::uint32_t a, std::uint32_t b)
{
    return a < b ? (std::uint64_t(a) << 32) | b : (std::uint64_t(b) << 32) | a;
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
    struct Program
    {
        GLuint id = 0;
        GLint modelView = -1, projection = -1, color = -1, lit = -1;
        GLint wire = -1, wireColor = -1, diagonalColor = -1; // the wireframe's only
    };
    Program plain, wired;

    bool wireframe = false;
    bool diagonals = false;

    // The mesh as uploaded: positions are (p - origin) * scale, which keeps the floats' precision
    // for a mesh far from the origin and keeps a huge one inside the float range.
    std::size_t vertexCount = 0;
    std::array<double, 3> origin{0, 0, 0};
    double scale = 1.0;
    std::vector<std::uint32_t> triangles;
    std::vector<std::uint8_t> triangleSides; // a SideKind for each side, facing each corner in turn
    std::vector<float> beforeFloats, afterFloats;
    std::vector<std::uint8_t> beforeBad, afterBad; // empty when every position of that side is usable
    std::vector<std::uint8_t> appliedBad; // what both sides' corners were last built without
    Bounds beforeBounds, afterBounds;

    GLuint beforeBuffer = 0, afterBuffer = 0;
    std::size_t corners = 0; // in each of the buffers
    bool points = false;     // no faces: the corners are the vertices, one a point

    GLuint compile(GLenum type, bool withWireframe, const char* source, std::string& log);
    // Builds `program` with or without the wireframe; on failure says why in `log`.
    bool link(Program& program, bool withWireframe, std::string& log);
    // Converts to floats for the card; marks the vertices that cannot be drawn in `bad` (sized
    // vertexCount, or left empty when all can).
    std::vector<float> convert(std::span<const double> positions, std::vector<std::uint8_t>& bad) const;
    // The corners of the triangles (or the points) whose vertices are all usable on both sides.
    std::vector<Corner> cornersOf(const std::vector<float>& xyz, const std::vector<std::uint8_t>& bad) const;
    std::vector<std::uint8_t> badOnEitherSide() const;
    void upload(GLuint& buffer, const std::vector<Corner>& data);
    // Builds and uploads both sides' corners.
    void uploadBoth();
    void freeBuffers();
};

GLuint MeshRenderer::State::compile(GLenum type, bool withWireframe, const char* source, std::string& log)
{
    const GLuint shader = f.CreateShader(type);
    const char* const parts[] = {"#version 120\n", withWireframe ? "#define WIREFRAME\n" : "", source};
    f.ShaderSource(shader, 3, parts, nullptr);
    f.CompileShader(shader);
    GLint ok = 0;
    f.GetShaderiv(shader, kCompileStatus, &ok);
    if (!ok) {
        log = infoLog(shader, f.GetShaderiv, f.GetShaderInfoLog);
        f.DeleteShader(shader);
        return 0;
    }
    return shader;
}

bool MeshRenderer::State::link(Program& program, bool withWireframe, std::string& log)
{
    const GLuint vs = compile(gl::kVertexShader, withWireframe, kVertexSource, log);
    const GLuint fs = vs ? compile(gl::kFragmentShader, withWireframe, kFragmentSource, log) : 0;
    if (!vs || !fs) {
        if (vs)
            f.DeleteShader(vs);
        return false;
    }
    const GLuint id = f.CreateProgram();
    f.AttachShader(id, vs);
    f.AttachShader(id, fs);
    f.BindAttribLocation(id, kPositionAttribute, "position");
    f.BindAttribLocation(id, kNormalAttribute, "normal");
    if (withWireframe) {
        f.BindAttribLocation(id, kCornerAttribute, "corner");
        f.BindAttribLocation(id, kSidesAttribute, "sides");
    }
    f.LinkProgram(id);
    f.DeleteShader(vs);
    f.DeleteShader(fs);
    GLint linked = 0;
    f.GetProgramiv(id, kLinkStatus, &linked);
    if (!linked) {
        log = infoLog(id, f.GetProgramiv, f.GetProgramInfoLog);
        f.DeleteProgram(id);
        return false;
    }
    program.id = id;
    program.modelView = f.GetUniformLocation(id, "modelView");
    program.projection = f.GetUniformLocation(id, "projection");
    program.color = f.GetUniformLocation(id, "color");
    program.lit = f.GetUniformLocation(id, "lit");
    program.wire = f.GetUniformLocation(id, "wire");
    program.wireColor = f.GetUniformLocation(id, "wireColor");
    program.diagonalColor = f.GetUniformLocation(id, "diagonalColor");
    return true;
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

std::vector<std::uint8_t> MeshRenderer::State::badOnEitherSide() const
{
    if (afterBad.empty())
        return beforeBad;
    if (beforeBad.empty())
        return afterBad;
    std::vector<std::uint8_t> bad = beforeBad;
    for (std::size_t v = 0; v < bad.size(); ++v)
        bad[v] |= afterBad[v];
    return bad;
}

std::vector<Corner> MeshRenderer::State::cornersOf(const std::vector<float>& xyz,
                                                   const std::vector<std::uint8_t>& bad) const
{
    const auto usable = [&](std::uint32_t v) { return v < vertexCount && (bad.empty() || !bad[v]); };
    std::vector<Corner> out;
    if (points) {
        out.reserve(vertexCount);
        for (std::uint32_t v = 0; v < vertexCount; ++v)
            if (usable(v))
                out.push_back({{xyz[v * 3], xyz[v * 3 + 1], xyz[v * 3 + 2]}, {0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
        return out;
    }
    out.reserve(triangles.size());
    for (std::size_t t = 0; t + 3 <= triangles.size(); t += 3) {
        const std::uint32_t* v = &triangles[t];
        if (!usable(v[0]) || !usable(v[1]) || !usable(v[2]))
            continue;
        // The plane's normal in doubles: a small triangle's float cross product loses its direction.
        double p[3][3];
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k)
                p[c][k] = xyz[v[c] * 3 + std::size_t(k)];
        const double u[3] = {p[1][0] - p[0][0], p[1][1] - p[0][1], p[1][2] - p[0][2]};
        const double w[3] = {p[2][0] - p[0][0], p[2][1] - p[0][1], p[2][2] - p[0][2]};
        double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (double& c : n)
            c = length > 0.0 && std::isfinite(length) ? c / length : 0.0;
        const std::uint8_t* sides = &triangleSides[t];
        for (int c = 0; c < 3; ++c) {
            Corner corner{{float(p[c][0]), float(p[c][1]), float(p[c][2])},
                          {float(n[0]), float(n[1]), float(n[2])},
                          {0, 0, 0, 0},
                          {sides[0], sides[1], sides[2], 0}};
            corner.weight[c] = 255;
            out.push_back(corner);
        }
    }
    return out;
}

void MeshRenderer::State::upload(GLuint& buffer, const std::vector<Corner>& data)
{
    if (data.empty()) {
        if (buffer)
            f.DeleteBuffers(1, &buffer);
        buffer = 0;
        return;
    }
    if (!buffer)
        f.GenBuffers(1, &buffer);
    f.BindBuffer(kArrayBuffer, buffer);
    f.BufferData(kArrayBuffer, static_cast<GLsizeiptr>(data.size() * sizeof(Corner)), data.data(), kStaticDraw);
    f.BindBuffer(kArrayBuffer, 0);
}

void MeshRenderer::State::uploadBoth()
{
    appliedBad = badOnEitherSide();
    const std::vector<Corner> before = cornersOf(beforeFloats, appliedBad);
    upload(beforeBuffer, before);
    corners = before.size();
    if (afterFloats.empty())
        upload(afterBuffer, {});
    else
        upload(afterBuffer, cornersOf(afterFloats, appliedBad));
}

void MeshRenderer::State::freeBuffers()
{
    for (GLuint* b : {&beforeBuffer, &afterBuffer}) {
        if (*b)
            f.DeleteBuffers(1, b);
        *b = 0;
    }
    corners = 0;
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
    if (!d->link(d->plain, false, log) || !d->link(d->wired, true, log)) {
        if (d->plain.id)
            d->f.DeleteProgram(d->plain.id);
        d->plain = {};
        d->f = {};
        return "The display's OpenGL did not accept the preview's shaders: " + log;
    }
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
    s.triangles.assign(geometry.triangles.begin(), geometry.triangles.end() - geometry.triangles.size() % 3);
    s.points = s.triangles.empty();
    // Which of each triangle's sides the wireframe draws: those of the file's polygons, and the
    // diagonals of split quads; a fan's inner sides are neither.
    s.triangleSides.assign(s.triangles.size(), NoSide);
    std::unordered_map<std::uint64_t, SideKind> kinds;
    kinds.reserve(geometry.edges.size() / 2 + geometry.diagonals.size() / 2);
    for (std::size_t i = 0; i + 2 <= geometry.diagonals.size(); i += 2)
        kinds[sideKey(geometry.diagonals[i], geometry.diagonals[i + 1])] = SplitDiagonal;
    for (std::size_t i = 0; i + 2 <= geometry.edges.size(); i += 2)
        kinds[sideKey(geometry.edges[i], geometry.edges[i + 1])] = PolygonSide;
    if (!kinds.empty()) {
        for (std::size_t t = 0; t < s.triangles.size(); t += 3) {
            for (std::size_t c = 0; c < 3; ++c) {
                const auto found = kinds.find(sideKey(s.triangles[t + (c + 1) % 3], s.triangles[t + (c + 2) % 3]));
                if (found != kinds.end())
                    s.triangleSides[t + c] = found->second;
            }
        }
    }
    s.afterFloats.clear();
    s.afterBad.clear();
    if (!s.ready)
        return;
    s.beforeFloats = s.convert(geometry.positions, s.beforeBad);
    s.uploadBoth();
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
    s.afterFloats = s.convert(positions, s.afterBad);
    // The topology is shared, so a vertex either side cannot draw is left out of both.
    if (s.badOnEitherSide() != s.appliedBad)
        s.uploadBoth();
    else
        s.upload(s.afterBuffer, s.cornersOf(s.afterFloats, s.appliedBad));
}

void MeshRenderer::clearMesh()
{
    State& s = *d;
    s.vertexCount = 0;
    s.triangles.clear();
    s.triangleSides.clear();
    s.beforeFloats.clear();
    s.afterFloats.clear();
    s.beforeBad.clear();
    s.afterBad.clear();
    s.appliedBad.clear();
    s.points = false;
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

    const GLuint corners = side == MeshSide::After && s.afterBuffer ? s.afterBuffer : s.beforeBuffer;
    if (corners && s.corners > 0) {
        // The uploaded positions are (p - origin) * scale; undo that in doubles before the view.
        const double k = 1.0 / s.scale;
        const Matrix4 model = {k, 0, 0, 0, 0, k, 0, 0, 0, 0, k, 0, s.origin[0], s.origin[1], s.origin[2], 1};
        const auto modelView = toFloat(multiply(camera.viewMatrix(), model));
        const auto projection = toFloat(camera.projectionMatrix(double(viewport.width) / viewport.height));

        f.Enable(kDepthTest);
        f.DepthFunc(kLequal);
        f.Disable(kCullFace);
        f.Disable(kBlend);
        const bool wire = s.wireframe && !s.points;
        const State::Program& program = wire ? s.wired : s.plain;
        f.UseProgram(program.id);
        f.UniformMatrix4fv(program.modelView, 1, kFalse, modelView.data());
        f.UniformMatrix4fv(program.projection, 1, kFalse, projection.data());
        const Rgba& color = s.points ? kPoint : kSurface;
        f.Uniform4f(program.color, color.r, color.g, color.b, color.a);
        f.Uniform1i(program.lit, s.points ? 0 : 1);
        if (wire) {
            f.Uniform4f(program.wireColor, kWire.r, kWire.g, kWire.b, kWire.a);
            f.Uniform4f(program.diagonalColor, kDiagonal.r, kDiagonal.g, kDiagonal.b, kDiagonal.a);
            f.Uniform1i(program.wire, s.diagonals ? 2 : 1);
        }
        f.BindBuffer(kArrayBuffer, corners);
        const auto attribute = [&](GLuint location, GLint size, GLenum type, GLboolean normalized,
                                   std::size_t offset) {
            f.EnableVertexAttribArray(location);
            f.VertexAttribPointer(location, size, type, normalized, sizeof(Corner),
                                  reinterpret_cast<const void*>(offset));
        };
        if (s.points)
            f.PointSize(kPointPixels);
        // A draw call counts in a GLint: a longer list goes in whole triangles a call, each from
        // the start of the attributes, which move on.
        const std::size_t most = static_cast<std::size_t>(INT_MAX) / 3 * 3;
        for (std::size_t first = 0; first < s.corners; first += most) {
            const std::size_t base = first * sizeof(Corner);
            attribute(kPositionAttribute, 3, kFloat, kFalse, base + offsetof(Corner, position));
            attribute(kNormalAttribute, 3, kFloat, kFalse, base + offsetof(Corner, normal));
            if (wire) {
                attribute(kCornerAttribute, 4, kUnsignedByte, kTrue, base + offsetof(Corner, weight));
                attribute(kSidesAttribute, 4, kUnsignedByte, kFalse, base + offsetof(Corner, sides));
            }
            f.DrawArrays(s.points ? kPoints : kTriangles, 0, static_cast<GLsizei>(std::min(most, s.corners - first)));
        }
        for (GLuint location : {kPositionAttribute, kNormalAttribute, kCornerAttribute, kSidesAttribute})
            f.DisableVertexAttribArray(location);
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
    for (State::Program* program : {&s.plain, &s.wired}) {
        if (program->id)
            s.f.DeleteProgram(program->id);
        *program = {};
    }
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
