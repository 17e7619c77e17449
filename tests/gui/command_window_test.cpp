#include <memory>
#include <string>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QWidget>

#include <gtest/gtest.h>

#include "command/CommandProtocol.h"
#include "gui/CommandWindow.h"
#include "gui/PrivateMessages.h"
#include "support/GuiTestSupport.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::DrainEvents;
using test::TestWorkbench;

// The main window's side of the protocol: WM_PRIVATE_CMD_EXE runs the interpreter on the
// test context and answers the Command window.
class Executor : public QObject {
public:
    Executor(AppContext& context, CommandWindowLink& window) : context_(context), window_(window) {}
    int received = 0;

protected:
    bool event(QEvent* event) override
    {
        if (event->type() != PrivateMessages::execute())
            return QObject::event(event);
        ++received;
        HandleExecuteMessage(context_, static_cast<CodeEvent*>(event)->code(), window_);
        return true;
    }

private:
    AppContext& context_;
    CommandWindowLink& window_;
};

const std::string StatReply = "     min = 10\r\n     max = 40\r\n     median = 25\r\n     mean = 25\r\n     sigma = 11.18";

class CommandWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window = std::make_unique<CommandWindow>(table, ctx.context, &owner, QRect(850, 400, 300, 500));
        executor = std::make_unique<Executor>(ctx.context, *window);
        window->setExecuteTarget(executor.get());
        edit = window->history();
    }

    // A 2 x 2 Image A of 10, 20, 30, 40, displayed.
    void displayImage()
    {
        ctx.context.imageA.grid.resize(2, 2);
        const double values[] = {10.0, 20.0, 30.0, 40.0};
        std::copy(std::begin(values), std::end(values), ctx.context.imageA.grid.data());
        ctx.context.display.buildDisplay(ctx.context.imageA.grid);
        ctx.context.display.paintDisplay();
    }

    void type(const QString& text) { QTest::keyClicks(edit, text); }
    void key(Qt::Key k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) { QTest::keyClick(edit, k, modifiers); }
    // Enter, then the posted execution runs.
    void enter()
    {
        key(Qt::Key_Return);
        DrainEvents();
    }
    void command(const QString& text)
    {
        type(text);
        enter();
    }

    int caret() const { return edit->textCursor().position(); }
    bool hasSelection() const { return edit->textCursor().hasSelection(); }
    int afterLastPrompt() const { return edit->document()->lastBlock().position() + 1; }
    int textEnd() const { return edit->document()->characterCount() - 1; }
    void setCaret(int position, int anchor = -1)
    {
        QTextCursor cursor(edit->document());
        cursor.setPosition(anchor < 0 ? position : anchor);
        if (anchor >= 0)
            cursor.setPosition(position, QTextCursor::KeepAnchor);
        edit->setTextCursor(cursor);
    }
    // The text box shows the history with its own line breaks.
    void expectShownMatches()
    {
        QString expected = QString::fromStdString(window->historyText());
        expected.replace("\r\n", "\n");
        EXPECT_EQ(edit->toPlainText(), expected);
    }

    TestWorkbench ctx;
    QWidget owner;
    ToolWindowTable table;
    std::unique_ptr<CommandWindow> window;
    std::unique_ptr<Executor> executor;
    QPlainTextEdit* edit = nullptr;
};

TEST_F(CommandWindowTest, StartsWithAPromptAndItsMenu)
{
    EXPECT_EQ(window->historyText(), ">");
    EXPECT_EQ(edit->toPlainText(), QString(">"));
    EXPECT_EQ(caret(), 1);
    EXPECT_EQ(window->windowTitle(), QString("Command window"));
    EXPECT_EQ(window->accessibleName(), QString("Command window"));
    EXPECT_EQ(edit->accessibleName(), QString("Command history"));
    EXPECT_EQ(test::FindByAccessibleName<QPlainTextEdit>(window.get(), "Command history"), edit);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(window->parentWidget(), &owner);
    EXPECT_EQ(window->pos(), QPoint(850, 400));
    EXPECT_EQ(window->size(), QSize(300, 500));
    ASSERT_EQ(table.count, 1);
    EXPECT_EQ(table.windows[0], window.get());
    EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::NoWrap);

    QAction* clear = test::FindAction(window.get(), "Clear history");
    ASSERT_NE(clear, nullptr);
    EXPECT_EQ(clear->data().toInt(), 40425);
    EXPECT_EQ(test::FindActionById(window.get(), 40425), clear);
    auto* bar = window->findChild<QMenuBar*>();
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(bar->actions().size(), 1);
    EXPECT_EQ(bar->actions()[0]->text(), QString("Edit"));

    // The text box fills the window below the menu bar.
    EXPECT_EQ(edit->geometry().bottom(), window->rect().bottom());
    EXPECT_EQ(edit->width(), window->width());
}

