#include "ui/registry.h"
#include "ui/startup.h"
#include "ui/testing/support.h"

#include <QAction>
#include <QElapsedTimer>
#include <QPointer>
#include <QWindow>

using jf::frmMain1;
using jf::frmSplash;
using namespace jf::testing;

namespace {

const QByteArray kMsInfoKey = "SOFTWARE\\Microsoft\\Shared Tools\\MSINFO";
const QByteArray kToolsLocationKey = "SOFTWARE\\Microsoft\\Shared Tools Location";

void makeFile(const QString& path, bool executable)
{
    if (!writeFile(path, "#!/bin/sh\n"))
        qWarning("cannot write %s", qPrintable(path));
    if (executable)
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

// The form as the About box shows it.
void asAbout(frmSplash& form)
{
    form.cmdOK->setVisible(true);
    form.cmdSysInfo->setVisible(true);
}

} // namespace

class TestSplash : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Fakes> m_fakes;

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
        isolateSettings(m_dir->filePath(QStringLiteral("settings")));
        m_fakes = std::make_unique<Fakes>();
    }

    void cleanup()
    {
        for (frmSplash* splash : splashes())
            splash->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void splashAtStart()
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
        QVERIFY2(clock.elapsed() >= 2500,
                 qPrintable(QStringLiteral("closed after %1 ms").arg(clock.elapsed())));
        QVERIFY(window->isVisible());
    }

    void aboutBox_data()
    {
        QTest::addColumn<bool>("splashUp");
        QTest::addColumn<bool>("byEsc");
        QTest::newRow("closed by OK") << false << false;
        QTest::newRow("closed by Esc") << false << true;
        QTest::newRow("while the splash is up") << true << false;
    }

    void aboutBox()
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
            QVERIFY(about->cmdOK->isVisible() && about->cmdSysInfo->isVisible() &&
                    !about->Timer1->isActive());
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

    void stayOnTop()
    {
        frmSplash about(m_fakes->services());
        asAbout(about);
        QWidget other;
        const auto onTop = [&] { return about.windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint); };
        const auto activate = [](QWidget& window) {
            window.show();
            window.activateWindow();
            return QTest::qWaitForWindowActive(&window);
        };
        QVERIFY(activate(about) && onTop());
        m_fakes->registry.setText(kMsInfoKey, "PATH", "/usr/bin/true");
        about.cmdSysInfo->click();
        QVERIFY2(!onTop() && about.isVisible(), "the tool may come in front");
        // Until the box is activated again.
        QVERIFY(activate(other) && activate(about) && onTop());
    }

    void sysInfo_data()
    {
        QTest::addColumn<QByteArray>("first");  // the PATH value; empty: none
        QTest::addColumn<QByteArray>("second"); // the MSINFO value; "%1" is the test's folder
        QTest::addColumn<QString>("toolFile");  // made in the test's folder
        QTest::addColumn<QString>("started");   // "%1" is the test's folder; empty: the user is told
        const auto row = [](const char* name, const QByteArray& first, const char* second, const char* tool,
                            const char* started) {
            QTest::newRow(name) << first << QByteArray(second) << QString(tool) << QString(started);
        };
        const char* const exe = "tools/MSINFO32.EXE";
        row("first value, started unchecked", "/opt/info/tool", "", "", "/opt/info/tool");
        row("second value, folder with the tool", "", "%1/tools", exe, "%1/tools/MSINFO32.EXE");
        row("second value, folder without the tool", "", "%1/tools", "tools/other.exe", "");
        row("second value ending in a backslash", "", "%1/tools\\", exe, "%1/tools//MSINFO32.EXE");
        row("neither value", "", "", "", "");
        // Too long for the buffer: the value is unreadable, so the second one is asked for.
        row("first value over 1024 bytes", '/' + QByteArray(1100, 'a'), "%1/tools", exe,
            "%1/tools/MSINFO32.EXE");
    }

    void sysInfo()
    {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(QString, toolFile);
        QFETCH(QString, started);

        const QString folder = m_dir->path();
        if (!toolFile.isEmpty()) {
            QVERIFY(QDir(folder).mkpath(QStringLiteral("tools")));
            makeFile(m_dir->filePath(toolFile), true);
        }
        FakeRegistry& registry = m_fakes->registry;
        registry.addKey(kMsInfoKey);
        registry.addKey(kToolsLocationKey);
        if (!first.isEmpty())
            registry.setText(kMsInfoKey, "PATH", first);
        if (!second.isEmpty())
            registry.setText(kToolsLocationKey, "MSINFO", second.replace("%1", QFile::encodeName(folder)));

        frmSplash about(m_fakes->services());
        asAbout(about);
        about.cmdSysInfo->click();

        QCOMPARE(m_fakes->log, (QStringList{started.isEmpty() ? "message" : "start", "beep"}));
        QCOMPARE(m_fakes->tools.started, started.isEmpty()
                                             ? QStringList()
                                             : QStringList{started.replace(QLatin1String("%1"), folder)});
        if (started.isEmpty()) {
            QCOMPARE(m_fakes->messages.shown.first().text,
                     QStringLiteral("System Information Is Unavailable At This Time"));
            QVERIFY(m_fakes->messages.shown.first().buttons == jf::MessageBoxes::Buttons::Ok);
        }
        QCOMPARE(registry.closes, registry.openAttempts);
    }

    void toolOnThisSystem()
    {
        // The registry of this system names the first tool of its list that is a program on the path.
        makeFile(m_dir->filePath(QStringLiteral("hardinfo2")), false);
        makeFile(m_dir->filePath(QStringLiteral("hardinfo")), true);
        makeFile(m_dir->filePath(QStringLiteral("kinfocenter")), true);
        jf::StandInRegistry registry({m_dir->path()});
        frmSplash(jf::UiServices{m_fakes->dialog, m_fakes->messages, registry, m_fakes->tools})
            .cmdSysInfo->click();
        jf::StandInRegistry none({m_dir->filePath(QStringLiteral("settings"))});
        frmSplash(jf::UiServices{m_fakes->dialog, m_fakes->messages, none, m_fakes->tools})
            .cmdSysInfo->click();
        QCOMPARE(m_fakes->tools.started, QStringList{m_dir->filePath(QStringLiteral("hardinfo"))});
        QCOMPARE(m_fakes->log, (QStringList{"start", "beep", "message", "beep"}));
    }

    void programEndsWithMainWindow_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("splash still up") << "splash";
        QTest::newRow("status window hidden after a run") << "status";
        QTest::newRow("About box open") << "about";
    }

    void programEndsWithMainWindow()
    {
        QFETCH(QString, situation);
        const std::unique_ptr<frmMain1> window = jf::Main(m_fakes->services());
        if (situation == QLatin1String("status")) {
            const QString source = m_dir->filePath(QStringLiteral("cube.obj"));
            QVERIFY(writeFile(source, meshText(20)));
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
        QVERIFY(!window->isVisible() && splashes().isEmpty());
        QVERIFY(storedSettings().contains(QStringLiteral("Settings/MainLeft")));
    }
};

QTEST_MAIN(TestSplash)
#include "tst_ui_splash.moc"
