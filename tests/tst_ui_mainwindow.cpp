#include "ui/registry.h"
#include "ui/startup.h"
#include "ui/testing/support.h"
#include "ui/twips.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QMimeData>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QWindow>

using jf::FileDialog;
using jf::frmMain1;
using jf::frmSplash;
using namespace jf::testing;

namespace {

QString upper(const QString& path)
{
    return QFile::decodeName(
        QByteArray::fromStdString(jf::toUpperText(QFile::encodeName(path).toStdString())));
}

QString twips(int pixels)
{
    return QString::number(jf::Twips().fromPixels(pixels));
}

QString stored(const QString& key)
{
    return storedSettings().value("Settings/" + key).toString();
}

void store(const QString& key, const QString& value)
{
    storedSettings().setValue("Settings/" + key, value);
}

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

// The controls of `window` whose caption does not fit the control, with what it needs.
QStringList clipped(const QWidget& window)
{
    QStringList faults;
    for (const QWidget* control : window.findChildren<QWidget*>()) {
        if (!control->isVisibleTo(&window))
            continue;
        if (!control->isWindow() && !control->parentWidget()->rect().contains(control->geometry()))
            faults.append(control->objectName() + QStringLiteral(" reaches out of its container"));
        const QFontMetrics metrics = control->fontMetrics();
        const QStyle* style = control->style();
        const auto metric = [&](QStyle::PixelMetric which) {
            return style->pixelMetric(which, nullptr, control);
        };
        const int frame = metric(QStyle::PM_DefaultFrameWidth);
        const auto fit = [&](const QString& text, int margin, int width, int lineMargin, int height) {
            const int need = metrics.horizontalAdvance(text) + margin;
            if (need > width || metrics.height() + lineMargin > height)
                faults.append(QStringLiteral("%1 \"%2\": %3 x %4 px in %5 x %6")
                                  .arg(control->objectName(), text)
                                  .arg(need)
                                  .arg(metrics.height() + lineMargin)
                                  .arg(width)
                                  .arg(height));
        };
        if (const auto* label = qobject_cast<const QLabel*>(control);
            label != nullptr && !label->text().isEmpty())
            fit(label->text(), 0, label->contentsRect().width(), 0, label->contentsRect().height());
        else if (const auto* button = qobject_cast<const QPushButton*>(control))
            fit(QString(button->text()).remove(QLatin1Char('&')), 2 * frame, button->width(), 0,
                button->height());
        else if (const auto* box = qobject_cast<const QCheckBox*>(control))
            fit(box->text(), metric(QStyle::PM_IndicatorWidth) + metric(QStyle::PM_CheckBoxLabelSpacing),
                box->width(), 0, box->height());
        else if (const auto* group = qobject_cast<const QGroupBox*>(control))
            fit(group->title(), 4 * frame, group->width(), 0, group->height());
        else if (const auto* list = qobject_cast<const QComboBox*>(control)) {
            for (int i = 0; i < list->count(); ++i)
                fit(list->itemText(i), metric(QStyle::PM_ScrollBarExtent) + 4 * frame, list->width(),
                    2 * frame, list->height());
        }
    }
    return faults;
}

} // namespace

// The main window, the splash that comes with it and serves as its About box, and the status
// window: what a user sees of each, at 96 and 144 DPI.
class TestMainWindow : public WindowTest
{
    Q_OBJECT

