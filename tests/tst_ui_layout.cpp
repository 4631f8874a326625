#include "ui/frmmain1.h"
#include "ui/frmsplash.h"
#include "ui/frmstatus.h"
#include "ui/testing/fakes.h"
#include "ui/twips.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTest>

using jf::testing::Fakes;

namespace {

// The controls of `window` whose caption does not fit the control, with what it needs.
QStringList clipped(const QWidget& window)
{
    QStringList faults;
    const auto fault = [&faults](const QWidget* control, const QString& text, int need, int room) {
        if (need > room)
            faults.append(QStringLiteral("%1 \"%2\": %3 px in %4")
                              .arg(control->objectName(), text)
                              .arg(need)
                              .arg(room));
    };
    for (const QWidget* control : window.findChildren<QWidget*>()) {
        if (!control->isVisibleTo(&window))
            continue;
        if (!control->isWindow() && !control->parentWidget()->rect().contains(control->geometry()))
            faults.append(QStringLiteral("%1 reaches out of its container").arg(control->objectName()));
        const QFontMetrics metrics = control->fontMetrics();
        const QStyle* style = control->style();
        const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, control);
        if (const auto* label = qobject_cast<const QLabel*>(control);
            label != nullptr && !label->text().isEmpty()) {
            fault(label, label->text(), metrics.horizontalAdvance(label->text()),
                  label->contentsRect().width());
            fault(label, label->text(), metrics.height(), label->contentsRect().height());
        } else if (const auto* button = qobject_cast<const QPushButton*>(control)) {
            const QString text = QString(button->text()).remove(QLatin1Char('&'));
            fault(button, text, metrics.horizontalAdvance(text) + 2 * frame, button->width());
            fault(button, text, metrics.height(), button->height());
        } else if (const auto* box = qobject_cast<const QCheckBox*>(control)) {
            const int indicator = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
                                  style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box);
            fault(box, box->text(), indicator + metrics.horizontalAdvance(box->text()), box->width());
            fault(box, box->text(), metrics.height(), box->height());
        } else if (const auto* group = qobject_cast<const QGroupBox*>(control)) {
            fault(group, group->title(), metrics.horizontalAdvance(group->title()) + 4 * frame,
                  group->width());
        } else if (const auto* list = qobject_cast<const QComboBox*>(control)) {
            const int arrow = style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
            for (int i = 0; i < list->count(); ++i)
                fault(list, list->itemText(i),
                      metrics.horizontalAdvance(list->itemText(i)) + arrow + 4 * frame, list->width());
            fault(list, QString(), metrics.height() + 2 * frame, list->height());
        }
    }
    return faults;
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { jf::setLogicalDpiForTesting(0); }
    void captionsFit_data();
    void captionsFit();
};

void TestLayout::captionsFit_data()
{
    QTest::addColumn<double>("dpi");
    QTest::addColumn<QSize>("client"); // the main window's client area in pixels
    QTest::newRow("96 DPI") << 96.0 << QSize(480, 231);
    QTest::newRow("144 DPI") << 144.0 << QSize(720, 347);
}

void TestLayout::captionsFit()
{
    QFETCH(double, dpi);
    QFETCH(QSize, client);
    jf::setLogicalDpiForTesting(dpi);
    Fakes fakes;

    jf::frmMain1 main(fakes.services());
    QCOMPARE(main.centralWidget()->size(), client);
    QStringList faults = clipped(main);

    jf::frmStatus status(&main);
    for (const char* phase : {"Checking OBJ file format ...cancel", "scan for extents ...cancel",
                              "adding noise to verticies ...cancel"}) {
        status.setLabel(phase);
        faults += clipped(status);
    }

    jf::frmSplash about(fakes.services());
    about.cmdOK->setVisible(true);
    about.cmdSysInfo->setVisible(true);
    faults += clipped(about);

    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("; "))));
}

QTEST_MAIN(TestLayout)
#include "tst_ui_layout.moc"
