#include <memory>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include "gui/CommandWindow.h"
#include "gui/ThresholdsWindow.h"
#include "gui/ToolWindow.h"
#include "gui/ToolWindowFrame.h"
#include "support/GuiTestSupport.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TestWorkbench;

// A main window of the given client size with a status bar along its bottom edge.
struct PlainMain {
    PlainMain(int width, int height, int statusHeight)
    {
        main.setGeometry(40, 30, width, height);
        status = new QWidget(&main);
        status->setGeometry(0, height - statusHeight, width, statusHeight);
        main.show();
    }
    QWidget main;
    QWidget* status = nullptr;
};

struct ArrangeCase {
    int clientHeight;
    int statusHeight;
    int half;        // height of both windows
    int lowerOffset; // top of the lower window below the client top
};

TEST(ArrangeToolWindows, StacksTwoWindowsAlongTheRightEdge)
{
    const ArrangeCase cases[] = {
        {700, 20, 340, 340}, // free height 680
        {701, 20, 340, 341}, // free height 681: one row between them stays uncovered
        {702, 21, 340, 341},
        {600, 0, 300, 300},
        {41, 20, 10, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clientHeight);
        PlainMain window(1000, c.clientHeight, c.statusHeight);
        ToolWindowTable table;
        ToolWindow upper(table, &window.main, "Image list", QRect(100, 100, 200, 200));
        ToolWindow lower(table, &window.main, "Command window", QRect(850, 400, 300, 500));
        ArrangeToolWindows(&window.main, window.status, &upper, &lower);

        const QPoint origin = window.main.mapToGlobal(QPoint(0, 0));
        EXPECT_EQ(upper.frameGeometry(), QRect(origin.x() + 700, origin.y(), 300, c.half));
        EXPECT_EQ(lower.frameGeometry(), QRect(origin.x() + 700, origin.y() + c.lowerOffset, 300, c.half));
        EXPECT_TRUE(upper.isVisible());
        EXPECT_TRUE(lower.isVisible());
        // The lower window ends at the top of the status bar.
        EXPECT_EQ(lower.frameGeometry().bottom() + 1, origin.y() + c.clientHeight - c.statusHeight);
    }
}

TEST(ArrangeToolWindows, SwappingTheRolesSwapsThePlaces)
{
    PlainMain window(1000, 700, 20);
    ToolWindowTable table;
    ToolWindow imageList(table, &window.main, "Image list", QRect(0, 0, 100, 100));
    ToolWindow command(table, &window.main, "Command window", QRect(0, 0, 100, 100));
    ArrangeToolWindows(&window.main, window.status, &imageList, &command);
    const QRect top = imageList.frameGeometry();
    const QRect bottom = command.frameGeometry();
    ArrangeToolWindows(&window.main, window.status, &command, &imageList);
    EXPECT_EQ(command.frameGeometry(), top);
    EXPECT_EQ(imageList.frameGeometry(), bottom);
}

TEST(ArrangeToolWindows, TheClientAreaStartsBelowTheMenuBar)
{
    QMainWindow main;
    main.setGeometry(10, 20, 900, 800);
    main.menuBar()->setNativeMenuBar(false);
    main.menuBar()->addMenu("File");
    main.statusBar()->showMessage("ready");
    main.show();
    ToolWindowTable table;
    ToolWindow upper(table, &main, "Image list", QRect(0, 0, 100, 100));
    ToolWindow lower(table, &main, "Command window", QRect(0, 0, 100, 100));
    ArrangeToolWindows(&main, main.statusBar(), &upper, &lower);

    const int menu = main.menuBar()->height();
    const int status = main.statusBar()->height();
    ASSERT_GT(menu, 0);
    ASSERT_GT(status, 0);
    const QPoint origin = main.mapToGlobal(QPoint(0, menu));
    const int client = 800 - menu;
    const int half = (client - status) / 2;
    EXPECT_EQ(upper.frameGeometry(), QRect(origin.x() + 600, origin.y(), 300, half));
    EXPECT_EQ(lower.frameGeometry(), QRect(origin.x() + 600, origin.y() + client - half - status, 300, half));
}

