// The menu items of one-shot colour nights compose their commands.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QAction>

#include "gui/MainWindow.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

class MosaicMenuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ini = dir.file("Skyvane.ini");
        test::WriteFileBytes(ini, "[PATH]\nWorking path=" + dir.path().string() + "\n");
        // A mosaic frame in the working directory, a dark and a flat outside it.
        std::filesystem::create_directories(dir.file("masters"));
        for (const std::string& name : {std::string("m.fit"), std::string("masters/dark.fit"), std::string("masters/flat.fit")}) {
            test::FitsLayout layout;
            layout.width = 6;
            layout.height = 4;
            for (int k = 0; k < 24; ++k)
                layout.values.push_back(name == "masters/dark.fit" ? 10.0 : 1000.0 + 37.0 * (k % 5));
            layout.extraCards = {"BAYERPAT= 'RGGB'"};
            test::WriteFitsImage(dir.file(name), layout);
        }
        MainWindowOptions options;
        options.settingsPath = ini;
        options.dialogs = &dialogs;
        options.messages = &messages;
        window = std::make_unique<MainWindow>(options);
    }

    void trigger(int id)
    {
        QAction* a = window->action(id);
        ASSERT_NE(a, nullptr) << id;
        a->trigger();
    }

    const std::string& slot() { return window->context().CommandSlot; }

    TempDir dir;
    std::string ini;
    test::ScriptedDialogs dialogs;
    test::RecordingMessages messages;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MosaicMenuTest, CalibrateAsksTheListTheDarkAndTheFlatWhichMayBeCancelled)
{
    ASSERT_NE(window->action(MainIds::ListCalibrate), nullptr);
    EXPECT_EQ(window->action(MainIds::ListCalibrate)->text(), QStringLiteral("Calibrate..."));
    const QString dark = QString::fromStdString(dir.file("masters/dark.fit"));
    const QString flat = QString::fromStdString(dir.file("masters/flat.fit"));
    dialogs.answers = {QStringLiteral("[WORK]"), dark, flat};
    trigger(MainIds::ListCalibrate);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"list:Select image list for calibration", "image", "image"}));
    EXPECT_EQ(slot(), "calibrate [WORK] (" + dark.toStdString() + ") (" + flat.toStdString() + ")");
    EXPECT_EQ(window->context().ReplySlot, "     1 image has been calibrated, 0 hot pixels replaced; new list [PATH]");

    dialogs.answers = {QStringLiteral("[WORK]"), dark}; // the flat cancelled
    trigger(MainIds::ListCalibrate);
    EXPECT_EQ(slot(), "calibrate [WORK] (" + dark.toStdString() + ")");

    dialogs.answers = {QStringLiteral("[WORK]")}; // the dark cancelled: nothing
    trigger(MainIds::ListCalibrate);
    EXPECT_EQ(slot(), "calibrate [WORK] (" + dark.toStdString() + ")");
    EXPECT_TRUE(messages.texts.empty());
}

TEST_F(MosaicMenuTest, DebayerItemsOfTheImageListAndTheImageMenus)
{
    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::ListDebayer);
    EXPECT_EQ(dialogs.asked.back(), "list:Select image list for debayering");
    EXPECT_EQ(slot(), "listdebayer [WORK]");
    EXPECT_EQ(window->context().ReplySlot, "     1 image has been debayered; new list [PATH]");

    window->openImage(dir.file("m.fit"));
    trigger(MainIds::Debayer);
    EXPECT_EQ(slot(), "debayer");
    EXPECT_EQ(window->context().ReplySlot, "     image has been debayered (RGGB)");
    EXPECT_EQ(window->context().imageA.grid.planes(), 3);
}

} // namespace
} // namespace skyvane