TEST_F(CommandWindowTest, TypedCommandIsPostedAndItsReplyAppended)
{
    displayImage();
    type("stat");
    key(Qt::Key_Return);
    // Submitted, not yet run: the line break of the Enter key is gone.
    EXPECT_EQ(window->historyText(), ">stat");
    EXPECT_EQ(ctx.context.CommandSlot, "stat");
    EXPECT_EQ(executor->received, 0);

    DrainEvents();
    EXPECT_EQ(executor->received, 1);
    EXPECT_EQ(ctx.context.ReplySlot, StatReply);
    EXPECT_EQ(window->historyText(), ">stat\r\n" + StatReply + "\r\n>");
    expectShownMatches();
    EXPECT_EQ(caret(), textEnd());
    EXPECT_FALSE(hasSelection());

    command("size");
    EXPECT_EQ(window->historyText(), ">stat\r\n" + StatReply + "\r\n>size\r\n     width = 2\r\n     height = 2\r\n>");
    expectShownMatches();
    EXPECT_EQ(caret(), textEnd());
}

TEST_F(CommandWindowTest, EnterOnAnEmptyPromptGivesANewPromptOnly)
{
    ctx.context.ReplySlot = "untouched";
    enter();
    EXPECT_EQ(window->historyText(), ">\r\n>");
    EXPECT_EQ(ctx.context.CommandSlot, "");
    EXPECT_EQ(ctx.context.ReplySlot, "untouched"); // the interpreter did not run
    EXPECT_EQ(caret(), textEnd());
    key(Qt::Key_Enter); // the keypad's Enter does the same
    DrainEvents();
    EXPECT_EQ(window->historyText(), ">\r\n>\r\n>");
    expectShownMatches();
}

TEST_F(CommandWindowTest, EnterSubmitsTheWholeLineAsTyped)
{
    type("size");
    key(Qt::Key_Left);
    key(Qt::Key_Left);
    enter();
    EXPECT_EQ(ctx.context.CommandSlot, "size");
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n>");

    command(" stat ");
    EXPECT_EQ(ctx.context.CommandSlot, " stat ");
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n> stat \r\n     unknown command !\r\n>");

    command(" ");
    EXPECT_EQ(ctx.context.CommandSlot, " ");
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n> stat \r\n     unknown command !\r\n> \r\n     unknown command !\r\n>");
    expectShownMatches();
}

