#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "gui/DialogProvider.h"
#include "gui/PreferencesDialog.h"
#include "support/GuiTestSupport.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::TestContext;
using test::WriteFileBytes;

std::string Bytes(const std::string& path)
{
    const std::vector<unsigned char> b = ReadFileBytes(path);
    return std::string(b.begin(), b.end());
}

QStringList Items(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

void Type(QLineEdit* edit, const QString& text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// A settings file with every key, some of them odd, among other lines that must survive.
const std::string Original =
    "; written by hand\n"
    "[PATH]\n"
    "Working path=/data/obs\n"
    "\n"
    "[Image processing parameters]\n"
    "Headers combo 1=5\n"
    "Headers combo 2=1\n"
    "Headers combo 3=0\n"
    "Headers check 1=TRUE\n"
    "Headers edit 1=1e6\n"
    "\n"
    "[Other]\n"
    "x=y\n";

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ini = dir.file("Skyvane.ini");
        WriteFileBytes(ini, Original);
        ctx.context.settingsPath = ini;
        ctx.context.settings = LoadSettings(ini);
    }

    // Runs ShowPreferences, letting answer act on the open dialog.
    void run(std::function<void(PreferencesDialog&)> answer)
    {
        bool answered = false;
        test::AnswerNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<PreferencesDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            answered = true;
            answer(*dialog);
            // Whatever the answer did, the test must not hang on an open dialog.
            if (dialog->isVisible())
                QTest::mouseClick(dialog->cancelButton(), Qt::LeftButton);
        });
        ShowPreferences(nullptr, ctx.context);
        EXPECT_TRUE(answered);
    }

    void changeEverything(PreferencesDialog& d)
    {
        d.combo(1011)->setCurrentIndex(1);
        d.combo(1012)->setCurrentIndex(0);
        d.combo(1013)->setCurrentIndex(0);
        d.headerCheck()->setChecked(true);
        Type(d.zeroEdit(), QStringLiteral("42"));
    }

    TempDir dir;
    std::string ini;
    TestContext ctx;
};

TEST_F(PreferencesTest, ControlsTextsAndIdsInResourceOrder)
{
    PreferencesDialog dialog(nullptr, Settings{});
    EXPECT_EQ(dialog.windowTitle(), "Preferences");
    std::vector<std::string> seen;
    for (QObject* child : dialog.children()) {
        const int id = child->property("controlId").toInt();
        std::string entry;
        if (auto* b = qobject_cast<QPushButton*>(child))
            entry = "button " + b->text().toStdString();
        else if (auto* g = qobject_cast<QGroupBox*>(child))
            entry = "group " + g->title().toStdString();
        else if (auto* l = qobject_cast<QLabel*>(child))
            entry = "static " + l->text().toStdString();
        else if (auto* c = qobject_cast<QComboBox*>(child))
            entry = "list " + Items(c).join(QLatin1Char('|')).toStdString();
        else if (qobject_cast<QLineEdit*>(child))
            entry = "edit";
        else if (auto* k = qobject_cast<QCheckBox*>(child))
            entry = "check " + k->text().toStdString();
        else
            continue;
        seen.push_back(std::to_string(id) + " " + entry);
    }
    const std::vector<std::string> expected = {
        "1 button OK",
        "2 button Cancel",
        "0 group FITS headers",
        "0 static Users combines Image A (=displayed image)  with Image B.\nHeaders of resulting image are:",
        "1011 list Headers of image A|Headers of image B",
        "0 group Division by image",
        "0 static If Image A is divided by Image B, what happens for Image B pixels equal to zero ?\n"
        "The corresponding pixels in the final image are set to:",
        "42003 edit",
        "0 static Users combines a list of images with Image B.\nHeaders of resulting image are:",
        "0 static Users combines a list of images. Headers of the resulting image are:",
        "1012 list Headers of first image|Headers of image B",
        "1013 list Headers of first image",
        "0 static FITS header to mention that image has been processed with SKYVANE ?",
        "1014 check SKYVANE header",
        "0 group FITS files",
        "0 static Save FITS as",
        "1015 list 16-bit integers, 0..32767|32-bit floating point, every value kept|16-bit unsigned, 0..65535",
    };
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(dialog.okButton()->isDefault());
    for (QWidget* w : std::initializer_list<QWidget*>{dialog.combo(1011), dialog.combo(1012), dialog.combo(1013), dialog.zeroEdit(), dialog.saveFormat(),
                                                      dialog.headerCheck(), dialog.okButton(), dialog.cancelButton()})
        EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
}

