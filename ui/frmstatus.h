#pragma once

#include "engine/host.h"

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace jf {

// The progress of the format check and of both passes of a conversion, with Cancel. Shown without
// blocking its owner, the main window, and only ever hidden between runs.
class frmStatus : public QDialog, public StatusView
{
    Q_OBJECT

public:
    // The bar's integer range onto which the single-precision Min, Max and Value are mapped.
    static constexpr int kBarSteps = 10000;

    explicit frmStatus(QWidget* owner);

    // StatusView. setValue() only stores the value: refresh() puts it on the bar.
    void setCaption(std::string_view caption) override;
    std::string label() const override;
    void setLabel(std::string_view text) override;
    void setMin(float value) override;
    void setMax(float value) override;
    void setValue(float value) override;
    // Centred on the owner at the first showing; later showings keep the place the user gave it.
    void show() override;
    void hide() override;

    // Shows the stored range and value on the bar. A range whose maximum is not above its minimum
    // (an empty or one-byte source) shows an empty bar.
    void refresh();
    float min() const { return m_min; }
    float max() const { return m_max; }
    float value() const { return m_value; }

    QLabel* const Label1;
    QProgressBar* const ProgressBar1;
    QPushButton* const Command1;

protected:
    // The user cannot close the window: a close from the frame, its menu or Alt+F4 is refused
    // silently, and the run goes on.
    void closeEvent(QCloseEvent* event) override;
    // Esc presses Cancel.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Command1_Click();

    float m_min = 0.0f;
    float m_max = 100.0f;
    float m_value = 0.0f;
    bool m_placed = false;
};

} // namespace jf
