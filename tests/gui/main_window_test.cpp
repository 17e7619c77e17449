#include <cstdio>
#include <deque>
#include <filesystem>
#include <optional>

#include <malloc.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include "base/Paths.h"
#include "gui/CommandWindow.h"
#include "gui/DialogProvider.h"
#include "gui/ImageListWindow.h"
#include "gui/MainWindow.h"
#include "gui/ThresholdsWindow.h"
#include "image/FitsReader.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::RecordingMessages;
using test::TempDir;

using FakeDialogs = test::ScriptedDialogs;

double ramp(int x, int y)
{
    return 1000.0 + x + 100.0 * y;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ini = dir.file("Skyvane.ini");
        test::WriteFileBytes(ini, "[PATH]\nWorking path=" + dir.path().string() + "\n");
        image = test::WriteFitsFunction(dir.file("ramp.fit"), 100, 100, ramp);
        MainWindowOptions options;
        options.settingsPath = ini;
        options.dialogs = &dialogs;
        options.messages = &messages;
        window = std::make_unique<MainWindow>(options);
        window->show();
    }

    std::string history() const { return window->commandWindow()->historyText(); }
    void trigger(int id)
    {
        QAction* a = window->action(id);
        ASSERT_NE(a, nullptr) << id;
        a->trigger();
    }

    TempDir dir;
    std::string ini;
    std::string image;
    FakeDialogs dialogs;
    RecordingMessages messages;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, StartsEmptyWithTitleMenusAndStatusParts)
{
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Skyvane v1.7"));
    QStringList titles;
    for (QAction* a : window->menuBar()->actions())
        titles << a->text();
    EXPECT_EQ(titles, (QStringList{"&File", "Toolbars", "Image", "Image list", "Co-registration", "Co-addition",
                                   "Equalisation", "&Help"}));
    QStringList file;
    for (QAction* a : window->menuBar()->actions().at(0)->menu()->actions())
        file << (a->isSeparator() ? QStringLiteral("-") : a->text() + "=" + a->data().toString());
    EXPECT_EQ(file, (QStringList{"Open FITS=40001", "Save FITS=40002", "Export to BMP=40404", "-",
                                 "Working directory=40405", "Preferences=40429", "-", "E&xit=40003"}));
    QStringList popup;
    for (QAction* a : window->popupMenu()->actions())
        popup << a->text() + "=" + a->data().toString();
    EXPECT_EQ(popup, (QStringList{"Stat=41001", "Size=41002", "Headers=41003", "Clear display=41004"}));
    // Right edges of the three status parts at 50, 100 and 174 pixels.
    EXPECT_EQ(window->statusPart(0)->width(), 50);
    EXPECT_EQ(window->statusPart(1)->width(), 50);
    EXPECT_EQ(window->statusPart(2)->width(), 74);
    EXPECT_FALSE(window->context().display.isImageDisplayed());
    for (int id : {MainIds::ImageListWindow, MainIds::ThresholdsWindow, MainIds::CommandWindow})
        EXPECT_TRUE(window->action(id)->isChecked());
}

TEST_F(MainWindowTest, OpeningSequenceLoadsDisplaysSetsAutoThresholdsAndCaption)
{
    window->openImage(image);
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_TRUE(window->context().display.isImageDisplayed());
    EXPECT_EQ(window->windowTitle(), QString::fromStdString("Skyvane v1.7 - [" + image + "]"));
    // Median of 1000 + x + 100 y over 100 x 100 pixels is 5999.5: Auto gives 5799 and 6999.
    EXPECT_EQ(window->thresholdsWindow()->LowThreshold(), 5799);
    EXPECT_EQ(window->thresholdsWindow()->HighThreshold(), 6999);
    ASSERT_FALSE(window->picture().isNull());
    EXPECT_EQ(window->picture().size(), QSize(100, 100));
    // Row 0 of the image (the darkest, 1000..1099) is the bottom line of the picture.
    EXPECT_EQ(qGray(window->picture().pixel(0, 99)), 0);
    EXPECT_EQ(qGray(window->picture().pixel(99, 0)), 255);
}