TEST_F(PreferencesTest, OpensWithTheValuesReadFromTheFile)
{
    run([](PreferencesDialog& d) {
        EXPECT_EQ(d.combo(1011)->currentIndex(), -1); // 5 has no item
        EXPECT_EQ(d.combo(1012)->currentText(), "Headers of image B");
        EXPECT_EQ(d.combo(1013)->currentText(), "Headers of first image");
        EXPECT_FALSE(d.headerCheck()->isChecked()); // "TRUE" is not "true"
        EXPECT_EQ(d.zeroEdit()->text(), "1000000");
    });
}

TEST_F(PreferencesTest, OkWritesTheFiveKeysAndKeepsEveryOtherByte)
{
    run([](PreferencesDialog& d) { QTest::mouseClick(d.okButton(), Qt::LeftButton); });
    EXPECT_EQ(Bytes(ini),
              "; written by hand\n"
              "[PATH]\n"
              "Working path=/data/obs\n"
              "\n"
              "[Image processing parameters]\n"
              "Headers combo 1=-1\n"
              "Headers combo 2=1\n"
              "Headers combo 3=0\n"
              "Headers check 1=false\n"
              "Headers edit 1=1000000\n"
              "\n"
              "[Other]\n"
              "x=y\n");
    EXPECT_EQ(ctx.context.settings.HeadersCombo1, -1);
    EXPECT_EQ(ctx.context.settings.HeadersCombo2, 1);
    EXPECT_FALSE(ctx.context.settings.HeadersCheck1);
    EXPECT_EQ(ctx.context.settings.ZeroDivisionValue, 1e6);
}

TEST_F(PreferencesTest, OkAppliesEveryControlAndReadsFourteenCharacters)
{
    ctx.context.settings.LastImageFolder = "/elsewhere";
    run([](PreferencesDialog& d) {
        d.combo(1011)->setCurrentIndex(1);
        d.combo(1012)->setCurrentIndex(0);
        QTest::mouseClick(d.headerCheck(), Qt::LeftButton);
        Type(d.zeroEdit(), QStringLiteral("0.1234567890123456"));
        QTest::keyClick(d.zeroEdit(), Qt::Key_Return); // OK is the default button
    });
    const Settings& s = ctx.context.settings;
    EXPECT_EQ(s.HeadersCombo1, 1);
    EXPECT_EQ(s.HeadersCombo2, 0);
    EXPECT_EQ(s.HeadersCombo3, 0);
    EXPECT_TRUE(s.HeadersCheck1);
    EXPECT_EQ(s.ZeroDivisionValue, 0.123456789012);
    EXPECT_EQ(s.WorkingDirectory, "/data/obs");
    EXPECT_EQ(s.LastImageFolder, "/elsewhere");
    EXPECT_EQ(Bytes(ini),
              "; written by hand\n"
              "[PATH]\n"
              "Working path=/data/obs\n"
              "\n"
              "[Image processing parameters]\n"
              "Headers combo 1=1\n"
              "Headers combo 2=0\n"
              "Headers combo 3=0\n"
              "Headers check 1=true\n"
              "Headers edit 1=0.123456789012\n"
              "\n"
              "[Other]\n"
              "x=y\n");
}

