#include "gui/ThresholdsWindow.h"

#include <cmath>

#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionFrame>

#include "context/Settings.h"
#include "display/ThresholdModel.h"
#include "gui/HistogramView.h"
#include "workbench/Workbench.h"

namespace skyvane {

namespace {

QSlider* MakeSlider(QWidget* parent, const QRect& rect, int position, const QString& name)
{
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setGeometry(rect);
    slider->setRange(0, ThresholdMaximum);
    slider->setPageStep(ThresholdPageStep);
    slider->setSingleStep(1);
    slider->setTickPosition(QSlider::NoTicks);
    slider->setValue(position);
    slider->setAccessibleName(name);
    slider->show();
    return slider;
}

QLineEdit* MakeEdit(QWidget* parent, const QRect& rect, const QString& text, const QString& name)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setGeometry(rect);
    edit->setAccessibleName(name);
    edit->show();
    return edit;
}

// The size an edit needs to show its longest number whole in its own font and style: a
// real threshold as FormatReal writes it with ThresholdDigits ("-1.23457e-005", which
// also holds the five digits of an integer threshold) in the widest digit (rounded up:
// text is laid out in fractions of a pixel), the caret, the edit's inner margins and the
// style's frame. Never less than the window's original 38 x 18.
QSize ThresholdEditSize(const QLineEdit* edit)
{
    const QFontMetricsF metrics(edit->font());
    QChar widest = QLatin1Char('0');
    for (char c = '1'; c <= '9'; ++c)
        if (metrics.horizontalAdvance(QLatin1Char(c)) > metrics.horizontalAdvance(widest))
            widest = QLatin1Char(c);
    const QString longest = QStringLiteral("-") + widest + QStringLiteral(".") + QString(ThresholdDigits - 1, widest) +
                            QStringLiteral("e-") + QString(3, widest);
    const int digits = static_cast<int>(std::ceil(metrics.horizontalAdvance(longest)));
    const QMargins margins = edit->textMargins();
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    option.features = QStyleOptionFrame::None;
    // QLineEdit keeps 2 pixels between its contents rectangle and the text on each side.
    constexpr int InnerMargin = 2;
    const int caret = edit->style()->pixelMetric(QStyle::PM_TextCursorWidth, &option, edit);
    const QSize contents(digits + caret + 2 * InnerMargin + margins.left() + margins.right(),
                         static_cast<int>(std::ceil(metrics.height())) + margins.top() + margins.bottom());
    const QSize size = edit->style()->sizeFromContents(QStyle::CT_LineEdit, &option, contents, edit);
    return size.expandedTo(QSize(38, 18));
}

QPushButton* MakeButton(QWidget* parent, const QRect& rect, const QString& text)
{
    auto* button = new QPushButton(text, parent);
    button->setGeometry(rect);
    button->setAccessibleName(text);
    button->show();
    return button;
}

} // namespace

