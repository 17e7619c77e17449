#include "gui/PreferencesDialog.h"

#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "base/Numbers.h"
#include "context/AppContext.h"
#include "gui/Dialogs.h"

namespace skyvane {

namespace {

constexpr int NumberTextLimit = 14;

template <typename W>
W* place(W* control, int id, int left, int top, int width, int height)
{
    if (id != 0)
        control->setProperty("controlId", id);
    control->setGeometry(DialogUnitsToPixels(control->font(), left, top, width, height));
    return control;
}

QLabel* staticText(QWidget* parent, const QString& text, int left, int top, int width, int height)
{
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(label, 0, left, top, width, height);
    // The boxes were measured for a narrow 8-point font; with a wider desktop font the
    // wrapped text would be cut off at the bottom, so the font shrinks until it fits.
    QFont font = label->font();
    while (label->heightForWidth(label->width()) > label->height() && font.pointSizeF() > 6.0) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        label->setFont(font);
    }
    return label;
}

QComboBox* dropDownList(QWidget* parent, int id, const QStringList& items, int selected, const QString& name, int left, int top, int width)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QStringLiteral("combo%1").arg(id));
    combo->setAccessibleName(name);
    combo->addItems(items);
    // An index without an item leaves the list without a selection.
    combo->setCurrentIndex(selected >= 0 && selected < combo->count() ? selected : -1);
    // The resource height includes the dropped-down list; the closed box is one line.
    return place(combo, id, left, top, width, 13);
}

} // namespace

PreferencesDialog::PreferencesDialog(QWidget* owner, const Settings& settings)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("Preferences"));
    setModal(true);
    setWindowTitle(QStringLiteral("Preferences"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setFixedSize(DialogUnitsToPixels(font(), 0, 0, 410, 282).size());

    // Controls are made in the resource's order, which is also the tab order.
    ok_ = place(new QPushButton(QStringLiteral("OK"), this), 1, 353, 243, 50, 14);
    ok_->setObjectName(QStringLiteral("button1"));
    ok_->setAccessibleName(QStringLiteral("OK"));
    ok_->setDefault(true);
    cancel_ = place(new QPushButton(QStringLiteral("Cancel"), this), 2, 353, 261, 50, 14);
    cancel_->setObjectName(QStringLiteral("button2"));
    cancel_->setAccessibleName(QStringLiteral("Cancel"));
    cancel_->setAutoDefault(false);

    // A group box comes before the controls inside it, so they stack above its frame.
    auto* headers = place(new QGroupBox(QStringLiteral("FITS headers"), this), 0, 7, 7, 195, 202);
    headers->setObjectName(QStringLiteral("group1"));
    staticText(this, QStringLiteral("Users combines Image A (=displayed image)  with Image B.\nHeaders of resulting image are:"), 13, 19, 186, 22);
    combo1_ = dropDownList(this, 1011, {QStringLiteral("Headers of image A"), QStringLiteral("Headers of image B")}, settings.HeadersCombo1,
                           QStringLiteral("Headers of Image A combined with Image B"), 75, 42, 96);
    auto* division = place(new QGroupBox(QStringLiteral("Division by image"), this), 0, 212, 7, 191, 66);
    division->setObjectName(QStringLiteral("group2"));
    staticText(this,
               QStringLiteral("If Image A is divided by Image B, what happens for Image B pixels equal to zero ?\nThe corresponding pixels in the final image are set to:"),
               217, 20, 179, 25);
    edit_ = place(new QLineEdit(this), 42003, 281, 49, 96, 13);
    edit_->setObjectName(QStringLiteral("edit42003"));
    edit_->setAccessibleName(QStringLiteral("Value of pixels divided by zero"));
    edit_->setText(QString::fromStdString(FormatReal(settings.ZeroDivisionValue, 15)));
    staticText(this, QStringLiteral("Users combines a list of images with Image B.\nHeaders of resulting image are:"), 15, 65, 175, 22);
    staticText(this, QStringLiteral("Users combines a list of images. Headers of the resulting image are:"), 13, 114, 180, 18);
    combo2_ = dropDownList(this, 1012, {QStringLiteral("Headers of first image"), QStringLiteral("Headers of image B")}, settings.HeadersCombo2,
                           QStringLiteral("Headers of a list combined with Image B"), 75, 89, 96);
    combo3_ = dropDownList(this, 1013, {QStringLiteral("Headers of first image")}, settings.HeadersCombo3,
                           QStringLiteral("Headers of a co-added list"), 75, 135, 96);
    staticText(this, QStringLiteral("FITS header to mention that image has been processed with SKYVANE ?"), 13, 164, 180, 20);
    check_ = place(new QCheckBox(QStringLiteral("SKYVANE header"), this), 1014, 83, 183, 77, 14);
    check_->setObjectName(QStringLiteral("check1014"));
    check_->setAccessibleName(QStringLiteral("SKYVANE header"));
    check_->setChecked(settings.HeadersCheck1);

    auto* files = place(new QGroupBox(QStringLiteral("FITS files"), this), 0, 212, 80, 191, 48);
    files->setObjectName(QStringLiteral("group3"));
    staticText(this, QStringLiteral("Save FITS as"), 217, 93, 179, 10);
    // The items stand in the order of the setting's values.
    saveFormat_ = dropDownList(this, 1015,
                               {QStringLiteral("16-bit integers, 0..32767"), QStringLiteral("32-bit floating point, every value kept"),
                                QStringLiteral("16-bit unsigned, 0..65535")},
                               settings.SaveFitsAs == SaveFitsFloat32 || settings.SaveFitsAs == SaveFitsUnsigned16 ? settings.SaveFitsAs : SaveFitsInteger16,
                               QStringLiteral("Save FITS as"), 217, 106, 179);

    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

QComboBox* PreferencesDialog::combo(int id) const
{
    switch (id) {
    case 1011:
        return combo1_;
    case 1012:
        return combo2_;
    case 1013:
        return combo3_;
    default:
        return nullptr;
    }
}

Settings PreferencesDialog::applyTo(const Settings& settings) const
{
    Settings result = settings;
    result.HeadersCombo1 = combo1_->currentIndex();
    result.HeadersCombo2 = combo2_->currentIndex();
    result.HeadersCombo3 = combo3_->currentIndex();
    result.HeadersCheck1 = check_->isChecked();
    result.ZeroDivisionValue = ParseReal(edit_->text().left(NumberTextLimit).toStdString());
    const int format = saveFormat_->currentIndex();
    result.SaveFitsAs = format == SaveFitsFloat32 || format == SaveFitsUnsigned16 ? format : SaveFitsInteger16;
    return result;
}

void ShowPreferences(QWidget* owner, AppContext& context)
{
    PreferencesDialog dialog(owner, context.settings);
    if (dialog.exec() != QDialog::Accepted)
        return;
    context.settings = dialog.applyTo(context.settings);
    WritePreferences(context.settingsPath, context.settings);
}

} // namespace skyvane
