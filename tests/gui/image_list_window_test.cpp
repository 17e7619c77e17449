#include <memory>
#include <string>
#include <vector>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "gui/DialogProvider.h"
#include "gui/ImageListWindow.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;
using test::TestWorkbench;

using FakeDialogs = test::ScriptedDialogs;

void WriteSmallFits(const std::string& path)
{
    test::FitsLayout layout;
    layout.width = 2;
    layout.height = 2;
    layout.values = {1, 2, 3, 4};
    test::WriteFitsImage(path, layout);
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

class ImageListWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        work = std::make_unique<TempDir>();
        other = std::make_unique<TempDir>();
        for (const char* name : {"a.fit", "b.fit", "c.fit"})
            WriteSmallFits(work->file(name));
        for (const char* name : {"x.fit", "y.fit", "z.fit"})
            WriteSmallFits(other->file(name));
        workDir = work->path().string();
        otherDir = other->path().string();
        Settings settings;
        settings.WorkingDirectory = workDir;
        settings.LastImageFolder = workDir;
        ctx.workbench.start(settings, "");
        window = std::make_unique<ImageListWindow>(table, ctx.workbench, dialogs, nullptr, QRect(900, 100, 300, 500));
        QApplication::processEvents();
    }

    ImageListTree& lists() { return ctx.context.lists; }
    ImageListTreeView* view() { return window->treeView(); }
    QTreeWidgetItem* row(TreeItem item) { return view()->itemOf(item); }
    TreeItem file(int n, int k) { return lists().FileItem(n, k); }

    void layout()
    {
        view()->doItemsLayout();
        QApplication::processEvents();
    }
    void clickAt(const QPoint& pos, Qt::MouseButton button = Qt::LeftButton)
    {
        QTest::mouseClick(view()->viewport(), button, {}, pos);
        QApplication::processEvents();
    }
    // What a real double click delivers: press, release, press, double click, release.
    void doubleClickAt(const QPoint& pos)
    {
        QWidget* vp = view()->viewport();
        QTest::mouseClick(vp, Qt::LeftButton, {}, pos);
        QTest::mousePress(vp, Qt::LeftButton, {}, pos);
        QTest::mouseDClick(vp, Qt::LeftButton, {}, pos);
        QTest::mouseRelease(vp, Qt::LeftButton, {}, pos);
        QApplication::processEvents();
    }
    void clickIcon(TreeItem item)
    {
        layout();
        const QRect r = view()->iconRect(row(item));
        ASSERT_FALSE(r.isEmpty());
        clickAt(r.center());
    }
    void clickLabel(TreeItem item, Qt::MouseButton button = Qt::LeftButton)
    {
        layout();
        const QRect r = view()->labelRect(row(item));
        ASSERT_FALSE(r.isEmpty());
        clickAt(r.center(), button);
    }
    QPoint emptySpace()
    {
        layout();
        return QPoint(view()->viewport()->width() / 2, view()->viewport()->height() - 3);
    }
    void closePopup()
    {
        window->popupMenu()->hide();
        QApplication::processEvents();
    }
    QString description(TreeItem item) { return row(item)->data(0, Qt::AccessibleDescriptionRole).toString(); }

    // Flags of every file of list n, as "1" (selected) and "0".
    std::string flags(int n)
    {
        std::string s;
        for (int k = 1; k <= lists().FileCount(n); ++k)
            s += lists().IsFileSelected(file(n, k)) ? '1' : '0';
        return s;
    }
    // The view's picture and description of list n, in the same notation, read from the rows.
    std::string shownFlags(int n)
    {
        QTreeWidgetItem* list = view()->topLevelItem(n - 1);
        std::string s;
        for (int k = 0; k < list->childCount(); ++k) {
            const QString d = list->child(k)->data(0, Qt::AccessibleDescriptionRole).toString();
            const qint64 key = list->child(k)->icon(0).cacheKey();
            if (d == QLatin1String("selected") && key == TreeIconPicture(IconSelected).cacheKey())
                s += '1';
            else if (d == QLatin1String("not selected") && key == TreeIconPicture(IconNotSelected).cacheKey())
                s += '0';
            else
                s += '?';
        }
        return s;
    }
    // Every row of the view as "label" lines, children indented, to compare with the tree.
    std::string shownTree()
    {
        std::string s;
        for (int i = 0; i < view()->topLevelItemCount(); ++i) {
            QTreeWidgetItem* list = view()->topLevelItem(i);
            s += list->text(0).toStdString() + (list->isExpanded() ? " +" : "") + "\n";
            for (int k = 0; k < list->childCount(); ++k)
                s += "  " + list->child(k)->text(0).toStdString() + "\n";
        }
        return s;
    }
    std::string modelTree()
    {
        std::string s;
        for (int n = 1; n <= lists().ListCount(); ++n) {
            s += lists().ListLabel(n) + (lists().IsExpanded(lists().ListItem(n)) ? " +" : "") + "\n";
            for (int k = 1; k <= lists().FileCount(n); ++k)
                s += "  " + lists().FileLabel(n, k) + "\n";
        }
        return s;
    }

    TestWorkbench ctx;
    ToolWindowTable table;
    FakeDialogs dialogs;
    std::unique_ptr<TempDir> work;
    std::unique_ptr<TempDir> other;
    std::string workDir;
    std::string otherDir;
    std::unique_ptr<ImageListWindow> window;
};

