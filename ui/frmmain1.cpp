#include "ui/frmmain1.h"

#include "engine/command.h"
#include "engine/version.h"
#include "path/filedescriptor.h"
#include "path/resolver.h"
#include "text/casemap.h"
#include "text/number.h"
#include "ui/frmpreview.h"
#include "ui/frmsplash.h"
#include "ui/settingsfile.h"
#include "ui/frmstatus.h"
#include "ui/twips.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStyle>
#include <QUrl>

#include <charconv>
#include <cmath>
#include <exception>

namespace jf {

namespace {

const QString kSettingsGroup = QStringLiteral("Settings");
const QString kMainLeft = QStringLiteral("MainLeft");
const QString kMainTop = QStringLiteral("MainTop");
const QString kPath = QStringLiteral("Path");
const QString kFilter = QStringLiteral("Wavefront OBJ (*.obj)");
const QString kProblem = QStringLiteral("Problem");

constexpr double kMaxIntensity = 10.0;
constexpr double kMinHalvedIntensity = 0.001;


std::string bytes(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

QString fromBytes(std::string_view text)
{
    return QFile::decodeName(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}

// Paths are shown, and written back into the boxes, in lower case.
QString shown(const FileDescriptor& descriptor)
{
    return fromBytes(toLowerText(descriptor.Path()));
}

QString singleText(float value)
{
    char text[32];
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
    return QString::fromLatin1(text, end.ptr - text);
}

bool onSomeScreen(const QRect& frame)
{
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen->geometry().intersects(frame))
            return true;
    }
    return false;
}

// The folder the file dialog first opens in. The stored folder is upper case, and the names on disk
// need not be: it is mapped to them, and a folder that is gone is handed over as it was stored. A file
// at the top of the tree stores an empty folder, which is the root.
QString dialogFolder(const QString& stored)
{
    if (stored.isEmpty())
        return QStringLiteral("/");
    const ResolvedPath resolved = resolveOnDisk(bytes(stored));
    return resolved.exists ? fromBytes(resolved.path) : stored;
}

// The intensity as written back by "+" and "-": at most three decimals, no trailing zeros, a zero
// before the point ("0.05"), and "0" for zero.
QString formatIntensity(double value)
{
    QString text = QString::number(value, 'f', 3);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (text == QLatin1String("-0"))
        text = QStringLiteral("0");
    return text;
}

int checkValue(const QCheckBox* box)
{
    switch (box->checkState()) {
    case Qt::Checked:
        return Checked;
    case Qt::PartiallyChecked:
        return Grayed;
    case Qt::Unchecked:
        break;
    }
    return Unchecked;
}

bool causesValidation(Qt::FocusReason reason)
{
    switch (reason) {
    case Qt::MouseFocusReason:
    case Qt::TabFocusReason:
    case Qt::BacktabFocusReason:
    case Qt::ShortcutFocusReason:
    case Qt::OtherFocusReason:
        return true;
    default:
        return false; // another window or a menu took the focus: it comes back to the box
    }
}

bool selectsOnFocus(Qt::FocusReason reason)
{
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
           reason != Qt::MenuBarFocusReason;
}

bool isObjFile(const QString& path)
{
    return path.endsWith(QLatin1String(".obj"), Qt::CaseInsensitive) && QFileInfo(path).isFile();
}

QString droppedObjFile(const QMimeData* mime)
{
    if (mime == nullptr || !mime->hasUrls())
        return {};
    for (const QUrl& url : mime->urls()) {
        const QString path = url.toLocalFile();
        if (isObjFile(path))
            return path;
    }
    return {};
}

} // namespace

// The Convert command's message boxes, all titled "Problem", and its focus moves.
class frmMain1::Prompts : public CommandPrompts
{
public:
    explicit Prompts(frmMain1& window) : m_window(window) {}

