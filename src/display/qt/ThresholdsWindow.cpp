#include "display/qt/ThresholdsWindow.h"

#include <QEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>

#include "display/ThresholdRules.h"
#include "processing/Statistics.h"
#include "shell/AppContext.h"

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
