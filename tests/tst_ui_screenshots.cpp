#include "ui/frmmain1.h"
#include "ui/frmsplash.h"
#include "ui/frmstatus.h"
#include "ui/logo.h"
#include "ui/testing/fakes.h"
#include "ui/testing/support.h"
#include "ui/twips.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

// Writes the windows' pictures for the documentation into $JITTERFORM_SCREENSHOT_DIR, named after
// the screen's resolution (run it with QT_FONT_DPI=144 for the 144-DPI set).
class TestScreenshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windows();

private:
    QString target(const QString& name) const;

    QString m_folder;
    int m_dpi = 96;
};

void TestScreenshots::initTestCase()
{
    m_folder = qEnvironmentVariable("JITTERFORM_SCREENSHOT_DIR");
    if (m_folder.isEmpty())
        QSKIP("JITTERFORM_SCREENSHOT_DIR is not set: no screenshots wanted");
    QVERIFY(QDir().mkpath(m_folder));
    m_dpi = qRound(jf::logicalDpi() * qApp->devicePixelRatio());
}

QString TestScreenshots::target(const QString& name) const
{
    return QDir(m_folder).filePath(QStringLiteral("%1-%2dpi.png").arg(name).arg(m_dpi));
}

void TestScreenshots::windows()
{
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
    QVERIFY(window.grab().save(target(QStringLiteral("main-window"))));
    window.txtSource->setText(jf::testing::lower(source));
    window.txtDestination->setText(jf::testing::lower(dir.filePath(QStringLiteral("teapot_n.obj"))));

    window.events().setThrottle(1, 0);
    bool grabbed = false;
    QTimer timer;
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        jf::frmStatus* status = window.status();
        if (!grabbed && status != nullptr && status->isVisible() &&
            status->label() == "adding noise to verticies ..." && status->ProgressBar1->value() > 4000) {
            grabbed = status->grab().save(target(QStringLiteral("status")));
        }
    });
    timer.start();
    window.cmdConvert->click();
    timer.stop();
    QVERIFY(grabbed);

    jf::frmSplash splash(fakes.services());
    splash.show();
    QVERIFY(QTest::qWaitForWindowExposed(&splash));
    QVERIFY(splash.grab().save(target(QStringLiteral("splash"))));
    splash.cmdOK->setVisible(true);
    splash.cmdSysInfo->setVisible(true);
    QVERIFY(splash.grab().save(target(QStringLiteral("about"))));
    QVERIFY(jf::applicationIcon().pixmap(QSize(128, 128)).save(target(QStringLiteral("icon"))));
}

QTEST_MAIN(TestScreenshots)
#include "tst_ui_screenshots.moc"
