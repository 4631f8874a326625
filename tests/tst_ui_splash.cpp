#include "ui/frmmain1.h"
#include "ui/frmsplash.h"
#include "ui/registry.h"
#include "ui/startup.h"
#include "ui/testing/fakes.h"
#include "ui/testing/support.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QWindow>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using jf::frmMain1;
using jf::frmSplash;
using jf::kErrorFileNotFound;
using jf::kErrorMoreData;
using jf::kErrorSuccess;
using jf::kHKeyLocalMachine;
using jf::RegistryKey;
using jf::testing::FakeRegistry;
using jf::testing::Fakes;

namespace {

const QByteArray kMsInfoKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
const QByteArray kToolsLocationKey = "SOFTWARE\\Microsoft\\Shared Tools Location";

const QString kUnavailable = QStringLiteral("System Information Is Unavailable At This Time");

void makeExecutable(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n") < 0)
        qWarning("cannot write %s", qPrintable(path));
    file.close();
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QList<frmSplash*> splashes()
{
    QList<frmSplash*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* splash = qobject_cast<frmSplash*>(widget); splash != nullptr && splash->isVisible())
            found.append(splash);
    }
    return found;
}

} // namespace

class TestSplash : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void splashAtStart();
    void aboutBox_data();
    void aboutBox();
    void stayOnTop();
    void sysInfo_data();
    void sysInfo();
    void standInRegistry();
    void programEndsWithMainWindow_data();
    void programEndsWithMainWindow();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Fakes> m_fakes;
};

void TestSplash::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    jf::testing::isolateSettings(m_dir->filePath(QStringLiteral("settings")));
    m_fakes = std::make_unique<Fakes>();
}

