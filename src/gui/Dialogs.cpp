#include "gui/Dialogs.h"

#include <string>

#include <QComboBox>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QAbstractItemView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include "base/Numbers.h"

namespace skyvane {

namespace {

// At most this many characters of an edit are read as a number.
constexpr int NumberTextLimit = 14;

const QString NotANumberText = QStringLiteral("The text is not a number.");

void placeControl(QWidget* control, int id, const QRect& dialogUnits)
{
    control->setProperty("controlId", id);
    control->setGeometry(DialogUnitsToPixels(control->font(), dialogUnits.x(), dialogUnits.y(), dialogUnits.width(), dialogUnits.height()));
}

void sizeDialog(QDialog& dialog, int width, int height)
{
    dialog.setFixedSize(DialogUnitsToPixels(dialog.font(), 0, 0, width, height).size());
}

} // namespace

QRect DialogUnitsToPixels(const QFont& font, int left, int top, int width, int height)
{
    const QFontMetrics fm(font);
    // The average width of the 52 Latin letters, as dialog base units are measured.
    const int baseX = (fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 26 + 1) / 2;
    const int baseY = fm.height();
    return QRect(left * baseX / 4, top * baseY / 8, width * baseX / 4, height * baseY / 8);
}

void PlaceAtScreenQuarter(QDialog& dialog)
{
    QScreen* screen = dialog.screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect s = screen->geometry();
    dialog.move(s.x() + s.width() / 4, s.y() + s.height() / 4);
}

int ControlId(const QWidget* control)
{
    return control ? control->property("controlId").toInt() : 0;
}

// ---------------------------------------------------------------------------------------

EnterConstantDialog::EnterConstantDialog(QWidget* owner, const QString& prompt, double initial)
    : QDialog(owner), value_(initial)
{
    setObjectName(QStringLiteral("Enter constant"));
    setModal(true);
    setWindowTitle(prompt);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    sizeDialog(*this, 171, 65);

    edit_ = new QLineEdit(this);
    edit_->setObjectName(QStringLiteral("edit1001"));
    edit_->setAccessibleName(QStringLiteral("Constant"));
    placeControl(edit_, 1001, QRect(19, 15, 96, 14));
    edit_->setText(QString::fromStdString(FormatReal(initial, 15)));

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setObjectName(QStringLiteral("button1003"));
    ok_->setAccessibleName(QStringLiteral("OK"));
    ok_->setDefault(true);
    placeControl(ok_, 1003, QRect(19, 39, 50, 14));

    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("button1002"));
    cancel_->setAccessibleName(QStringLiteral("Cancel"));
    cancel_->setAutoDefault(false);
    placeControl(cancel_, 1002, QRect(81, 38, 50, 14));

    connect(ok_, &QPushButton::clicked, this, &EnterConstantDialog::accept);
    // Cancel is the only way out besides OK; reject() (Escape, close box) is ignored.
    connect(cancel_, &QPushButton::clicked, this, [this] { done(QDialog::Rejected); });
    edit_->setFocus(Qt::OtherFocusReason);
}

void EnterConstantDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    PlaceAtScreenQuarter(*this);
}

void EnterConstantDialog::accept()
{
    const std::string head = edit_->text().left(NumberTextLimit).toStdString();
    if (!StartsWithNumber(head)) {
        // A text without any number would be read as 0 and wipe the image (a division by
        // zero, a multiplication by zero): say so and let the user correct it.
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Error"), NotANumberText, QMessageBox::Ok, this);
        box.setAccessibleName(QStringLiteral("Error"));
        box.exec();
        edit_->setFocus(Qt::OtherFocusReason);
        edit_->selectAll();
        return;
    }
    value_ = ParseReal(head);
    done(QDialog::Accepted);
}

// ---------------------------------------------------------------------------------------

SelectImageListDialog::SelectImageListDialog(QWidget* owner, const QString& prompt, const QStringList& tags)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("Select image list"));
    setModal(true);
    setWindowTitle(prompt);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    sizeDialog(*this, 195, 73);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setObjectName(QStringLiteral("button1003"));
    ok_->setAccessibleName(QStringLiteral("OK"));
    ok_->setDefault(true);
    placeControl(ok_, 1003, QRect(21, 47, 50, 14));

    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("button1002"));
    cancel_->setAccessibleName(QStringLiteral("Cancel"));
    cancel_->setAutoDefault(false);
    placeControl(cancel_, 1002, QRect(83, 47, 50, 14));

    combo_ = new QComboBox(this);
    combo_->setObjectName(QStringLiteral("combo1015"));
    combo_->setAccessibleName(QStringLiteral("Image list"));
    combo_->setEditable(true);
    combo_->setInsertPolicy(QComboBox::NoInsert);
    combo_->setCompleter(nullptr);
    combo_->setMaxVisibleItems(8);
    // The resource height includes the dropped-down list; the closed box is one line.
    placeControl(combo_, 1015, QRect(21, 16, 79, 14));
    combo_->addItems(tags);
    // The first list is chosen from the start, so that OK right away takes it.
    combo_->setCurrentIndex(tags.isEmpty() ? -1 : 0);
    if (tags.isEmpty())
        combo_->setEditText(QString());
    chosen_ = combo_->currentIndex();

    // Only an item picked from the list counts. A QComboBox with an edit field also
    // "activates" the item whose text equals typed text when editing ends; that match is
    // typed text, so typing drops the choice until an item is picked again.
    connect(combo_, &QComboBox::activated, this, [this](int index) {
        if (!typing_)
            chosen_ = index;
    });
    connect(combo_->lineEdit(), &QLineEdit::textEdited, this, [this] {
        typing_ = true;
        chosen_ = -1;
    });
    combo_->installEventFilter(this);
    combo_->view()->installEventFilter(this);
    combo_->view()->viewport()->installEventFilter(this);

    connect(ok_, &QPushButton::clicked, this, &SelectImageListDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, [this] {
        result_.clear();
        done(QDialog::Rejected);
    });
}

bool SelectImageListDialog::eventFilter(QObject* watched, QEvent* event)
{
    // Picking from the list: keys that move through the items on the closed box, or a
    // mouse press or key in the dropped-down list.
    const QEvent::Type type = event->type();
    if (watched == combo_ && type == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown)
            typing_ = false;
    } else if (watched != combo_ && (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease || type == QEvent::KeyPress)) {
        typing_ = false;
    }
    return QDialog::eventFilter(watched, event);
}

void SelectImageListDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    PlaceAtScreenQuarter(*this);
}

void SelectImageListDialog::accept()
{
    result_ = chosen_ >= 0 && chosen_ < combo_->count() ? combo_->itemText(chosen_) : QString();
    done(QDialog::Accepted);
}

} // namespace skyvane
