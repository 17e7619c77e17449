#include "gui/ImageListWindow.h"

#include <array>
#include <string>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QHeaderView>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "base/Paths.h"
#include "context/AppContext.h"
#include "gui/DialogProvider.h"
#include "workbench/Workbench.h"

// The resources live in the static skyvane_gui library; the linker drops their
// registration unless something names it, so the first user of the icons does.
static void initSkyvaneResources()
{
    Q_INIT_RESOURCE(skyvane);
}

namespace skyvane {

namespace {

// Rows keep their handle here; file rows also keep their icon index, from which the
// picture and the accessible description are both answered, so the two cannot drift
// apart and an icon change is one data change.
constexpr int HandleRole = Qt::UserRole + 1;
constexpr int IconIndexRole = Qt::UserRole + 2;

QString text(const std::string& s) { return QString::fromStdString(s); }

class TreeRow final : public QTreeWidgetItem {
public:
    TreeRow(TreeItem handle, const QString& label, int icon, bool isFile)
        : isFile_(isFile)
    {
        setText(0, label);
        QTreeWidgetItem::setData(0, HandleRole, QVariant::fromValue<qulonglong>(handle));
        icon_ = icon;
    }

    QVariant data(int column, int role) const override
    {
        if (column == 0) {
            if (role == Qt::DecorationRole)
                return TreeIconPicture(icon_);
            if (role == IconIndexRole)
                return icon_;
            if (role == Qt::AccessibleDescriptionRole && isFile_)
                return icon_ == IconSelected ? QStringLiteral("selected") : QStringLiteral("not selected");
        }
        return QTreeWidgetItem::data(column, role);
    }

    void setData(int column, int role, const QVariant& value) override
    {
        if (column == 0 && role == IconIndexRole) {
            const int icon = value.toInt();
            if (icon != icon_) {
                icon_ = icon;
                emitDataChanged();
            }
            return;
        }
        QTreeWidgetItem::setData(column, role, value);
    }

private:
    int icon_ = IconClosedFolder;
    bool isFile_;
};

} // namespace

const QIcon& TreeIconPicture(int index)
{
    static const std::array<QIcon, 5> pictures = [] {
        initSkyvaneResources();
        const char* names[5] = {"closed_folder", "open_folder", "page", "unchecked", "checked"};
        std::array<QIcon, 5> icons;
        for (std::size_t i = 0; i < icons.size(); ++i)
            icons[i] = QIcon(QPixmap(QStringLiteral(":/skyvane/icons/%1.xpm").arg(QLatin1String(names[i]))));
        return icons;
    }();
    static const QIcon none;
    if (index < 0 || index >= static_cast<int>(pictures.size()))
        return none;
    return pictures[static_cast<std::size_t>(index)];
}

// Opens initStyleOption to the tree, which needs the option exactly as painting fills it
// to find where the icon and the label lie.
class ImageListDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    using QStyledItemDelegate::initStyleOption;
};

// ---------------------------------------------------------------------------------------
// ImageListTreeView

ImageListTreeView::ImageListTreeView(QWidget* parent)
    : QTreeWidget(parent), delegate_(new ImageListDelegate(this))
{
    setItemDelegate(delegate_);
    setObjectName(QStringLiteral("tree"));
    setProperty("controlId", ImageListWindow::TreeControlId);
    setAccessibleName(QStringLiteral("Image lists"));
    setColumnCount(1);
    setHeaderHidden(true);
    setRootIsDecorated(true);
    setIconSize(QSize(16, 16));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
    // The two columns of a label never need a horizontal scroll bar of their own width
    // computation for 2,000 rows; the header sizes to the contents lazily.
    header()->setStretchLastSection(true);
}

TreeItem ImageListTreeView::handleOf(const QTreeWidgetItem* item)
{
    if (!item)
        return NoItem;
    return static_cast<TreeItem>(item->data(0, HandleRole).toULongLong());
}