TEST_F(ImageListWindowTest, CreationBuildsTheStartupListAndTheMenus)
{
    EXPECT_EQ(window->windowTitle(), "Image list");
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(table.count, 1);
    EXPECT_EQ(table.windows[0], window.get());
    EXPECT_EQ(window->size(), QSize(300, 500));
    EXPECT_EQ(window->tree()->property("controlId").toInt(), 1004);

    EXPECT_EQ(modelTree(), "[WORK] = " + workDir + " +\n  a.fit\n  b.fit\n  c.fit\n");
    EXPECT_EQ(shownTree(), modelTree());
    EXPECT_EQ(shownFlags(1), "111");
    EXPECT_EQ(window->tree()->currentItem(), nullptr);
    EXPECT_EQ(row(lists().ListItem(1))->icon(0).cacheKey(), TreeIconPicture(IconClosedFolder).cacheKey());
    EXPECT_FALSE(row(lists().ListItem(1))->data(0, Qt::AccessibleDescriptionRole).isValid());

    // Menu bar and popup: texts, ids as action data, in order.
    struct Item {
        const char* menu;
        const char* text;
        int id;
    };
    const Item expected[] = {{"Edit", "New image(s)", 1005}, {"Edit", "Delete item", 1006}, {"Select", "Select all", 1007},
                             {"Select", "Deselect all", 1008}, {"Select", "Invert selection", 1009}};
    std::vector<std::string> seen;
    for (QAction* top : window->menuBar()->actions())
        for (QAction* item : top->menu()->actions())
            seen.push_back(top->text().toStdString() + "/" + item->text().toStdString() + "/" + std::to_string(item->data().toInt()));
    std::vector<std::string> want;
    for (const Item& i : expected)
        want.push_back(std::string(i.menu) + "/" + i.text + "/" + std::to_string(i.id));
    EXPECT_EQ(seen, want);

    std::vector<std::string> popup;
    for (QAction* item : window->popupMenu()->actions())
        popup.push_back(item->text().toStdString() + "/" + std::to_string(item->data().toInt()));
    EXPECT_EQ(popup, (std::vector<std::string>{"Display/40427", "Select all/40422", "Deselect all/40423", "Invert selection/40424"}));
}

