#include "ui/logo.h"
#include "ui/testing/support.h"
#include "ui/twips.h"

// Writes the windows' pictures for the documentation into $JITTERFORM_SCREENSHOT_DIR, named after
// the screen's resolution (run it with QT_FONT_DPI=144 for the 144-DPI set).
class TestScreenshots : public QObject
{
    Q_OBJECT

private slots:
    void windows()
    {
        const QString folder = qEnvironmentVariable("JITTERFORM_SCREENSHOT_DIR");
        if (folder.isEmpty())
            QSKIP("JITTERFORM_SCREENSHOT_DIR is not set: no screenshots wanted");
        QVERIFY(QDir().mkpath(folder));
        const int dpi = qRound(jf::logicalDpi() * qApp->devicePixelRatio());
        const auto save = [&](const QPixmap& picture, const char* name) {
            return picture.save(QDir(folder).filePath(QStringLiteral("%1-%2dpi.png").arg(name).arg(dpi)));
        };
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        jf::testing::isolateSettings(dir.path());
        jf::testing::Fakes fakes;

        jf::frmMain1 window(fakes.services());
        const QString source = dir.filePath(QStringLiteral("teapot.obj"));
        QVERIFY(jf::testing::writeFile(source, jf::testing::meshText(6000)));
        // The pictures show a folder a user would have, not the test's temporary one.
        window.txtSource->setText(QStringLiteral("/home/artist/meshes/teapot.obj"));
        window.txtDestination->setText(QStringLiteral("/home/artist/meshes/teapot_n.obj"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(save(window.grab(), "main-window"));

        window.txtSource->setText(jf::testing::lower(source));
        window.txtDestination->setText(jf::testing::lower(dir.filePath(QStringLiteral("teapot_n.obj"))));
        window.events().setThrottle(1, 0);
        bool grabbed = false;
        jf::testing::convertWith(window, [&] {
            if (!grabbed && jf::testing::phaseOf(window) == jf::testing::kNoise &&
                window.status()->ProgressBar1->value() > 4000)
                grabbed = save(window.status()->grab(), "status");
        });
        QVERIFY(grabbed);

        jf::frmSplash splash(fakes.services());
        splash.show();
        QVERIFY(QTest::qWaitForWindowExposed(&splash));
        QVERIFY(save(splash.grab(), "splash"));
        splash.cmdOK->setVisible(true);
        splash.cmdSysInfo->setVisible(true);
        QVERIFY(save(splash.grab(), "about"));
        QVERIFY(save(jf::applicationIcon().pixmap(QSize(128, 128)), "icon"));
    }
};

QTEST_MAIN(TestScreenshots)
#include "tst_ui_screenshots.moc"
