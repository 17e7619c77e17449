#include <string>
#include <vector>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include "gui/DialogProvider.h"
#include "gui/Dialogs.h"
#include "support/GuiTestSupport.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

QPoint ScreenQuarter(const QWidget& w)
{
    const QRect s = w.screen()->geometry();
    return QPoint(s.x() + s.width() / 4, s.y() + s.height() / 4);
}

void Type(QLineEdit* edit, const QString& text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// ---------------------------------------------------------------------------------------
// "Enter constant"

TEST(EnterConstantDialogTest, ShowsTheInitialValueWithFifteenDigitsUnderThePromptAsCaption)
{
    struct Case {
        double initial;
        const char* shown;
    };
    const Case cases[] = {{0, "0"}, {1, "1"}, {3, "3"}, {2.5, "2.5"}, {0.1, "0.1"}, {1e6, "1000000"}, {-1.5e-7, "-1.5e-007"}, {1.0 / 3, "0.333333333333333"}};
    for (const Case& c : cases) {
        EnterConstantDialog dialog(nullptr, QStringLiteral("Enter constant for addition"), c.initial);
        EXPECT_EQ(dialog.edit()->text(), QString::fromLatin1(c.shown)) << c.initial;
        EXPECT_EQ(dialog.windowTitle(), "Enter constant for addition");
    }
}

TEST(EnterConstantDialogTest, ControlsCarryTheirIdsTextsAndNames)
{
    EnterConstantDialog dialog(nullptr, QStringLiteral("p"), 0);
    EXPECT_EQ(ControlId(dialog.edit()), 1001);
    EXPECT_EQ(ControlId(dialog.okButton()), 1003);
    EXPECT_EQ(ControlId(dialog.cancelButton()), 1002);
    EXPECT_EQ(dialog.okButton()->text(), "OK");
    EXPECT_EQ(dialog.cancelButton()->text(), "Cancel");
    EXPECT_TRUE(dialog.okButton()->isDefault());
    EXPECT_FALSE(dialog.cancelButton()->isDefault());
    EXPECT_FALSE(dialog.edit()->accessibleName().isEmpty());
    EXPECT_FALSE(dialog.okButton()->accessibleName().isEmpty());
    EXPECT_FALSE(dialog.cancelButton()->accessibleName().isEmpty());
}

// What OK reads: at most the first 14 characters, with ParseReal's rules.
TEST(EnterConstantDialogTest, OkReadsTheFirstFourteenCharacters)
{
    struct Case {
        const char* typed;
        double value;
    };
    const Case cases[] = {
        {"0", 0},
        {"12abc", 12},
        {"12345678901234567890", 12345678901234.0},
        {"0.1234567890123456", 0.123456789012},
        {"1.5e3", 1500},
        {"  -2.25", -2.25},
        {"-0.000000000001234", -0.0000000000012}, // 14 characters: -0.00000000000
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        EnterConstantDialog dialog(nullptr, QStringLiteral("Enter constant for multiplication"), 1);
        dialog.show();
        Type(dialog.edit(), QString::fromLatin1(c.typed));
        ASSERT_EQ(dialog.edit()->text(), QString::fromLatin1(c.typed));
        QTest::keyClick(dialog.edit(), Qt::Key_Return); // the default button
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        if (std::string(c.typed) == "-0.000000000001234")
            EXPECT_EQ(dialog.value(), 0.0); // "-0.00000000000" is minus zero
        else
            EXPECT_EQ(dialog.value(), c.value);
    }
}

// A text without any number would be read as 0 and submitted, wiping the image with
// "mult 0" or "div 0": the dialog says so and stays open until a number is given.
TEST(EnterConstantDialogTest, TextWithoutANumberIsRefusedAndTheDialogStaysOpen)
{
    EnterConstantDialog dialog(nullptr, QStringLiteral("Enter constant for division"), 1);
    dialog.show();
    for (const char* typed : {"", "abc", "-", "              7"}) { // the last: 14 blanks, then 7
        Type(dialog.edit(), QString::fromLatin1(typed));
        QString said;
        test::AnswerNextModal([&said](QWidget* modal) {
            said = static_cast<QMessageBox*>(modal)->text();
            static_cast<QMessageBox*>(modal)->accept();
        });
        QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
        EXPECT_EQ(said, "The text is not a number.") << typed;
        EXPECT_TRUE(dialog.isVisible()) << typed;
    }
    Type(dialog.edit(), QStringLiteral("-2.5e"));
    QTest::keyClick(dialog.edit(), Qt::Key_Return);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.value(), -2.5);
}

TEST(EnterConstantDialogTest, CancelKeepsTheValueEscapeAndCloseBoxAreIgnored)
{
    EnterConstantDialog dialog(nullptr, QStringLiteral("Enter constant for division"), 1);
    dialog.show();
    QApplication::processEvents();
    EXPECT_EQ(dialog.pos(), ScreenQuarter(dialog));
    EXPECT_EQ(dialog.frameGeometry().topLeft(), ScreenQuarter(dialog));

    Type(dialog.edit(), QStringLiteral("7"));
    QTest::keyClick(dialog.edit(), Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());

    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(dialog.value(), 1.0);
}

