#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/CommandProtocol.h"
#include "context/Settings.h"
#include "display/DisplayBitmap.h"
#include "support/TestSupport.h"
#include "workbench/Workbench.h"

namespace skyvane {
namespace {

using test::TempDir;
using test::TestWorkbench;

// The Command window as the protocol sees it: it records every code and keeps its history
// text exactly as the window would, from the two slots at the moment of each message.
class RecordingCommandWindow final : public CommandWindowLink {
public:
    explicit RecordingCommandWindow(const AppContext& appContext) : context(appContext) {}

    void sendReply(int code) override
    {
        codes.push_back(code);
        replySlotAtCode.push_back(context.ReplySlot);
        history = HistoryAfterReply(history, code, context.CommandSlot, context.ReplySlot);
    }

    const AppContext& context;
    std::vector<int> codes;
    std::vector<std::string> replySlotAtCode;
    std::string history = ">";
};

// A 4 x 3 image of 1.0 on display, as after the opening sequence.
class WorkbenchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::FitsLayout layout;
        layout.width = 4;
        layout.height = 3;
        layout.values.assign(12, 1.0);
        test::WriteFitsImage(dir.file("a.fit"), layout);
        tw.workbench.openImage(dir.file("a.fit"));
        ASSERT_TRUE(tw.context.imagePresent());
        tw.workbench.finishRedraw();
        tw.messages.clear();
    }

    TempDir dir;
    TestWorkbench tw;
    Workbench& workbench = tw.workbench;
    AppContext& context = tw.context;
    RecordingCommandWindow window{tw.context};
};

TEST_F(WorkbenchTest, SubmitEchoesThenExecutes)
{
    workbench.submitCommand("add 2.5", window);
    EXPECT_EQ(window.codes, (std::vector<int>{CodeEcho, CodeReplied}));
    EXPECT_EQ(window.replySlotAtCode.front(), "") << "the echo comes before the execution";
    EXPECT_EQ(context.CommandSlot, "add 2.5");
    EXPECT_EQ(context.imageA.grid[0][0], 3.5);
    EXPECT_EQ(window.history, ">add 2.5\r\n     offset has been added to image\r\n>");
}

TEST_F(WorkbenchTest, SubmitAfterTypedTextEchoesBehindItButRunsOnlyTheComposedText)
{
    window.history = ">size";
    workbench.submitCommand("add 2.5", window);
    EXPECT_EQ(window.history, ">sizeadd 2.5\r\n     offset has been added to image\r\n>");
    EXPECT_EQ(context.ReplySlot, "     offset has been added to image");
}

TEST_F(WorkbenchTest, SubmitWithTheCallersExecuteStep)
{
    std::vector<std::string> slotAtExecute;
    workbench.submitCommand("size", window, [&] {
        slotAtExecute.push_back(context.CommandSlot);
        workbench.executeCommand(CodeExecute, window);
    });
    EXPECT_EQ(slotAtExecute, (std::vector<std::string>{"size"}));
    EXPECT_EQ(window.codes, (std::vector<int>{CodeEcho, CodeReplied}));

    // An execute step that does nothing: only the echo happened.
    window.codes.clear();
    workbench.submitCommand("stat", window, [] {});
    EXPECT_EQ(window.codes, (std::vector<int>{CodeEcho}));
    EXPECT_EQ(context.CommandSlot, "stat");
}

TEST_F(WorkbenchTest, SubmitEmptyTextGivesANewPromptOnly)
{
    workbench.submitCommand("", window);
    EXPECT_EQ(window.codes, (std::vector<int>{CodeEcho, CodeEmpty}));
    EXPECT_EQ(window.history, ">\r\n>");
}

TEST_F(WorkbenchTest, MultiLineReplyIsAppendedWholeWithThePromptOnItsOwnLine)
{
    workbench.submitCommand("stat", window);
    EXPECT_EQ(window.history, ">stat\r\n     min = 1\r\n     max = 1\r\n     median = 1\r\n     mean = 1\r\n     sigma = 0\r\n>");
}

TEST_F(WorkbenchTest, OpeningAnImageShowsItAndSetsTheThresholdsFromItsMedian)
{
    test::FitsLayout layout;
    layout.width = 3;
    layout.height = 2;
    layout.values = {1000.0, 1234.0, 1235.0, 5000.0, 1234.0, 9.0};
    test::WriteFitsImage(dir.file("b.fit"), layout);
    const int created = tw.displaySink.created;
    const int cleared = tw.displaySink.cleared;
    workbench.openImage(dir.file("b.fit"));
    EXPECT_TRUE(tw.messages.texts.empty());
    EXPECT_EQ(tw.displaySink.cleared, cleared + 1) << "the image on display goes first";
    EXPECT_EQ(tw.displaySink.created, created + 1);
    EXPECT_EQ(context.display.bitmap().width(), 3);
    EXPECT_EQ(workbench.thresholds().lowText(), "1034");
    EXPECT_EQ(workbench.thresholds().highText(), "2234");

    // The picture was built through the thresholds as they were; Auto's are drawn by the
    // deferred redraw, once.
    ASSERT_TRUE(workbench.redrawPending());
    const int changed = tw.displaySink.changed;
    workbench.finishRedraw();
    workbench.finishRedraw();
    EXPECT_EQ(tw.displaySink.changed, changed + 1);
    EXPECT_EQ(context.display.bitmap().rows.at(0), GreyMapping(1034, 2234)(1000.0)) << "bottom row, first pixel";
}