TEST_F(MainWindowTest, FailedOpenStillCompletesTheSequence)
{
    window->openImage(dir.file("missing.fit"));
    ASSERT_FALSE(messages.texts.empty());
    EXPECT_EQ(messages.texts.back(), "Error while reading image size");
    EXPECT_EQ(window->windowTitle(), QString::fromStdString("Skyvane v1.7 - [" + dir.file("missing.fit") + "]"));
    trigger(MainIds::PopupStat);
    EXPECT_NE(history().find("     no image !"), std::string::npos);
}

TEST_F(MainWindowTest, OpenFitsMenuAndCancel)
{
    trigger(MainIds::OpenFits); // cancelled
    EXPECT_FALSE(window->context().display.isImageDisplayed());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Skyvane v1.7"));
    dialogs.answers.push_back(QString::fromStdString(image));
    trigger(MainIds::OpenFits);
    EXPECT_TRUE(window->context().display.isImageDisplayed());
    EXPECT_EQ(window->context().imageA.grid.width(), 100);
}

TEST_F(MainWindowTest, ConstantItemsComposeExactCommandsAndShowReplies)
{
    window->openImage(image);
    dialogs.constants = {0.1, 2.5, std::nullopt, 4.0};
    trigger(MainIds::AddConstant);
    EXPECT_EQ(window->context().CommandSlot, "add 0.10000000000000001");
    trigger(MainIds::SubtractConstant);
    EXPECT_EQ(window->context().CommandSlot, "sub 2.5");
    trigger(MainIds::MultiplyConstant); // cancelled: nothing submitted
    EXPECT_EQ(window->context().CommandSlot, "sub 2.5");
    trigger(MainIds::DivideConstant);
    EXPECT_EQ(window->context().CommandSlot, "div 4");
    EXPECT_EQ(dialogs.asked[0], "constant:Enter constant for addition");
    EXPECT_EQ(dialogs.asked[2], "constant:Enter constant for multiplication");
    EXPECT_EQ(dialogs.initials, (std::vector<double>{0.0, 0.0, 1.0, 1.0}));
    EXPECT_EQ(history(), ">add 0.10000000000000001\r\n     offset has been added to image\r\n"
                         ">sub 2.5\r\n     constant has been subtracted from image\r\n"
                         ">div 4\r\n     image has been divided by constant\r\n>");
    // (1000 + 0.1 - 2.5) / 4 at pixel (0, 0)
    EXPECT_DOUBLE_EQ(window->context().imageA.grid[0][0], (1000.0 + 0.10000000000000001 + -2.5) * 0.25);
}

TEST_F(MainWindowTest, ImageAndListItemsComposeCommands)
{
    window->openImage(image);
    const std::string other = test::WriteFitsFunction(dir.file("other.fit"), 100, 100, ramp);
    dialogs.answers.push_back(QString::fromStdString(other));
    trigger(MainIds::SubtractImage);
    EXPECT_EQ(window->context().CommandSlot, "sub (" + other + ")");
    EXPECT_EQ(dialogs.startFolders.back().toStdString(), dir.path().string());
    EXPECT_DOUBLE_EQ(window->context().imageA.grid[5][5], 0.0);

    dialogs.answers = {QString(), QStringLiteral("[WORK]")};
    trigger(MainIds::CombineMedian); // nothing chosen
    EXPECT_EQ(window->context().CommandSlot, "sub (" + other + ")");
    EXPECT_EQ(dialogs.offeredTags, QStringList{"[WORK]"});
    trigger(MainIds::CombineMean);
    EXPECT_EQ(window->context().CommandSlot, "mean [WORK]");

    dialogs.answers = {QStringLiteral("[WORK]")};
    dialogs.constants = {2.5, 2.9};
    trigger(MainIds::CombineSigmaClipping);
    EXPECT_EQ(window->context().CommandSlot, "sigmaclip [WORK] 2.5 2");

    // The Image list items: a list, then a constant or an image; cancel anywhere submits
    // nothing.
    dialogs.answers = {QStringLiteral("[WORK]")};
    dialogs.constants = {1.5};
    trigger(MainIds::ListSubtractConstant);
    EXPECT_EQ(dialogs.asked.back(), "constant:Enter constant for substraction");
    EXPECT_EQ(window->context().CommandSlot, "listsub [WORK] 1.5");
    dialogs.answers = {QStringLiteral("[WORK]"), QString::fromStdString(other)};
    trigger(MainIds::ListDivideImage);
    EXPECT_EQ(dialogs.asked.back(), "image");
    EXPECT_EQ(window->context().CommandSlot, "listdiv [WORK] (" + other + ")");
    EXPECT_EQ(window->context().ReplySlot, "     1 image has been divided; new list [PATH2]");
    // The new list shows in the Image list window, opened, its file ticked.
    QTreeWidget* tree = window->imageListWindow()->tree();
    ASSERT_EQ(tree->topLevelItemCount(), 3);
    QTreeWidgetItem* list = tree->topLevelItem(2);
    EXPECT_EQ(list->text(0).toStdString(), "[PATH2] = " + dir.file("div-other"));
    EXPECT_TRUE(list->isExpanded());
    ASSERT_EQ(list->childCount(), 1);
    EXPECT_EQ(list->child(0)->text(0), "ramp.fit");
    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::ListAddImage); // no file chosen
    trigger(MainIds::ListMultiplyConstant); // no list chosen
    EXPECT_EQ(window->context().CommandSlot, "listdiv [WORK] (" + other + ")");
    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::RegisterCorrelation);
    EXPECT_EQ(dialogs.asked.back(), "list:Select image list for registration by auto-correlation");
    EXPECT_EQ(window->context().CommandSlot, "autoreg [WORK]");
    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::RegisterPattern);
    EXPECT_EQ(dialogs.asked.back(), "list:Select image list for registration by star patterns");
    EXPECT_EQ(window->context().CommandSlot, "patternreg [WORK]");
}