TEST(EnterConstantDialogTest, ProviderReturnsTheValueOrNothing)
{
    QtDialogProvider provider;
    QString caption;
    QString shown;
    test::AnswerNextModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<EnterConstantDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        caption = dialog->windowTitle();
        shown = dialog->edit()->text();
        Type(dialog->edit(), QStringLiteral("2.5"));
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(provider.askConstant(nullptr, QStringLiteral("Enter clipping range (sigma units)"), 3), std::optional<double>(2.5));
    EXPECT_EQ(caption, "Enter clipping range (sigma units)");
    EXPECT_EQ(shown, "3");

    test::AnswerNextModal([](QWidget* modal) {
        auto* dialog = qobject_cast<EnterConstantDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        Type(dialog->edit(), QStringLiteral("9"));
        QTest::keyClick(dialog->edit(), Qt::Key_Escape); // ignored
        QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(provider.askConstant(nullptr, QStringLiteral("Enter number of iterations"), 2), std::nullopt);
}

// ---------------------------------------------------------------------------------------
// "Select image list"

QStringList Items(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

const QStringList Tags = {QStringLiteral("[WORK]"), QStringLiteral("[PATH]"), QStringLiteral("[PATH2]"), QStringLiteral("[ABC]")};

TEST(SelectImageListDialogTest, OpensWithTheTagsInOrderAndTheFirstChosen)
{
    SelectImageListDialog dialog(nullptr, QStringLiteral("Select image list for median co-addition"), Tags);
    dialog.show();
    QApplication::processEvents();
    EXPECT_EQ(dialog.windowTitle(), "Select image list for median co-addition");
    EXPECT_EQ(Items(dialog.combo()), Tags); // unsorted
    EXPECT_EQ(dialog.combo()->currentIndex(), 0);
    EXPECT_EQ(dialog.combo()->currentText(), "[WORK]");
    EXPECT_TRUE(dialog.combo()->isEditable());
    EXPECT_EQ(ControlId(dialog.combo()), 1015);
    EXPECT_EQ(ControlId(dialog.okButton()), 1003);
    EXPECT_EQ(ControlId(dialog.cancelButton()), 1002);
    EXPECT_TRUE(dialog.okButton()->isDefault());
    EXPECT_FALSE(dialog.combo()->accessibleName().isEmpty());
    EXPECT_EQ(dialog.pos(), ScreenQuarter(dialog));
}

// How the user gets to OK, and what OK returns.
TEST(SelectImageListDialogTest, OnlyAnItemPickedFromTheListCounts)
{
    enum Step { Down, TypePath, TypeJunk, ClickPopupItem2, PressEnterInEdit };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        const char* result;
    };
    const Case cases[] = {
        {"OK at once takes the first list", {}, "[WORK]"},
        {"second item by keyboard", {Down}, "[PATH]"},
        {"third item from the dropped-down list", {ClickPopupItem2}, "[PATH2]"},
        {"typed text equal to an item", {TypePath}, ""},
        {"typed text and Enter", {TypePath, PressEnterInEdit}, ""},
        {"picked, then typed over", {Down, TypeJunk}, ""},
        {"typed, then picked", {TypeJunk, Down}, "[PATH]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SelectImageListDialog dialog(nullptr, QStringLiteral("Select image list for sigma clipping"), Tags);
        dialog.show();
        QApplication::processEvents();
        QComboBox* combo = dialog.combo();
        bool closedByEnter = false;
        for (Step step : c.steps) {
            switch (step) {
            case Down:
                QTest::keyClick(combo, Qt::Key_Down);
                break;
            case TypePath:
                Type(combo->lineEdit(), QStringLiteral("[PATH]"));
                break;
            case TypeJunk:
                Type(combo->lineEdit(), QStringLiteral("[NOPE]"));
                break;
            case ClickPopupItem2: {
                combo->showPopup();
                QApplication::processEvents();
                QAbstractItemView* view = combo->view();
                const QRect r = view->visualRect(view->model()->index(2, 0));
                ASSERT_FALSE(r.isEmpty());
                QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, r.center());
                QApplication::processEvents();
                break;
            }
            case PressEnterInEdit:
                QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
                closedByEnter = true;
                break;
            }
        }
        if (!closedByEnter)
            QTest::mouseClick(dialog.okButton(), Qt::LeftButton);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), QString::fromLatin1(c.result));
        EXPECT_EQ(Items(combo), Tags); // typed text is never added
    }
}

TEST(SelectImageListDialogTest, CancelGivesNothingEscapeAndCloseBoxAreIgnored)
{
    SelectImageListDialog dialog(nullptr, QStringLiteral("Select image list for min-max rejection"), Tags);
    dialog.show();
    QTest::keyClick(dialog.combo(), Qt::Key_Down);
    QTest::keyClick(dialog.combo(), Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());
    QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), "");
}

