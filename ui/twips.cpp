#include "ui/twips.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <cmath>

namespace jf {

namespace {

double g_dpiForTesting = 0.0;

// Below these a condensed or shrunk caption stops being readable; a text that still does not fit is
// then clipped rather than made illegible.
constexpr int kMinStretch = 80;
constexpr int kStretchStep = 5;
constexpr int kMinPixelSize = 8;

} // namespace

double logicalDpi()
{
    if (g_dpiForTesting > 0.0)
        return g_dpiForTesting;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        return screen->logicalDotsPerInch();
    return 96.0;
}

void setLogicalDpiForTesting(double dpi)
{
    g_dpiForTesting = dpi;
}

int Twips::toPixels(double twips) const
{
    return static_cast<int>(std::lround(twips * m_dpi / kTwipsPerInch));
}

QRect Twips::rect(double left, double top, double width, double height) const
{
    const int x = toPixels(left);
    const int y = toPixels(top);
    return QRect(x, y, toPixels(left + width) - x, toPixels(top + height) - y);
}

QSize Twips::size(double width, double height) const
{
    return QSize(toPixels(width), toPixels(height));
}

QFont Twips::font(const QFont& base, double points) const
{
    QFont font(base);
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(points * m_dpi / 72.0))));
    return font;
}

QFont fitFont(QFont font, const QList<FittedText>& texts)
{
    const auto fits = [&texts](const QFont& candidate) {
        const QFontMetricsF metrics(candidate);
        for (const FittedText& item : texts) {
            if (metrics.horizontalAdvance(item.text) > item.width)
                return false;
        }
        return true;
    };
    for (int stretch = QFont::Unstretched; stretch >= kMinStretch; stretch -= kStretchStep) {
        font.setStretch(stretch);
        if (fits(font))
            return font;
    }
    Q_ASSERT(font.pixelSize() > 0);
    while (font.pixelSize() > kMinPixelSize) {
        font.setPixelSize(font.pixelSize() - 1);
        if (fits(font))
            break;
    }
    return font;
}

void place(QWidget* widget, const Twips& twips, double left, double top, double width, double height)
{
    widget->setGeometry(twips.rect(left, top, width, height));
}

} // namespace jf