TEST_F(WorkbenchTest, AFileThatCannotBeReadLeavesNoImage)
{
    workbench.thresholds().setLowText("500");
    workbench.openImage(dir.file("missing.fit"));
    EXPECT_EQ(tw.messages.texts, std::vector<std::string>{"Error while reading image size"});
    EXPECT_EQ(tw.messages.paths, std::vector<std::string>{dir.file("missing.fit")});
    EXPECT_FALSE(context.imagePresent());
    EXPECT_FALSE(context.display.isImageDisplayed());
    EXPECT_EQ(workbench.thresholds().LowThreshold(), 0) << "Auto without an image: the full range";
    EXPECT_EQ(workbench.thresholds().HighThreshold(), 32767);
}

TEST_F(WorkbenchTest, RedrawsAreDoneOnceWhenThePictureIsNeeded)
{
    const int changed = tw.displaySink.changed;
    tw.redraws = 0;
    workbench.thresholds().setLowText("0");
    workbench.thresholds().setHighText("2");
    workbench.thresholds().scrollHigh(3);
    EXPECT_EQ(tw.redraws, 4);
    EXPECT_EQ(tw.displaySink.changed, changed) << "nothing is drawn before it is needed";
    ASSERT_TRUE(workbench.exportPicture(dir.file("picture.bmp")));
    EXPECT_EQ(tw.displaySink.changed, changed + 1);
    EXPECT_EQ(test::ReadFileBytes(dir.file("picture.bmp")).at(DisplayBitmap::HeaderBytes), GreyMapping(0, 3)(1.0));

    // Without a picture on display a request leaves nothing to do.
    context.display.clearDisplay();
    workbench.thresholds().setLowText("7");
    EXPECT_FALSE(workbench.redrawPending());
}

TEST_F(WorkbenchTest, SaveAndExportTellTheirFailures)
{
    EXPECT_FALSE(workbench.saveImage(dir.file("no/such/folder/a.fit")));
    EXPECT_FALSE(workbench.exportPicture(dir.file("no/such/folder/a.bmp")));
    EXPECT_EQ(tw.messages.texts, (std::vector<std::string>{"Error while writing image file", "Failed to create bitmap file."}));
    EXPECT_EQ(tw.messages.paths, (std::vector<std::string>{dir.file("no/such/folder/a.fit"), dir.file("no/such/folder/a.bmp")}));
    EXPECT_TRUE(workbench.saveImage(dir.file("saved.fit")));
}

TEST(Workbench, FilesJoinTheListOfTheirFolderOnce)
{
    TestWorkbench tw;
    Workbench& workbench = tw.workbench;
    Settings settings;
    settings.WorkingDirectory = "/nowhere/at/all";
    workbench.start(settings, "/nowhere/Skyvane.ini");
    ImageListTree& lists = tw.context.lists;
    ASSERT_EQ(lists.ListCount(), 1);

    const TreeItem last = workbench.addFilesToList({"/data/b.fit", "/data/a.fit"});
    ASSERT_EQ(lists.ListCount(), 2);
    EXPECT_EQ(lists.ListLabel(2), "[PATH] = /data");
    EXPECT_EQ(last, lists.FileItem(2, 2));
    EXPECT_TRUE(lists.IsExpanded(lists.ListItem(2)));
    EXPECT_EQ(tw.context.settings.LastImageFolder, "/data");

    // Names the list holds are skipped; nothing new is nothing added.
    const TreeItem added = workbench.addFilesToList({"/data/a.fit", "/data/c.fit", "/data/c.fit"});
    EXPECT_EQ(lists.FileCount(2), 3);
    EXPECT_EQ(added, lists.FileItem(2, 3));
    EXPECT_EQ(lists.FileLabel(2, 3), "c.fit");
    EXPECT_EQ(workbench.addFilesToList({"/data/a.fit"}), NoItem);
    EXPECT_EQ(workbench.addFilesToList({}), NoItem);
    EXPECT_EQ(lists.FileCount(2), 3);
}

TEST(Workbench, TheWorkingDirectorysListsStayAndItsChoiceIsKept)
{
    TempDir dir;
    TestWorkbench tw;
    Workbench& workbench = tw.workbench;
    const std::string ini = dir.file("Skyvane.ini");
    Settings settings;
    settings.WorkingDirectory = dir.path().string();
    workbench.start(settings, ini);
    ImageListTree& lists = tw.context.lists;
    (void)workbench.addFilesToList({"/data/a.fit"});

    EXPECT_FALSE(workbench.deleteListItem(lists.ListItem(1))) << "the working directory's list";
    EXPECT_FALSE(workbench.deleteListItem(NoItem));
    EXPECT_TRUE(workbench.deleteListItem(lists.FileItem(2, 1)));
    EXPECT_TRUE(workbench.deleteListItem(lists.ListItem(2)));
    EXPECT_EQ(lists.ListCount(), 1);

    workbench.setWorkingDirectory("/elsewhere");
    EXPECT_EQ(tw.context.settings.WorkingDirectory, "/elsewhere");
    EXPECT_EQ(lists.ListLabel(lists.ListCount()), "[WORK2] = /elsewhere");
    EXPECT_EQ(ReadProfileString(ini, PathSection, WorkingPathKey), "/elsewhere");
    EXPECT_FALSE(workbench.deleteListItem(lists.ListItem(lists.ListCount())));
}

} // namespace
} // namespace skyvane
