#pragma once

#include "ui/registry.h"
#include "ui/services.h"

namespace jf {

// Qt's file dialog, set up as the main window asks.
class QtFileDialog : public FileDialog
{
public:
    std::optional<QString> choose(QWidget* owner, const Setup& setup) override;
};

// Qt's message boxes, without an icon.
class QtMessageBoxes : public MessageBoxes
{
public:
    bool show(QWidget* owner, const QString& title, const QString& text, Buttons buttons) override;
};

// Programs start detached; the beep is the window system's.
class DesktopSystemTools : public SystemTools
{
public:
    bool startProgram(const QString& path) override;
    void beep() override;
};

// The services of the program as it runs on a desktop.
class DesktopServices
{
public:
    UiServices services() { return {m_fileDialog, m_messages, m_registry, m_tools}; }

private:
    QtFileDialog m_fileDialog;
    QtMessageBoxes m_messages;
    StandInRegistry m_registry;
    DesktopSystemTools m_tools;
};

} // namespace jf