void TestSplash::cleanup()
{
    for (frmSplash* splash : splashes())
        splash->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestSplash::splashAtStart()
{
    QElapsedTimer clock;
    clock.start();
    const std::unique_ptr<frmMain1> window = jf::Main(m_fakes->services());
    QCOMPARE(splashes().size(), 1);
    QPointer<frmSplash> splash = splashes().first();
    QVERIFY(window->isVisible());
    QVERIFY(!splash->cmdOK->isVisible() && !splash->cmdSysInfo->isVisible());
    QCOMPARE(splash->lblVersion->text(), QStringLiteral("Version 0.1 build 8"));

    // Esc does nothing to the splash; its timer alone closes it.
    QTest::keyClick(splash.data(), Qt::Key_Escape);
    QTest::qWait(2000);
    QVERIFY2(!splash.isNull() && splash->isVisible(), "the splash stays up for 2.5 s");
    QTRY_VERIFY_WITH_TIMEOUT(splash.isNull(), 2000);
    QVERIFY2(clock.elapsed() >= 2500, qPrintable(QStringLiteral("closed after %1 ms").arg(clock.elapsed())));
    QVERIFY(window->isVisible());
}

void TestSplash::aboutBox_data()
{
    QTest::addColumn<bool>("splashUp");
    QTest::addColumn<bool>("byEsc");
    QTest::newRow("closed by OK") << false << false;
    QTest::newRow("closed by Esc") << false << true;
    QTest::newRow("while the splash is up") << true << false;
}

void TestSplash::aboutBox()
{
    QFETCH(bool, splashUp);
    QFETCH(bool, byEsc);
    std::unique_ptr<frmMain1> window;
    if (splashUp) {
        window = jf::Main(m_fakes->services());
    } else {
        window = std::make_unique<frmMain1>(m_fakes->services());
        window->show();
    }
    const QPointer<frmSplash> splash = splashes().value(0);
    bool inspected = false;
    QTimer::singleShot(0, [&] {
        auto* about = qobject_cast<frmSplash*>(QApplication::activeModalWidget());
        QVERIFY2(about != nullptr && about != splash, "a fresh, modal form");
        inspected = true;
        // The splash is the same form: it has gone before the About box came.
        QCOMPARE(splashes(), QList<frmSplash*>{about});
        QVERIFY(about->cmdOK->isVisible() && about->cmdSysInfo->isVisible());
        QVERIFY(!about->Timer1->isActive());
        if (byEsc)
            QTest::keyClick(about, Qt::Key_Escape);
        else
            about->cmdOK->click();
    });
    window->mnuHelpAbout->trigger();
    QVERIFY(inspected);
    QVERIFY(splashes().isEmpty());
    QVERIFY(window->isVisible());
}

void TestSplash::sysInfo_data()
{
    QTest::addColumn<QByteArray>("first");  // the PATH value; empty: none
    QTest::addColumn<QByteArray>("second"); // the MSINFO value; "%1" is the test's folder
    QTest::addColumn<QString>("toolFile");  // made in the test's folder
    QTest::addColumn<QString>("started");   // "%1" is the test's folder; empty: the user is told

    const QByteArray longPath = '/' + QByteArray(999, 'a');
    const QByteArray tooLong = '/' + QByteArray(1100, 'a');
    QTest::newRow("first value, started unchecked") << QByteArray("/opt/info/tool") << QByteArray() << ""
                                                    << "/opt/info/tool";
    QTest::newRow("second value, folder with the tool") << QByteArray() << QByteArray("%1/tools")
                                                        << "tools/MSINFO32.EXE" << "%1/tools/MSINFO32.EXE";
    QTest::newRow("second value, folder without the tool") << QByteArray() << QByteArray("%1/tools")
                                                           << "tools/other.exe" << "";
    QTest::newRow("second value ending in a backslash") << QByteArray() << QByteArray("%1/tools\\")
                                                        << "tools/MSINFO32.EXE" << "%1/tools//MSINFO32.EXE";
    QTest::newRow("neither value") << QByteArray() << QByteArray() << "" << "";
    QTest::newRow("first value of 1000 characters") << longPath << QByteArray() << ""
                                                    << QString::fromLatin1(longPath);
    // Too long for the buffer: the value is unreadable, so the second one is asked for.
    QTest::newRow("first value over 1024 bytes") << tooLong << QByteArray() << "" << "";
    QTest::newRow("first value over 1024 bytes, second there") << tooLong << QByteArray("%1/tools")
                                                               << "tools/MSINFO32.EXE"
                                                               << "%1/tools/MSINFO32.EXE";
}

void TestSplash::sysInfo()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, toolFile);
    QFETCH(QString, started);

    const QString folder = m_dir->path();
    if (!toolFile.isEmpty()) {
        QVERIFY(QDir(folder).mkpath(QStringLiteral("tools")));
        QVERIFY(jf::testing::writeFile(m_dir->filePath(toolFile), "#!/bin/sh\n"));
        QFile::setPermissions(m_dir->filePath(toolFile),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    FakeRegistry& registry = m_fakes->registry;
    registry.addKey(kMsInfoKey);
    registry.addKey(kToolsLocationKey);
    if (!first.isEmpty())
        registry.set(kMsInfoKey, "PATH", FakeRegistry::text(first));
    if (!second.isEmpty())
        registry.set(kToolsLocationKey, "MSINFO",
                     FakeRegistry::text(second.replace("%1", QFile::encodeName(folder))));

    frmSplash about(m_fakes->services());
    about.cmdOK->setVisible(true);
    about.cmdSysInfo->setVisible(true);
    about.cmdSysInfo->click();

    const QStringList log = started.isEmpty() ? QStringList{"message", "beep"} : QStringList{"start", "beep"};
    QCOMPARE(m_fakes->log, log);
    QCOMPARE(m_fakes->tools.started,
             started.isEmpty() ? QStringList() : QStringList{started.replace(QLatin1String("%1"), folder)});
    if (started.isEmpty()) {
        QCOMPARE(m_fakes->messages.shown.first().text,
                 QStringLiteral("System Information Is Unavailable At This Time"));
        QVERIFY(m_fakes->messages.shown.first().buttons == jf::MessageBoxes::Buttons::Ok);
    }
    QCOMPARE(registry.closes, registry.openAttempts);
}

void TestSplash::stayOnTop()
{
    frmSplash about(m_fakes->services());
    about.cmdOK->setVisible(true);
    about.cmdSysInfo->setVisible(true);
    about.show();
    about.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&about));
    QVERIFY(about.windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));

    m_fakes->registry.set(kMsInfoKey, "PATH", FakeRegistry::text("/usr/bin/true"));
    about.cmdSysInfo->click();
    QCOMPARE(m_fakes->tools.started, QStringList{QStringLiteral("/usr/bin/true")});
    QVERIFY2(!about.windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint), "the tool may come in front");
    QVERIFY(about.isVisible());

    // Until the box is activated again.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    about.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&about));
    QVERIFY(about.windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint));
}