    void problem(std::string_view message) override
    {
        m_window.m_services.messages.show(&m_window, kProblem,
                                          QString::fromUtf8(message.data(), qsizetype(message.size())),
                                          MessageBoxes::Buttons::Ok);
    }
    bool confirm(std::string_view message) override
    {
        return m_window.m_services.messages.show(&m_window, kProblem,
                                                 QString::fromUtf8(message.data(), qsizetype(message.size())),
                                                 MessageBoxes::Buttons::OkCancel);
    }
    void focusSource() override
    {
        m_window.txtSource->setFocus(Qt::OtherFocusReason);
        m_focusMoved = true;
    }
    void focusDestination() override
    {
        m_window.txtDestination->setFocus(Qt::OtherFocusReason);
        m_focusMoved = true;
    }
    bool focusMoved() const { return m_focusMoved; }

private:
    frmMain1& m_window;
    bool m_focusMoved = false;
};

frmMain1::frmMain1(const UiServices& services, QWidget* parent) : QMainWindow(parent), m_services(services)
{
    setObjectName(QStringLiteral("frmMain1"));
    createControls();
    createMenus();
    setAcceptDrops(true);
    Form_Load();
}

frmMain1::~frmMain1() = default;

void frmMain1::createControls()
{
    const Twips twips;
    auto* client = new QWidget(this);
    client->setFixedSize(twips.size(7200, 3465));
    setCentralWidget(client);

    const auto label = [&](QWidget* container, const char* name, const QString& caption, double left,
                           double top, double width, double height) {
        auto* control = new QLabel(caption, container);
        control->setObjectName(QLatin1String(name));
        control->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        place(control, twips, left, top, width, height);
        return control;
    };
    const auto edit = [&](QWidget* container, const char* name, const QString& text, double left, double top,
                          double width, double height) {
        auto* control = new QLineEdit(text, container);
        control->setObjectName(QLatin1String(name));
        // A file dropped on a box goes to the window, which takes it as the source.
        control->setAcceptDrops(false);
        place(control, twips, left, top, width, height);
        return control;
    };
    const auto button = [&](QWidget* container, const char* name, const QString& caption, double left,
                            double top, double width, double height) {
        auto* control = new QPushButton(caption, container);
        control->setObjectName(QLatin1String(name));
        place(control, twips, left, top, width, height);
        return control;
    };
    const auto check = [&](QWidget* container, const char* name, const QString& caption, bool checked,
                           double left, double top, double width, double height) {
        auto* control = new QCheckBox(caption, container);
        control->setObjectName(QLatin1String(name));
        control->setChecked(checked);
        place(control, twips, left, top, width, height);
        return control;
    };

    Frame1 = new QGroupBox(QStringLiteral(" Files "), client);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    place(Frame1, twips, 120, 0, 6975, 1215);
    Label1 = label(Frame1, "Label1", QStringLiteral("Source File:"), 120, 375, 1215, 255);
    txtSource = edit(Frame1, "txtSource", QString(), 1440, 360, 4095, 285);
    cmdBrowseSource = button(Frame1, "cmdBrowseSource", QStringLiteral("browse"), 5640, 375, 1215, 255);
    Label2 = label(Frame1, "Label2", QStringLiteral("Destination File:"), 120, 735, 1215, 255);
    txtDestination = edit(Frame1, "txtDestination", QString(), 1440, 720, 4095, 285);
    cmdBrowseDestination =
        button(Frame1, "cmdBrowseDestination", QStringLiteral("browse"), 5640, 735, 1215, 255);

    Frame3 = new QGroupBox(QStringLiteral(" Noise "), client);
    Frame3->setObjectName(QStringLiteral("Frame3"));
    place(Frame3, twips, 120, 1320, 6975, 2055);
    Label3 = label(Frame3, "Label3", QStringLiteral("Intensity (%):"), 240, 375, 975, 315);
    txtIntensity = edit(Frame3, "txtIntensity", QStringLiteral("0.1"), 1440, 360, 1215, 285);
    Command1 = button(Frame3, "Command1", QStringLiteral("+"), 2760, 345, 375, 375);
    Command2 = button(Frame3, "Command2", QStringLiteral("-"), 3240, 345, 375, 375);
    Label4 = label(Frame3, "Label4", QStringLiteral("Type:"), 240, 840, 975, 375);
    cmbAlgorithm = new QComboBox(Frame3);
    cmbAlgorithm->setObjectName(QStringLiteral("cmbAlgorithm"));
    place(cmbAlgorithm, twips, 1440, 840, 3015, 315);
    Label5 = label(Frame3, "Label5", QStringLiteral("Apply to:"), 240, 1200, 975, 255);
    chkX = check(Frame3, "chkX", QStringLiteral("X"), true, 1440, 1200, 495, 255);
    chkNormals =
        check(Frame3, "chkNormals", QStringLiteral("Add noise to normals"), false, 1440, 1440, 3495, 255);
    chkSplit = check(Frame3, "chkSplit", QStringLiteral("Split quads"), false, 1440, 1680, 3975, 255);
    cmdConvert = button(Frame3, "cmdConvert", QStringLiteral("&Convert"), 5640, 1560, 1215, 375);
    // Y and Z belong to the window, not to the frame, on the row of X; made after the frame, they lie
    // above it.
    chkY = check(client, "chkY", QStringLiteral("Y"), true, 2160, 2520, 495, 255);
    chkZ = check(client, "chkZ", QStringLiteral("Z"), true, 2760, 2520, 495, 255);

    // The designed font is a narrow one; a wider font is condensed (and if need be shrunk) until every
    // caption fits its box.
    const QStyle* style = client->style();
    const int buttonRoom =
        style->pixelMetric(QStyle::PM_ButtonMargin) + 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const int checkRoom =
        style->pixelMetric(QStyle::PM_IndicatorWidth) + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
    QList<FittedText> captions;
    for (const QLabel* control : {Label1, Label2, Label3, Label4, Label5})
        captions.append({control->text(), control->width()});
    for (const QPushButton* control : {cmdBrowseSource, cmdBrowseDestination, Command1, Command2, cmdConvert})
        captions.append({QString(control->text()).remove(QLatin1Char('&')), control->width() - buttonRoom});
    for (const QCheckBox* control : {chkX, chkY, chkZ, chkNormals, chkSplit})
        captions.append({control->text(), control->width() - checkRoom});
    client->setFont(fitFont(twips.font(QApplication::font(), 8.25), captions));

    // Keyboard focus follows the designed tab indices.
    const QList<QWidget*> tabOrder = {cmdBrowseDestination,
                                      cmdBrowseSource,
                                      txtDestination,
                                      txtSource,
                                      cmdConvert,
                                      txtIntensity,
                                      Command1,
                                      Command2,
                                      chkSplit,
                                      chkNormals,
                                      cmbAlgorithm,
                                      chkX,
                                      chkY,
                                      chkZ};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    for (QWidget* control : tabOrder)
        control->installEventFilter(this);

    connect(cmdBrowseSource, &QPushButton::clicked, this, &frmMain1::cmdBrowseSource_Click);
    connect(cmdBrowseDestination, &QPushButton::clicked, this, &frmMain1::cmdBrowseDestination_Click);
    connect(cmdConvert, &QPushButton::clicked, this, &frmMain1::cmdConvert_Click);
    connect(Command1, &QPushButton::clicked, this, &frmMain1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmMain1::Command2_Click);
}

void frmMain1::createMenus()
{
    mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFileClose = mnuFile->addAction(QStringLiteral("&Close"));
    mnuFileClose->setObjectName(QStringLiteral("mnuFileClose"));
    createPreviewMenu();
    mnuHelp = menuBar()->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpAbout = mnuHelp->addAction(QStringLiteral("&About"));
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));
    connect(mnuFileClose, &QAction::triggered, this, &frmMain1::mnuFileClose_Click);
    connect(mnuHelpAbout, &QAction::triggered, this, &frmMain1::mnuHelpAbout_Click);

    // The client area has its designed size; the window is that and the menu bar, and the user cannot
    // resize it.
    const QSize client = centralWidget()->size();
    setFixedSize(client.width(), client.height() + menuBar()->sizeHint().height());
}