TEST_F(MainWindowTest, StackingItemsComposeCommands)
{
    const auto textOf = [this](int id) { return window->action(id)->text().toStdString(); };
    EXPECT_EQ(textOf(MainIds::ListMeasure), "Measure");
    EXPECT_EQ(textOf(MainIds::ListKeepBest), "Keep best...");
    EXPECT_EQ(textOf(MainIds::CombineWinsorisedClipping), "Winsorised sigma clipping...");
    EXPECT_EQ(textOf(MainIds::CoaddNormalisation), "Normalisation...");
    EXPECT_EQ(textOf(MainIds::CoaddWeights), "Weights...");

    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::ListMeasure);
    EXPECT_EQ(dialogs.asked.back(), "list:Select image list to measure");
    EXPECT_EQ(window->context().CommandSlot, "measure [WORK]");
    dialogs.answers = {QStringLiteral("[WORK]")};
    dialogs.constants = {80.0};
    trigger(MainIds::ListKeepBest);
    EXPECT_EQ(dialogs.asked.back(), "constant:Enter percentage of frames to keep");
    EXPECT_EQ(dialogs.initials.back(), 90.0);
    EXPECT_EQ(window->context().CommandSlot, "keepbest [WORK] 80");
    dialogs.answers = {QStringLiteral("[WORK]")};
    dialogs.constants = {2.5, 3.0};
    trigger(MainIds::CombineWinsorisedClipping);
    EXPECT_EQ(window->context().CommandSlot, "winsorclip [WORK] 2.5 3");

    // The choices, the current one preselected; the reply shows in the history.
    dialogs.answers = {QStringLiteral("additive+scale")};
    trigger(MainIds::CoaddNormalisation);
    EXPECT_EQ(dialogs.asked.back(), "choice:Select normalisation of co-addition");
    EXPECT_EQ(dialogs.offeredWords, (QStringList{"none", "additive", "multiplicative", "additive+scale"}));
    EXPECT_EQ(dialogs.currentWord, QStringLiteral("none"));
    EXPECT_EQ(window->context().CommandSlot, "normalise additive+scale");
    EXPECT_NE(history().find(">normalise additive+scale\r\n     normalisation: additive+scale"), std::string::npos);
    dialogs.answers = {QStringLiteral("additive")};
    trigger(MainIds::CoaddNormalisation);
    EXPECT_EQ(dialogs.currentWord, QStringLiteral("additive+scale"));
    dialogs.answers = {QStringLiteral("noise")};
    trigger(MainIds::CoaddWeights);
    EXPECT_EQ(dialogs.offeredWords, (QStringList{"none", "noise"}));
    EXPECT_EQ(window->context().CommandSlot, "weight noise");
    trigger(MainIds::CoaddWeights); // cancelled: nothing submitted
    EXPECT_EQ(window->context().CommandSlot, "weight noise");
}