QRect ImageListTreeView::subElementRect(const QTreeWidgetItem* item, int element) const
{
    if (!item)
        return {};
    const QModelIndex index = indexFromItem(item, 0);
    const QRect cell = visualRect(index);
    if (cell.isEmpty())
        return {};
    QStyleOptionViewItem opt;
    initViewItemOption(&opt);
    opt.rect = cell;
    delegate_->initStyleOption(&opt, index);
    return style()->subElementRect(static_cast<QStyle::SubElement>(element), &opt, this);
}

QRect ImageListTreeView::iconRect(const QTreeWidgetItem* item) const
{
    return subElementRect(item, QStyle::SE_ItemViewItemDecoration);
}

QRect ImageListTreeView::labelRect(const QTreeWidgetItem* item) const
{
    return subElementRect(item, QStyle::SE_ItemViewItemText);
}

void ImageListTreeView::addRow(TreeItem handle, TreeItem parent, int index, const QString& label, int icon)
{
    auto* row = new TreeRow(handle, label, icon, parent != NoItem);
    if (parent == NoItem) {
        insertTopLevelItem(index, row);
    } else {
        QTreeWidgetItem* list = itemOf(parent);
        if (!list) { // the tree never sends a file before its list; stay safe all the same
            delete row;
            return;
        }
        list->insertChild(index, row);
    }
    rows_.insert(handle, row);
}

void ImageListTreeView::removeRow(TreeItem handle)
{
    QTreeWidgetItem* row = rows_.take(handle);
    if (!row)
        return;
    for (int i = 0; i < row->childCount(); ++i)
        rows_.remove(handleOf(row->child(i)));
    delete row;
}

void ImageListTreeView::setRowIcon(TreeItem handle, int icon)
{
    if (QTreeWidgetItem* row = itemOf(handle))
        row->setData(0, IconIndexRole, icon);
}

void ImageListTreeView::clearRows()
{
    rows_.clear();
    clear();
}

void ImageListTreeView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        releaseEndsDoubleClick_ = false;
    QTreeWidget::mousePressEvent(event);
}

void ImageListTreeView::mouseDoubleClickEvent(QMouseEvent* event)
{
    QTreeWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) {
        releaseEndsDoubleClick_ = true;
        emit leftDoubleClicked();
    }
}

void ImageListTreeView::mouseReleaseEvent(QMouseEvent* event)
{
    QTreeWidget::mouseReleaseEvent(event);
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        if (releaseEndsDoubleClick_)
            releaseEndsDoubleClick_ = false;
        else
            emit leftClicked(pos);
    } else if (event->button() == Qt::RightButton) {
        emit rightClicked(pos, event->globalPosition().toPoint());
    }
}

// ---------------------------------------------------------------------------------------
// ImageListWindow

