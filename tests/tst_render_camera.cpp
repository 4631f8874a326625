#include "render/camera.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <vector>

using jf::Bounds;
using jf::Camera;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Where a point lands in normalised device coordinates.
std::array<double, 3> project(const Camera& camera, double aspect, std::array<double, 3> p)
{
    const jf::Matrix4 v = camera.viewMatrix(), m = camera.projectionMatrix(aspect);
    double e[4], c[4];
    for (int r = 0; r < 4; ++r)
        e[r] = v[r] * p[0] + v[4 + r] * p[1] + v[8 + r] * p[2] + v[12 + r];
    for (int r = 0; r < 4; ++r)
        c[r] = m[r] * e[0] + m[4 + r] * e[1] + m[8 + r] * e[2] + m[12 + r] * e[3];
    return {c[0] / c[3], c[1] / c[3], c[2] / c[3]};
}

} // namespace

class tst_render_camera : public QObject
{
    Q_OBJECT

private slots:
    // One broken vertex must not move the fit: the box holds the finite points only.
    void fitLeavesOutNonFinitePoints_data()
    {
        QTest::addColumn<std::vector<double>>("positions");
        QTest::newRow("finite") << std::vector<double>{-1, -2, -3, 1, 2, 3};
        QTest::newRow("infinite x") << std::vector<double>{-1, -2, -3, kInf, 0, 0, 1, 2, 3};
        QTest::newRow("nan z") << std::vector<double>{-1, -2, -3, 0, 0, kNaN, 1, 2, 3};
        QTest::newRow("-inf y and a partial point") << std::vector<double>{-1, -2, -3, 0, -kInf, 0, 1, 2, 3, 7};
    }
    void fitLeavesOutNonFinitePoints()
    {
        QFETCH(std::vector<double>, positions);
        Bounds box;
        box.includePositions(positions);
        QVERIFY(!box.empty);
        QCOMPARE(box.min, (std::array<double, 3>{-1, -2, -3}));
        QCOMPARE(box.max, (std::array<double, 3>{1, 2, 3}));
    }

    // A fitted box lies wholly inside the view and the clip planes, whatever the view's shape.
    void fittedBoxIsInView_data()
    {
        QTest::addColumn<double>("aspect");
        QTest::addColumn<double>("offset");
        QTest::newRow("wide") << 2.0 << 0.0;
        QTest::newRow("tall") << 0.4 << 0.0;
        QTest::newRow("far from the origin") << 1.0 << 1e7;
    }
    void fittedBoxIsInView()
    {
        QFETCH(double, aspect);
        QFETCH(double, offset);
        Bounds box;
        box.include(offset - 3, offset - 1, offset - 0.5);
        box.include(offset + 3, offset + 1, offset + 0.5);
        Camera camera;
        camera.fit(box);
        for (int corner = 0; corner < 8; ++corner) {
            const auto p = project(camera, aspect,
                                   {corner & 1 ? box.max[0] : box.min[0], corner & 2 ? box.max[1] : box.min[1],
                                    corner & 4 ? box.max[2] : box.min[2]});
            for (double c : p)
                QVERIFY2(std::isfinite(c) && std::fabs(c) < 1.0, "a corner of the fitted box is out of view");
        }
    }

    // Nothing to fit (no finite point, or one point) still gives usable matrices.
    void degenerateFitsStayFinite()
    {
        for (const Bounds& box : {Bounds{}, [] { Bounds b; b.include(5, 5, 5); return b; }()}) {
            Camera camera;
            camera.fit(box);
            camera.zoom(100);
            for (double x : camera.viewMatrix())
                QVERIFY(std::isfinite(x));
            for (double x : camera.projectionMatrix(1.5))
                QVERIFY(std::isfinite(x));
        }
    }
};

QTEST_GUILESS_MAIN(tst_render_camera)
#include "tst_render_camera.moc"