    std::unique_ptr<frmMain1> open(bool activate = false)
    {
        auto window = std::make_unique<frmMain1>(m_fakes->services());
        if (activate) {
            window->show();
            window->activateWindow();
            if (!QTest::qWaitForWindowActive(window.get()))
                qWarning("the main window did not become active");
        }
        return window;
    }

private slots:
    void init() { QVERIFY2(fresh(), qPrintable(m_dir->errorString())); }
    void cleanup()
    {
        jf::setLogicalDpiForTesting(0);
        for (frmSplash* splash : splashes())
            splash->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void settingsRoundTrip_data()
    {
        QTest::addColumn<QString>("left"); // null: never stored
        QTest::addColumn<QString>("top");
        QTest::addColumn<QPoint>("start"); // -1: centred
        QTest::addColumn<int>("state");    // at the close, after a move to (120, 90)
        QTest::addColumn<QPoint>("next");  // where the next start puts the window

        const QPoint moved(120, 90);
        QTest::newRow("first start") << QString() << QString() << QPoint(-1, -1) << 0 << moved;
        QTest::newRow("garbage left") << "abc" << twips(100) << QPoint(-1, 100) << 0 << moved;
        QTest::newRow("beyond a float, not finite") << "1e39"
                                                    << "nan" << QPoint(-1, -1) << 0 << moved;
        QTest::newRow("wholly off the screen") << twips(-2000) << twips(100) << QPoint(-1, -1) << 0 << moved;
        // A minimised or maximised window keeps the position it had before.
        QTest::newRow("partly on, closed minimised") << twips(-400) << twips(-50) << QPoint(-400, -50)
                                                     << int(Qt::WindowMinimized) << QPoint(-400, -50);
        QTest::newRow("closed maximised")
            << twips(200) << twips(160) << QPoint(200, 160) << int(Qt::WindowMaximized) << QPoint(200, 160);
    }
    void settingsRoundTrip()
    {
        QFETCH(QString, left);
        QFETCH(QString, top);
        QFETCH(QPoint, start);
        QFETCH(int, state);
        QFETCH(QPoint, next);
        if (!left.isNull()) {
            store(QStringLiteral("MainLeft"), left);
            store(QStringLiteral("MainTop"), top);
        }
        store(QStringLiteral("Path"), QStringLiteral("/OLD/FOLDER"));
        {
            const auto window = open();
            const QSize room = window->screen()->geometry().size() - window->frameGeometry().size();
            QCOMPARE(window->pos(), QPoint(start.x() == -1 ? room.width() / 2 : start.x(),
                                           start.y() == -1 ? room.height() / 2 : start.y()));
            window->show();
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            window->move(120, 90);
            window->setWindowState(Qt::WindowState(state));
            QVERIFY(window->close());
        }
        QCOMPARE(stored(QStringLiteral("MainLeft")), twips(next.x()));
        QCOMPARE(stored(QStringLiteral("MainTop")), twips(next.y()));
        QCOMPARE(stored(QStringLiteral("Path")), QStringLiteral("/OLD/FOLDER")); // never browsed
        QCOMPARE(open()->pos(), next);
    }

    void browse()
    {
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models")) &&
                QDir(m_dir->path()).mkpath(QStringLiteral("Other")));
        const QString source = path(QStringLiteral("Models/Cube.obj"));
        const QString destination = path(QStringLiteral("Other/Result.OBJ"));
        m_fakes->dialog.answers = {source, destination}; // then two cancels
        {
            const auto window = open();
            const QStringList after[] = {
                {lower(source), lower(path(QStringLiteral("Models/Cube_n.obj")))},
                {lower(source), lower(destination)},
                {QString(), lower(destination)}, // a cancel empties the box
                {QString(), QString()},
            };
            for (int i = 0; i < 4; ++i) {
                (i % 2 == 0 ? window->cmdBrowseSource : window->cmdBrowseDestination)->click();
                QCOMPARE((QStringList{window->txtSource->text(), window->txtDestination->text()}), after[i]);
                QCOMPARE(window->focusWidget(), i % 2 == 0 ? window->txtSource : window->txtDestination);
            }
            QVERIFY(window->close());
        }
        const QList<FileDialog::Setup>& setups = m_fakes->dialog.setups;
        QCOMPARE(setups.size(), 4);
        const QStringList fileNames = {QString(), source, destination, destination};
        for (qsizetype i = 0; i < setups.size(); ++i) {
            QVERIFY(setups[i].mode == (i % 2 == 0 ? FileDialog::Mode::Open : FileDialog::Mode::Save));
            QCOMPARE(setups[i].filter, QStringLiteral("Wavefront OBJ (*.obj)"));
            QCOMPARE(setups[i].fileName, fileNames[i]);
        }
        QCOMPARE(setups[0].initialFolder, QCoreApplication::applicationDirPath()); // none stored yet
        // The last path picked in either dialog gives the stored folder; a cancel picks nothing.
        QCOMPARE(stored(QStringLiteral("Path")), upper(path(QStringLiteral("Other"))));
        // The next session's dialogs open in that folder, found on the disk whatever its letter case.
        open()->cmdBrowseSource->click();
        QCOMPARE(m_fakes->dialog.setups.value(4).initialFolder, path(QStringLiteral("Other")));
    }

    void intensity_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("keys");         // + and - press the buttons, > tabs out of the box
        QTest::addColumn<QStringList>("expected"); // the text after each key
        QTest::addColumn<bool>("refused");         // the box keeps the focus at a tab

