#include "ui/frmpreview.h"
#include "ui/previewview.h"
#include "tests/ui/support.h"

#include <QAction>
#include <QFileInfo>
#include <QImage>
#include <QSignalSpy>
#include <QStackedWidget>


using jf::frmMain1;
using jf::frmPreview;
using jf::PreviewSettings;
using namespace jf::testing;

namespace {

bool waitForLoad(frmPreview& preview)
{
    if (!preview.isLoading())
        return true;
    QSignalSpy finished(&preview, &frmPreview::loadFinished);
    return finished.wait(60000);
}

// The left and right halves of the view's picture, as drawn now.
std::pair<QImage, QImage> halves(jf::PreviewView& view)
{
    const QImage all = view.grabFramebuffer();
    const int half = all.width() / 2;
    return {all.copy(0, 0, half, all.height()), all.copy(half, 0, half, all.height())};
}

// Pixels that are not the background: the mesh is in the picture.
int meshPixels(const QImage& image)
{
    const QRgb background = image.pixel(0, 0);
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixel(x, y) != background;
    return n;
}

} // namespace

class tst_ui_preview : public WindowTest
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(fresh());
        qunsetenv("JITTERFORM_NO_OPENGL");
    }

    void afterDiffersOnlyWithNoise_data()
    {
        QTest::addColumn<QString>("intensity");
        QTest::addColumn<bool>("axes");
        QTest::addColumn<bool>("differs");
        QTest::newRow("default intensity, all axes") << "0.1" << true << true;
        QTest::newRow("small intensity, all axes") << "0.01" << true << true;
        QTest::newRow("intensity 0") << "0" << true << false;
        QTest::newRow("no axis checked") << "0.1" << false << false;
    }
    void afterDiffersOnlyWithNoise()
    {
        QFETCH(QString, intensity);
        QFETCH(bool, axes);
        QFETCH(bool, differs);
        const QString source = path("sphere.obj");
        QVERIFY(writeAll(source, sphereText(24, 48)));
        PreviewSettings settings;
        settings.intensityText = intensity.toStdString();
        settings.axes[0] = settings.axes[1] = settings.axes[2] = axes;
        frmPreview preview([&] { return settings; }, nullptr);
        if (preview.view == nullptr)
            QSKIP("no OpenGL on this display: run under xvfb-run with LIBGL_ALWAYS_SOFTWARE=1");
        preview.resize(800, 400);
        preview.show();
        QVERIFY(QTest::qWaitForWindowExposed(&preview));
        preview.setSource(source);
        QVERIFY(waitForLoad(preview));
        QVERIFY2(preview.mesh(), qPrintable(preview.lblStatus->text()));

        const auto [left, right] = halves(*preview.view);
        QVERIFY2(meshPixels(left) > left.width() * left.height() / 10, "Before shows no mesh");
        QVERIFY2(meshPixels(right) > right.width() * right.height() / 10, "After shows no mesh");
        const QImage before = preview.view->grabSide(jf::MeshSide::Before);
        const QImage after = preview.view->grabSide(jf::MeshSide::After);
        QCOMPARE(before.size(), after.size());
        QCOMPARE(before != after, differs);
        QCOMPARE(preview.afterPositions() != preview.mesh()->positions, differs);
    }

    // Through the main window: a change of intensity redraws After from the mesh already loaded.
    void intensityChangeRedraws()
    {
        const QString source = path("sphere.obj");
        QVERIFY(writeAll(source, sphereText(16, 32)));
        frmMain1 window(m_fakes->services());
        window.setDayClock(fixedDay());
        window.show();
        window.txtSource->setText(lower(source));
        window.mnuViewPreview->trigger();
        frmPreview* preview = window.preview();
        QVERIFY(preview != nullptr);
        QVERIFY(waitForLoad(*preview));
        QVERIFY2(preview->mesh(), qPrintable(preview->lblStatus->text()));
        const QFileInfo before(source);

        const std::vector<double> first = preview->afterPositions();
        const int runs = preview->noiseRuns();
        QImage firstPicture;
        if (preview->view) {
            QVERIFY(QTest::qWaitForWindowExposed(preview));
            firstPicture = preview->view->grabSide(jf::MeshSide::After);
        }
        window.txtIntensity->setText(QStringLiteral("0.3"));
        QCOMPARE(preview->noiseRuns(), runs + 1);
        QVERIFY(!preview->isLoading()); // no second reading of the file
        QVERIFY(preview->afterPositions() != first);
        if (preview->view)
            QVERIFY(preview->view->grabSide(jf::MeshSide::After) != firstPicture);
        QVERIFY2(preview->lblStatus->text().contains(QStringLiteral("day 45000")),
                 qPrintable(preview->lblStatus->text()));

        window.chkX->setChecked(false);
        window.chkY->setChecked(false);
        window.chkZ->setChecked(false);
        QCOMPARE(preview->afterPositions(), preview->mesh()->positions);

        // Only read: the source as it was, nothing new beside it.
        QCOMPARE(QFileInfo(source).lastModified(), before.lastModified());
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{QStringLiteral("sphere.obj")});
    }

    void cancelOfALargeLoad()
    {
        const QString source = path("large.obj");
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray block;
            for (int i = 0; i < 20000; ++i)
                block += "v " + QByteArray::number(i) + ".125 " + QByteArray::number(i % 977) + ".5 1.75\n";
            while (file.size() < 48 * 1024 * 1024)
                QVERIFY(file.write(block) == block.size());
        }
        const QFileInfo before(source);
        frmPreview preview([] { return PreviewSettings{}; }, nullptr);
        preview.show();
        QSignalSpy finished(&preview, &frmPreview::loadFinished);
        preview.setSource(source);
        QVERIFY(preview.isLoading());
        QVERIFY(preview.cmdCancel->isVisible());
        QVERIFY(preview.prgLoad->isVisible());
        QTest::mouseClick(preview.cmdCancel, Qt::LeftButton);
        QVERIFY(finished.wait(30000));
        QVERIFY(!preview.isLoading());
        QVERIFY(!preview.mesh());
        QVERIFY(!preview.cmdCancel->isVisible());
        QVERIFY2(preview.lblStatus->text().contains(QStringLiteral("cancelled")),
                 qPrintable(preview.lblStatus->text()));
        QCOMPARE(QFileInfo(source).size(), before.size());
        QCOMPARE(QFileInfo(source).lastModified(), before.lastModified());
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{QStringLiteral("large.obj")});
    }

    // Without OpenGL the window says why in words, and still loads and counts.
    void withoutOpenGl()
    {
        qputenv("JITTERFORM_NO_OPENGL", "1");
        const QString source = path("sphere.obj");
        QVERIFY(writeAll(source, sphereText(8, 16)));
        frmMain1 window(m_fakes->services());
        window.show();
        window.txtSource->setText(lower(source));
        window.mnuViewPreview->trigger();
        frmPreview* preview = window.preview();
        QVERIFY(preview != nullptr);
        QVERIFY(preview->view == nullptr);
        QVERIFY(preview->lblUnavailable->isVisible());
        QVERIFY2(preview->lblUnavailable->text().contains(QStringLiteral("cannot be shown")),
                 qPrintable(preview->lblUnavailable->text()));
        QVERIFY(waitForLoad(*preview));
        QVERIFY2(preview->lblStatus->text().contains(QStringLiteral("114 vertices, 128 faces")),
                 qPrintable(preview->lblStatus->text()));
        // The main window goes on as before.
        window.Command1->click();
        QCOMPARE(window.txtIntensity->text(), QStringLiteral("0.2"));
        window.close();
        QVERIFY(!preview->isVisible());
    }

    void placeIsKept()
    {
        {
            frmPreview preview([] { return PreviewSettings{}; }, nullptr);
            preview.show();
            QVERIFY(QTest::qWaitForWindowExposed(&preview));
            preview.resize(700, 380);
            preview.close();
        }
        QVERIFY(storedSettings().childGroups().contains(QStringLiteral("Preview")));
        frmPreview again([] { return PreviewSettings{}; }, nullptr);
        QCOMPARE(again.size(), QSize(700, 380));
    }
};

QTEST_MAIN(tst_ui_preview)
#include "tst_ui_preview.moc"
