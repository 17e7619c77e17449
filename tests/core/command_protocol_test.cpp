#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/CommandProtocol.h"
#include "image/FitsReader.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;
using test::TestContext;

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

class CommandProtocolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::FitsLayout layout;
        layout.width = 4;
        layout.height = 3;
        layout.values.assign(12, 1.0);
        test::WriteFitsImage(dir.file("a.fit"), layout);
        ASSERT_TRUE(loadFits(tc.context.imageA, dir.file("a.fit")).loaded());
        tc.context.display.buildDisplay(tc.context.imageA.grid);
        tc.context.display.paintDisplay();
    }

    TempDir dir;
    TestContext tc;
    RecordingCommandWindow window{tc.context};
};

TEST_F(CommandProtocolTest, ExecuteRunsCommandSlotAndReplies102)
{
    tc.context.CommandSlot = "size";
    HandleExecuteMessage(tc.context, CodeExecute, window);
    EXPECT_EQ(window.codes, (std::vector<int>{CodeReplied}));
    EXPECT_EQ(tc.context.ReplySlot, "     width = 4\r\n     height = 3");
    EXPECT_EQ(tc.context.CommandSlot, "size") << "the slot is never cleared";
    EXPECT_EQ(window.history, ">\r\n     width = 4\r\n     height = 3\r\n>");
}

TEST_F(CommandProtocolTest, EmptyCommandReplies103WithoutRunningTheInterpreter)
{
    tc.context.ReplySlot = "earlier reply";
    tc.context.CommandSlot = "";
    HandleExecuteMessage(tc.context, CodeExecute, window);
    EXPECT_EQ(window.codes, (std::vector<int>{CodeEmpty}));
    EXPECT_EQ(tc.context.ReplySlot, "earlier reply");
    EXPECT_EQ(window.history, ">\r\n>");
}

TEST_F(CommandProtocolTest, OnlyCode101InTheLowSixteenBitsExecutes)
{
    tc.context.CommandSlot = "add 1";
    for (int code : {100, 102, 103, 104, 201, 0, -1, 0x10000 | 100})
        HandleExecuteMessage(tc.context, code, window);
    EXPECT_TRUE(window.codes.empty());
    EXPECT_EQ(tc.context.imageA.grid[0][0], 1.0) << "nothing ran";

    HandleExecuteMessage(tc.context, 0x10000 | CodeExecute, window);
    HandleExecuteMessage(tc.context, 0x7FFF0000 | CodeExecute, window);
    EXPECT_EQ(window.codes, (std::vector<int>{CodeReplied, CodeReplied}));
    EXPECT_EQ(tc.context.imageA.grid[0][0], 3.0) << "high bits are ignored";
}

TEST_F(CommandProtocolTest, ExecuteTwiceRunsTheSameCommandTwice)
{
    tc.context.CommandSlot = "add 1";
    window.history = ">add 1";
    HandleExecuteMessage(tc.context, CodeExecute, window);
    HandleExecuteMessage(tc.context, CodeExecute, window);
    EXPECT_EQ(tc.context.imageA.grid[0][0], 3.0);
    EXPECT_EQ(window.history, ">add 1\r\n     offset has been added to image\r\n>\r\n     offset has been added to image\r\n>");
}

TEST_F(CommandProtocolTest, BlankCommandIsNotEmpty)
{
    tc.context.CommandSlot = " ";
    HandleExecuteMessage(tc.context, CodeExecute, window);
    EXPECT_EQ(window.codes, (std::vector<int>{CodeReplied}));
    EXPECT_EQ(tc.context.ReplySlot, "     unknown command !");
}

TEST(CommandHistory, TextForEachCode)
{
    struct Case {
        const char* history;
        int code;
        const char* expected;
    };
    const Case cases[] = {
        {">size", CodeReplied, ">size\r\nREPLY\r\n>"},
        {">", CodeEmpty, ">\r\n>"},
        {">", CodeEcho, ">CMD"},
        {">typed", CodeEcho, ">typedCMD"},
        {"", CodeReplied, "\r\nREPLY\r\n>"},
        {">x", 0x10000 | CodeEmpty, ">x\r\n>"},
        {">x", CodeExecute, ">x"},
        {">x", CodeRestore, ">x"},
        {">x", 0, ">x"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HistoryAfterReply(c.history, c.code, "CMD", "REPLY"), c.expected) << c.history << " code " << c.code;
    EXPECT_EQ(HistoryAfterReply(">", CodeReplied, "", ""), ">\r\n\r\n>");
}

} // namespace
} // namespace skyvane
