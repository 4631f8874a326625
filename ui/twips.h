#pragma once

#include <QFont>
#include <QRect>
#include <QStringList>

class QWidget;

namespace jf {

// Window geometry is designed in twips, 1,440 to the inch, and laid out in pixels at the screen's
// logical DPI, so a window keeps its physical size on every screen.
constexpr double kTwipsPerInch = 1440.0;

// The primary screen's logical DPI, or the value set for testing.
double logicalDpi();
// Lays windows out as if the screen had `dpi` (0 restores the screen's own).
void setLogicalDpiForTesting(double dpi);

class Twips
{
public:
    explicit Twips(double dpi = logicalDpi()) : m_dpi(dpi) {}

    double dpi() const { return m_dpi; }
    int toPixels(double twips) const;
    double fromPixels(double pixels) const { return pixels * kTwipsPerInch / m_dpi; }
    // Edges are rounded, not sizes, so neighbouring controls that share an edge in twips share it in
    // pixels too.
    QRect rect(double left, double top, double width, double height) const;
    QSize size(double width, double height) const;
    // `base` at `points` for this DPI; pixel sizes keep the font in step with the twips geometry.
    QFont font(const QFont& base, double points) const;

private:
    double m_dpi;
};

// Condenses `font`, then shrinks it, until every text fits its width in pixels, so that a caption
// designed for a narrow font is not clipped by a wider one. `font` has a pixel size (Twips::font).
struct FittedText
{
    QString text;
    int width;
};
QFont fitFont(QFont font, const QList<FittedText>& texts);

// Places `widget` at `rect` (twips) inside its parent.
void place(QWidget* widget, const Twips& twips, double left, double top, double width, double height);

} // namespace jf
