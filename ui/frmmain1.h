#pragma once

#include "engine/host.h"
#include "ui/eventyield.h"
#include "ui/services.h"

#include <QMainWindow>
#include <QPointer>

#include <future>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace jf {

class frmPreview;
class frmSplash;
class frmStatus;

// The main window. Its controls are the conversion's options: the engine reads each one from them at
// the moment it uses it, so a change made during a run takes effect at the next read.
class frmMain1 : public QMainWindow, public ConversionOptions
{
    Q_OBJECT

public:
    // Creates and loads the window: its position and the file dialog's folder come from the
    // settings, and the caption and the algorithm list are set.
    explicit frmMain1(const UiServices& services, QWidget* parent = nullptr);
    ~frmMain1() override;

    // ConversionOptions. Texts cross as bytes in the file-name encoding. The check boxes and the list
    // are read once per record, so they only look at the controls.
    std::string sourceText() const override;
    std::string destinationText() const override;
    void setDestinationText(std::string_view text) override;
    std::string intensityText() const override;
    int algorithmIndex() const override;
    int xValue() const override;
    int yValue() const override;
    int zValue() const override;
    int normalsValue() const override;
    int splitValue() const override;

    // The start-up splash while it is up: Help > About closes it before it opens the About box.
    void setSplash(frmSplash* splash);
    // The runs' clock (tests fix the day).
    void setDayClock(DayClock clock);
    EventYield& events() { return m_events; }
    // Tests make the passes' chunks small, so that every phase yields many times on a small mesh.
    void setChunkBytes(std::size_t bytes) { m_chunkBytes = bytes; }
    // Created at the first run, then only shown and hidden.
    frmStatus* status() const { return m_status; }
    bool isRunning() const { return m_running; }

    QGroupBox* Frame1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtSource = nullptr;
    QPushButton* cmdBrowseSource = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* txtDestination = nullptr;
    QPushButton* cmdBrowseDestination = nullptr;
    QGroupBox* Frame3 = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* txtIntensity = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QLabel* Label4 = nullptr;
    QComboBox* cmbAlgorithm = nullptr;
    QLabel* Label5 = nullptr;
    QCheckBox* chkX = nullptr;
    QCheckBox* chkY = nullptr;
    QCheckBox* chkZ = nullptr;
    QCheckBox* chkNormals = nullptr;
    QCheckBox* chkSplit = nullptr;
    QPushButton* cmdConvert = nullptr;
    QMenu* mnuFile = nullptr;
    QAction* mnuFileClose = nullptr;
    QMenu* mnuView = nullptr;
    QAction* mnuViewPreview = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuHelpAbout = nullptr;

    // A file named when the program starts, as a file manager's "Open with" names it, taken as a
    // dropped one: an existing .obj file becomes the source and proposes the destination. A relative
    // path is taken from the current folder. Any other path changes nothing and gives false.
    bool openFile(const QString& path);

    // The preview window once View > Preview has opened it; it lives as long as this window.
    frmPreview* preview() const { return m_preview; }

signals:
    // The window has closed and stored its settings: the program ends.
    void unloaded();

protected:
    // Stores the folder and the position. During a run the close waits: the run is cancelled and
    // the window closes as soon as the run has returned.
    void closeEvent(QCloseEvent* event) override;
    // An .obj file dropped from the file manager is taken as the source, as if browsed for.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Select-all on focus, and the intensity check before the focus leaves txtIntensity.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Prompts;

    void createControls();
    void createMenus();
    void Form_Load();
    void Form_Unload();
    void cmdBrowseSource_Click();
    void cmdBrowseDestination_Click();
    void cmdConvert_Click();
    void Command1_Click();
    void Command2_Click();
    void txtIntensity_Validate(bool& cancel);
    void mnuFileClose_Click();
    void mnuHelpAbout_Click();

    // The preview follows this window's source and options.
    void createPreviewMenu();
    void mnuViewPreview_Click();
    void previewSourceChanged();
    void previewOptionsChanged();

    std::optional<QString> browse(FileDialog::Mode mode);
    void takeSource(const QString& path);
    void takeDropped(const QString& path);
    frmStatus& statusWindow();

    UiServices m_services;
    EventYield m_events;
    DayClock m_clock = systemOleDate;
    std::size_t m_chunkBytes = kPassChunkBytes;
    frmStatus* m_status = nullptr;
    QPointer<frmSplash> m_splash;
    // The file dialog's state: the folder it first opens in, and the last path picked in it.
    QString m_dialogFolder;
    QString m_dialogFileName;
    bool m_running = false;
    // The last run's replaced source, freed beside the window; the next run or the window's end
    // waits for it, long after it is done.
    std::shared_future<void> m_releasing;
    bool m_closeAfterRun = false;
    bool m_unloaded = false;
    frmPreview* m_preview = nullptr;
};

} // namespace jf