TEST_F(ImageListWindowTest, TheFivePicturesAreDistinct16By16Images)
{
    std::vector<QImage> images;
    for (int i = 0; i < 5; ++i) {
        const QIcon& icon = TreeIconPicture(i);
        ASSERT_FALSE(icon.isNull()) << i;
        QImage image = icon.pixmap(16, 16).toImage();
        EXPECT_EQ(image.size(), QSize(16, 16)) << i;
        for (const QImage& before : images)
            EXPECT_NE(image, before) << i;
        images.push_back(image);
    }
    EXPECT_TRUE(TreeIconPicture(5).isNull());
    EXPECT_TRUE(TreeIconPicture(-1).isNull());
}

TEST_F(ImageListWindowTest, ClickOnIconTogglesLabelOnlySelectsListsNeverToggle)
{
    const TreeItem b = file(1, 2);
    clickIcon(b);
    EXPECT_EQ(flags(1), "101");
    EXPECT_EQ(description(b), "not selected");
    EXPECT_EQ(window->tree()->currentItem(), row(b));
    EXPECT_EQ(window->clickedItem(), b);

    clickIcon(b);
    EXPECT_EQ(flags(1), "111");
    EXPECT_EQ(description(b), "selected");

    const TreeItem c = file(1, 3);
    clickLabel(c);
    EXPECT_EQ(flags(1), "111");
    EXPECT_EQ(window->tree()->currentItem(), row(c));
    EXPECT_EQ(window->clickedItem(), c);

    const TreeItem list = lists().ListItem(1);
    clickIcon(list);
    clickLabel(list);
    EXPECT_EQ(flags(1), "111");
    EXPECT_EQ(lists().Icon(list), IconClosedFolder);
    EXPECT_EQ(window->tree()->currentItem(), row(list));
    EXPECT_EQ(shownFlags(1), "111");

    clickAt(emptySpace());
    EXPECT_EQ(window->tree()->currentItem(), nullptr);
    EXPECT_TRUE(window->tree()->selectedItems().isEmpty());
    EXPECT_EQ(flags(1), "111");
}

TEST_F(ImageListWindowTest, DoubleClickTogglesTheSelectedFileAndListsStillExpand)
{
    const TreeItem a = file(1, 1);
    layout();
    doubleClickAt(view()->labelRect(row(a)).center());
    EXPECT_EQ(flags(1), "011");
    EXPECT_EQ(shownFlags(1), "011");
    EXPECT_EQ(window->clickedItem(), a);

    const TreeItem list = lists().ListItem(1);
    ASSERT_TRUE(row(list)->isExpanded());
    layout();
    doubleClickAt(view()->labelRect(row(list)).center());
    EXPECT_FALSE(row(list)->isExpanded()); // the tree's own double-click behaviour
    EXPECT_EQ(flags(1), "011");
    EXPECT_EQ(window->clickedItem(), list);

    // On a file's icon the click flips the tick and the double click flips it back.
    const TreeItem c = file(1, 3);
    doubleClickAt(view()->labelRect(row(list)).center()); // open the list again
    ASSERT_TRUE(row(list)->isExpanded());
    layout();
    doubleClickAt(view()->iconRect(row(c)).center());
    EXPECT_EQ(flags(1), "011");
    EXPECT_EQ(window->tree()->currentItem(), row(c));
}

TEST_F(ImageListWindowTest, RightClickShowsThePopupWithDisplayGreyedOnLists)
{
    const TreeItem list = lists().ListItem(1);
    clickLabel(list, Qt::RightButton);
    EXPECT_TRUE(window->popupMenu()->isVisible());
    EXPECT_FALSE(window->action(ImageListWindow::PopupDisplayId)->isEnabled());
    EXPECT_EQ(window->tree()->currentItem(), row(list));
    closePopup();

    const TreeItem b = file(1, 2);
    clickLabel(b, Qt::RightButton);
    EXPECT_TRUE(window->popupMenu()->isVisible());
    EXPECT_TRUE(window->action(ImageListWindow::PopupDisplayId)->isEnabled());
    EXPECT_EQ(window->tree()->currentItem(), row(b));
    EXPECT_EQ(flags(1), "111"); // a right click changes no flag
    closePopup();

    clickAt(emptySpace(), Qt::RightButton);
    EXPECT_FALSE(window->popupMenu()->isVisible());
    EXPECT_EQ(window->tree()->currentItem(), nullptr);
}

