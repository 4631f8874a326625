#pragma once

#include "ui/services.h"

#include <memory>

namespace jf {

class frmMain1;

// Start-up: shows the splash without an owner, starts its timer and paints it at once, then creates,
// loads and shows the main window. The splash closes itself on its timer, or with the main window.
// The caller runs the event loop, which ends when the main window has closed.
std::unique_ptr<frmMain1> Main(const UiServices& services);

} // namespace jf
