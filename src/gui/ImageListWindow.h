#pragma once

#include <QHash>
#include <QIcon>
#include <QRect>
#include <QString>
#include <QTreeWidget>
#include <QVector>

#include "gui/ToolWindow.h"
#include "lists/ImageListTree.h"

class QAction;
class QMenu;
class QMenuBar;
class QMouseEvent;
class QTreeWidgetItem;

namespace skyvane {

class DialogProvider;
class Workbench;
class ImageListDelegate;

// The five 16 x 16 tree pictures, by TreeIcon index (closed folder, open folder, page,
// empty check box, check box with tick). Loaded once from the program's resources.
const QIcon& TreeIconPicture(int index);

// The tree control of the Image list window (control 1004). It only shows ImageListTree:
// every change reaches it through the observer, and the window turns clicks into tree
// operations. Keeps a hash from handle to row so that nothing walks the widget.
class ImageListTreeView final : public QTreeWidget {
    Q_OBJECT
public:
    explicit ImageListTreeView(QWidget* parent);

    // The handle of a row (NoItem for nullptr) and the row of a handle (nullptr if unknown).
    static TreeItem handleOf(const QTreeWidgetItem* item);
    QTreeWidgetItem* itemOf(TreeItem handle) const { return rows_.value(handle, nullptr); }

    // Where the icon and the label of a row are drawn, in viewport coordinates; empty for
    // a row that is not laid out (for example inside a collapsed list).
    QRect iconRect(const QTreeWidgetItem* item) const;
    QRect labelRect(const QTreeWidgetItem* item) const;

    // Mirror operations, called by ImageListWindow as the observer of the tree.
    void addRow(TreeItem handle, TreeItem parent, int index, const QString& label, int icon);
    void removeRow(TreeItem handle);
    void setRowIcon(TreeItem handle, int icon);
    void clearRows();

signals:
    // A left click ended at pos (viewport coordinates); the release that ends a double
    // click is not a click of its own. Sent after the tree's own handling.
    void leftClicked(const QPoint& pos);
    // A left double click, after the tree's own handling (which expands or collapses a list).
    void leftDoubleClicked();
    // The right button was released at pos (viewport) / globalPos (screen).
    void rightClicked(const QPoint& pos, const QPoint& globalPos);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QRect subElementRect(const QTreeWidgetItem* item, int element) const;

    QHash<TreeItem, QTreeWidgetItem*> rows_;
    ImageListDelegate* delegate_;
    bool releaseEndsDoubleClick_ = false;
};

// The "Image list" tool window: a menu bar ("Edit", "Select"), the tree, and a popup menu.
// Mirrors the workbench's image lists (the start-up list among them); the user's changes
// reach the lists only through the workbench and ImageListTree's operations.
class ImageListWindow final : public ToolWindow, private ImageListObserver {
    Q_OBJECT
public:
    // Menu and command ids, carried as the QAction's data.
    enum CommandId : int {
        NewImagesId = 1005,
        DeleteItemId = 1006,
        SelectAllId = 1007,
        DeselectAllId = 1008,
        InvertSelectionId = 1009,
        PopupDisplayId = 40427,
        PopupSelectAllId = 40422,
        PopupDeselectAllId = 40423,
        PopupInvertSelectionId = 40424,
    };
    static constexpr int TreeControlId = 1004;

    ImageListWindow(ToolWindowTable& table, Workbench& workbench, DialogProvider& dialogs, QWidget* owner, const QRect& screenRect);
    ~ImageListWindow() override;

    QTreeWidget* tree() const;
    ImageListTreeView* treeView() const { return tree_; }
    QMenuBar* menuBar() const { return menuBar_; }
    QMenu* popupMenu() const { return popup_; }
    // The action of a menu-bar or popup id; nullptr for an unknown id.
    QAction* action(int id) const;
    // The item the last click, double click, right click or menu-bar command concerned.
    TreeItem clickedItem() const { return clickedItem_; }
    TreeItem lastInsertedFile() const { return lastInserted_; }

    // Runs one command of the two menus, as if its item had been chosen.
    void runCommand(int id);

signals:
    // "Display" on a file: the main window runs its display steps for this full path.
    void displayRequested(const QString& fullPath);

private:
    // ImageListObserver
    void itemInserted(TreeItem item, TreeItem parent, int index) override;
    void itemRemoved(TreeItem item) override;
    void itemIconChanged(TreeItem item) override;
    void itemExpanded(TreeItem item) override;

    void mirrorExistingLists();
    void singleClick(const QPoint& pos);
    void doubleClick();
    void rightClick(const QPoint& pos, const QPoint& globalPos);
    TreeItem currentHandle() const;
    void clearCurrent();
    void changeSelection(TreeItem item, ImageListTree::SelectionChange change);
    void deleteItem();
    void newImages();
    void display();

    Workbench& workbench_;
    ImageListTree& lists_;
    DialogProvider& dialogs_;
    ImageListTreeView* tree_ = nullptr;
    QMenuBar* menuBar_ = nullptr;
    QMenu* popup_ = nullptr;
    QHash<int, QAction*> actions_;
    TreeItem clickedItem_ = NoItem;
    TreeItem lastInserted_ = NoItem;
};

} // namespace skyvane