void frmMain1::Form_Load()
{
    QSettings settings = openSettingsFile();
    settings.beginGroup(kSettingsGroup);

    const Twips twips;
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen != nullptr ? screen->geometry() : QRect(0, 0, 0, 0);
    const QSize outer = frameGeometry().size();
    const auto centred = [&twips](int origin, int screenExtent, int windowExtent) {
        return float(twips.fromPixels(origin)) +
               (float(twips.fromPixels(screenExtent)) - float(twips.fromPixels(windowExtent))) / 2.0f;
    };
    const float centredLeft = centred(area.x(), area.width(), outer.width());
    const float centredTop = centred(area.y(), area.height(), outer.height());
    QPoint at(twips.toPixels(storedTwips(settings, kMainLeft).value_or(centredLeft)),
              twips.toPixels(storedTwips(settings, kMainTop).value_or(centredTop)));
    // A position saved on a monitor that is gone would hide the window.
    if (!onSomeScreen(QRect(at, outer)))
        at = QPoint(twips.toPixels(centredLeft), twips.toPixels(centredTop));
    move(at);

    setWindowTitle(QString::fromStdString(versionCaption()));

    m_dialogFolder = dialogFolder(settings.value(kPath, QCoreApplication::applicationDirPath()).toString());

    cmbAlgorithm->addItem(QStringLiteral("White"));
    cmbAlgorithm->addItem(QStringLiteral("Squared"));
    cmbAlgorithm->addItem(QStringLiteral("Cubic"));
    cmbAlgorithm->setCurrentIndex(White);

    cmdBrowseDestination->setFocus(Qt::OtherFocusReason);
}

