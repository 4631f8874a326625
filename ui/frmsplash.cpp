#include "ui/frmsplash.h"

#include "engine/version.h"
#include "path/resolver.h"
#include "ui/logo.h"
#include "ui/twips.h"

#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <qdrawutil.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>

namespace jf {

namespace {

const QString kMsInfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString kMsInfoValue = QStringLiteral("PATH");
const QString kToolsLocationKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
const QString kToolsLocationValue = QStringLiteral("MSINFO");
const QString kToolName = QStringLiteral("\\MSINFO32.EXE");

// The designed border of the caption-less form, drawn by the form itself.
constexpr double kBorderTwips = 30;

QString versionNumber(int number)
{
    return QString::number(number);
}

// A 32-bit registry number, written as the hexadecimal literal of its bytes (the last byte first) and
// then formatted: its decimal text, as a signed 32-bit number.
QString dwordText(const QByteArray& value)
{
    std::uint32_t number = 0;
    for (qsizetype i = std::min<qsizetype>(value.size(), 4); i-- > 0;)
        number = (number << 8) | static_cast<unsigned char>(value[i]);
    return value.size() >= 4 ? QString::number(static_cast<std::int32_t>(number)) : QString::number(number);
}

// The existence test of the tool's folder look-up: the registry names it the Windows way, so the
// backslashes become folder separators, and the letter case is matched to the names on disk.
QString plainFileOnDisk(QString path)
{
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const ResolvedPath resolved = resolveOnDisk(QFile::encodeName(path).toStdString());
    struct stat info
    {
    };
    if (!resolved.exists || ::stat(resolved.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    return QFile::decodeName(QByteArray::fromStdString(resolved.path));
}

} // namespace

frmSplash::frmSplash(const UiServices& services, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      Timer1(new QTimer(this)), fraMainFrame(new QGroupBox(this)), picLogo(new QLabel(fraMainFrame)),
      lblCompanyProduct(new QLabel(fraMainFrame)), lblProductName(new QLabel(fraMainFrame)),
      lblPlatform(new QLabel(fraMainFrame)), lblVersion(new QLabel(fraMainFrame)),
      lblCopyright(new QLabel(fraMainFrame)), Label1(new QLabel(fraMainFrame)),
      cmdOK(new QPushButton(QStringLiteral("OK"), fraMainFrame)),
      cmdSysInfo(new QPushButton(QStringLiteral("&System Info..."), fraMainFrame)), m_services(services)
{
    setObjectName(QStringLiteral("frmSplash"));
    Timer1->setObjectName(QStringLiteral("Timer1"));
    fraMainFrame->setObjectName(QStringLiteral("fraMainFrame"));
    picLogo->setObjectName(QStringLiteral("picLogo"));
    lblCompanyProduct->setObjectName(QStringLiteral("lblCompanyProduct"));
    lblProductName->setObjectName(QStringLiteral("lblProductName"));
    lblPlatform->setObjectName(QStringLiteral("lblPlatform"));
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblCopyright->setObjectName(QStringLiteral("lblCopyright"));
    Label1->setObjectName(QStringLiteral("Label1"));
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));

    const Twips twips;
    const int border = twips.toPixels(kBorderTwips);
    const QSize client = twips.size(7455, 4710);
    setFixedSize(client + QSize(2 * border, 2 * border));
    const QRect frame = twips.rect(45, 0, 7380, 4590);
    fraMainFrame->setGeometry(frame.translated(border, border));

    // A coarse timer may fire a few per cent early; the splash stays its full time.
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(kSplashMilliseconds);
    connect(Timer1, &QTimer::timeout, this, &frmSplash::Timer1_Timer);

    place(picLogo, twips, 240, 360, 1980, 3900);
    picLogo->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    picLogo->setLineWidth(twips.toPixels(kBorderTwips));
    picLogo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picLogo->setPixmap(drawLogo(picLogo->contentsRect().size(), devicePixelRatioF()));

    lblCompanyProduct->setText(QStringLiteral("Jitterform"));
    lblPlatform->setText(QStringLiteral("Windows 95/98/NT"));
    lblCopyright->setText(QStringLiteral("Copyright \u00a9 2026 the Jitterform authors"));
    Label1->setText(QStringLiteral("Licensed under the MIT licence."));
    Form_Load();

    // The labels size themselves to their texts. The right-aligned ones keep their right edge, the
    // others their left; a font wider than the designed one is fitted into the room up to the frame.
    QFont arial(QStringLiteral("Arial"));
    arial.setStyleHint(QFont::SansSerif);
    const QFont standard = twips.font(QApplication::font(), 8.25);
    const double textLeft = 2505;
    const double frameRight = 7380 - 120;
    struct AutoSized
    {
        QLabel* label;
        double left;
        double top;
        double right; // the right edge that a right-aligned label keeps, else 0
        QFont font;
        double room; // twips
    };
    const auto bold = [&](double points) {
        QFont font = twips.font(arial, points);
        font.setBold(true);
        return font;
    };
    const std::array<AutoSized, 6> labels = {{
        {lblCompanyProduct, textLeft, 765, 0, bold(18), frameRight - textLeft},
        {lblProductName, textLeft, 1200, 0, bold(32.25), frameRight - textLeft},
        {lblPlatform, 4230, 2400, 4230 + 2775, bold(15.75), 4230 + 2775 - textLeft},
        {lblVersion, 6120, 2760, 6120 + 885, bold(12), 6120 + 885 - textLeft},
        {lblCopyright, textLeft, 3360, 0, twips.font(arial, 8.25), frameRight - textLeft},
        {Label1, textLeft, 3600, 0, standard, 6000 - 60 - textLeft},
    }};
    for (const AutoSized& item : labels) {
        item.label->setFont(fitFont(item.font, {{item.label->text(), twips.toPixels(item.room)}}));
        item.label->adjustSize();
        const int x =
            item.right > 0 ? twips.toPixels(item.right) - item.label->width() : twips.toPixels(item.left);
        item.label->move(x, twips.toPixels(item.top));
        if (item.right > 0)
            item.label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }

    place(cmdOK, twips, 6000, 3600, 1260, 345);
    place(cmdSysInfo, twips, 6000, 4080, 1245, 345);
    const QStyle* style = cmdSysInfo->style();
    const int buttonRoom =
        style->pixelMetric(QStyle::PM_ButtonMargin) + 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth);
    const QFont buttons =
        fitFont(standard, {{QStringLiteral("System Info..."), cmdSysInfo->width() - buttonRoom}});
    cmdOK->setFont(buttons);
    cmdSysInfo->setFont(buttons);
    // Enter and Esc press OK, once it is shown.
    cmdOK->setDefault(true);
    cmdOK->setVisible(false);
    cmdSysInfo->setVisible(false);
    connect(cmdOK, &QPushButton::clicked, this, &frmSplash::cmdOK_Click);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmSplash::cmdSysInfo_Click);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void frmSplash::Form_Load()
{
    lblProductName->setText(QStringLiteral("Jitterform ") + versionNumber(kVersionMajor) + QLatin1Char('.') +
                            versionNumber(kVersionMinor));
    lblVersion->setText(QStringLiteral("Version ") + versionNumber(kVersionMajor) + QLatin1Char('.') +
                        versionNumber(kVersionMinor) + QStringLiteral(" build ") +
                        versionNumber(kVersionRevision));
}

bool frmSplash::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        Form_Activate();
    return QDialog::event(event);
}

