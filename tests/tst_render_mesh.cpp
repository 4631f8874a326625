#include "offscreen/offscreencontext.h"
#include "render/meshrenderer.h"

#include <QImage>
#include <QTest>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

using jf::Camera;
using jf::MeshRenderer;

namespace {

constexpr int kWidth = 240, kHeight = 120;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A square in the plane z = 0 as two triangles, the second of them apart from the first by a
// gap, so that leaving one out shows. Its sides are the outline and its split diagonal 0-2.
const std::vector<double> kSquare = {-1, -1, 0, 1, -1, 0, 1, 1, 0, -1, 1, 0};
const std::vector<std::uint32_t> kTriangles = {0, 1, 2, 0, 2, 3};
const std::vector<std::uint32_t> kSides = {0, 1, 1, 2, 2, 3, 3, 0};
const std::vector<std::uint32_t> kDiagonal = {0, 2};

enum Look { Background, Surface, Wire, Diagonal };

Look lookOf(QRgb c)
{
    const int r = qRed(c), g = qGreen(c), b = qBlue(c);
    if (r > 150 && r - b > 80)
        return Diagonal;
    if (std::abs(r - 43) < 6 && std::abs(g - 46) < 6 && std::abs(b - 51) < 6)
        return Background;
    if (r < 40 && g < 40 && b < 40)
        return Wire;
    return Surface;
}

// Where a point of the mesh lands in the left (Before) or right (After) half of the picture.
QPoint pixelOf(const Camera& camera, bool after, std::array<double, 3> p)
{
    const int half = kWidth / 2;
    const jf::Matrix4 v = camera.viewMatrix(), m = camera.projectionMatrix(double(half) / kHeight);
    double e[4], c[4];
    for (int r = 0; r < 4; ++r)
        e[r] = v[r] * p[0] + v[4 + r] * p[1] + v[8 + r] * p[2] + v[12 + r];
    for (int r = 0; r < 4; ++r)
        c[r] = m[r] * e[0] + m[4 + r] * e[1] + m[8 + r] * e[2] + m[12 + r] * e[3];
    const double x = (c[0] / c[3] + 1) / 2 * half, y = (1 - (c[1] / c[3] + 1) / 2) * kHeight;
    return {int(std::floor(x)) + (after ? half : 0), int(std::floor(y))};
}

// Whether any pixel within one of `at` looks like `look`: a line a pixel wide may fall either side
// of the point that should be on it.
bool near(const QImage& picture, QPoint at, Look look)
{
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (lookOf(picture.pixel(at.x() + dx, at.y() + dy)) == look)
                return true;
    return false;
}

} // namespace

class tst_render_mesh : public QObject
{
    Q_OBJECT

    std::unique_ptr<jf::OffscreenContext> m_context;
    MeshRenderer m_renderer;

private slots:
    void initTestCase()
    {
        std::string error;
        m_context = jf::OffscreenContext::create(kWidth, kHeight, error);
        if (!m_context)
            QSKIP(error.c_str());
        const std::optional<std::string> problem = m_renderer.initialize(&jf::OffscreenContext::procAddress);
        QVERIFY2(!problem, problem ? problem->c_str() : "");
    }

    void cleanupTestCase() { m_renderer.release(); }

    // What the middle of a side, the middle of the diagonal and the inside of a triangle show.
    void wireframe_data()
    {
        QTest::addColumn<bool>("wireframe");
        QTest::addColumn<bool>("diagonals");
        QTest::addColumn<int>("side");
        QTest::addColumn<int>("diagonal");
        QTest::newRow("plain") << false << false << int(Surface) << int(Surface);
        QTest::newRow("wireframe") << true << false << int(Wire) << int(Surface);
        QTest::newRow("split diagonals") << true << true << int(Wire) << int(Diagonal);
        QTest::newRow("diagonals without wireframe") << false << true << int(Surface) << int(Surface);
    }
    void wireframe()
    {
        QFETCH(bool, wireframe);
        QFETCH(bool, diagonals);
        QFETCH(int, side);
        QFETCH(int, diagonal);
        m_renderer.setMesh({kSquare, kTriangles, kSides, kDiagonal});
        m_renderer.setWireframe(wireframe);
        m_renderer.setShowDiagonals(diagonals);
        Camera camera;
        camera.fit(m_renderer.bounds());
        m_renderer.drawSideBySide(kWidth, kHeight, camera);
        const QImage picture = m_context->grab();
        for (const bool after : {false, true}) {
            QVERIFY(near(picture, pixelOf(camera, after, {0, -0.98, 0}), Look(side)));
            QVERIFY(near(picture, pixelOf(camera, after, {0.02, 0.02, 0}), Look(diagonal)));
            QCOMPARE(lookOf(picture.pixel(pixelOf(camera, after, {0.5, -0.5, 0}))), Surface);
        }
        m_renderer.setWireframe(false);
        m_renderer.setShowDiagonals(false);
    }

    // A vertex that one side cannot draw takes its triangles out of both, so that the two sides
    // always show the same faces; a mesh without faces shows its vertices.
    void leftOutAndPoints_data()
    {
        QTest::addColumn<std::vector<double>>("after");
        QTest::addColumn<std::vector<std::uint32_t>>("triangles");
        QTest::addColumn<int>("inFirst");
        QTest::addColumn<int>("inSecond");
        QTest::addColumn<int>("atCorner");
        std::vector<double> broken = kSquare;
        broken[3 * 3 + 1] = kNaN; // vertex 3, in the second triangle only
        QTest::newRow("all drawable") << kSquare << kTriangles << int(Surface) << int(Surface) << int(Surface);
        QTest::newRow("NaN in After") << broken << kTriangles << int(Surface) << int(Background) << int(Surface);
        QTest::newRow("index beyond the vertices")
            << kSquare << std::vector<std::uint32_t>{0, 1, 2, 0, 2, 9} << int(Surface) << int(Background)
            << int(Surface);
        QTest::newRow("points only") << kSquare << std::vector<std::uint32_t>{} << int(Background)
                                     << int(Background) << int(Surface);
    }
    void leftOutAndPoints()
    {
        QFETCH(std::vector<double>, after);
        QFETCH(std::vector<std::uint32_t>, triangles);
        QFETCH(int, inFirst);
        QFETCH(int, inSecond);
        QFETCH(int, atCorner);
        m_renderer.setMesh({kSquare, triangles, {}, {}});
        m_renderer.setAfterPositions(after);
        Camera camera;
        camera.fit(m_renderer.bounds());
        m_renderer.drawSideBySide(kWidth, kHeight, camera);
        const QImage picture = m_context->grab();
        for (const bool side : {false, true}) {
            QCOMPARE(lookOf(picture.pixel(pixelOf(camera, side, {0.5, -0.5, 0}))), Look(inFirst));
            QCOMPARE(lookOf(picture.pixel(pixelOf(camera, side, {-0.5, 0.5, 0}))), Look(inSecond));
            QVERIFY(near(picture, pixelOf(camera, side, {1, -1, 0}), Look(atCorner)));
        }
    }
};

QTEST_GUILESS_MAIN(tst_render_mesh)
#include "tst_render_mesh.moc"