TEST_F(ImageListWindowTest, DisplayEmitsTheFullPathOfTheClickedFile)
{
    QSignalSpy spy(window.get(), &ImageListWindow::displayRequested);
    clickLabel(file(1, 2), Qt::RightButton);
    window->action(ImageListWindow::PopupDisplayId)->trigger();
    closePopup();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), Q(workDir + "/b.fit"));
    EXPECT_EQ(flags(1), "111");

    // A list never displays, even if the command arrives.
    clickLabel(lists().ListItem(1), Qt::RightButton);
    window->runCommand(ImageListWindow::PopupDisplayId);
    closePopup();
    EXPECT_EQ(spy.count(), 1);
}

// The three Select commands, from the menu bar on the current item and from the popup on
// the clicked item, over a file's list and over a list itself. A second list must stay
// untouched.
TEST_F(ImageListWindowTest, SelectCommandsChangeEveryFileOfTheListOnly)
{
    dialogs.newImages = {Q(otherDir + "/x.fit"), Q(otherDir + "/y.fit")};
    window->runCommand(ImageListWindow::NewImagesId);
    ASSERT_EQ(lists().ListCount(), 2);
    lists().DeselectFile(file(2, 1)); // the other list: "01"

    struct Case {
        bool popup;
        bool onFile;
        int command;
        const char* start;
        const char* expected;
    };
    const Case cases[] = {
        {false, true, ImageListWindow::DeselectAllId, "101", "000"},
        {false, false, ImageListWindow::SelectAllId, "010", "111"},
        {false, true, ImageListWindow::InvertSelectionId, "110", "001"},
        {false, false, ImageListWindow::InvertSelectionId, "011", "100"},
        {true, true, ImageListWindow::PopupDeselectAllId, "111", "000"},
        {true, false, ImageListWindow::PopupSelectAllId, "000", "111"},
        {true, true, ImageListWindow::PopupInvertSelectionId, "100", "011"},
        {true, false, ImageListWindow::PopupInvertSelectionId, "001", "110"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.command) + (c.onFile ? " on a file" : " on a list"));
        for (int k = 1; k <= 3; ++k)
            c.start[k - 1] == '1' ? lists().SelectFile(file(1, k)) : lists().DeselectFile(file(1, k));
        const TreeItem target = c.onFile ? file(1, 3) : lists().ListItem(1);
        if (c.popup) {
            clickLabel(target, Qt::RightButton);
            window->action(c.command)->trigger();
            closePopup();
        } else {
            clickLabel(target);
            ASSERT_EQ(flags(1), c.start); // a label click toggles nothing
            window->action(c.command)->trigger();
        }
        EXPECT_EQ(flags(1), c.expected);
        EXPECT_EQ(shownFlags(1), c.expected);
        EXPECT_EQ(flags(2), "01");
        EXPECT_EQ(window->clickedItem(), target);
    }

    // No current item: the menu bar commands do nothing.
    clickAt(emptySpace());
    window->action(ImageListWindow::SelectAllId)->trigger();
    EXPECT_EQ(flags(2), "01");
}