TEST(SelectImageListDialogTest, ProviderReturnsTheChosenTagAndEmptyListsGiveNothing)
{
    QtDialogProvider provider;
    test::AnswerNextModal([](QWidget* modal) {
        auto* dialog = qobject_cast<SelectImageListDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        QTest::keyClick(dialog->combo(), Qt::Key_Down);
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(provider.askImageList(nullptr, QStringLiteral("Select image list for standard co-addition"), Tags), "[PATH]");

    int count = -1;
    test::AnswerNextModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<SelectImageListDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        count = dialog->combo()->count();
        QTest::mouseClick(dialog->okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(provider.askImageList(nullptr, QStringLiteral("Select image list for median co-addition"), {}), "");
    EXPECT_EQ(count, 0);
}

// ---------------------------------------------------------------------------------------
// The save dialogs of the File menu (the real QFileDialog)

// Types name into the file dialog that opens next and presses Save; a question whether to
// replace a file is answered No, and the dialog then cancelled.
void AnswerSaveDialog(const QString& name, bool* askedToReplace = nullptr, const QString& filter = {})
{
    test::AnswerNextModal([name, askedToReplace, filter](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        if (!filter.isEmpty()) {
            // As the user picks a file type from the list.
            auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            ASSERT_NE(types, nullptr);
            const int index = types->findText(filter);
            ASSERT_GE(index, 0) << filter.toStdString();
            types->setCurrentIndex(index);
            Q_EMIT types->activated(index);
            Q_EMIT types->textActivated(filter);
        }
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(name);
        if (askedToReplace) {
            test::AnswerNextModal([askedToReplace](QWidget* question) {
                *askedToReplace = qobject_cast<QMessageBox*>(question) != nullptr;
                static_cast<QMessageBox*>(question)->button(QMessageBox::No)->click();
            });
        }
        static_cast<QDialog*>(dialog)->accept(); // the Save button
        if (dialog->isVisible())
            dialog->reject();
    });
}

// A bare name lands in the folder the dialog starts in, with the file type's extension.
TEST(SaveDialogsTest, StartInTheFolderGivenAndAppendTheFileTypesExtension)
{
    test::TempDir dir;
    test::WriteFileBytes(dir.file("old.fit"), "an older result");
    const QString folder = QString::fromStdString(dir.path().string());
    QtDialogProvider provider;
    AnswerSaveDialog(QStringLiteral("sigclip"));
    EXPECT_EQ(provider.saveFitsFile(nullptr, folder), folder + "/sigclip.fit");
    AnswerSaveDialog(QStringLiteral("sigclip"));
    EXPECT_EQ(provider.saveBitmapFile(nullptr, folder), folder + "/sigclip.bmp");
    AnswerSaveDialog(QStringLiteral("m31.fts")); // an extension of the user's own stays
    EXPECT_EQ(provider.saveFitsFile(nullptr, folder), folder + "/m31.fts");
    // The picture's file type gives a bare name its suffix; a suffix of the user's own stays.
    AnswerSaveDialog(QStringLiteral("sigclip"), nullptr, QStringLiteral("PNG Files (*.png)"));
    EXPECT_EQ(provider.saveBitmapFile(nullptr, folder), folder + "/sigclip.png");
    AnswerSaveDialog(QStringLiteral("night"), nullptr, QStringLiteral("TIFF Files, 16 bits per sample (*.tif *.tiff)"));
    EXPECT_EQ(provider.saveBitmapFile(nullptr, folder), folder + "/night.tif");
    AnswerSaveDialog(QStringLiteral("m31.bmp"), nullptr, QStringLiteral("JPEG Files (*.jpg *.jpeg)"));
    EXPECT_EQ(provider.saveBitmapFile(nullptr, folder), folder + "/m31.bmp");
    // The extension is there before the dialog looks for a file to replace.
    bool askedToReplace = false;
    AnswerSaveDialog(QStringLiteral("old"), &askedToReplace);
    EXPECT_EQ(provider.saveFitsFile(nullptr, folder), QString());
    EXPECT_TRUE(askedToReplace);
}

TEST(DialogUnitsTest, ScaleWithTheFont)
{
    QFont small = QApplication::font();
    small.setPointSize(8);
    QFont large = small;
    large.setPointSize(16);
    const QRect a = DialogUnitsToPixels(small, 19, 15, 96, 14);
    const QRect b = DialogUnitsToPixels(large, 19, 15, 96, 14);
    EXPECT_GT(a.width(), 96);   // one unit is a quarter of a character, more than a pixel
    EXPECT_GT(b.width(), a.width());
    EXPECT_GT(b.height(), a.height());
    EXPECT_EQ(DialogUnitsToPixels(small, 0, 0, 0, 0), QRect(0, 0, 0, 0));
}

} // namespace
} // namespace skyvane
