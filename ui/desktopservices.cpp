#include "ui/desktopservices.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>

namespace jf {

std::optional<QString> QtFileDialog::choose(QWidget* owner, const Setup& setup)
{
    QFileDialog dialog(owner);
    const bool open = setup.mode == Mode::Open;
    dialog.setAcceptMode(open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    dialog.setFileMode(open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilter(setup.filter);
    dialog.setDefaultSuffix(setup.defaultSuffix);
    // Convert asks before it replaces a file; the dialog asking too would ask twice.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setDirectory(setup.initialFolder);
    if (!setup.fileName.isEmpty())
        dialog.selectFile(setup.fileName);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return chosen.constFirst();
}

bool QtMessageBoxes::show(QWidget* owner, const QString& title, const QString& text, Buttons buttons)
{
    const QMessageBox::StandardButtons set =
        buttons == Buttons::Ok ? QMessageBox::Ok : QMessageBox::Ok | QMessageBox::Cancel;
    QMessageBox box(QMessageBox::NoIcon, title, text, set, owner);
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
}

bool DesktopSystemTools::startProgram(const QString& path)
{
    return QProcess::startDetached(path, {});
}

void DesktopSystemTools::beep()
{
    QApplication::beep();
}

} // namespace jf
