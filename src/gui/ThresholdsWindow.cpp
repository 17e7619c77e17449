#include "gui/ThresholdsWindow.h"

#include <cmath>

#include <QEvent>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionFrame>

#include "command/Messages.h"
#include "context/AppContext.h"
#include "display/ThresholdRules.h"
#include "processing/Statistics.h"

namespace skyvane {

namespace {

// Edit texts are read by their first five characters, as the window's edits were.
constexpr int EditReadLength = 5;

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

// The size an edit needs to show five digits whole in its own font and style: five of the
// widest digit (rounded up: text is laid out in fractions of a pixel), the caret, the
// edit's inner margins and the style's frame. Never less than the window's original
// 38 x 18.
QSize FiveDigitEditSize(const QLineEdit* edit)
{
    const QFontMetricsF metrics(edit->font());
    QChar widest = QLatin1Char('0');
    for (char c = '1'; c <= '9'; ++c)
        if (metrics.horizontalAdvance(QLatin1Char(c)) > metrics.horizontalAdvance(widest))
            widest = QLatin1Char(c);
    const int digits = static_cast<int>(std::ceil(metrics.horizontalAdvance(QString(5, widest))));
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

ThresholdsWindow::ThresholdsWindow(ToolWindowTable& table, AppContext& context, QWidget* owner, const QRect& screenRect)
    : ToolWindow(table, owner, QStringLiteral("Thresholds"), screenRect), context_(context)
{
    setFixedSize(screenRect.size());

    low_ = MakeSlider(this, QRect(10, 10, 350, 20), 0, QStringLiteral("Low threshold"));
    high_ = MakeSlider(this, QRect(10, 42, 350, 20), ThresholdMaximum, QStringLiteral("High threshold"));
    lowEdit_ = MakeEdit(this, QRect(375, 10, 38, 18), QStringLiteral("0"), QStringLiteral("Low threshold value"));
    highEdit_ = MakeEdit(this, QRect(375, 40, 38, 18), QStringLiteral("32767"), QStringLiteral("High threshold value"));
    // 38 pixels cut "32767" to "2767" in common fonts: the edits take the size five digits
    // need in the font they have. The window keeps its size unless they would come closer
    // to its right edge than the sliders are to its left one.
    const QSize editSize = FiveDigitEditSize(highEdit_);
    lowEdit_->resize(editSize);
    highEdit_->resize(editSize);
    constexpr int EdgeMargin = 10;
    if (375 + editSize.width() + EdgeMargin > width())
        setFixedWidth(375 + editSize.width() + EdgeMargin);
    autoButton_ = MakeButton(this, QRect(40, 75, 80, 25), QStringLiteral("Auto"));
    invertButton_ = MakeButton(this, QRect(150, 75, 80, 25), QStringLiteral("Invert"));

    // textChanged comes from typing and from setText alike, as the edits' change
    // notification does.
    connect(lowEdit_, &QLineEdit::textChanged, this, [this] { editChanged(lowEdit_, low_); });
    connect(highEdit_, &QLineEdit::textChanged, this, [this] { editChanged(highEdit_, high_); });
    // valueChanged also follows setValue; the program's own moves are filtered out in
    // slidersMoved, so that only the user's scrolling sets the edit texts.
    connect(low_, &QSlider::valueChanged, this, [this] { slidersMoved(); });
    connect(high_, &QSlider::valueChanged, this, [this] { slidersMoved(); });
    connect(autoButton_, &QPushButton::clicked, this, &ThresholdsWindow::autoThresholds);
    connect(invertButton_, &QPushButton::clicked, this, &ThresholdsWindow::invert);

    low_->installEventFilter(this);
    high_->installEventFilter(this);
}

int ThresholdsWindow::LowThreshold() const
{
    return low_->value();
}

int ThresholdsWindow::HighThreshold() const
{
    return high_->value();
}

void ThresholdsWindow::setPosition(QSlider* slider, int position)
{
    // A move by the program is not a scroll of the user's: the edits are left alone.
    const bool saved = movingByProgram_;
    movingByProgram_ = true;
    slider->setValue(position);
    movingByProgram_ = saved;
}

void ThresholdsWindow::editChanged(QLineEdit* edit, QSlider* slider)
{
    if (!dragFlag_)
        return;
    const std::string text = edit->text().left(EditReadLength).toStdString();
    const EditThreshold rule = ThresholdFromEditText(text);
    setPosition(slider, rule.position);
    if (rule.replaceText)
        setEditText(edit, QString::number(ThresholdMaximum));
    emit redrawRequested();
}

void ThresholdsWindow::slidersMoved()
{
    if (movingByProgram_)
        return;
    setEditText(lowEdit_, QString::number(low_->value()));
    setEditText(highEdit_, QString::number(high_->value()));
}

void ThresholdsWindow::setEditText(QLineEdit* edit, const QString& text)
{
    if (edit->text() == text) {
        // QLineEdit reports nothing when its text does not change; the rules still apply.
        editChanged(edit, edit == lowEdit_ ? low_ : high_);
        return;
    }
    edit->setText(text);
}

void ThresholdsWindow::autoThresholds()
{
    if (!context_.imagePresent()) {
        setEditText(lowEdit_, QStringLiteral("0"));
        setEditText(highEdit_, QString::number(ThresholdMaximum));
        return;
    }
    const ImageGrid& grid = context_.imageA.grid;
    const std::optional<double> median = TryImageMedian(grid);
    if (!median) {
        // The thresholds stay as they are.
        context_.messages.showError(NotEnoughMemoryText(grid.width(), grid.height()));
        return;
    }
    const AutoThresholds values = AutoThresholdsFromMedian(*median);
    setEditText(lowEdit_, QString::number(values.low));
    setEditText(highEdit_, QString::number(values.high));
}

void ThresholdsWindow::invert()
{
    const int p1 = low_->value();
    const int p2 = high_->value();
    setPosition(low_, p2);
    setPosition(high_, p1);
    const QString t1 = lowEdit_->text().left(EditReadLength);
    const QString t2 = highEdit_->text().left(EditReadLength);
    setEditText(lowEdit_, t2);
    setEditText(highEdit_, t1);
}

bool ThresholdsWindow::eventFilter(QObject* watched, QEvent* event)
{
    auto* slider = qobject_cast<QSlider*>(watched);
    if (slider && (slider == low_ || slider == high_)) {
        const QEvent::Type type = event->type();
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                dragFlag_ = false;
        } else if (type == QEvent::MouseButtonRelease) {
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
                dragFlag_ = true;
                emit redrawRequested();
                setEditText(slider == low_ ? lowEdit_ : highEdit_, QString::number(slider->value()));
            }
        }
    }
    return ToolWindow::eventFilter(watched, event); // the slider handles the event as well
}

} // namespace skyvane
