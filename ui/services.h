#pragma once

#include <QString>

#include <optional>

class QWidget;

namespace jf {

class Registry;

// The file dialog of the main window. The window keeps the dialog's state (its initial folder and
// the last path picked); a dialog is set up afresh from it at every showing.
class FileDialog
{
public:
    enum class Mode { Open, Save };
    struct Setup
    {
        Mode mode = Mode::Open;
        QString filter;        // "Wavefront OBJ (*.obj)"
        QString defaultSuffix; // added to a typed name without an extension
        QString initialFolder;
        QString fileName; // the last path picked, empty before the first pick
    };
    virtual ~FileDialog() = default;
    // The chosen path, or nothing when the user cancelled.
    virtual std::optional<QString> choose(QWidget* owner, const Setup& setup) = 0;
};

// Message boxes without an icon, modal to their owner.
class MessageBoxes
{
public:
    enum class Buttons { Ok, OkCancel };
    virtual ~MessageBoxes() = default;
    // True when the user pressed OK; closing the box counts as Cancel where there is one.
    virtual bool show(QWidget* owner, const QString& title, const QString& text, Buttons buttons) = 0;
};

// Starting the system-information tool, and the beep.
class SystemTools
{
public:
    virtual ~SystemTools() = default;
    // Starts the program on its own, not waiting for it; false when it could not be started.
    virtual bool startProgram(const QString& path) = 0;
    virtual void beep() = 0;
};

// Everything the windows reach outside themselves; tests replace each with a fake.
struct UiServices
{
    FileDialog& fileDialog;
    MessageBoxes& messages;
    Registry& registry;
    SystemTools& tools;
};

} // namespace jf