TEST_F(CommandWindowTest, KeysInTheHistoryChangeNothing)
{
    command("size");
    const std::string before = window->historyText();
    ASSERT_EQ(before, ">size\r\n     no image !\r\n>");

    struct KeyCase {
        const char* name;
        int caretAt;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    const KeyCase cases[] = {
        {"letter in a reply", 12, Qt::Key_X, Qt::NoModifier},
        {"letter in the first command line", 2, Qt::Key_Q, Qt::NoModifier},
        {"Backspace in a reply", 12, Qt::Key_Backspace, Qt::NoModifier},
        {"Delete in a reply", 12, Qt::Key_Delete, Qt::NoModifier},
        {"Enter in a reply", 12, Qt::Key_Return, Qt::NoModifier},
        {"letter before the last prompt", 22, Qt::Key_Z, Qt::NoModifier},
        {"Delete before the last prompt", 22, Qt::Key_Delete, Qt::NoModifier},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setCaret(c.caretAt);
        key(c.key, c.modifiers);
        DrainEvents();
        EXPECT_EQ(window->historyText(), before);
        expectShownMatches();
        EXPECT_EQ(caret(), afterLastPrompt());
        EXPECT_EQ(executor->received, 1);
    }

    // A key that changes nothing moves nothing either.
    setCaret(0);
    key(Qt::Key_Backspace);
    EXPECT_EQ(window->historyText(), before);
    EXPECT_EQ(caret(), 0);
    key(Qt::Key_Right);
    EXPECT_EQ(caret(), 1);
}

TEST_F(CommandWindowTest, LetterInTheHistoryKeepsTheTypedInput)
{
    command("size");
    type("st");
    setCaret(3);
    key(Qt::Key_A);
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n>st");
    EXPECT_EQ(caret(), afterLastPrompt());
    type("at"); // typing goes on in the input line
    enter();
    EXPECT_EQ(ctx.context.CommandSlot, "atst");
}

TEST_F(CommandWindowTest, BackspaceAfterThePromptKeepsIt)
{
    key(Qt::Key_Backspace);
    EXPECT_EQ(window->historyText(), ">");
    EXPECT_EQ(caret(), 1);

    type("ab");
    key(Qt::Key_Backspace); // deleting typed text is fine
    EXPECT_EQ(window->historyText(), ">a");
    key(Qt::Key_Backspace);
    EXPECT_EQ(window->historyText(), ">");
    key(Qt::Key_Backspace);
    EXPECT_EQ(window->historyText(), ">");
    EXPECT_EQ(caret(), 1);

    // With text after the caret, the prompt stays and the caret stays after it.
    type("size");
    key(Qt::Key_Home);
    key(Qt::Key_Right);
    key(Qt::Key_Backspace);
    EXPECT_EQ(window->historyText(), ">size");
    EXPECT_EQ(caret(), 1);
    expectShownMatches();
}

TEST_F(CommandWindowTest, EnterWithASelectionInTheHistoryChangesNothing)
{
    command("size");
    const std::string before = window->historyText();
    setCaret(12, 7); // "no im" selected in the reply
    key(Qt::Key_Return);
    DrainEvents(); // the deferred restore
    EXPECT_EQ(window->historyText(), before);
    expectShownMatches();
    EXPECT_EQ(caret(), textEnd());
    EXPECT_FALSE(hasSelection());
    EXPECT_EQ(executor->received, 1);

    // A selection reaching from the history into the input line counts as history.
    type("ab");
    setCaret(textEnd(), 3);
    key(Qt::Key_Return);
    DrainEvents();
    EXPECT_EQ(window->historyText(), before + "ab");
    EXPECT_EQ(executor->received, 1);
}

TEST_F(CommandWindowTest, SelectAllAndTypeIsUndone)
{
    command("size");
    const std::string before = window->historyText();
    key(Qt::Key_A, Qt::ControlModifier);
    key(Qt::Key_X);
    EXPECT_EQ(window->historyText(), before);
    key(Qt::Key_A, Qt::ControlModifier);
    key(Qt::Key_X, Qt::ControlModifier); // cut
    EXPECT_EQ(window->historyText(), before);
    expectShownMatches();
}

TEST_F(CommandWindowTest, EchoFollowsTypedButUnsubmittedText)
{
    type("size");
    ctx.workbench.submitCommand("add 2.5", *window);
    EXPECT_EQ(window->historyText(), ">sizeadd 2.5\r\n     no image !\r\n>");
    EXPECT_EQ(ctx.context.CommandSlot, "add 2.5");
    expectShownMatches();
    EXPECT_EQ(caret(), textEnd());
}

TEST_F(CommandWindowTest, RepliesFollowTheProtocolTable)
{
    ctx.context.CommandSlot = "mean [PATH2]";
    ctx.context.ReplySlot = "     one\r\n     two";
    window->sendReply(104);
    EXPECT_EQ(window->historyText(), ">mean [PATH2]");
    window->sendReply(102);
    EXPECT_EQ(window->historyText(), ">mean [PATH2]\r\n     one\r\n     two\r\n>");
    window->sendReply(103);
    EXPECT_EQ(window->historyText(), ">mean [PATH2]\r\n     one\r\n     two\r\n>\r\n>");
    window->sendReply(0x10000 + 103); // only the low 16 bits count
    EXPECT_EQ(window->historyText(), ">mean [PATH2]\r\n     one\r\n     two\r\n>\r\n>\r\n>");
    expectShownMatches();
    EXPECT_EQ(caret(), textEnd());

    const std::string before = window->historyText();
    for (int code : {0, 100, 101, 105, 201, 0x10000 + 99}) {
        SCOPED_TRACE(code);
        window->sendReply(code);
        SendCode(window.get(), PrivateMessages::problem(), code == 201 ? 202 : code);
        EXPECT_EQ(window->historyText(), before);
    }
    // A restore with nothing saved has nothing to put back.
    SendCode(window.get(), PrivateMessages::problem(), 201);
    EXPECT_EQ(window->historyText(), before);
}

TEST_F(CommandWindowTest, ExecutingTwiceRepliesTwice)
{
    command("size");
    SendCode(executor.get(), PrivateMessages::execute(), 101);
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n>\r\n     no image !\r\n>");
    SendCode(executor.get(), PrivateMessages::execute(), 100); // not a command to execute
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n>\r\n     no image !\r\n>");
}

TEST_F(CommandWindowTest, ClearHistoryLeavesThePrompt)
{
    command("size");
    type("st");
    window->clearHistoryAction()->trigger();
    EXPECT_EQ(window->historyText(), ">");
    EXPECT_EQ(edit->toPlainText(), QString(">"));
    EXPECT_EQ(caret(), 1);
    EXPECT_FALSE(hasSelection());
    command("size");
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n>");
}

TEST_F(CommandWindowTest, HiddenWindowKeepsGainingHistory)
{
    QSignalSpy hidden(window.get(), &ToolWindow::hiddenByClose);
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(hidden.count(), 1);
    ctx.workbench.submitCommand("size", *window);
    window->show();
    EXPECT_EQ(window->historyText(), ">size\r\n     no image !\r\n>");
    expectShownMatches();
}

TEST_F(CommandWindowTest, ChangesWithoutAKeyMayNotTouchTheHistory)
{
    command("size");
    const std::string before = window->historyText();

    // Inserted by the program (as a paste from the context menu does) inside a reply.
    setCaret(10);
    edit->insertPlainText("junk");
    EXPECT_EQ(window->historyText(), before);
    expectShownMatches();

    // Pasted with the mouse into the history.
    QApplication::clipboard()->setText("pasted");
    setCaret(3);
    edit->paste();
    EXPECT_EQ(window->historyText(), before);

    // Cut from the history.
    setCaret(12, 7);
    edit->cut();
    EXPECT_EQ(window->historyText(), before);

    // The prompt itself is history for a change without a key.
    setCaret(afterLastPrompt(), afterLastPrompt() - 1);
    edit->cut();
    EXPECT_EQ(window->historyText(), before);
    expectShownMatches();

    // Pasted into the input line: that is typing. (The cuts above copied their text.)
    QApplication::clipboard()->setText("pasted");
    setCaret(textEnd());
    edit->paste();
    EXPECT_EQ(window->historyText(), before + "pasted");
    key(Qt::Key_Return);
    EXPECT_EQ(ctx.context.CommandSlot, "pasted");
    DrainEvents();
    EXPECT_EQ(window->historyText(), before + "pasted\r\n     unknown command !\r\n>");
    expectShownMatches();
}

// Several lines pasted at the prompt are one input line: their breaks become blanks
// (those at the end go), so the history keeps one command per line.
TEST_F(CommandWindowTest, PastedLinesBecomeOneInputLine)
{
    type("add");
    QApplication::clipboard()->setText(" 1\r\nmult\n2\r\n");
    key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(window->historyText(), ">add 1 mult 2");
    expectShownMatches();
    enter();
    EXPECT_EQ(ctx.context.CommandSlot, "add 1 mult 2");
    EXPECT_EQ(window->historyText(), ">add 1 mult 2\r\n     no image !\r\n>");

    QApplication::clipboard()->setText(QStringLiteral("one\rtwo\u2029three\n\n"));
    edit->paste(); // without a key, as the context menu pastes
    EXPECT_EQ(window->historyText(), ">add 1 mult 2\r\n     no image !\r\n>one two three");
}

// Up and Down with the caret on the prompt line bring back the commands of the run, typed
// or composed by the menus (the stepping itself: core/command_recall_test); elsewhere the
// arrows move the caret.
TEST_F(CommandWindowTest, UpAndDownOnThePromptLineRecallCommands)
{
    command("size");
    ctx.workbench.submitCommand("stat", *window); // a menu's command, echoed at the prompt
    const std::string before = window->historyText();
    type("me");
    key(Qt::Key_Up);
    EXPECT_EQ(window->historyText(), before + "stat");
    key(Qt::Key_Up);
    EXPECT_EQ(window->historyText(), before + "size");
    EXPECT_EQ(caret(), textEnd());
    expectShownMatches();
    key(Qt::Key_Down);
    key(Qt::Key_Down);
    EXPECT_EQ(window->historyText(), before + "me");
    key(Qt::Key_Up);
    enter();
    EXPECT_EQ(ctx.context.CommandSlot, "stat");

    const std::string history = window->historyText();
    setCaret(afterLastPrompt() - 3);
    const int inHistory = caret();
    key(Qt::Key_Up);
    EXPECT_LT(caret(), inHistory);
    EXPECT_EQ(window->historyText(), history);
}

TEST_F(CommandWindowTest, RepliesKeepTheirExactBytes)
{
    // A reply with characters the text box shows differently is kept byte for byte.
    ctx.context.ReplySlot = std::string("     a\xC2\xA0" "b\tc\nd");
    window->sendReply(102);
    EXPECT_EQ(window->historyText(), std::string(">\r\n     a\xC2\xA0" "b\tc\nd\r\n>"));
    type("size");
    enter();
    EXPECT_EQ(ctx.context.CommandSlot, "size");
    EXPECT_EQ(window->historyText(), std::string(">\r\n     a\xC2\xA0" "b\tc\nd\r\n>size\r\n     no image !\r\n>"));
}

TEST_F(CommandWindowTest, ALongHistoryStaysInStep)
{
    displayImage();
    std::string expected = ">";
    for (int i = 0; i < 200; ++i) {
        command(i % 2 ? "stat" : "size");
        expected += i % 2 ? "stat\r\n" + StatReply + "\r\n>" : "size\r\n     width = 2\r\n     height = 2\r\n>";
    }
    EXPECT_EQ(window->historyText(), expected);
    expectShownMatches();
    EXPECT_EQ(caret(), textEnd());
    EXPECT_EQ(executor->received, 200);
}

} // namespace
} // namespace skyvane