void TestSplash::standInRegistry()
{
    const QString folder = m_dir->path();
    makeExecutable(m_dir->filePath(QStringLiteral("kinfocenter")));
    makeExecutable(m_dir->filePath(QStringLiteral("hardinfo")));
    QVERIFY(jf::testing::writeFile(m_dir->filePath(QStringLiteral("hardinfo2")), "not a program"));

    jf::StandInRegistry registry({folder});
    RegistryKey key = 0;
    QCOMPARE(registry.openKey(kHKeyLocalMachine, kMsInfoKey.toLower(), 0, jf::kKeyAllAccess, &key),
             kErrorSuccess);
    unsigned char buffer[1024];
    std::uint32_t type = 0;
    std::uint32_t size = 4;
    QCOMPARE(registry.queryValue(key, "PATH", &type, buffer, &size), kErrorMoreData);
    const QByteArray expected = QFile::encodeName(m_dir->filePath(QStringLiteral("hardinfo")));
    QCOMPARE(size, std::uint32_t(expected.size() + 1));
    size = sizeof buffer;
    QCOMPARE(registry.queryValue(key, "path", &type, buffer, &size), kErrorSuccess);
    QCOMPARE(type, jf::kRegSz);
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(size)), expected + '\0');

    QCOMPARE(registry.openKey(kHKeyLocalMachine, kToolsLocationKey, 0, jf::kKeyAllAccess, &key),
             kErrorSuccess);
    size = sizeof buffer;
    QCOMPARE(registry.queryValue(key, "MSINFO", &type, buffer, &size), kErrorFileNotFound);
    QCOMPARE(registry.openKey(kHKeyLocalMachine, "SOFTWARE\\Other", 0, jf::kKeyAllAccess, &key),
             kErrorFileNotFound);
    QCOMPARE(registry.openKey(0x80000001, kMsInfoKey, 0, jf::kKeyAllAccess, &key), kErrorFileNotFound);

    // Through the About box: the tool found is started; with none found the user is told, then the beep.
    jf::UiServices services{m_fakes->dialog, m_fakes->messages, registry, m_fakes->tools};
    frmSplash(services).StartSysInfo();
    jf::StandInRegistry none({m_dir->filePath(QStringLiteral("settings"))});
    jf::UiServices without{m_fakes->dialog, m_fakes->messages, none, m_fakes->tools};
    frmSplash(without).cmdSysInfo->click();
    QCOMPARE(m_fakes->tools.started, QStringList{QString::fromLocal8Bit(expected)});
    QCOMPARE(m_fakes->log, (QStringList{"start", "message", "beep"}));
    QCOMPARE(m_fakes->messages.shown.first().text, kUnavailable);
}

void TestSplash::programEndsWithMainWindow_data()
{
    QTest::addColumn<QString>("situation");
    QTest::newRow("splash still up") << "splash";
    QTest::newRow("status window hidden after a run") << "status";
    QTest::newRow("About box open") << "about";
}

void TestSplash::programEndsWithMainWindow()
{
    QFETCH(QString, situation);
    const std::unique_ptr<frmMain1> window = jf::Main(m_fakes->services());
    if (situation == QLatin1String("status")) {
        const QString source = m_dir->filePath(QStringLiteral("cube.obj"));
        QVERIFY(jf::testing::writeFile(source, jf::testing::meshText(20)));
        window->txtSource->setText(source);
        window->txtDestination->setText(m_dir->filePath(QStringLiteral("out.obj")));
        window->cmdConvert->click();
        QVERIFY(window->status() != nullptr && !window->status()->isVisible());
    }
    if (situation == QLatin1String("about"))
        QTimer::singleShot(0, window->mnuHelpAbout, &QAction::trigger);
    QTimer::singleShot(100, [&] {
        QVERIFY2(situation != QLatin1String("about") || QApplication::activeModalWidget() != nullptr,
                 "the About box is open");
        window->close();
    });
    // A program that does not end fails here instead of hanging.
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!window->isVisible());
    QVERIFY(splashes().isEmpty());
    QVERIFY(QSettings(QStringLiteral("Jitterform"), QStringLiteral("Jitterform"))
                .contains(QStringLiteral("Settings/MainLeft")));
}

QTEST_MAIN(TestSplash)
#include "tst_ui_splash.moc"