// "Save FITS as" is written only when it changes, after the five keys; the other bytes stay.
TEST_F(PreferencesTest, SaveFormatIsOneKeyOfItsOwn)
{
    run([](PreferencesDialog& d) {
        EXPECT_EQ(d.saveFormat()->currentIndex(), 0);
        d.saveFormat()->setCurrentIndex(1);
        QTest::mouseClick(d.okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(ctx.context.settings.SaveFitsAs, SaveFitsFloat32);
    EXPECT_EQ(Bytes(ini),
              "; written by hand\n"
              "[PATH]\n"
              "Working path=/data/obs\n"
              "\n"
              "[Image processing parameters]\n"
              "Headers combo 1=-1\n"
              "Headers combo 2=1\n"
              "Headers combo 3=0\n"
              "Headers check 1=false\n"
              "Headers edit 1=1000000\n"
              "Save FITS as=1\n"
              "\n"
              "[Other]\n"
              "x=y\n");
    EXPECT_EQ(LoadSettings(ini).SaveFitsAs, SaveFitsFloat32);
    run([](PreferencesDialog& d) {
        EXPECT_EQ(d.saveFormat()->currentIndex(), 1);
        d.saveFormat()->setCurrentIndex(0);
        QTest::mouseClick(d.okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(ReadProfileString(ini, ProcessingSection, SaveFitsAsKey), "0");
    EXPECT_EQ(LoadSettings(ini).SaveFitsAs, SaveFitsInteger16);
    // The third format, unsigned 16-bit integers, is the key's value 2.
    run([](PreferencesDialog& d) {
        ASSERT_EQ(d.saveFormat()->count(), 3);
        EXPECT_EQ(d.saveFormat()->itemText(2), QStringLiteral("16-bit unsigned, 0..65535"));
        d.saveFormat()->setCurrentIndex(2);
        QTest::mouseClick(d.okButton(), Qt::LeftButton);
    });
    EXPECT_EQ(ReadProfileString(ini, ProcessingSection, SaveFitsAsKey), "2");
    EXPECT_EQ(LoadSettings(ini).SaveFitsAs, SaveFitsUnsigned16);
    run([](PreferencesDialog& d) { EXPECT_EQ(d.saveFormat()->currentIndex(), 2); });
}

TEST_F(PreferencesTest, OkOnAFileWithoutTheSectionAppendsTheKeysInOrder)
{
    WriteFileBytes(ini, "[PATH]\nWorking path=/w\n");
    ctx.context.settings = LoadSettings(ini);
    run([](PreferencesDialog& d) { QTest::mouseClick(d.okButton(), Qt::LeftButton); });
    EXPECT_EQ(Bytes(ini),
              "[PATH]\nWorking path=/w\n"
              "[Image processing parameters]\n"
              "Headers combo 1=0\n"
              "Headers combo 2=0\n"
              "Headers combo 3=0\n"
              "Headers check 1=false\n"
              "Headers edit 1=0\n");
}

// Cancel, Escape and the close box: nothing changes, in memory or in the file.
TEST_F(PreferencesTest, EveryOtherWayOutChangesNothing)
{
    const std::vector<std::pair<const char*, std::function<void(PreferencesDialog&)>>> ways = {
        {"Cancel", [](PreferencesDialog& d) { QTest::mouseClick(d.cancelButton(), Qt::LeftButton); }},
        {"Escape", [](PreferencesDialog& d) { QTest::keyClick(d.zeroEdit(), Qt::Key_Escape); }},
        {"close box", [](PreferencesDialog& d) { d.close(); }},
    };
    for (const auto& [name, leave] : ways) {
        SCOPED_TRACE(name);
        const Settings before = ctx.context.settings;
        bool closed = false;
        run([&](PreferencesDialog& d) {
            changeEverything(d);
            leave(d);
            closed = !d.isVisible();
        });
        EXPECT_TRUE(closed);
        EXPECT_EQ(Bytes(ini), Original);
        const Settings& after = ctx.context.settings;
        EXPECT_EQ(after.HeadersCombo1, before.HeadersCombo1);
        EXPECT_EQ(after.HeadersCombo2, before.HeadersCombo2);
        EXPECT_EQ(after.HeadersCombo3, before.HeadersCombo3);
        EXPECT_EQ(after.HeadersCheck1, before.HeadersCheck1);
        EXPECT_EQ(after.ZeroDivisionValue, before.ZeroDivisionValue);
    }
}

TEST_F(PreferencesTest, TheDialogProviderRunsTheSameDialog)
{
    QtDialogProvider provider;
    test::AnswerNextModal([](QWidget* modal) {
        auto* d = qobject_cast<PreferencesDialog*>(modal);
        ASSERT_NE(d, nullptr);
        d->combo(1011)->setCurrentIndex(0);
        QTest::mouseClick(d->okButton(), Qt::LeftButton);
    });
    provider.showPreferences(nullptr, ctx.context);
    EXPECT_EQ(ctx.context.settings.HeadersCombo1, 0);
    EXPECT_EQ(ReadProfileString(ini, ProcessingSection, HeadersCombo1Key), "0");
}

} // namespace
} // namespace skyvane
