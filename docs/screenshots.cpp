// Writes the windows' pictures for the documentation into the folder it is given, named after the
// screen's resolution (run it with QT_FONT_DPI=144 for the 144-DPI set). It drives the windows
// through the tests' stand-ins, with its settings in a folder of its own.

#include "tests/ui/support.h"
#include "ui/frmpreview.h"
#include "ui/logo.h"
#include "ui/previewview.h"
#include "ui/twips.h"

#include <QSignalSpy>

#include <cstdio>

using namespace jf::testing;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const QDir folder(QFile::decodeName(argv[1]));
    QTemporaryDir dir;
    if (!folder.mkpath(QStringLiteral(".")) || !dir.isValid()) {
        std::fprintf(stderr, "cannot make %s or a temporary folder\n", argv[1]);
        return 1;
    }
    const int dpi = qRound(jf::logicalDpi() * app.devicePixelRatio());
    int failures = 0;
    const auto save = [&](const QPixmap& picture, const char* name) {
        const QString file = folder.filePath(QStringLiteral("%1-%2dpi.png").arg(name).arg(dpi));
        if (!picture.save(file)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            ++failures;
        }
    };
    const auto show = [&](QWidget& window) {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) {
            std::fprintf(stderr, "%s was not shown\n", qPrintable(window.objectName()));
            ++failures;
        }
    };
    isolateSettings(dir.path());
    Fakes fakes;

    jf::frmMain1 window(fakes.services());
    const QString source = dir.filePath(QStringLiteral("teapot.obj"));
    writeAll(source, meshText(100000));
    // The pictures show a folder a user would have, not the temporary one.
    window.txtSource->setText(QStringLiteral("/home/artist/meshes/teapot.obj"));
    window.txtDestination->setText(QStringLiteral("/home/artist/meshes/teapot_n.obj"));
    show(window);
    save(window.grab(), "main-window");

    window.txtSource->setText(lower(source));
    window.txtDestination->setText(lower(dir.filePath(QStringLiteral("teapot_n.obj"))));
    window.events().setServeInterval(0);
    bool grabbed = false;
    convertWith(window, [&] {
        if (!grabbed && phaseOf(window) == kNoise && window.status()->ProgressBar1->value() > 4000) {
            grabbed = true;
            save(window.status()->grab(), "status");
        }
    });
    if (!grabbed) {
        std::fprintf(stderr, "the run ended before the status window was grabbed\n");
        ++failures;
    }

    // The preview of a mesh with some shape to it, as the main window's defaults noise it.
    {
        const QString sphere = dir.filePath(QStringLiteral("sphere.obj"));
        writeAll(sphere, sphereText(24, 48));
        window.txtSource->setText(lower(sphere));
        window.setDayClock(fixedDay());
        window.mnuViewPreview->trigger();
        jf::frmPreview* preview = window.preview();
        QSignalSpy finished(preview, &jf::frmPreview::loadFinished);
        if (preview->isLoading() && !finished.wait(60000)) {
            std::fprintf(stderr, "the preview did not load\n");
            ++failures;
        }
        if (!QTest::qWaitForWindowExposed(preview))
            ++failures;
        preview->resize(jf::Twips().size(9600, 5400));
        if (preview->view) {
            preview->view->camera().orbit(0, 40, preview->view->height());
            preview->view->setWireframe(true);
        }
        QTest::qWait(200);
        save(preview->grab(), "preview");
        preview->close();
    }

    jf::frmSplash splash(fakes.services());
    show(splash);
    save(splash.grab(), "splash");
    asAbout(splash);
    save(splash.grab(), "about");
    save(jf::applicationIcon().pixmap(QSize(128, 128)), "icon");
    return failures == 0 ? 0 : 1;
}
