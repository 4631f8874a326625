#include "ui/frmpreview.h"

#include "engine/version.h"
#include "ui/previewview.h"
#include "ui/settingsfile.h"
#include "ui/twips.h"

#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

namespace jf {

namespace {

const QString kSettingsGroup = QStringLiteral("Preview");
const QString kLeft = QStringLiteral("Left");
const QString kTop = QStringLiteral("Top");
const QString kWidth = QStringLiteral("Width");
const QString kHeight = QStringLiteral("Height");

// The first showing's size: two square-ish views side by side, in twips.
constexpr double kDefaultWidth = 12000;
constexpr double kDefaultHeight = 7200;
// The progress bar's pace: often enough to look alive, seldom enough to cost the loader nothing.
constexpr int kProgressIntervalMs = 50;
// The bar counts in thousandths, so files over 2 GiB fit its integer range.
constexpr int kProgressSteps = 1000;

QString count(std::uint64_t n)
{
    return QLocale::c().toString(static_cast<qulonglong>(n));
}

} // namespace

// One load: the worker fills it in, the window reads it once the worker has ended.
struct frmPreview::Load
{
    std::string path;
    std::atomic<bool> cancel{false};
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};
    PreviewLoad result;
};

frmPreview::frmPreview(std::function<PreviewSettings()> readSettings, QWidget* owner,
                       std::uint64_t triangleBudget)
    : QWidget(owner, Qt::Window), m_readSettings(std::move(readSettings)), m_budget(triangleBudget)
{
    setObjectName(QStringLiteral("frmPreview"));
    setWindowTitle(QStringLiteral("Preview"));
    createControls();
    loadSettings();
    if (const std::optional<QString> problem = previewOpenGlProblem())
        showUnavailable(*problem);
}

frmPreview::~frmPreview()
{
    stopWorker();
}

void frmPreview::createControls()
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->setSpacing(4);

    m_pages = new QStackedWidget(this);
    auto* viewsPage = new QWidget(m_pages);
    auto* viewsLayout = new QVBoxLayout(viewsPage);
    viewsLayout->setContentsMargins(0, 0, 0, 0);
    viewsLayout->setSpacing(2);
    // The captions sit above the halves of one drawing surface, so both sides share one context and
    // one camera, and a grab of the surface holds nothing but the two meshes.
    auto* captions = new QHBoxLayout;
    lblBefore = new QLabel(QStringLiteral("Before"), viewsPage);
    lblBefore->setObjectName(QStringLiteral("lblBefore"));
    lblAfter = new QLabel(QStringLiteral("After"), viewsPage);
    lblAfter->setObjectName(QStringLiteral("lblAfter"));
    for (QLabel* caption : {lblBefore, lblAfter}) {
        caption->setAlignment(Qt::AlignCenter);
        captions->addWidget(caption, 1);
    }
    viewsLayout->addLayout(captions);
    view = new PreviewView(viewsPage);
    view->setObjectName(QStringLiteral("view"));
    viewsLayout->addWidget(view, 1);
    m_pages->addWidget(viewsPage);

    lblUnavailable = new QLabel(m_pages);
    lblUnavailable->setObjectName(QStringLiteral("lblUnavailable"));
    lblUnavailable->setAlignment(Qt::AlignCenter);
    lblUnavailable->setWordWrap(true);
    m_pages->addWidget(lblUnavailable);
    layout->addWidget(m_pages, 1);

    auto* progressRow = new QHBoxLayout;
    prgLoad = new QProgressBar(this);
    prgLoad->setObjectName(QStringLiteral("prgLoad"));
    prgLoad->setRange(0, kProgressSteps);
    prgLoad->setTextVisible(false);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    progressRow->addWidget(prgLoad, 1);
    progressRow->addWidget(cmdCancel);
    layout->addLayout(progressRow);
    prgLoad->hide();
    cmdCancel->hide();

    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(lblStatus);

    m_progressTimer = new QTimer(this);
    m_progressTimer->setInterval(kProgressIntervalMs);
    connect(m_progressTimer, &QTimer::timeout, this, &frmPreview::updateProgress);
    connect(cmdCancel, &QPushButton::clicked, this, &frmPreview::cancelLoad);
    connect(view, &PreviewView::unavailable, this, &frmPreview::showUnavailable);
}

void frmPreview::showUnavailable(const QString& reason)
{
    lblUnavailable->setText(reason);
    m_pages->setCurrentWidget(lblUnavailable);
    // The surface goes: a widget without a context would only warn at every paint.
    if (view) {
        view->hide();
        view->deleteLater();
        view = nullptr;
    }
}

void frmPreview::loadSettings()
{
    const Twips twips;
    QSettings settings = openSettingsFile();
    settings.beginGroup(kSettingsGroup);
    const double width = storedTwips(settings, kWidth).value_or(kDefaultWidth);
    const double height = storedTwips(settings, kHeight).value_or(kDefaultHeight);
    resize(std::max(twips.toPixels(width), 320), std::max(twips.toPixels(height), 240));
    const std::optional<float> left = storedTwips(settings, kLeft);
    const std::optional<float> top = storedTwips(settings, kTop);
    if (left && top) {
        const QRect frame(QPoint(twips.toPixels(*left), twips.toPixels(*top)), size());
        // A position on a monitor that is gone would hide the window: the window system places it.
        for (const QScreen* screen : QGuiApplication::screens()) {
            if (screen->geometry().intersects(frame)) {
                move(frame.topLeft());
                break;
            }
        }
    }
}