TEST_F(MainWindowTest, OneStarShowsTheReferenceAndTheClickOnTheStarComposesTheCommand)
{
    // [WORK] holds ramp.fit alone; Image A is another file.
    TempDir elsewhere;
    window->openImage(test::WriteFitsFunction(elsewhere.file("other.fit"), 60, 60, ramp));
    QWidget* view = window->displayView();
    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::RegisterOneStar);
    EXPECT_EQ(dialogs.asked.back(), "list:Select image list for registration on one star");
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Image A is not the first selected frame of the list [WORK], which is "
                                                       "displayed now: click the star on it."});
    EXPECT_EQ(window->windowTitle().toStdString(), MainWindowTitle(image));
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(30, 40));
    // The pointer readout's X and Y at the click.
    EXPECT_EQ(window->context().CommandSlot, "starreg [WORK] 31 41");
    EXPECT_NE(history().find("starreg [WORK] 31 41\r\n     "), std::string::npos);

    // Image A is the reference now: nothing to say. A click beside the picture picks
    // nothing; Escape ends the wait; a click with no wait does nothing.
    messages.clear();
    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::RegisterOneStar);
    EXPECT_TRUE(messages.texts.empty());
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(150, 20));
    EXPECT_EQ(window->context().CommandSlot, "starreg [WORK] 31 41");
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(9, 4));
    EXPECT_EQ(window->context().CommandSlot, "starreg [WORK] 10 5");
    dialogs.answers = {QStringLiteral("[WORK]")};
    trigger(MainIds::RegisterOneStar);
    QTest::keyClick(window.get(), Qt::Key_Escape);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_EQ(window->context().CommandSlot, "starreg [WORK] 10 5");
    EXPECT_TRUE(messages.texts.empty());
}

TEST_F(MainWindowTest, SaveAndExportNeedADisplayedImageAndSetTheCaption)
{
    trigger(MainIds::SaveFits);
    trigger(MainIds::ExportBmp);
    EXPECT_TRUE(dialogs.asked.empty()); // no dialog without an image
    window->openImage(image);
    trigger(MainIds::SaveFits); // cancelled
    EXPECT_EQ(window->windowTitle(), QString::fromStdString("Skyvane v1.7 - [" + image + "]"));
    const std::string saved = dir.file("saved.fit");
    dialogs.answers = {QString::fromStdString(saved), QString::fromStdString(dir.file("picture.bmp"))};
    trigger(MainIds::SaveFits);
    EXPECT_EQ(window->windowTitle(), QString::fromStdString("Skyvane v1.7 - [" + saved + "]"));
    ImageSize size;
    ASSERT_EQ(readFitsSize(saved, size), FitsError::None);
    EXPECT_EQ(size, (ImageSize{100, 100}));
    trigger(MainIds::ExportBmp);
    EXPECT_EQ(test::ReadFileBytes(dir.file("picture.bmp")).size(), 54u + 300u * 100u);
    EXPECT_EQ(window->windowTitle(), QString::fromStdString("Skyvane v1.7 - [" + saved + "]"));
}

TEST_F(MainWindowTest, AFailedSaveLeavesTheCaption)
{
    window->openImage(image);
    const QString caption = window->windowTitle();
    const std::string nowhere = dir.file("no/such/folder/saved.fit");
    dialogs.answers = {QString::fromStdString(nowhere)};
    trigger(MainIds::SaveFits);
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Error while writing image file"});
    EXPECT_EQ(messages.paths, std::vector<std::string>{nowhere});
    EXPECT_EQ(window->windowTitle(), caption);
}

// A file whose pixels cannot be read whole ends as one that cannot be opened: no image,
// rather than a half-read frame shown under the file's name.
TEST_F(MainWindowTest, AFileCutShortOpensAsNoImage)
{
    window->openImage(image);
    const std::string cut = test::WriteFitsFunction(dir.file("cut.fit"), 100, 100, ramp);
    std::filesystem::resize_file(cut, 2880 + 100 * 40 * 8);
    dialogs.answers = {QString::fromStdString(cut)};
    trigger(MainIds::OpenFits);
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Error while reading image data"});
    EXPECT_EQ(messages.paths, std::vector<std::string>{cut});
    EXPECT_FALSE(window->context().display.isImageDisplayed());
    EXPECT_TRUE(window->picture().isNull());
    trigger(MainIds::PopupStat);
    EXPECT_EQ(window->context().ReplySlot, "     no image !");
}