TEST_F(ImageListWindowTest, DeleteItemKeepsListsOfTheWorkingDirectory)
{
    dialogs.newImages = {Q(otherDir + "/x.fit"), Q(otherDir + "/y.fit")};
    window->runCommand(ImageListWindow::NewImagesId);
    ASSERT_EQ(lists().ListCount(), 2);
    const TreeItem path = lists().ListItem(2);
    const TreeItem x = file(2, 1);

    // Nothing current: nothing happens.
    clickAt(emptySpace());
    window->action(ImageListWindow::DeleteItemId)->trigger();
    EXPECT_EQ(lists().ListCount(), 2);

    clickLabel(lists().ListItem(1));
    window->action(ImageListWindow::DeleteItemId)->trigger();
    EXPECT_EQ(lists().ListCount(), 2);
    EXPECT_EQ(lists().FileCount(1), 3);

    // Files of the working directory's list can go.
    clickLabel(file(1, 2));
    window->action(ImageListWindow::DeleteItemId)->trigger();
    EXPECT_EQ(lists().FileCount(1), 2);
    EXPECT_EQ(lists().FileLabel(1, 2), "c.fit");

    clickLabel(path);
    window->action(ImageListWindow::DeleteItemId)->trigger();
    EXPECT_EQ(lists().ListCount(), 1);
    EXPECT_EQ(view()->itemOf(path), nullptr);
    EXPECT_EQ(view()->itemOf(x), nullptr);
    EXPECT_EQ(shownTree(), modelTree());

    // A list of a former working directory is an ordinary list.
    ctx.context.settings.WorkingDirectory = otherDir;
    clickLabel(lists().ListItem(1));
    window->action(ImageListWindow::DeleteItemId)->trigger();
    EXPECT_EQ(lists().ListCount(), 0);
    EXPECT_EQ(view()->topLevelItemCount(), 0);
}

TEST_F(ImageListWindowTest, DeleteItemRemovesAOneCharacterFileWithAnEmptyWorkingDirectory)
{
    // "a" has no "=": as a list label its folder would be "" and match the empty working
    // directory. Files are always deletable.
    ctx.context.settings.WorkingDirectory.clear();
    WriteSmallFits(other->file("q"));
    dialogs.newImages = {Q(otherDir + "/q")};
    window->runCommand(ImageListWindow::NewImagesId);
    ASSERT_EQ(lists().FileLabel(2, 1), "q");
    clickLabel(file(2, 1));
    window->action(ImageListWindow::DeleteItemId)->trigger();
    EXPECT_EQ(lists().FileCount(2), 0);
}