ThresholdsWindow::ThresholdsWindow(ToolWindowTable& table, Workbench& workbench, QWidget* owner, const QRect& screenRect)
    : ToolWindow(table, owner, QStringLiteral("Thresholds"), screenRect), workbench_(workbench), model_(workbench.thresholds())
{
    setFixedSize(screenRect.size());

    low_ = MakeSlider(this, QRect(10, 10, 350, 20), model_.LowThreshold(), QStringLiteral("Low threshold"));
    high_ = MakeSlider(this, QRect(10, 42, 350, 20), model_.HighThreshold(), QStringLiteral("High threshold"));
    lowEdit_ = MakeEdit(this, QRect(375, 10, 38, 18), QString::fromStdString(model_.lowText()), QStringLiteral("Low threshold value"));
    highEdit_ = MakeEdit(this, QRect(375, 40, 38, 18), QString::fromStdString(model_.highText()), QStringLiteral("High threshold value"));
    // 38 pixels cut "32767" to "2767" in common fonts, and a real threshold is longer: the
    // edits take the size their longest number needs in the font they have. The window
    // keeps its size unless they would come closer to its right edge than the sliders are
    // to its left one.
    const QSize editSize = ThresholdEditSize(highEdit_);
    lowEdit_->resize(editSize);
    highEdit_->resize(editSize);
    constexpr int EdgeMargin = 10;
    if (375 + editSize.width() + EdgeMargin > width())
        setFixedWidth(375 + editSize.width() + EdgeMargin);
    autoButton_ = MakeButton(this, QRect(40, 75, 80, 25), QStringLiteral("Auto"));
    invertButton_ = MakeButton(this, QRect(150, 75, 80, 25), QStringLiteral("Invert"));
    autoStretchButton_ = MakeButton(this, QRect(250, 75, 100, 25), QStringLiteral("Auto stretch"));
    equalisation_ = new QLabel(this);
    equalisation_->setGeometry(QRect(EdgeMargin, 105, width() - 2 * EdgeMargin, 20));
    equalisation_->setAccessibleName(QStringLiteral("Equalisation"));
    equalisation_->show();
    showEqualisation(QStringLiteral("Linear"));
    // The histogram takes the room below, when there is enough to read it.
    constexpr int HistogramTop = 130;
    constexpr int HistogramLeast = 40;
    if (height() - HistogramTop - EdgeMargin >= HistogramLeast) {
        histogram_ = new HistogramView(model_, this);
        histogram_->setGeometry(QRect(EdgeMargin, HistogramTop, width() - 2 * EdgeMargin, height() - HistogramTop - EdgeMargin));
        histogram_->show();
    }

    // textChanged comes from typing and from setText alike, as the edits' change
    // notification does; the window's own settings of the model's texts are not passed
    // back.
    connect(lowEdit_, &QLineEdit::textChanged, this, [this] { editChanged(lowEdit_); });
    connect(highEdit_, &QLineEdit::textChanged, this, [this] { editChanged(highEdit_); });
    // valueChanged also follows setValue; only the user's scrolling reaches the model.
    connect(low_, &QSlider::valueChanged, this, [this] { sliderMoved(low_); });
    connect(high_, &QSlider::valueChanged, this, [this] { sliderMoved(high_); });
    connect(autoButton_, &QPushButton::clicked, this, &ThresholdsWindow::autoThresholds);
    connect(invertButton_, &QPushButton::clicked, this, &ThresholdsWindow::invert);
    connect(autoStretchButton_, &QPushButton::clicked, this, &ThresholdsWindow::autoStretch);

    low_->installEventFilter(this);
    high_->installEventFilter(this);
    model_.setView(this);
}

void ThresholdsWindow::showEqualisation(const QString& name)
{
    equalisation_->setText(QStringLiteral("Equalisation: ") + name);
}

ThresholdsWindow::~ThresholdsWindow()
{
    model_.setView(nullptr);
}

int ThresholdsWindow::LowThreshold() const
{
    return low_->value();
}

int ThresholdsWindow::HighThreshold() const
{
    return high_->value();
}

void ThresholdsWindow::thresholdsChanged()
{
    const bool saved = showingModel_;
    showingModel_ = true;
    const QString lowText = QString::fromStdString(model_.lowText());
    const QString highText = QString::fromStdString(model_.highText());
    if (lowEdit_->text() != lowText)
        lowEdit_->setText(lowText);
    if (highEdit_->text() != highText)
        highEdit_->setText(highText);
    low_->setValue(model_.LowThreshold());
    high_->setValue(model_.HighThreshold());
    showingModel_ = saved;
    if (histogram_ != nullptr)
        histogram_->update(); // the markers only: the counts stay
}

void ThresholdsWindow::imageChanged()
{
    if (histogram_ != nullptr)
        histogram_->imageChanged();
}

void ThresholdsWindow::editChanged(QLineEdit* edit)
{
    if (showingModel_)
        return;
    const std::string text = edit->text().toStdString();
    if (edit == lowEdit_)
        model_.setLowText(text);
    else
        model_.setHighText(text);
}

void ThresholdsWindow::sliderMoved(QSlider* slider)
{
    if (showingModel_)
        return;
    if (slider == low_)
        model_.scrollLow(slider->value());
    else
        model_.scrollHigh(slider->value());
}

void ThresholdsWindow::autoThresholds()
{
    workbench_.autoThresholds();
    showEqualisation(QString::fromStdString(EqualisationText(workbench_.context().display.transferFunction())));
    emit equalisationChanged();
}

void ThresholdsWindow::autoStretch()
{
    workbench_.autoStretch();
    showEqualisation(QString::fromStdString(EqualisationText(workbench_.context().display.transferFunction())));
    emit equalisationChanged();
}

void ThresholdsWindow::invert()
{
    model_.invert();
}

bool ThresholdsWindow::eventFilter(QObject* watched, QEvent* event)
{
    auto* slider = qobject_cast<QSlider*>(watched);
    if (slider && (slider == low_ || slider == high_)) {
        const QEvent::Type type = event->type();
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                model_.pressTrackbar();
        } else if (type == QEvent::MouseButtonRelease) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                model_.releaseTrackbar(slider == low_);
        }
    }
    return ToolWindow::eventFilter(watched, event); // the slider handles the event as well
}

} // namespace skyvane