ImageListWindow::ImageListWindow(ToolWindowTable& table, Workbench& workbench, DialogProvider& dialogs, QWidget* owner, const QRect& screenRect)
    : ToolWindow(table, owner, QStringLiteral("Image list"), screenRect), workbench_(workbench), lists_(workbench.context().lists),
      dialogs_(dialogs)
{
    setObjectName(QStringLiteral("ToolWnd_1"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    menuBar_ = new QMenuBar(this);
    menuBar_->setAccessibleName(QStringLiteral("Image list menu"));
    layout->setMenuBar(menuBar_);

    auto addItem = [this](QMenu* menu, const char* label, int id) {
        QAction* act = menu->addAction(QString::fromLatin1(label));
        act->setData(id);
        act->setObjectName(QString::number(id));
        connect(act, &QAction::triggered, this, [this, id] { runCommand(id); });
        actions_.insert(id, act);
    };
    QMenu* edit = menuBar_->addMenu(QStringLiteral("Edit"));
    edit->setAccessibleName(QStringLiteral("Edit"));
    addItem(edit, "New image(s)", NewImagesId);
    addItem(edit, "Delete item", DeleteItemId);
    // The Delete key deletes the selected item, as the menu item does, while this window
    // is the active one.
    actions_.value(DeleteItemId)->setShortcut(QKeySequence::Delete);
    QMenu* select = menuBar_->addMenu(QStringLiteral("Select"));
    select->setAccessibleName(QStringLiteral("Select"));
    addItem(select, "Select all", SelectAllId);
    addItem(select, "Deselect all", DeselectAllId);
    addItem(select, "Invert selection", InvertSelectionId);

    popup_ = new QMenu(this);
    popup_->setObjectName(QStringLiteral("TreeviewPopupMenu"));
    popup_->setAccessibleName(QStringLiteral("TreeviewPopupMenu"));
    addItem(popup_, "Display", PopupDisplayId);
    addItem(popup_, "Select all", PopupSelectAllId);
    addItem(popup_, "Deselect all", PopupDeselectAllId);
    addItem(popup_, "Invert selection", PopupInvertSelectionId);

    tree_ = new ImageListTreeView(this);
    layout->addWidget(tree_);
    connect(tree_, &ImageListTreeView::leftClicked, this, &ImageListWindow::singleClick);
    connect(tree_, &ImageListTreeView::leftDoubleClicked, this, &ImageListWindow::doubleClick);
    connect(tree_, &ImageListTreeView::rightClicked, this, &ImageListWindow::rightClick);

    // The caption is set once more after creation, as every tool window does.
    setWindowTitle(QStringLiteral("Image list"));

    lists_.setObserver(this);
    mirrorExistingLists();
    clearCurrent();
}

ImageListWindow::~ImageListWindow()
{
    lists_.setObserver(nullptr);
}

QTreeWidget* ImageListWindow::tree() const
{
    return tree_;
}

QAction* ImageListWindow::action(int id) const
{
    return actions_.value(id, nullptr);
}

void ImageListWindow::mirrorExistingLists()
{
    tree_->clearRows();
    const ImageListTree& lists = lists_;
    for (int n = 1; n <= lists.ListCount(); ++n) {
        const TreeItem list = lists.ListItem(n);
        tree_->addRow(list, NoItem, n - 1, text(lists.ListLabel(n)), lists.Icon(list));
        const int files = lists.FileCount(n);
        for (int k = 1; k <= files; ++k) {
            const TreeItem file = lists.FileItem(n, k);
            tree_->addRow(file, list, k - 1, text(lists.FileLabel(n, k)), lists.Icon(file));
        }
        if (lists.IsExpanded(list))
            itemExpanded(list);
    }
}

// --- observer ---------------------------------------------------------------------------

void ImageListWindow::itemInserted(TreeItem item, TreeItem parent, int index)
{
    tree_->addRow(item, parent, index, text(lists_.ItemLabel(item)), lists_.Icon(item));
}

void ImageListWindow::itemRemoved(TreeItem item)
{
    tree_->removeRow(item);
}

void ImageListWindow::itemIconChanged(TreeItem item)
{
    tree_->setRowIcon(item, lists_.Icon(item));
}

void ImageListWindow::itemExpanded(TreeItem item)
{
    if (QTreeWidgetItem* row = tree_->itemOf(item))
        row->setExpanded(true);
}

// --- mouse ------------------------------------------------------------------------------

TreeItem ImageListWindow::currentHandle() const
{
    return ImageListTreeView::handleOf(tree_->currentItem());
}

void ImageListWindow::clearCurrent()
{
    tree_->setCurrentItem(nullptr);
    tree_->clearSelection();
}

void ImageListWindow::singleClick(const QPoint& pos)
{
    QTreeWidgetItem* row = tree_->itemAt(pos);
    if (!row) {
        clearCurrent();
        return;
    }
    const TreeItem item = ImageListTreeView::handleOf(row);
    clickedItem_ = item;
    tree_->setCurrentItem(row);
    // Only the icon of a file flips its flag; its label, and everything of a list, only
    // select the row.
    if (lists_.Parent(item) != NoItem && tree_->iconRect(row).contains(pos))
        lists_.ToggleFile(item);
}

void ImageListWindow::doubleClick()
{
    const TreeItem item = currentHandle();
    if (item == NoItem)
        return;
    clickedItem_ = item;
    if (lists_.Parent(item) != NoItem)
        lists_.ToggleFile(item);
}

void ImageListWindow::rightClick(const QPoint& pos, const QPoint& globalPos)
{
    QTreeWidgetItem* row = tree_->itemAt(pos);
    if (!row) {
        clearCurrent();
        return;
    }
    const TreeItem item = ImageListTreeView::handleOf(row);
    clickedItem_ = item;
    tree_->setCurrentItem(row);
    action(PopupDisplayId)->setEnabled(lists_.ListPositionOfItem(item) == 0);
    // popup() rather than exec(): the chosen item arrives through its action, like a
    // command message, and nothing waits in a nested loop here.
    popup_->popup(globalPos);
}

// --- commands ---------------------------------------------------------------------------

void ImageListWindow::runCommand(int id)
{
    using Change = ImageListTree::SelectionChange;
    switch (id) {
    case NewImagesId:
        newImages();
        break;
    case DeleteItemId:
        deleteItem();
        break;
    case SelectAllId:
    case DeselectAllId:
    case InvertSelectionId: {
        const TreeItem item = currentHandle();
        if (item == NoItem)
            return;
        clickedItem_ = item;
        changeSelection(item, id == SelectAllId ? Change::Select : id == DeselectAllId ? Change::Deselect : Change::Toggle);
        break;
    }
    case PopupSelectAllId:
        changeSelection(clickedItem_, Change::Select);
        break;
    case PopupDeselectAllId:
        changeSelection(clickedItem_, Change::Deselect);
        break;
    case PopupInvertSelectionId:
        changeSelection(clickedItem_, Change::Toggle);
        break;
    case PopupDisplayId:
        display();
        break;
    default:
        break;
    }
}

void ImageListWindow::changeSelection(TreeItem item, ImageListTree::SelectionChange change)
{
    if (item == NoItem || !lists_.Contains(item))
        return;
    lists_.ChangeListSelection(item, change);
}

void ImageListWindow::deleteItem()
{
    const TreeItem item = currentHandle();
    if (item == NoItem)
        return;
    clickedItem_ = item;
    (void)workbench_.deleteListItem(item); // the working directory's lists stay
}

void ImageListWindow::newImages()
{
    const QStringList chosen = dialogs_.askNewImages(this, text(workbench_.context().settings.LastImageFolder));
    if (chosen.isEmpty())
        return;
    // Full paths of one folder, as the dialog returns them.
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(chosen.size()));
    for (const QString& path : chosen)
        paths.push_back(path.toStdString());
    const TreeItem lastInserted = workbench_.addFilesToList(paths);
    tree_->viewport()->update();

    tree_->setFocus(Qt::OtherFocusReason);
    if (lastInserted != NoItem) {
        lastInserted_ = lastInserted;
        if (QTreeWidgetItem* row = tree_->itemOf(lastInserted)) {
            tree_->setCurrentItem(row);
            tree_->scrollToItem(row);
        }
    }
    // Nothing inserted: the current row stays as it is.
}

void ImageListWindow::display()
{
    const TreeItem item = clickedItem_;
    const ImageListTree& lists = lists_;
    if (item == NoItem || lists.Parent(item) == NoItem) // lists have "Display" greyed
        return;
    const int n = lists.ListPositionOfFile(item);
    const std::string path = JoinPath(LabelFolder(lists.ListLabel(n)), lists.ItemLabel(item));
    emit displayRequested(text(path));
}

} // namespace skyvane
