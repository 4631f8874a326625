#include "ui/testing/support.h"
#include "ui/twips.h"

#include <QGroupBox>
#include <QStyle>

namespace {

// The controls of `window` whose caption does not fit the control, with what it needs.
QStringList clipped(const QWidget& window)
{
    QStringList faults;
    for (const QWidget* control : window.findChildren<QWidget*>()) {
        if (!control->isVisibleTo(&window))
            continue;
        if (!control->isWindow() && !control->parentWidget()->rect().contains(control->geometry()))
            faults.append(control->objectName() + QStringLiteral(" reaches out of its container"));
        const QFontMetrics metrics = control->fontMetrics();
        const QStyle* style = control->style();
        const auto metric = [&](QStyle::PixelMetric which) {
            return style->pixelMetric(which, nullptr, control);
        };
        const int frame = metric(QStyle::PM_DefaultFrameWidth);
        const auto fit = [&](const QString& text, int margin, int width, int lineMargin, int height) {
            const int need = metrics.horizontalAdvance(text) + margin;
            if (need > width || metrics.height() + lineMargin > height)
                faults.append(QStringLiteral("%1 \"%2\": %3 x %4 px in %5 x %6")
                                  .arg(control->objectName(), text)
                                  .arg(need).arg(metrics.height() + lineMargin).arg(width).arg(height));
        };
        if (const auto* label = qobject_cast<const QLabel*>(control);
            label != nullptr && !label->text().isEmpty())
            fit(label->text(), 0, label->contentsRect().width(), 0, label->contentsRect().height());
        else if (const auto* button = qobject_cast<const QPushButton*>(control))
            fit(QString(button->text()).remove(QLatin1Char('&')), 2 * frame, button->width(), 0,
                button->height());
        else if (const auto* box = qobject_cast<const QCheckBox*>(control))
            fit(box->text(), metric(QStyle::PM_IndicatorWidth) + metric(QStyle::PM_CheckBoxLabelSpacing),
                box->width(), 0, box->height());
        else if (const auto* group = qobject_cast<const QGroupBox*>(control))
            fit(group->title(), 4 * frame, group->width(), 0, group->height());
        else if (const auto* list = qobject_cast<const QComboBox*>(control)) {
            for (int i = 0; i < list->count(); ++i)
                fit(list->itemText(i), metric(QStyle::PM_ScrollBarExtent) + 4 * frame, list->width(),
                    2 * frame, list->height());
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

    void captionsFit_data()
    {
        QTest::addColumn<double>("dpi");
        QTest::addColumn<QSize>("client"); // the main window's client area in pixels
        QTest::newRow("96 DPI") << 96.0 << QSize(480, 231);
        QTest::newRow("144 DPI") << 144.0 << QSize(720, 347);
    }
    void captionsFit()
    {
        QFETCH(double, dpi);
        QFETCH(QSize, client);
        jf::setLogicalDpiForTesting(dpi);
        jf::testing::Fakes fakes;

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
        jf::testing::asAbout(about);
        faults += clipped(about);
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("; "))));
    }
};

QTEST_MAIN(TestLayout)
#include "tst_ui_layout.moc"