// Open, Save and Export start in the working directory until one of them has been used in
// another folder; the image file question of the Image menu always starts there.
TEST_F(MainWindowTest, FileDialogsStartInTheWorkingDirectoryThenInTheFolderLastUsed)
{
    const QString work = QString::fromStdString(dir.path().string());
    trigger(MainIds::OpenFits); // cancelled: no folder used
    TempDir other;
    const std::string elsewhere = test::WriteFitsFunction(other.file("m31.fit"), 100, 100, ramp);
    dialogs.answers = {QString::fromStdString(elsewhere)};
    trigger(MainIds::OpenFits);
    trigger(MainIds::SaveFits);
    trigger(MainIds::ExportBmp);
    trigger(MainIds::AddImage);
    const QString there = QString::fromStdString(other.path().string());
    EXPECT_EQ(dialogs.startFolders, (QStringList{work, work, there, there, work}));
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"open", "open", "save", "bmp", "image"}));
}

TEST(MessageBoxFeedbackTest, AMessageAboutAFileShowsItsPathUnderTheExactText)
{
    QWidget owner;
    MessageBoxFeedback sink(&owner);
    QStringList shown;
    test::AnswerNextModal([&shown](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        shown << box->windowTitle() << box->text() << box->informativeText();
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        box->accept();
    });
    sink.showFileError("Error while reading image data", "/data/night 1/m31.fit");
    EXPECT_EQ(shown, (QStringList{"Error", "Error while reading image data", "/data/night 1/m31.fit"}));
}

TEST_F(MainWindowTest, PopupClearDisplayResetsCaptionButTypedClearDoesNot)
{
    window->openImage(image);
    window->context().CommandSlot = "clear";
    window->SubmitCommand("clear");
    EXPECT_FALSE(window->context().display.isImageDisplayed());
    EXPECT_EQ(window->windowTitle(), QString::fromStdString("Skyvane v1.7 - [" + image + "]"));
    window->openImage(image);
    trigger(MainIds::PopupClearDisplay);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Skyvane v1.7"));
    EXPECT_TRUE(window->picture().isNull());
    for (int part = 0; part < 3; ++part)
        EXPECT_TRUE(window->statusPart(part)->text().isEmpty());
}

TEST_F(MainWindowTest, PointerReadoutShowsOneBasedPositionsInsideThePicture)
{
    window->openImage(image);
    QWidget* view = window->displayView();
    auto move = [&](int x, int y) {
        QMouseEvent event(QEvent::MouseMove, QPointF(x, y), view->mapToGlobal(QPointF(x, y)), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(view, &event);
        return window->statusPart(0)->text() + "," + window->statusPart(1)->text();
    };
    EXPECT_EQ(move(9, 4), QStringLiteral("X=10,Y=5"));
    EXPECT_EQ(move(0, 4), QStringLiteral(","));
    EXPECT_EQ(move(50, 50), QStringLiteral("X=51,Y=51"));
    EXPECT_EQ(move(100, 4), QStringLiteral(","));
    EXPECT_EQ(move(9, 100), QStringLiteral(","));
    EXPECT_EQ(move(99, 99), QStringLiteral("X=100,Y=100"));

    // What assistive technology reads is the text itself.
    for (int part = 0; part < 2; ++part) {
        QAccessibleInterface* readout = QAccessible::queryAccessibleInterface(window->statusPart(part));
        ASSERT_NE(readout, nullptr);
        EXPECT_EQ(readout->text(QAccessible::Name), part == 0 ? QStringLiteral("X=100") : QStringLiteral("Y=100"));
    }
}

TEST_F(MainWindowTest, ToolbarsItemsToggleAndTrackVisibility)
{
    trigger(MainIds::HideAll);
    EXPECT_FALSE(window->imageListWindow()->isVisible());
    EXPECT_FALSE(window->thresholdsWindow()->isVisible());
    EXPECT_FALSE(window->commandWindow()->isVisible());
    trigger(MainIds::ThresholdsWindow);
    EXPECT_TRUE(window->thresholdsWindow()->isVisible());
    EXPECT_TRUE(window->action(MainIds::ThresholdsWindow)->isChecked());
    EXPECT_FALSE(window->action(MainIds::ImageListWindow)->isChecked());
    EXPECT_FALSE(window->action(MainIds::CommandWindow)->isChecked());
    trigger(MainIds::ShowAll);
    EXPECT_TRUE(window->commandWindow()->isVisible());
    EXPECT_TRUE(window->action(MainIds::CommandWindow)->isChecked());
    // The close box hides the window and unchecks its item; the history survives.
    window->SubmitCommand("size");
    const std::string before = history();
    window->commandWindow()->close();
    EXPECT_FALSE(window->commandWindow()->isVisible());
    EXPECT_FALSE(window->action(MainIds::CommandWindow)->isChecked());
    trigger(MainIds::CommandWindow);
    EXPECT_TRUE(window->commandWindow()->isVisible());
    EXPECT_EQ(history(), before);
}

TEST_F(MainWindowTest, AboutAsksNothingAndRunsNoCommand)
{
    const std::string before = history();
    trigger(MainIds::About);
    EXPECT_EQ(dialogs.asked, std::vector<std::string>{"about"});
    EXPECT_EQ(history(), before);
}

TEST_F(MainWindowTest, ThresholdChangeRedrawsThePicture)
{
    window->openImage(image);
    EXPECT_EQ(qGray(window->picture().pixel(0, 99)), 0);   // 1000, below the low threshold
    EXPECT_EQ(qGray(window->picture().pixel(99, 0)), 255); // 10999, above the high one
    window->thresholdsWindow()->invert();
    EXPECT_EQ(window->thresholdsWindow()->LowThreshold(), 6999);
    EXPECT_EQ(qGray(window->picture().pixel(0, 99)), 255); // the negative picture
    EXPECT_EQ(qGray(window->picture().pixel(99, 0)), 0);
}

TEST(CommandLinePath, QuotesAreRemovedOnlyWhenBothArePresent)
{
    EXPECT_EQ(CommandLinePath("\"/obs/m31.fit\""), "/obs/m31.fit");
    EXPECT_EQ(CommandLinePath("/obs/m31.fit"), "/obs/m31.fit");
    EXPECT_EQ(CommandLinePath("\"/obs/m31.fit"), "\"/obs/m31.fit");
    EXPECT_EQ(CommandLinePath("\""), "\"");
}

} // namespace
} // namespace skyvane