TEST(ArrangeToolWindows, HiddenWindowsAreMovedAndStayHidden)
{
    PlainMain window(1000, 700, 20);
    ToolWindowTable table;
    ToolWindow upper(table, &window.main, "Image list", QRect(100, 100, 200, 200));
    ToolWindow lower(table, &window.main, "Command window", QRect(850, 400, 300, 500));
    upper.hide();
    ArrangeToolWindows(&window.main, window.status, &upper, &lower);
    EXPECT_FALSE(upper.isVisible());
    const QPoint origin = window.main.mapToGlobal(QPoint(0, 0));
    upper.show(); // shows at the new place
    EXPECT_EQ(upper.frameGeometry(), QRect(origin.x() + 700, origin.y(), 300, 340));

    // A missing window is skipped; the other is still placed.
    ArrangeToolWindows(&window.main, window.status, nullptr, &upper);
    EXPECT_EQ(upper.frameGeometry(), QRect(origin.x() + 700, origin.y() + 340, 300, 340));
}

TEST(ToolWindowFrame, ToggleShowAndHideFollowTheTable)
{
    QWidget main;
    main.show();
    ToolWindowTable table;
    ToolWindow a(table, &main, "Image list", QRect(0, 0, 100, 100));
    ToolWindow b(table, &main, "Thresholds", QRect(0, 0, 100, 100));
    ToolWindow c(table, &main, "Command window", QRect(0, 0, 100, 100));
    QAction item("Thresholds");
    item.setCheckable(true);
    item.setChecked(true);

    HideAllToolWindows(table);
    EXPECT_FALSE(a.isVisible());
    EXPECT_FALSE(b.isVisible());
    EXPECT_FALSE(c.isVisible());
    ToggleToolWindow(&b, &item);
    EXPECT_TRUE(b.isVisible());
    EXPECT_FALSE(a.isVisible());
    EXPECT_FALSE(c.isVisible());
    EXPECT_TRUE(item.isChecked());
    ToggleToolWindow(&b, &item);
    EXPECT_FALSE(b.isVisible());
    EXPECT_FALSE(item.isChecked());
    ShowAllToolWindows(table);
    EXPECT_TRUE(a.isVisible());
    EXPECT_TRUE(b.isVisible());
    EXPECT_TRUE(c.isVisible());
}

TEST(ToolWindowFrame, CloseBoxHidesAndReports)
{
    QWidget main;
    ToolWindowTable table;
    ToolWindow window(table, &main, "Image list", QRect(5, 6, 70, 80));
    QSignalSpy hidden(&window, &ToolWindow::hiddenByClose);
    EXPECT_FALSE(window.close());
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(hidden.count(), 1);
    EXPECT_EQ(window.windowTitle(), QString("Image list"));
    EXPECT_EQ(window.accessibleName(), QString("Image list"));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::Tool));
    EXPECT_EQ(window.pos(), QPoint(5, 6));
    EXPECT_EQ(window.size(), QSize(70, 80));
}

TEST(ToolWindowsOwnedBy, ListsTheOwnersWindowsInTableOrder)
{
    QWidget owner;
    QWidget other;
    ToolWindowTable table;
    ToolWindow a(table, &owner, "a", QRect(0, 0, 10, 10));
    ToolWindow b(table, &other, "b", QRect(0, 0, 10, 10));
    ToolWindow c(table, &owner, "c", QRect(0, 0, 10, 10));
    table.add(&owner); // an entry that is the owner itself counts as well
    ASSERT_EQ(table.count, 4);

    QWidget* list[21] = {};
    EXPECT_EQ(ToolWindowsOwnedBy(table, &owner, list, 21, false), 3);
    EXPECT_EQ(list[0], &a);
    EXPECT_EQ(list[1], &c);
    EXPECT_EQ(list[2], &owner);

    std::fill(std::begin(list), std::end(list), nullptr);
    EXPECT_EQ(ToolWindowsOwnedBy(table, &other, list, 21, true), 2);
    EXPECT_EQ(list[0], &b);
    EXPECT_EQ(list[1], &other);

    // The capacity bounds the table positions looked at and the places filled.
    std::fill(std::begin(list), std::end(list), nullptr);
    EXPECT_EQ(ToolWindowsOwnedBy(table, &owner, list, 2, true), 2);
    EXPECT_EQ(list[0], &a);
    EXPECT_EQ(list[1], &owner);
    EXPECT_EQ(list[2], nullptr);
    std::fill(std::begin(list), std::end(list), nullptr);
    EXPECT_EQ(ToolWindowsOwnedBy(table, &owner, list, 1, true), 1);
    EXPECT_EQ(list[0], &a);
    EXPECT_EQ(list[1], nullptr);
    EXPECT_EQ(ToolWindowsOwnedBy(table, &owner, list, 0, true), 0);
}

