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

void makeFile(const QString& path, bool executable)
{
    if (!writeAll(path, "#!/bin/sh\n"))
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

} // namespace

class TestSplash : public WindowTest
{
    Q_OBJECT

private slots:
    void init() { QVERIFY2(fresh(), qPrintable(m_dir->errorString())); }

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
        QTest::addColumn<bool>("byEsc");
        QTest::newRow("closed by OK") << false;
        QTest::newRow("closed by Esc") << true;
    }

    void aboutBox()
    {
        QFETCH(bool, byEsc);
        frmMain1 window(m_fakes->services());
        window.show();
        bool inspected = false;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<frmSplash*>(QApplication::activeModalWidget());
            QVERIFY2(about != nullptr, "a modal form");
            inspected = true;
            QVERIFY(about->cmdOK->isVisible() && about->cmdSysInfo->isVisible() &&
                    !about->Timer1->isActive());
            if (byEsc)
                QTest::keyClick(about, Qt::Key_Escape);
            else
                about->cmdOK->click();
        });
        window.mnuHelpAbout->trigger();
        QVERIFY(inspected);
        QVERIFY(splashes().isEmpty());
        QVERIFY(window.isVisible());
    }

    void toolOnThisSystem()
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
        // No tool in the registry's folder: the user is told.
        about.cmdSysInfo->click();
        QCOMPARE(m_fakes->messages.shown.size(), 1);
        QCOMPARE(m_fakes->messages.shown.first().text,
                 QStringLiteral("System Information Is Unavailable At This Time"));
        QVERIFY(m_fakes->messages.shown.first().buttons == jf::MessageBoxes::Buttons::Ok);
        // Then the first tool of the list that is a program.
        makeFile(path(QStringLiteral("hardinfo2")), false);
        makeFile(path(QStringLiteral("hardinfo")), true);
        makeFile(path(QStringLiteral("kinfocenter")), true);
        about.cmdSysInfo->click();
        QVERIFY2(!onTop() && about.isVisible(), "the tool may come in front");
        // Until the box is activated again.
        QVERIFY(activate(other) && activate(about) && onTop());
        // A tool whose path is too long for the About box's buffer is as good as none.
        const QString deep = path(QStringList(5, QString(230, QLatin1Char('d'))).join(QLatin1Char('/')));
        QVERIFY(QDir().mkpath(deep));
        makeFile(deep + QStringLiteral("/hardinfo"), true);
        jf::StandInRegistry far({deep});
        frmSplash(jf::UiServices{m_fakes->dialog, m_fakes->messages, far, m_fakes->tools})
            .cmdSysInfo->click();
        QCOMPARE(m_fakes->tools.started, QStringList{path(QStringLiteral("hardinfo"))});
        QCOMPARE(m_fakes->log, (QStringList{"message", "beep", "start", "beep", "message", "beep"}));
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
        const QPointer<frmSplash> splash = splashes().value(0);
        if (situation == QLatin1String("status")) {
            const QString source = path(QStringLiteral("cube.obj"));
            QVERIFY(writeAll(source, meshText(20)));
            window->txtSource->setText(source);
            window->txtDestination->setText(path(QStringLiteral("out.obj")));
            window->cmdConvert->click();
            QVERIFY(window->status() != nullptr && !window->status()->isVisible());
        }
        if (situation == QLatin1String("about"))
            QTimer::singleShot(0, window->mnuHelpAbout, &QAction::trigger);
        QTimer::singleShot(100, [&] {
            if (situation == QLatin1String("about")) {
                // The splash is the same form: it has gone before a fresh one came as the About box.
                auto* about = qobject_cast<frmSplash*>(QApplication::activeModalWidget());
                QVERIFY2(about != nullptr && about != splash && splashes() == QList<frmSplash*>{about},
                         "the About box alone is open");
            }
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