        const auto row = [](const char* name, const char* start, const char* keys, const QStringList& texts,
                            bool refused) {
            QTest::newRow(name) << QString(start) << QString(keys) << texts << refused;
        };
        const QStringList doubled = {"0.2", "0.4", "0.8", "1.6", "3.2", "6.4", "10", "10"};
        row("doubling up to 10", "0.1", "+++++++>", doubled, false);
        row("halving, in three places", "0.1", "----+", {"0.05", "0.025", "0.013", "0.006", "0.012"}, false);
        row("0 stays on +, not on -", "0", ">+-", {"0", "0", "0.001"}, false);
        row("just above 10", "10.001", ">", {"10.001"}, true);
        row("negative", "-0.5", ">", {"-0.5"}, true);
        row("too big to read", "1e400", "+->", {"1e400", "1e400", "1e400"}, true);
    }

    void intensity()
    {
        QFETCH(QString, start);
        QFETCH(QString, keys);
        QFETCH(QStringList, expected);
        QFETCH(bool, refused);
        const auto window = open(true);
        window->txtIntensity->setText(start);
        QStringList texts;
        for (const QChar key : keys) {
            if (key == QLatin1Char('>')) {
                window->txtIntensity->setFocus();
                QTest::keyClick(window->txtIntensity, Qt::Key_Tab);
                QCOMPARE(QApplication::focusWidget() == window->txtIntensity, refused);
            } else {
                QTest::mouseClick(key == QLatin1Char('+') ? window->Command1 : window->Command2,
                                  Qt::LeftButton);
            }
            texts.append(window->txtIntensity->text());
        }
        QCOMPARE(texts, expected);
        if (!refused)
            return;
        QCOMPARE(window->txtIntensity->selectedText(), start);
        // A click elsewhere neither takes the focus nor does its work.
        QTest::mouseClick(window->chkX, Qt::LeftButton);
        QCOMPARE(window->xValue(), int(jf::Checked));
        QCOMPARE(QApplication::focusWidget(), window->txtIntensity);
    }

    void drop()
    {
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models/mesh.obj")));
        QVERIFY(writeAll(path(QStringLiteral("Models/Cube.OBJ")), "v 0 0 0\n"));
        const auto window = open(true);
        QMimeData mime;
        const auto dragOn = [&](const QString& file) {
            mime.setUrls({QUrl::fromLocalFile(path(file))});
            QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &enter);
            QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(window.get(), &drop);
            return enter.isAccepted();
        };
        window->txtSource->setText(QStringLiteral("before"));
        QVERIFY2(!dragOn(QStringLiteral("Models/mesh.obj")), "a folder named like a mesh is no mesh");
        QCOMPARE(window->txtSource->text(), QStringLiteral("before"));
        QVERIFY(dragOn(QStringLiteral("Models/Cube.OBJ")));
        QCOMPARE(window->txtSource->text(), lower(path(QStringLiteral("Models/Cube.OBJ"))));
        QCOMPARE(window->txtDestination->text(), lower(path(QStringLiteral("Models/Cube_n.OBJ"))));
        QCOMPARE(QApplication::focusWidget(), window->txtSource);
        QVERIFY(window->close());
        // Like a pick in the dialog, a drop gives the dialogs their folder.
        QCOMPARE(stored(QStringLiteral("Path")), upper(path(QStringLiteral("Models"))));
    }

    // "Open with" in a file manager starts the program with the file, which fills the boxes as a
    // drop of it would; a name that is no mesh leaves the window as it starts without one.
    void openWith_data()
    {
        // Those left after Qt's own, the program's name first; @ is the test's folder.
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("source"); // relative to the test's folder; empty: none taken
        QTest::addColumn<QString>("destination");
        const QString models = QStringLiteral("Models/");
        QTest::newRow("no file") << QStringList{"jitterform"} << QString() << QString();
        QTest::newRow("relative") << QStringList{"jitterform", models + "Cube.OBJ"} << models + "Cube.OBJ"
                                  << models + "Cube_n.OBJ";
        QTest::newRow("absolute") << QStringList{"jitterform", "@/" + models + "Cube.OBJ"}
                                  << models + "Cube.OBJ" << models + "Cube_n.OBJ";
        QTest::newRow("a dash after --") << QStringList{"jitterform", "--", "-dash.obj"} << "-dash.obj"
                                         << "-dash_n.obj";
        QTest::newRow("missing") << QStringList{"jitterform", models + "gone.obj"} << QString() << QString();
        QTest::newRow("a folder named like a mesh")
            << QStringList{"jitterform", models + "mesh.obj"} << QString() << QString();
        QTest::newRow("not an OBJ") << QStringList{"jitterform", models + "notes.txt"} << QString()
                                    << QString();
    }
    void openWith()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Models/mesh.obj")));
        for (const char* name : {"Models/Cube.OBJ", "Models/notes.txt", "-dash.obj"})
            QVERIFY(writeAll(path(QString::fromLatin1(name)), "v 0 0 0\n"));
        store(QStringLiteral("Path"), upper(path(QStringLiteral("Before"))));
        arguments.replaceInStrings(QStringLiteral("@"), m_dir->path());
        const QString folder = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        const std::unique_ptr<frmMain1> window = jf::Main(m_fakes->services(), jf::fileToOpen(arguments));
        QVERIFY(QDir::setCurrent(folder));
        if (source.isEmpty()) {
            QVERIFY2(window->txtSource->text().isEmpty() && window->txtDestination->text().isEmpty(),
                     qPrintable(window->txtSource->text()));
        } else {
            QCOMPARE(window->txtSource->text(), lower(path(source)));
            QCOMPARE(window->txtDestination->text(), lower(path(destination)));
        }
        // Closed outside an event loop, the window's end of the program would end the next test's.
        QObject::disconnect(window.get(), &frmMain1::unloaded, qApp, nullptr);
        QVERIFY(window->close());
        // As after a drop, the dialogs open in the file's folder from then on.
        const QString remembered = source.isEmpty() ? path(QStringLiteral("Before"))
                                                    : QDir::cleanPath(path(QFileInfo(source).path()));
        QCOMPARE(stored(QStringLiteral("Path")), upper(remembered));
    }

    void splashAtStart()
    {
        QElapsedTimer clock;
        clock.start();
        const std::unique_ptr<frmMain1> window = jf::Main(m_fakes->services());
        QCOMPARE(splashes().size(), 1);
        QPointer<frmSplash> splash = splashes().first();
        QVERIFY(window->isVisible() && !splash->cmdOK->isVisible() && !splash->cmdSysInfo->isVisible());
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

    // Help > About shows the splash as a modal box with its buttons and no timer; OK and Esc close it.
    void aboutBox()
    {
        frmMain1 window(m_fakes->services());
        window.show();
        for (const bool byEsc : {false, true}) {
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
            QVERIFY(inspected && splashes().isEmpty() && window.isVisible());
        }
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

    void captionsFit_data()
    {
        QTest::addColumn<double>("dpi");
        QTest::addColumn<QSize>("client"); // the main window's client area in pixels
        QTest::newRow("96 DPI") << 96.0 << QSize(480, 231);
        QTest::newRow("144 DPI") << 144.0 << QSize(720, 347);
    }
    void captionsFit()
    {
        QFETCH(double, dpi);
        QFETCH(QSize, client);
        jf::setLogicalDpiForTesting(dpi);

        jf::frmMain1 main(m_fakes->services());
        QCOMPARE(main.centralWidget()->size(), client);
        QStringList faults = clipped(main);
        jf::frmStatus status(&main);
        for (const char* phase : {"Checking OBJ file format ...cancel", "scan for extents ...cancel",
                                  "adding noise to verticies ...cancel"}) {
            status.setLabel(phase);
            faults += clipped(status);
        }
        jf::frmSplash about(m_fakes->services());
        asAbout(about);
        faults += clipped(about);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("; "))));
    }

    void statusBar_data()
    {
        QTest::addColumn<float>("max");
        QTest::addColumn<float>("value");
        QTest::addColumn<int>("steps");
        QTest::newRow("half way") << 1001.0f << 501.0f << jf::frmStatus::kBarSteps / 2;
        // Sizes past what a 32-bit bar can hold are scaled, not wrapped.
        QTest::newRow("over 4 GiB, near the end") << 6.0e9f << 5.97e9f << 9950;
        // A maximum not above the minimum (an empty or one-byte source) shows an empty bar.
        QTest::newRow("empty source") << 0.0f << 1.0f << 0;
        QTest::newRow("one-byte source") << 1.0f << 1.0f << 0;
        QTest::newRow("beyond the maximum") << 100.0f << 500.0f << jf::frmStatus::kBarSteps;
    }
    void statusBar()
    {
        QFETCH(float, max);
        QFETCH(float, value);
        QWidget owner;
        jf::frmStatus status(&owner);
        status.setMin(1.0f);
        status.setMax(max);
        status.setValue(1.0f);
        status.show();
        status.setValue(value);
        QVERIFY2(status.ProgressBar1->value() == 0, "the value waits for the next refresh");
        status.refresh();
        QTEST(status.ProgressBar1->value(), "steps");
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_ui_mainwindow.moc"
