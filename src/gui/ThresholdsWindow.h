#pragma once

#include <QRect>

#include "display/DisplayBitmap.h"
#include "gui/ToolWindow.h"

class QLineEdit;
class QPushButton;
class QSlider;

namespace skyvane {

struct AppContext;

// The tool window that holds the display thresholds: two sliders (the only store of the
// thresholds), an edit beside each showing and accepting its value, "Auto" and "Invert".
// Every change of a threshold ends in redrawRequested, which the main window answers by
// re-rendering the display.
class ThresholdsWindow : public ToolWindow, public ThresholdSource {
    Q_OBJECT
public:
    static constexpr int RedrawCommandId = 42005;
    static constexpr int AutoId = 42006;
    static constexpr int InvertId = 42007;

    // Caption "Thresholds", fixed size; sliders 0..32767 with page step 200 ("Low
    // threshold" at 0, "High threshold" at 32767), edits "Low threshold value" ("0") and
    // "High threshold value" ("32767"), buttons "Auto" and "Invert".
    ThresholdsWindow(ToolWindowTable& table, AppContext& context, QWidget* owner, const QRect& screenRect);

    int LowThreshold() const override;   // the first slider's position
    int HighThreshold() const override;  // the second slider's position

    QSlider* lowSlider() const { return low_; }
    QSlider* highSlider() const { return high_; }
    QLineEdit* lowEdit() const { return lowEdit_; }
    QLineEdit* highEdit() const { return highEdit_; }
    QPushButton* autoButton() const { return autoButton_; }
    QPushButton* invertButton() const { return invertButton_; }

    // Cleared while a mouse button is held on a slider; while clear, edit changes move
    // no slider and request no redraw.
    bool dragFlag() const { return dragFlag_; }

public slots:
    // Window command 42006: from the median of Image A (median - 200, median + 1000,
    // within 0..32767), or "0" and "32767" when no image is displayed.
    void autoThresholds();
    // Window command 42007: positions exchanged, then the edit texts exchanged.
    void invert();

signals:
    // The redraw command (42005) to the main window, which connects it directly so that
    // the picture is re-rendered before the emitting call returns.
    void redrawRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void editChanged(QLineEdit* edit, QSlider* slider);
    void slidersMoved();
    void setPosition(QSlider* slider, int position);
    // Puts text into edit and applies it as an edit change even when the text is already
    // there (a text box that is set to its own text still reports the change).
    void setEditText(QLineEdit* edit, const QString& text);

    AppContext& context_;
    QSlider* low_ = nullptr;
    QSlider* high_ = nullptr;
    QLineEdit* lowEdit_ = nullptr;
    QLineEdit* highEdit_ = nullptr;
    QPushButton* autoButton_ = nullptr;
    QPushButton* invertButton_ = nullptr;
    bool dragFlag_ = true;
    bool movingByProgram_ = false;
};

} // namespace skyvane
