#pragma once

#include <QRect>

#include "display/ThresholdModel.h"
#include "gui/ToolWindow.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace skyvane {

class HistogramView;
class Workbench;

// The tool window of the display thresholds: two sliders, an edit beside each showing and
// accepting its value, "Auto", "Invert" and "Auto stretch", the display's equalisation
// and, in the room the window has below them, the histogram of Image A with the two
// thresholds marked. It shows the workbench's threshold model and hands it every change
// the user makes; the model's rules do the rest (and ask for the redraws). For an image
// of any values the edits show and take real numbers and the sliders span the image's
// values (ThresholdModel).
class ThresholdsWindow : public ToolWindow, private ThresholdModel::View {
    Q_OBJECT
public:
    static constexpr int RedrawCommandId = 42005;
    static constexpr int AutoId = 42006;
    static constexpr int InvertId = 42007;

    // Caption "Thresholds", fixed size; sliders 0..32767 with page step 200 ("Low
    // threshold" at 0, "High threshold" at 32767), edits "Low threshold value" ("0") and
    // "High threshold value" ("32767"), buttons "Auto", "Invert" and "Auto stretch"; the
    // histogram below them when the window is tall enough for it.
    ThresholdsWindow(ToolWindowTable& table, Workbench& workbench, QWidget* owner, const QRect& screenRect);
    ~ThresholdsWindow() override;

    int LowThreshold() const;   // the first slider's position
    int HighThreshold() const;  // the second slider's position

    QSlider* lowSlider() const { return low_; }
    QSlider* highSlider() const { return high_; }
    QLineEdit* lowEdit() const { return lowEdit_; }
    QLineEdit* highEdit() const { return highEdit_; }
    QPushButton* autoButton() const { return autoButton_; }
    QPushButton* invertButton() const { return invertButton_; }
    QPushButton* autoStretchButton() const { return autoStretchButton_; }
    // Null when the window has no room for it.
    HistogramView* histogram() const { return histogram_; }
    // "Equalisation: " and the display's equalisation ("Linear", "Logarithm", "Gamma 2.2"),
    // right of the buttons; accessible name "Equalisation".
    QLabel* equalisationLabel() const { return equalisation_; }
    void showEqualisation(const QString& name);

    // Cleared while a mouse button is held on a slider; while clear, edit changes move
    // no slider and request no redraw.
    bool dragFlag() const { return !model_.trackbarPressed(); }

public slots:
    // Window command 42006: from the median of Image A (median - 200, median + 1000,
    // within 0..32767), or "0" and "32767" when no image is displayed.
    void autoThresholds();
    // Window command 42007: positions exchanged, then the edit texts exchanged.
    void invert();
    // Auto stretch of Image A (Workbench::autoStretch); the equalisation shown follows.
    void autoStretch();

signals:
    // Auto or Auto stretch set the display's equalisation (the main window's marks follow).
    void equalisationChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // ThresholdModel::View: the widgets take the model's positions and texts; the
    // histogram its new counts.
    void thresholdsChanged() override;
    void imageChanged() override;
    void editChanged(QLineEdit* edit);
    void sliderMoved(QSlider* slider);

    Workbench& workbench_;
    ThresholdModel& model_;
    QSlider* low_ = nullptr;
    QSlider* high_ = nullptr;
    QLineEdit* lowEdit_ = nullptr;
    QLineEdit* highEdit_ = nullptr;
    QPushButton* autoButton_ = nullptr;
    QPushButton* invertButton_ = nullptr;
    QPushButton* autoStretchButton_ = nullptr;
    QLabel* equalisation_ = nullptr;
    HistogramView* histogram_ = nullptr;
    bool showingModel_ = false; // the widgets are being set from the model
};

} // namespace skyvane
