#include "ui/frmstatus.h"

#include "ui/twips.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <cmath>

namespace jf {

namespace {

QString fromBytes(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

frmStatus::frmStatus(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), Label1(new QLabel(this)),
      ProgressBar1(new QProgressBar(this)), Command1(new QPushButton(QStringLiteral("&Cancel"), this))
{
    setObjectName(QStringLiteral("frmStatus"));
    Label1->setObjectName(QStringLiteral("Label1"));
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    Command1->setObjectName(QStringLiteral("Command1"));

    const Twips twips;
    setFixedSize(twips.size(3750, 1440));
    place(Label1, twips, 120, 120, 3495, 375);
    place(ProgressBar1, twips, 120, 600, 3495, 255);
    place(Command1, twips, 1320, 960, 1095, 375);

    const QFont base = QApplication::font();
    // The longest label a run shows, with one press of Cancel behind it.
    Label1->setFont(fitFont(twips.font(base, 9.75),
                            {{QStringLiteral("adding noise to verticies ...cancel"), Label1->width()}}));
    Command1->setFont(twips.font(base, 8.25));

    ProgressBar1->setRange(0, kBarSteps);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setFocusPolicy(Qt::NoFocus);

    connect(Command1, &QPushButton::clicked, this, &frmStatus::Command1_Click);
}

void frmStatus::setCaption(std::string_view caption)
{
    setWindowTitle(fromBytes(caption));
}

std::string frmStatus::label() const
{
    return Label1->text().toStdString();
}

void frmStatus::setLabel(std::string_view text)
{
    Label1->setText(fromBytes(text));
}

void frmStatus::setMin(float value)
{
    m_min = value;
}

void frmStatus::setMax(float value)
{
    m_max = value;
}

void frmStatus::setValue(float value)
{
    m_value = value;
}

void frmStatus::show()
{
    if (!m_placed) {
        if (const QWidget* owner = parentWidget()) {
            const QRect area = owner->frameGeometry();
            const QSize size = frameGeometry().size();
            move(area.center() - QPoint(size.width() / 2, size.height() / 2));
        }
        m_placed = true;
    }
    refresh();
    QDialog::show();
}

void frmStatus::hide()
{
    QDialog::hide();
}

void frmStatus::refresh()
{
    // In double precision, so the difference of two large positions (files over 4 GiB) loses nothing.
    double fraction = 0.0;
    if (m_max > m_min)
        fraction = (double(m_value) - double(m_min)) / (double(m_max) - double(m_min));
    if (!(fraction > 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    const int steps = static_cast<int>(std::lround(fraction * kBarSteps));
    if (ProgressBar1->value() != steps)
        ProgressBar1->setValue(steps);
}

void frmStatus::closeEvent(QCloseEvent* event)
{
    event->ignore();
}

void frmStatus::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        Command1->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmStatus::Command1_Click()
{
    Label1->setText(Label1->text() + QStringLiteral("cancel"));
    // Serve the events once, so the marked label is painted before the run sees the flag.
    QCoreApplication::processEvents();
    CancelRequested.store(kTrue);
}

} // namespace jf