void frmPreview::saveSettings() const
{
    if (isMinimized() || isMaximized())
        return;
    const Twips twips;
    QSettings settings = openSettingsFile();
    settings.beginGroup(kSettingsGroup);
    const auto put = [&](const QString& key, int pixels) {
        settings.setValue(key, QString::number(std::round(twips.fromPixels(pixels))));
    };
    put(kLeft, pos().x());
    put(kTop, pos().y());
    put(kWidth, width());
    put(kHeight, height());
}

void frmPreview::closeEvent(QCloseEvent* event)
{
    // Nothing keeps reading a file no window shows.
    cancelLoad();
    saveSettings();
    QWidget::closeEvent(event);
}

void frmPreview::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && isLoading()) {
        cancelLoad();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool frmPreview::isLoading() const
{
    return m_load != nullptr;
}

void frmPreview::stopWorker()
{
    if (m_load)
        m_load->cancel = true;
    if (m_worker.joinable())
        m_worker.join();
}

void frmPreview::setSource(const QString& path)
{
    stopWorker();
    m_load.reset();
    m_loadError.clear();
    if (path.isEmpty()) {
        m_mesh.reset();
        m_after.clear();
        m_noise.reset();
        if (view)
            view->clearMesh();
        prgLoad->hide();
        cmdCancel->hide();
        m_progressTimer->stop();
        updateStatus();
        return;
    }

    auto load = std::make_shared<Load>();
    load->path = QFile::encodeName(path).toStdString();
    m_load = load;
    prgLoad->setValue(0);
    prgLoad->show();
    cmdCancel->show();
    m_progressTimer->start();
    lblStatus->setText(QStringLiteral("Loading %1 ...").arg(path));

    const std::uint64_t budget = m_budget;
    m_worker = std::thread([this, load, budget] {
        load->result = loadPreviewMesh(load->path, budget, [&load = *load](std::uint64_t done, std::uint64_t total) {
            load.done = done;
            load.total = total;
            return !load.cancel.load();
        });
        // Queued to the window's thread; dropped if the window is gone by then (it joins this thread
        // before it goes, so `this` is alive when the call is made).
        QMetaObject::invokeMethod(this, [this, load] { finishLoad(load); }, Qt::QueuedConnection);
    });
}

void frmPreview::cancelLoad()
{
    if (m_load)
        m_load->cancel = true;
}

void frmPreview::updateProgress()
{
    if (!m_load)
        return;
    const std::uint64_t total = m_load->total;
    const std::uint64_t done = std::min<std::uint64_t>(m_load->done, total);
    prgLoad->setValue(total == 0 ? 0 : static_cast<int>(double(done) / double(total) * kProgressSteps));
}

void frmPreview::finishLoad(const std::shared_ptr<Load>& load)
{
    if (load != m_load)
        return; // a load that was replaced by a newer one
    if (m_worker.joinable())
        m_worker.join();
    m_load.reset();
    m_progressTimer->stop();
    prgLoad->hide();
    cmdCancel->hide();

    PreviewLoad& result = load->result;
    if (result.cancelled) {
        updateStatus();
        lblStatus->setText(lblStatus->text().isEmpty() ? QStringLiteral("Loading cancelled.")
                                                       : QStringLiteral("Loading cancelled. ") + lblStatus->text());
    } else if (!result.mesh) {
        m_mesh.reset();
        m_after.clear();
        m_noise.reset();
        if (view)
            view->clearMesh();
        m_loadError = QString::fromStdString(result.error.value_or("The file cannot be read."));
        updateStatus();
    } else {
        m_mesh = std::move(result.mesh);
        if (view)
            view->setMesh(m_mesh);
        optionsChanged();
    }
    emit loadFinished();
}

void frmPreview::optionsChanged()
{
    if (!m_mesh) {
        updateStatus();
        return;
    }
    const PreviewSettings settings = m_readSettings ? m_readSettings() : PreviewSettings{};
    PreviewNoise noise = noisePreviewMesh(*m_mesh, settings);
    m_daySeed = settings.daySeed;
    m_after = std::move(noise.positions);
    if (m_after.size() != m_mesh->positions.size())
        m_after = m_mesh->positions;
    m_noise = std::move(noise);
    ++m_noiseRuns;
    if (view) {
        view->setShowDiagonals(settings.split);
        view->setAfterPositions(m_after);
    }
    updateStatus();
}

void frmPreview::updateStatus()
{
    if (!m_loadError.isEmpty()) {
        lblStatus->setText(m_loadError);
        return;
    }
    if (!m_mesh) {
        lblStatus->setText(QString());
        return;
    }
    const PreviewMesh& mesh = *m_mesh;
    QStringList parts;
    parts << QFile::decodeName(QByteArray::fromStdString(mesh.path));
    parts << QStringLiteral("%1 vertices, %2 faces").arg(count(mesh.fileVertices), count(mesh.fileFaces));
    if (mesh.shownTriangles() < mesh.fileTriangles)
        parts << QStringLiteral("showing %1 of %2 triangles").arg(count(mesh.shownTriangles()), count(mesh.fileTriangles));
    else
        parts << QStringLiteral("%1 triangles").arg(count(mesh.fileTriangles));
    if (mesh.skippedFaces > 0)
        parts << QStringLiteral("%1 faces skipped (they name a vertex the file does not hold)").arg(count(mesh.skippedFaces));
    if (m_noise) {
        if (m_noise->error)
            parts << QString::fromStdString(*m_noise->error);
        else
            parts << QStringLiteral("amplitude %1").arg(m_noise->amplitude.noiseScale, 0, 'g', 6);
    }
    parts << QStringLiteral("day %1").arg(m_daySeed);
    lblStatus->setText(parts.join(QStringLiteral("  |  ")));
}

} // namespace jf