TEST(ToolWindowTable, HoldsAtMost21Windows)
{
    ToolWindowTable table;
    QWidget widgets[25];
    for (auto& w : widgets)
        table.add(&w);
    EXPECT_EQ(table.count, 21);
    EXPECT_EQ(table.windows[20], &widgets[20]);
}

// Input through the window system, as the user gives it: a click at the centre of a
// widget and a key to the focused widget of its window.
void ClickThroughWindow(QWidget* widget)
{
    QWidget* top = widget->window();
    QTest::mouseClick(top->windowHandle(), Qt::LeftButton, Qt::NoModifier, widget->mapTo(top, widget->rect().center()));
}

class ModalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        main.setGeometry(0, 0, 1200, 900);
        main.show();
        thresholds = std::make_unique<ThresholdsWindow>(table, ctx.workbench, &main, QRect(100, 600, 438, 135));
        command = std::make_unique<CommandWindow>(table, ctx.context, &main, QRect(850, 400, 300, 500));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(thresholds.get()));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(command.get()));
        thresholds->lowEdit()->setText("1000");
        thresholds->highEdit()->setText("3000");
    }

    // Clicks "Invert" and types a letter into the Command window; true when either arrived.
    bool inputArrives()
    {
        const int before = thresholds->LowThreshold();
        ClickThroughWindow(thresholds->invertButton());
        const bool clicked = thresholds->LowThreshold() != before;

        command->activateWindow();
        command->history()->setFocus();
        const std::string history = command->historyText();
        QTest::keyClick(command->windowHandle(), Qt::Key_S);
        const bool typed = command->historyText() != history;
        return clicked || typed;
    }

    TestWorkbench ctx;
    QWidget main;
    ToolWindowTable table;
    std::unique_ptr<ThresholdsWindow> thresholds;
    std::unique_ptr<CommandWindow> command;
};

TEST_F(ModalTest, ToolWindowsTakeInputWithoutADialog)
{
    const int before = thresholds->LowThreshold();
    ClickThroughWindow(thresholds->invertButton());
    EXPECT_NE(thresholds->LowThreshold(), before);
    command->activateWindow();
    command->history()->setFocus();
    QTest::keyClick(command->windowHandle(), Qt::Key_S);
    EXPECT_EQ(command->historyText(), ">s");
}

TEST_F(ModalTest, AModalDialogBlocksEveryToolWindow)
{
    bool arrived = true;
    bool answered = false;
    test::AnswerNextModal([&](QWidget* modal) {
        arrived = inputArrives();
        answered = true;
        static_cast<QDialog*>(modal)->reject();
    });
    QDialog dialog(&main);
    dialog.exec();
    ASSERT_TRUE(answered);
    EXPECT_FALSE(arrived);
    EXPECT_EQ(thresholds->LowThreshold(), 1000);
    EXPECT_EQ(command->historyText(), ">");
    // Usable again once the dialog is gone.
    EXPECT_TRUE(inputArrives());
}

TEST_F(ModalTest, AMessageBoxBlocksEveryToolWindow)
{
    bool arrived = true;
    bool answered = false;
    test::AnswerNextModal([&](QWidget* modal) {
        arrived = inputArrives();
        answered = true;
        static_cast<QDialog*>(modal)->accept();
    });
    QMessageBox::warning(&main, "Error", "no image !");
    ASSERT_TRUE(answered);
    EXPECT_FALSE(arrived);
    EXPECT_EQ(thresholds->LowThreshold(), 1000);
    EXPECT_TRUE(inputArrives());
}

TEST_F(ModalTest, DisablingTheMainWindowDisablesItsToolWindows)
{
    main.setEnabled(false);
    EXPECT_FALSE(thresholds->isEnabled());
    EXPECT_FALSE(command->isEnabled());
    EXPECT_FALSE(inputArrives());
    main.setEnabled(true);
    EXPECT_TRUE(thresholds->isEnabled());
    EXPECT_TRUE(command->isEnabled());
    EXPECT_TRUE(inputArrives());
}

} // namespace
} // namespace skyvane
