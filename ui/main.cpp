#include "engine/version.h"
#include "ui/desktopservices.h"
#include "ui/frmmain1.h"
#include "ui/logo.h"
#include "ui/startup.h"

#include <QApplication>
#include <QFile>
#include <QStringList>

int main(int argc, char* argv[])
{
    // QApplication takes Qt's own options (-platform, -style, ...) out of argv; what is left is the
    // file to open, if any.
    QApplication application(argc, argv);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QFile::decodeName(argv[i]);
    QApplication::setApplicationName(QString::fromUtf8(jf::kApplicationName));
    QApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3").arg(jf::kVersionMajor).arg(jf::kVersionMinor).arg(jf::kVersionRevision));
    QApplication::setDesktopFileName(QStringLiteral("jitterform"));
    QApplication::setWindowIcon(jf::applicationIcon());

    jf::DesktopServices desktop;
    const std::unique_ptr<jf::frmMain1> window = jf::Main(desktop.services(), jf::fileToOpen(arguments));
    return QApplication::exec();
}