namespace skyvane {
namespace {

TEST_F(MainWindowTest, FirstPaintAndMoveToLeftStackTheToolWindowsAtTheRightEdge)
{
    window->resize(1000, 700);
    QTest::qWait(1); // lets the first paint happen
    QCoreApplication::processEvents();
    auto check = [&](QWidget* upper, QWidget* lower) {
        const QPoint clientTopLeft = window->mapToGlobal(QPoint(0, window->menuBar()->geometry().bottom() + 1));
        const int clientRight = window->mapToGlobal(QPoint(window->width(), 0)).x();
        const int statusTop = window->statusBar()->mapToGlobal(QPoint(0, 0)).y();
        const int half = (statusTop - clientTopLeft.y()) / 2;
        EXPECT_EQ(upper->frameGeometry().topLeft(), QPoint(clientRight - 300, clientTopLeft.y()));
        EXPECT_EQ(upper->frameGeometry().size(), QSize(300, half));
        EXPECT_EQ(lower->frameGeometry().left(), clientRight - 300);
        EXPECT_EQ(lower->frameGeometry().bottom() + 1, statusTop);
        EXPECT_EQ(lower->frameGeometry().height(), half);
    };
    check(window->imageListWindow(), window->commandWindow());
    trigger(MainIds::MoveToLeft2);
    check(window->commandWindow(), window->imageListWindow());
    // The Thresholds window is never moved.
    const QPoint thresholdsAt = window->thresholdsWindow()->pos();
    trigger(MainIds::MoveToLeft);
    check(window->imageListWindow(), window->commandWindow());
    EXPECT_EQ(window->thresholdsWindow()->pos(), thresholdsAt);
}

} // namespace
} // namespace skyvane

