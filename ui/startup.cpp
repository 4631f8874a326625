#include "ui/startup.h"

#include "ui/frmmain1.h"
#include "ui/frmsplash.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include <cstdio>

namespace jf {

namespace {

// The window system maps a new window in its own time; the splash is painted as soon as it is on
// screen, and start-up does not wait for that longer than this.
constexpr qint64 kMapWaitMs = 500;

void paintNow(QWidget* window)
{
    QElapsedTimer waited;
    waited.start();
    while (window->windowHandle() != nullptr && !window->windowHandle()->isExposed() &&
           waited.elapsed() < kMapWaitMs) {
        QCoreApplication::processEvents();
        QThread::msleep(2);
    }
    window->repaint();
}

} // namespace

std::unique_ptr<frmMain1> Main(const UiServices& services, const QString& openWith)
{
    auto* splash = new frmSplash(services);
    splash->setAttribute(Qt::WA_DeleteOnClose);
    splash->show();
    splash->Timer1->start();
    paintNow(splash);

    auto window = std::make_unique<frmMain1>(services);
    window->setSplash(splash);
    QObject::connect(window.get(), &frmMain1::unloaded, splash, &QWidget::close);
    // The program ends with its main window, whatever else is still loaded: a hidden status window,
    // or an About box whose modal loop this ends too.
    QObject::connect(window.get(), &frmMain1::unloaded, qApp, [] { QCoreApplication::exit(0); });
    window->show();
    if (!openWith.isEmpty() && !window->openFile(openWith))
        std::fprintf(stderr, "jitterform: no OBJ file at %s; the window starts without it.\n",
                     QFile::encodeName(openWith).constData());
    // The splash stays above the main window; the stay-on-top hint needs a window manager to honour it.
    splash->raise();
    return window;
}

QString fileToOpen(const QStringList& arguments)
{
    const qsizetype first = arguments.value(1) == QLatin1String("--") ? 2 : 1;
    return arguments.value(first);
}

} // namespace jf
