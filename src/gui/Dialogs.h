#pragma once

#include <QDialog>
#include <QRect>
#include <QString>
#include <QStringList>

class QComboBox;
class QFont;
class QLineEdit;
class QPushButton;
class QWidget;

namespace skyvane {

// Dialog units to pixels for a dialog in this font: horizontal units are a quarter of the
// average character width, vertical units an eighth of the line height.
QRect DialogUnitsToPixels(const QFont& font, int left, int top, int width, int height);

// Moves a dialog, keeping its size, so that its top left corner lies at a quarter of the
// width and height of the screen it opens on (both divisions truncating).
void PlaceAtScreenQuarter(QDialog& dialog);

// The control id a dialog control was made with, read back from its "controlId" property.
int ControlId(const QWidget* control);

// "Enter constant" (dialog 105). The caption is the prompt; edit 1001 starts with the
// initial value (15 significant digits). OK (1003, default) reads at most the first 14
// characters of the edit with ParseReal; when they hold no number at all ("", "abc", "-")
// a box says "The text is not a number." and the dialog stays open. Cancel (1002) keeps
// the initial value. Escape and the close box are ignored: only the two buttons close it.
class EnterConstantDialog final : public QDialog {
    Q_OBJECT
public:
    EnterConstantDialog(QWidget* owner, const QString& prompt, double initial);

    double value() const { return value_; }
    QLineEdit* edit() const { return edit_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

    // Escape and the close box arrive here; they do not close the dialog.
    void reject() override {}

protected:
    void showEvent(QShowEvent* event) override;

private:
    void accept() override;

    double value_;
    QLineEdit* edit_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

// "Select image list" (dialog 107). Combo 1015 holds the tags in the given order,
// unsorted, the first one chosen. OK (1003) returns the text of the item selected in the
// list; text typed into the edit field does not count, and no selected item gives "".
// Cancel (1002) gives "". Escape and the close box are ignored.
class SelectImageListDialog final : public QDialog {
    Q_OBJECT
public:
    SelectImageListDialog(QWidget* owner, const QString& prompt, const QStringList& tags);

    QString result() const { return result_; }
    QComboBox* combo() const { return combo_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

    void reject() override {}

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void accept() override;

    QString result_;
    int chosen_ = -1;     // the item picked from the list; -1 after typing
    bool typing_ = false; // text was typed since the last pick from the list
    QComboBox* combo_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

} // namespace skyvane
