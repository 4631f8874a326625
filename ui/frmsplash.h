#pragma once

#include "ui/registry.h"
#include "ui/services.h"

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;
class QTimer;

namespace jf {

// The start-up splash and, with cmdOK and cmdSysInfo made visible and shown modally by the main
// window, the About box. Every showing is a new form, so each starts from the designed state: both
// buttons hidden and Timer1 off.
class frmSplash : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kSplashMilliseconds = 2500;
    static constexpr std::uint32_t kValueBufferSize = 1024;

    explicit frmSplash(const UiServices& services, QWidget* owner = nullptr);

    // Reads one registry value. True when it was read: a text value into KeyVal; a 32-bit number as its
    // decimal text; a value of any other type leaves KeyVal as it was. False, with KeyVal empty, when
    // the key cannot be opened or the value cannot be read (missing, or over kValueBufferSize bytes).
    // The key is closed on every way out.
    bool GetKeyValue(RegistryKey KeyRoot, const QString& KeyName, const QString& SubKeyRef, QString& KeyVal);
    // Starts the system-information tool that the registry names, or tells the user that there is none.
    void StartSysInfo();

    QTimer* const Timer1;
    QGroupBox* const fraMainFrame;
    QLabel* const picLogo;
    QLabel* const lblCompanyProduct;
    QLabel* const lblProductName;
    QLabel* const lblPlatform;
    QLabel* const lblVersion;
    QLabel* const lblCopyright;
    QLabel* const Label1;
    QPushButton* const cmdOK;
    QPushButton* const cmdSysInfo;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The fixed dialog border: the form has no caption, so the window system draws none.
    void paintEvent(QPaintEvent* event) override;

private:
    void Form_Load();
    void Form_Activate();
    void Timer1_Timer();
    void cmdOK_Click();
    void cmdSysInfo_Click();
    void setStaysOnTop(bool on);
    void unavailable();

    UiServices m_services;
};

} // namespace jf