void frmSplash::keyPressEvent(QKeyEvent* event)
{
    // The splash has no buttons to press; only the About box closes on Esc.
    if (!cmdOK->isVisibleTo(this) && event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmSplash::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    qDrawWinPanel(&painter, rect(), palette(), false);
}

void frmSplash::Form_Activate()
{
    setStaysOnTop(true);
}

void frmSplash::setStaysOnTop(bool on)
{
    // Through the window, not the widget: changing a widget's flags hides it, which would end the
    // About box's modal loop.
    if (QWindow* window = windowHandle()) {
        if (window->flags().testFlag(Qt::WindowStaysOnTopHint) != on)
            window->setFlag(Qt::WindowStaysOnTopHint, on);
    } else {
        setWindowFlag(Qt::WindowStaysOnTopHint, on);
    }
}

void frmSplash::Timer1_Timer()
{
    Timer1->stop();
    close();
}

void frmSplash::cmdOK_Click()
{
    close();
}

void frmSplash::cmdSysInfo_Click()
{
    // The tool must be able to come in front of the About box.
    setStaysOnTop(false);
    StartSysInfo();
    m_services.tools.beep();
}

void frmSplash::StartSysInfo()
{
    QString SysInfoPath;
    if (!GetKeyValue(kHKeyLocalMachine, kMsInfoKey, kMsInfoValue, SysInfoPath)) {
        if (!GetKeyValue(kHKeyLocalMachine, kToolsLocationKey, kToolsLocationValue, SysInfoPath)) {
            unavailable();
            return;
        }
        SysInfoPath = plainFileOnDisk(SysInfoPath + kToolName);
        if (SysInfoPath.isEmpty()) {
            unavailable();
            return;
        }
    }
    // The first look-up's path is started as it stands: starting it is its test.
    if (!m_services.tools.startProgram(SysInfoPath))
        unavailable();
}

void frmSplash::unavailable()
{
    m_services.messages.show(this, QString::fromUtf8(kApplicationName),
                             QStringLiteral("System Information Is Unavailable At This Time"),
                             MessageBoxes::Buttons::Ok);
}

bool frmSplash::GetKeyValue(RegistryKey KeyRoot, const QString& KeyName, const QString& SubKeyRef,
                            QString& KeyVal)
{
    Registry& registry = m_services.registry;
    RegistryKey hKey = 0;
    if (registry.openKey(KeyRoot, KeyName.toLocal8Bit(), 0, kKeyAllAccess, &hKey) != kErrorSuccess) {
        KeyVal.clear();
        registry.closeKey(hKey);
        return false;
    }

    std::array<unsigned char, kValueBufferSize> buffer{};
    std::uint32_t size = kValueBufferSize;
    std::uint32_t type = 0;
    if (registry.queryValue(hKey, SubKeyRef.toLocal8Bit(), &type, buffer.data(), &size) != kErrorSuccess) {
        KeyVal.clear();
        registry.closeKey(hKey);
        return false;
    }

    qsizetype length = std::min<qsizetype>(size, kValueBufferSize);
    if (length > 0 && buffer[std::size_t(length - 1)] == 0)
        --length;
    const QByteArray value(reinterpret_cast<const char*>(buffer.data()), length);
    switch (type) {
    case kRegSz:
        KeyVal = QString::fromLocal8Bit(value);
        break;
    case kRegDword:
        KeyVal = dwordText(value);
        break;
    default:
        break;
    }
    registry.closeKey(hKey);
    return true;
}

} // namespace jf