void frmMain1::Form_Unload()
{
    QSettings settings = openSettingsFile();
    settings.beginGroup(kSettingsGroup);
    // Only a path picked in a dialog counts: a name typed into a box never moves the stored folder.
    const std::string picked = bytes(m_dialogFileName);
    if (!trimBlanks(picked).empty()) {
        FileDescriptor descriptor;
        descriptor.Split(picked);
        settings.setValue(kPath, fromBytes(descriptor.Drive() + descriptor.Directory()));
    }
    if (!isMinimized() && !isMaximized()) {
        const Twips twips;
        settings.setValue(kMainLeft, singleText(float(twips.fromPixels(pos().x()))));
        settings.setValue(kMainTop, singleText(float(twips.fromPixels(pos().y()))));
    }
}

void frmMain1::closeEvent(QCloseEvent* event)
{
    if (m_running) {
        // The run holds the thread inside cmdConvert_Click: stop it, and close once it has returned.
        m_closeAfterRun = true;
        m_events.interrupt();
        CancelRequested.store(kTrue);
        event->ignore();
        return;
    }
    event->accept();
    if (m_unloaded)
        return;
    m_unloaded = true;
    Form_Unload();
    if (m_preview != nullptr)
        m_preview->close();
    emit unloaded();
}

void frmMain1::dragEnterEvent(QDragEnterEvent* event)
{
    if (!droppedObjFile(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void frmMain1::dropEvent(QDropEvent* event)
{
    const QString path = droppedObjFile(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    takeDropped(path);
}

bool frmMain1::openFile(const QString& path)
{
    const QString file = QFileInfo(path).absoluteFilePath();
    if (path.isEmpty() || !isObjFile(file))
        return false;
    takeDropped(file);
    return true;
}

void frmMain1::takeDropped(const QString& path)
{
    // As if picked in the source's dialog: the folder is remembered too.
    m_dialogFileName = path;
    takeSource(path);
    activateWindow();
    txtSource->setFocus(Qt::OtherFocusReason);
}

bool frmMain1::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::FocusIn:
        if (watched == txtSource || watched == txtDestination || watched == txtIntensity) {
            if (selectsOnFocus(static_cast<QFocusEvent*>(event)->reason()))
                static_cast<QLineEdit*>(watched)->selectAll();
        }
        break;
    case QEvent::FocusOut:
        if (watched == txtIntensity && causesValidation(static_cast<QFocusEvent*>(event)->reason())) {
            bool cancel = false;
            txtIntensity_Validate(cancel);
            if (cancel) {
                // The box has the focus back (and its text selected) before this focus-out reaches it;
                // it must not act on it.
                txtIntensity->setFocus(Qt::OtherFocusReason);
                return true;
            }
        }
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Shortcut:
        // A click or an access key that would take the focus from a refused intensity does nothing.
        if (watched != txtIntensity && txtIntensity->hasFocus()) {
            bool cancel = false;
            txtIntensity_Validate(cancel);
            if (cancel)
                return true;
        }
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}

std::string frmMain1::sourceText() const
{
    return bytes(txtSource->text());
}

std::string frmMain1::destinationText() const
{
    return bytes(txtDestination->text());
}

void frmMain1::setDestinationText(std::string_view text)
{
    txtDestination->setText(fromBytes(text));
}

std::string frmMain1::intensityText() const
{
    return txtIntensity->text().toStdString();
}

int frmMain1::algorithmIndex() const
{
    return cmbAlgorithm->currentIndex();
}

int frmMain1::xValue() const
{
    return checkValue(chkX);
}

int frmMain1::yValue() const
{
    return checkValue(chkY);
}

int frmMain1::zValue() const
{
    return checkValue(chkZ);
}

int frmMain1::normalsValue() const
{
    return checkValue(chkNormals);
}

int frmMain1::splitValue() const
{
    return checkValue(chkSplit);
}

void frmMain1::setSplash(frmSplash* splash)
{
    m_splash = splash;
}

void frmMain1::setDayClock(DayClock clock)
{
    m_clock = std::move(clock);
}

std::optional<QString> frmMain1::browse(FileDialog::Mode mode)
{
    FileDialog::Setup setup;
    setup.mode = mode;
    setup.filter = kFilter;
    setup.defaultSuffix = QStringLiteral("obj");
    setup.initialFolder = m_dialogFolder;
    setup.fileName = m_dialogFileName;
    std::optional<QString> chosen = m_services.fileDialog.choose(this, setup);
    if (chosen)
        m_dialogFileName = *chosen;
    return chosen;
}

void frmMain1::takeSource(const QString& path)
{
    FileDescriptor descriptor;
    descriptor.Split(bytes(path));
    txtSource->setText(shown(descriptor));
    // The proposed destination: the same folder and extension, "_n" behind the base name.
    descriptor.setFile(descriptor.File() + "_n");
    txtDestination->setText(shown(descriptor));
    previewSourceChanged();
}

void frmMain1::cmdBrowseSource_Click()
{
    if (const std::optional<QString> chosen = browse(FileDialog::Mode::Open))
        takeSource(*chosen);
    else
        txtSource->clear();
    txtSource->setFocus(Qt::OtherFocusReason);
}

void frmMain1::cmdBrowseDestination_Click()
{
    if (const std::optional<QString> chosen = browse(FileDialog::Mode::Save)) {
        FileDescriptor descriptor;
        descriptor.Split(bytes(*chosen));
        txtDestination->setText(shown(descriptor));
    } else {
        txtDestination->clear();
    }
    txtDestination->setFocus(Qt::OtherFocusReason);
}

frmStatus& frmMain1::statusWindow()
{
    if (m_status == nullptr) {
        m_status = new frmStatus(this);
        m_events.setBeforeServing([status = m_status] { status->refresh(); });
    }
    return *m_status;
}

void frmMain1::cmdConvert_Click()
{
    if (m_running)
        return;
    frmStatus& status = statusWindow();
    QWidget* const focusBefore = focusWidget();
    // A second run on the same files must not start while this one yields: Convert, and its access
    // key with it, is off for the run. Everything else stays live.
    m_running = true;
    cmdConvert->setEnabled(false);
    m_events.start();
    Prompts prompts(*this);
    try {
        EngineHost host{*this, status, m_events, m_clock};
        host.chunkBytes = m_chunkBytes;
        m_releasing = runConvertCommand(host, prompts).releasing;
    } catch (const std::exception& error) {
        status.hide();
        prompts.problem(error.what());
    }
    m_running = false;
    cmdConvert->setEnabled(true);

    if (m_closeAfterRun) {
        close();
        return;
    }
    // Switching Convert off moved the focus on; the command itself moves none.
    if (focusBefore == cmdConvert && !prompts.focusMoved())
        cmdConvert->setFocus(Qt::OtherFocusReason);
}

void frmMain1::Command1_Click()
{
    const NumberReading reading = textToNumber(intensityText());
    if (reading.overflow)
        return; // no number to double
    double value = reading.value * 2.0;
    if (value > kMaxIntensity)
        value = kMaxIntensity;
    txtIntensity->setText(formatIntensity(value));
}

void frmMain1::Command2_Click()
{
    const NumberReading reading = textToNumber(intensityText());
    if (reading.overflow)
        return;
    double value = reading.value / 2.0;
    if (value < kMinHalvedIntensity)
        value = kMinHalvedIntensity;
    txtIntensity->setText(formatIntensity(value));
}

void frmMain1::txtIntensity_Validate(bool& cancel)
{
    const NumberReading reading = textToNumber(intensityText());
    if (!reading.overflow && reading.value >= 0.0 && reading.value <= kMaxIntensity)
        return;
    cancel = true;
    txtIntensity->selectAll();
}

void frmMain1::mnuFileClose_Click()
{
    close();
}

void frmMain1::mnuHelpAbout_Click()
{
    // The start-up splash is this same form: it goes before the About box comes.
    if (m_splash)
        m_splash->close();
    frmSplash about(m_services, this);
    about.cmdOK->setVisible(true);
    about.cmdSysInfo->setVisible(true);
    about.exec();
}

void frmMain1::createPreviewMenu()
{
    mnuView = menuBar()->addMenu(QStringLiteral("&View"));
    mnuView->setObjectName(QStringLiteral("mnuView"));
    mnuViewPreview = mnuView->addAction(QStringLiteral("&Preview"));
    mnuViewPreview->setObjectName(QStringLiteral("mnuViewPreview"));
    mnuViewPreview->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    connect(mnuViewPreview, &QAction::triggered, this, &frmMain1::mnuViewPreview_Click);

    // A typed source counts once it is confirmed (Return, or the focus leaving the box).
    connect(txtSource, &QLineEdit::editingFinished, this, &frmMain1::previewSourceChanged);
    connect(txtIntensity, &QLineEdit::textChanged, this, &frmMain1::previewOptionsChanged);
    connect(cmbAlgorithm, &QComboBox::currentIndexChanged, this, &frmMain1::previewOptionsChanged);
    for (QCheckBox* box : {chkX, chkY, chkZ, chkSplit})
        connect(box, &QCheckBox::stateChanged, this, &frmMain1::previewOptionsChanged);
}

void frmMain1::mnuViewPreview_Click()
{
    if (m_preview == nullptr) {
        // The choices as a Convert started now would read them.
        m_preview = new frmPreview(
            [this] {
                PreviewSettings settings;
                settings.intensityText = intensityText();
                settings.algorithm = algorithmIndex();
                settings.axes[0] = xValue() == Checked;
                settings.axes[1] = yValue() == Checked;
                settings.axes[2] = zValue() == Checked;
                settings.split = splitValue() == Checked;
                settings.daySeed = DaySeed(m_clock);
                return settings;
            },
            this);
        m_preview->show();
        previewSourceChanged();
    } else {
        m_preview->show();
    }
    m_preview->raise();
    m_preview->activateWindow();
}

void frmMain1::previewSourceChanged()
{
    if (m_preview == nullptr)
        return;
    // The file a Convert would read: the box's text split and mapped to the names on disk.
    const std::string text = sourceText();
    if (trimBlanks(text).empty()) {
        m_preview->setSource(QString());
        return;
    }
    FileDescriptor descriptor;
    descriptor.Split(text);
    const QString path = fromBytes(resolveOnDisk(descriptor.Path()).path);
    if (m_preview->mesh() && m_preview->mesh()->path == bytes(path) && !m_preview->isLoading())
        return; // the same file confirmed again: nothing to read
    m_preview->setSource(path);
}

void frmMain1::previewOptionsChanged()
{
    if (m_preview != nullptr)
        m_preview->optionsChanged();
}

} // namespace jf