namespace skyvane {
namespace {

TEST_F(MainWindowTest, ExportRightAfterAThresholdChangeWritesTheNewPicture)
{
    window->openImage(image);
    window->thresholdsWindow()->invert(); // no event is processed before the export
    const std::string bmp = dir.file("negative.bmp");
    dialogs.answers = {QString::fromStdString(bmp)};
    trigger(MainIds::ExportBmp);
    const std::vector<unsigned char> bytes = test::ReadFileBytes(bmp);
    ASSERT_EQ(bytes.size(), 54u + 300u * 100u);
    EXPECT_EQ(bytes[54], 255);                        // pixel (0, 0) = 1000: white in the negative
    EXPECT_EQ(bytes[54 + 99 * 300 + 3 * 99], 0);      // pixel (99, 99) = 10999: black
}

// The address space of this process now (VmSize).
std::uint64_t AddressSpaceInUse()
{
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    unsigned long long kilobytes = 0;
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
        (void)std::sscanf(line, "VmSize: %llu kB", &kilobytes);
    if (status != nullptr)
        std::fclose(status);
    return static_cast<std::uint64_t>(kilobytes) * 1024;
}

// What the window shows after "Open FITS", as a child's exit code.
enum Shown { PictureShown = 0, RefusedForMemory = 1, Inconsistent = 2, ShownWithoutWholePicture = 3 };

// Whether the client area shows grey levels at a few places (not the background colour).
bool ViewShowsGrey(QWidget* view)
{
    const QImage grabbed = view->grab().toImage();
    for (const QPoint p : {QPoint(0, 0), QPoint(5, 7), QPoint(40, 30)}) {
        const QRgb c = grabbed.pixel(p);
        if (qRed(c) != qGreen(c) || qGreen(c) != qBlue(c))
            return false;
    }
    return true;
}

// A 4200 x 4200 image needs a grid of 141 MB, picture rows of 53 MB and a window image of
// 71 MB (more than the allocator's per-thread heaps of 64 MiB hold, so it needs address
// space of its own): wherever memory runs out, the program tells and goes on, never ends.
TEST_F(MainWindowTest, PicturesThatDoNotFitInMemoryNeverEndTheProgram)
{
    if (!test::AddressSpaceLimitsWork())
        GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    const std::string large = dir.file("large.fit");
    test::WriteLargeFits16(large, 4200, 4200);
    const auto openLarge = [&] {
        messages.texts.clear();
        dialogs.answers = {QString::fromStdString(large)};
        trigger(MainIds::OpenFits);
        const bool displayed = window->context().display.isImageDisplayed();
        if (!displayed)
            return messages.texts == std::vector<std::string>{"Not enough memory for an image of 4200 x 4200 pixels."} &&
                           window->context().imageA.grid.empty() && !ViewShowsGrey(window->displayView())
                       ? RefusedForMemory
                       : Inconsistent;
        if (!messages.texts.empty() || !ViewShowsGrey(window->displayView()))
            return Inconsistent;
        return window->picture().isNull() ? ShownWithoutWholePicture : PictureShown;
    };

    const std::vector<std::uint64_t> megabytes = {64, 160, 180, 200, 220, 250, 280, 1024};
    for (const std::uint64_t level : megabytes) {
        SCOPED_TRACE(std::to_string(level) + " MiB");
        const test::ChildEnd end = test::RunWithAddressSpaceLimit(level << 20, [&] { return static_cast<int>(openLarge()); });
        ASSERT_TRUE(end.exited) << "ended by signal " << end.signal;
        EXPECT_NE(end.code, Inconsistent);
        if (level == megabytes.front()) {
            EXPECT_EQ(end.code, RefusedForMemory);
        }
        if (level == megabytes.back()) {
            EXPECT_EQ(end.code, PictureShown);
        }
    }

    // Room for everything but the window image: the picture is shown all the same, each
    // paint converting only what it draws.
    const test::ChildEnd end = test::RunWithAddressSpaceLimit(std::uint64_t{1} << 30, [&] {
        // Large blocks straight from the system and back to it when freed, so that what
        // one open released is not handed to the next without counting.
        ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
        ::mallopt(M_TRIM_THRESHOLD, 1 << 20);
        if (openLarge() != PictureShown)
            return 10;
        trigger(MainIds::PopupClearDisplay); // Image A and its picture go
        // The grid (141 MB), the picture's rows (53 MB) and room for what a load uses
        // meanwhile, but not for the window image (71 MB).
        const std::uint64_t room = (std::uint64_t{141} + 53 + 24) * 1000 * 1000;
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(AddressSpaceInUse() + room);
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            return 11;
        return static_cast<int>(openLarge());
    });
    ASSERT_TRUE(end.exited) << "ended by signal " << end.signal;
    EXPECT_EQ(end.code, ShownWithoutWholePicture);
}

} // namespace
} // namespace skyvane
