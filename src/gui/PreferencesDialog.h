#pragma once

#include <QDialog>

#include "context/Settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;

namespace skyvane {

struct AppContext;

// "Preferences" (dialog 106): the three header options, the "SKYVANE header" flag, the
// value of pixels divided by zero, and how "Save FITS" stores pixels. The dialog only shows and collects values; ShowPreferences
// applies and writes them when OK closes it.
class PreferencesDialog final : public QDialog {
    Q_OBJECT
public:
    PreferencesDialog(QWidget* owner, const Settings& settings);

    // settings with the dialog's values: combos take their selected index (-1 without a
    // selection), the flag the check box, the zero value the first 14 characters of the
    // edit read with ParseReal. Everything else is kept.
    Settings applyTo(const Settings& settings) const;

    QComboBox* combo(int id) const; // 1011, 1012, 1013
    QCheckBox* headerCheck() const { return check_; }
    QLineEdit* zeroEdit() const { return edit_; }
    QComboBox* saveFormat() const { return saveFormat_; } // 1015, "Save FITS as"
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    QComboBox* combo1_;
    QComboBox* combo2_;
    QComboBox* combo3_;
    QComboBox* saveFormat_;
    QCheckBox* check_;
    QLineEdit* edit_;
    QPushButton* ok_;
    QPushButton* cancel_;
};

// Runs the Preferences dialog modally; OK stores the values in context.settings and writes
// the "Image processing parameters" keys to context.settingsPath (WritePreferences). Cancel, Escape and
// the close box change nothing.
void ShowPreferences(QWidget* owner, AppContext& context);

} // namespace skyvane
