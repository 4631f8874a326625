#pragma once

#include "ui/services.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace jf {

class frmMain1;

// Start-up: shows the splash without an owner, starts its timer and paints it at once, then creates,
// loads and shows the main window. The splash closes itself on its timer, or with the main window.
// The caller runs the event loop, which ends when the main window has closed. `openWith`, when not
// empty, is taken as a file dropped on the window (frmMain1::openFile); a path that is no .obj file
// leaves the window as it would be without it, and a line on stderr says so.
std::unique_ptr<frmMain1> Main(const UiServices& services, const QString& openWith = {});

// The file named on the command line, from the arguments that remain once QApplication has taken
// its own (the program's name first); empty when there is none. A "--" before it is skipped, so that
// a name that starts with a dash can be given.
QString fileToOpen(const QStringList& arguments);

} // namespace jf