TEST_F(ImageListWindowTest, NewImagesAddsMissingNamesAndRemembersTheFolder)
{
    // One file in a folder without a list: [PATH], selected, current, expanded.
    dialogs.newImages = {Q(otherDir + "/y.fit")};
    window->runCommand(ImageListWindow::NewImagesId);
    ASSERT_EQ(dialogs.startFolders.size(), 1);
    EXPECT_EQ(dialogs.startFolders[0], Q(workDir));
    EXPECT_EQ(dialogs.owners[0], window.get());
    EXPECT_EQ(ctx.context.settings.LastImageFolder, otherDir);
    EXPECT_EQ(lists().ListLabel(2), "[PATH] = " + otherDir);
    EXPECT_EQ(flags(2), "1");
    EXPECT_EQ(window->tree()->currentItem(), row(file(2, 1)));
    EXPECT_TRUE(row(lists().ListItem(2))->isExpanded());
    EXPECT_EQ(window->focusWidget(), window->tree());
    EXPECT_EQ(shownTree(), modelTree());

    // The same file again adds nothing; the current row stays where the user put it.
    clickLabel(file(1, 1));
    window->runCommand(ImageListWindow::NewImagesId);
    EXPECT_EQ(dialogs.startFolders[1], Q(otherDir));
    EXPECT_EQ(lists().FileCount(2), 1);
    EXPECT_EQ(window->tree()->currentItem(), row(file(1, 1)));

    // Several files: only the missing names, in dialog order, at the end; the last becomes
    // current.
    dialogs.newImages = {Q(otherDir + "/z.fit"), Q(otherDir + "/y.fit"), Q(otherDir + "/x.fit")};
    window->runCommand(ImageListWindow::NewImagesId);
    EXPECT_EQ(modelTree(), "[WORK] = " + workDir + " +\n  a.fit\n  b.fit\n  c.fit\n[PATH] = " + otherDir + " +\n  y.fit\n  z.fit\n  x.fit\n");
    EXPECT_EQ(shownTree(), modelTree());
    EXPECT_EQ(window->tree()->currentItem(), row(file(2, 3)));
    EXPECT_EQ(window->lastInsertedFile(), file(2, 3));

    // Into the working directory's list.
    WriteSmallFits(work->file("d.fit"));
    dialogs.newImages = {Q(workDir + "/c.fit"), Q(workDir + "/d.fit")};
    window->runCommand(ImageListWindow::NewImagesId);
    EXPECT_EQ(dialogs.startFolders[3], Q(otherDir));
    EXPECT_EQ(ctx.context.settings.LastImageFolder, workDir);
    EXPECT_EQ(lists().ListCount(), 2);
    EXPECT_EQ(lists().FileCount(1), 4);
    EXPECT_EQ(lists().FileLabel(1, 4), "d.fit");

    // Cancel: nothing at all.
    const std::string before = modelTree();
    dialogs.newImages = {};
    window->runCommand(ImageListWindow::NewImagesId);
    EXPECT_EQ(modelTree(), before);
    EXPECT_EQ(ctx.context.settings.LastImageFolder, workDir);

    // A third folder after deleting [PATH]: [PATH2], never PATH again.
    clickLabel(lists().ListItem(2));
    window->action(ImageListWindow::DeleteItemId)->trigger();
    TempDir third;
    WriteSmallFits(third.file("m.fit"));
    dialogs.newImages = {Q(third.file("m.fit"))};
    window->runCommand(ImageListWindow::NewImagesId);
    EXPECT_EQ(lists().ListLabel(2), "[PATH2] = " + third.path().string());
    EXPECT_EQ(shownTree(), modelTree());
}

TEST_F(ImageListWindowTest, ChangesMadeOutsideTheWindowAreMirrored)
{
    lists().ReplaceWorkList(otherDir);
    lists().DeleteItem(file(1, 1));
    lists().ToggleFile(file(2, 2));
    EXPECT_EQ(shownTree(), modelTree());
    EXPECT_EQ(shownFlags(2), "101");
    EXPECT_EQ(description(file(2, 2)), "not selected");
}

// What a screen reader gets from the tree's cells: the label as name, and for files the
// selection state as description, following a toggle.
TEST_F(ImageListWindowTest, AccessibleCellsCarryLabelsAndSelectionStates)
{
    lists().ToggleFile(file(1, 2));
    layout();
    auto cells = [this] {
        std::vector<std::string> out;
        QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(window->tree());
        for (int i = 0; tree && i < tree->childCount(); ++i) {
            QAccessibleInterface* cell = tree->child(i);
            if (cell && cell->role() == QAccessible::TreeItem)
                out.push_back(cell->text(QAccessible::Name).toStdString() + "|" + cell->text(QAccessible::Description).toStdString());
        }
        return out;
    };
    const std::string list = "[WORK] = " + workDir + "|";
    EXPECT_EQ(cells(), (std::vector<std::string>{list, "a.fit|selected", "b.fit|not selected", "c.fit|selected"}));
    clickIcon(file(1, 2));
    EXPECT_EQ(cells(), (std::vector<std::string>{list, "a.fit|selected", "b.fit|selected", "c.fit|selected"}));

    for (QAction* top : window->menuBar()->actions())
        EXPECT_EQ(top->menu()->accessibleName(), top->text());
}

TEST_F(ImageListWindowTest, CloseBoxHidesTheWindow)
{
    QSignalSpy spy(window.get(), &ToolWindow::hiddenByClose);
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(lists().ListCount(), 1);
}

} // namespace
} // namespace skyvane
