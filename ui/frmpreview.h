#pragma once

#include "preview/displaymodel.h"

#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTimer;

namespace jf {

class PreviewView;

// The preview window: the source before and after its noise, side by side under one camera, with a
// status line. It follows the main window: setSource() loads a file on a thread of its own (with a
// progress bar and a Cancel), optionsChanged() noises the loaded mesh again without reading the file.
// It only reads the file. Where the display has no usable OpenGL it says so in words instead.
class frmPreview : public QWidget
{
    Q_OBJECT

public:
    // `readSettings` gives the main window's choices at the moment of the call. Owned by `owner`, a
    // window of its own above it; its size and position come from the settings.
    frmPreview(std::function<PreviewSettings()> readSettings, QWidget* owner,
               std::uint64_t triangleBudget = kDefaultTriangleBudget);
    ~frmPreview() override;

    // Loads `path` (cancelling a load under way); an empty path shows nothing.
    void setSource(const QString& path);
    // The main window's choices have changed: After is worked out again from the loaded mesh.
    void optionsChanged();
    // Stops the load under way, if any; the mesh shown before it stays.
    void cancelLoad();

    bool isLoading() const;
    std::shared_ptr<const PreviewMesh> mesh() const { return m_mesh; }
    // The After positions drawn now (the file's own where the noise failed).
    const std::vector<double>& afterPositions() const { return m_after; }
    // How many times After has been worked out, so that a caller can see it was.
    int noiseRuns() const { return m_noiseRuns; }

    PreviewView* view = nullptr; // null where there is no OpenGL
    QLabel* lblBefore = nullptr;
    QLabel* lblAfter = nullptr;
    QLabel* lblUnavailable = nullptr;
    QProgressBar* prgLoad = nullptr;
    QPushButton* cmdCancel = nullptr;
    QLabel* lblStatus = nullptr;

signals:
    // A load has ended: loaded, failed or cancelled.
    void loadFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Load;

    void createControls();
    void showUnavailable(const QString& reason);
    void loadSettings();
    void saveSettings() const;
    void finishLoad(const std::shared_ptr<Load>& load);
    void updateProgress();
    void updateStatus();
    void stopWorker();

    std::function<PreviewSettings()> m_readSettings;
    std::uint64_t m_budget;
    QStackedWidget* m_pages = nullptr;
    QTimer* m_progressTimer = nullptr;

    std::shared_ptr<const PreviewMesh> m_mesh;
    std::vector<double> m_after;
    std::optional<PreviewNoise> m_noise; // amplitude and error of the last noise, positions moved out
    std::int32_t m_daySeed = 0;
    QString m_loadError;
    int m_noiseRuns = 0;

    std::shared_ptr<Load> m_load;
    std::thread m_worker;
};

} // namespace jf
