#include "lists/ImageListTree.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <unordered_map>
#include <system_error>

#include "base/Paths.h"

namespace skyvane {

// One item of the tree. Lists keep their files' handles in order, plus a count of each file
// name so that ListHasFile needs no walk; every item knows its 0-based place among its
// siblings so that position lookups need none either. Places are renumbered when an item
// before them leaves, which costs one pass over the siblings per deletion.
namespace {

// Lets ListHasFile look a string_view up without copying it.
struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

} // namespace

struct ImageListTree::Node {
    std::string label;
    std::string folder;                // lists only: LabelFolder(label), cached
    TreeItem parent = NoItem;          // NoItem for a list
    int icon = IconClosedFolder;
    bool expanded = false;
    std::size_t place = 0;             // 0-based among the siblings
    std::vector<TreeItem> files;       // lists only
    std::unordered_map<std::string, int, NameHash, std::equal_to<>> nameCount; // lists only: label -> occurrences
};

ImageListTree::ImageListTree()
{
    nodes_.emplace_back(); // NoItem
}
ImageListTree::~ImageListTree() = default;

ImageListTree::Node* ImageListTree::node(TreeItem item) const
{
    return item < nodes_.size() ? nodes_[item].get() : nullptr;
}

ImageListTree::Node* ImageListTree::listNode(TreeItem item) const
{
    Node* n = node(item);
    return n != nullptr && n->parent == NoItem ? n : nullptr;
}

ImageListTree::Node* ImageListTree::fileNode(TreeItem item) const
{
    Node* n = node(item);
    return n != nullptr && n->parent != NoItem ? n : nullptr;
}

TreeItem ImageListTree::addNode(std::unique_ptr<Node> n)
{
    nodes_.push_back(std::move(n));
    ++itemCount_;
    return nodes_.size() - 1;
}

void ImageListTree::removeNode(TreeItem item)
{
    nodes_[item].reset();
    --itemCount_;
}

void ImageListTree::notifyInserted(TreeItem item, TreeItem parent, int index)
{
    if (observer_ != nullptr)
        observer_->itemInserted(item, parent, index);
}

void ImageListTree::renumberLists(std::size_t from)
{
    for (std::size_t i = from; i < lists_.size(); ++i)
        node(lists_[i])->place = i;
}

int ImageListTree::TreeItemCount() const
{
    return itemCount_;
}

int ImageListTree::ListCount() const
{
    return static_cast<int>(lists_.size());
}

TreeItem ImageListTree::ListItem(int n) const
{
    if (n < 1 || n > ListCount())
        return NoItem;
    return lists_[static_cast<std::size_t>(n - 1)];
}

std::string ImageListTree::ListLabel(int n) const
{
    return ItemLabel(ListItem(n));
}

int ImageListTree::FileCount(int n) const
{
    const Node* list = node(ListItem(n));
    return list == nullptr ? 0 : static_cast<int>(list->files.size());
}

TreeItem ImageListTree::FileItem(int n, int k) const
{
    const Node* list = node(ListItem(n));
    if (list == nullptr || k < 1 || static_cast<std::size_t>(k) > list->files.size())
        return NoItem;
    return list->files[static_cast<std::size_t>(k - 1)];
}

std::string ImageListTree::FileLabel(int n, int k) const
{
    return ItemLabel(FileItem(n, k));
}

std::string ImageListTree::ItemLabel(TreeItem item) const
{
    const Node* n = node(item);
    return n == nullptr ? std::string() : n->label;
}

int ImageListTree::ListPositionOfItem(TreeItem item) const
{
    const Node* n = listNode(item);
    return n == nullptr ? 0 : static_cast<int>(n->place) + 1;
}

int ImageListTree::ListPositionOfFile(TreeItem file) const
{
    return ListPositionOfItem(Parent(file));
}

TreeItem ImageListTree::Parent(TreeItem item) const
{
    const Node* n = node(item);
    return n == nullptr ? NoItem : n->parent;
}

bool ImageListTree::Contains(TreeItem item) const
{
    return node(item) != nullptr;
}

int ImageListTree::FindListByFolder(std::string_view folder) const
{
    for (std::size_t i = 0; i < lists_.size(); ++i) {
        if (node(lists_[i])->folder == folder)
            return static_cast<int>(i) + 1;
    }
    return 0;
}

bool ImageListTree::ListHasFile(int n, std::string_view name) const
{
    const Node* list = node(ListItem(n));
    if (list == nullptr)
        return false;
    return list->nameCount.find(name) != list->nameCount.end();
}

TreeItem ImageListTree::insertList(const std::string& label, bool first)
{
    auto n = std::make_unique<Node>();
    n->label = label;
    n->folder = LabelFolder(label);
    n->icon = IconClosedFolder;
    const TreeItem item = addNode(std::move(n));
    if (first) {
        lists_.insert(lists_.begin(), item);
        renumberLists(0);
    } else {
        lists_.push_back(item);
        renumberLists(lists_.size() - 1);
    }
    notifyInserted(item, NoItem, first ? 0 : ListCount() - 1);
    return item;
}

TreeItem ImageListTree::InsertList(const std::string& label)
{
    return insertList(label, false);
}

TreeItem ImageListTree::InsertListFirst(const std::string& label)
{
    return insertList(label, true);
}

TreeItem ImageListTree::InsertFile(TreeItem list, const std::string& name)
{
    // The tree has two levels: files hang only under lists.
    Node* parent = listNode(list);
    if (parent == nullptr)
        return NoItem;
    auto n = std::make_unique<Node>();
    n->label = name;
    n->parent = list;
    n->icon = IconSelected;
    n->place = parent->files.size();
    const TreeItem item = addNode(std::move(n));
    parent->files.push_back(item);
    ++parent->nameCount[name];
    notifyInserted(item, list, static_cast<int>(parent->files.size()) - 1);
    return item;
}

int ImageListTree::AddFolderFiles(const std::string& folder, TreeItem list)
{
    if (listNode(list) == nullptr)
        return 0;
    // The folder is searched as folder + "/", the way its files' paths are composed later:
    // an empty folder means the root, a trailing separator stays doubled.
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder + "/"), ec);
    const fs::directory_iterator end;
    while (!ec && it != end) {
        std::string name = it->path().filename().string();
        if (IsFitsName(name))
            names.push_back(std::move(name));
        it.increment(ec);
    }
    // Directory order is whatever the file system gives; byte order makes lists repeatable.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        InsertFile(list, name);
    return 0;
}

void ImageListTree::changeIcon(TreeItem file, Node& n, int icon)
{
    if (n.icon == icon)
        return;
    n.icon = icon;
    if (observer_ != nullptr)
        observer_->itemIconChanged(file);
}

void ImageListTree::ToggleFile(TreeItem file)
{
    if (Node* n = fileNode(file))
        changeIcon(file, *n, n->icon == IconNotSelected ? IconSelected : IconNotSelected);
}

void ImageListTree::SelectFile(TreeItem file)
{
    if (Node* n = fileNode(file))
        changeIcon(file, *n, IconSelected);
}

void ImageListTree::DeselectFile(TreeItem file)
{
    if (Node* n = fileNode(file))
        changeIcon(file, *n, IconNotSelected);
}

bool ImageListTree::IsFileSelected(TreeItem file) const
{
    const Node* n = fileNode(file);
    return n != nullptr && n->icon == IconSelected;
}

int ImageListTree::Icon(TreeItem item) const
{
    const Node* n = node(item);
    return n == nullptr ? -1 : n->icon;
}

void ImageListTree::SetIcon(TreeItem item, int icon)
{
    if (Node* n = node(item))
        changeIcon(item, *n, icon);
}

void ImageListTree::DeleteItem(TreeItem item)
{
    Node* n = node(item);
    if (n == nullptr)
        return;
    if (observer_ != nullptr)
        observer_->itemRemoved(item);
    if (n->parent == NoItem) {
        const std::size_t place = n->place;
        for (TreeItem file : n->files)
            removeNode(file);
        lists_.erase(lists_.begin() + static_cast<std::ptrdiff_t>(place));
        removeNode(item);
        renumberLists(place);
        return;
    }
    Node* list = node(n->parent);
    const std::size_t place = n->place;
    const auto count = list->nameCount.find(n->label);
    if (count != list->nameCount.end() && --count->second == 0)
        list->nameCount.erase(count);
    list->files.erase(list->files.begin() + static_cast<std::ptrdiff_t>(place));
    removeNode(item);
    for (std::size_t i = place; i < list->files.size(); ++i)
        node(list->files[i])->place = i;
}

void ImageListTree::Expand(TreeItem list)
{
    Node* n = listNode(list);
    if (n == nullptr)
        return;
    n->expanded = true;
    if (observer_ != nullptr)
        observer_->itemExpanded(list);
}

bool ImageListTree::IsExpanded(TreeItem list) const
{
    const Node* n = listNode(list);
    return n != nullptr && n->expanded;
}

void ImageListTree::ChangeListSelection(TreeItem item, SelectionChange change)
{
    int n = ListPositionOfItem(item);
    if (n == 0)
        n = ListPositionOfFile(item);
    if (n == 0)
        return;
    const Node* list = node(ListItem(n));
    for (TreeItem file : list->files) {
        switch (change) {
        case SelectionChange::Select: SelectFile(file); break;
        case SelectionChange::Deselect: DeselectFile(file); break;
        case SelectionChange::Toggle: ToggleFile(file); break;
        }
    }
}

TreeItem ImageListTree::ListForFolder(const std::string& folder)
{
    const int n = FindListByFolder(folder);
    if (n > 0)
        return ListItem(n);
    return NewFolderList(folder);
}

TreeItem ImageListTree::NewFolderList(const std::string& folder)
{
    std::string label = "[PATH";
    if (PathListCounter > 1)
        label += std::to_string(PathListCounter);
    label += "] = ";
    label += folder;
    const TreeItem item = InsertList(label);
    ++PathListCounter;
    return item;
}

TreeItem ImageListTree::CreateStartupList(const std::string& workingDirectory)
{
    const TreeItem item = InsertListFirst("[WORK] = " + workingDirectory);
    AddFolderFiles(workingDirectory, item);
    Expand(item);
    return item;
}

TreeItem ImageListTree::ReplaceWorkList(const std::string& workingDirectory)
{
    if (FindListByFolder(workingDirectory) > 0) {
        // After a deletion the next list has moved into position n, so n stays: stepping
        // on would pass over a second list of the same folder right behind the first.
        int n = 1;
        while (n <= ListCount()) {
            if (LabelFolder(ListLabel(n)) == workingDirectory)
                DeleteItem(ListItem(n));
            else
                ++n;
        }
    }
    ++WorkListCounter;
    const TreeItem item = InsertList("[WORK" + std::to_string(WorkListCounter) + "] = " + workingDirectory);
    AddFolderFiles(workingDirectory, item);
    Expand(item);
    return item;
}

std::string LabelFolder(std::string_view label)
{
    const std::size_t eq = label.find('=');
    if (eq == std::string_view::npos)
        return label.empty() ? std::string() : std::string(label.substr(1));
    const std::size_t start = eq + 2;
    return start >= label.size() ? std::string() : std::string(label.substr(start));
}

bool IsFitsName(std::string_view name)
{
    // Compared in ASCII case only, whatever the locale.
    const auto endsWith = [](std::string_view text, std::string_view ending) {
        if (text.size() < ending.size())
            return false;
        const std::string_view tail = text.substr(text.size() - ending.size());
        for (std::size_t i = 0; i < ending.size(); ++i) {
            const char c = tail[i];
            if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != ending[i])
                return false;
        }
        return true;
    };
    if (endsWith(name, ".fz"))
        return true; // tile-compressed FITS, whatever comes before
    if (endsWith(name, ".gz"))
        name.remove_suffix(3);
    return endsWith(name, ".fit") || endsWith(name, ".fits") || endsWith(name, ".fts");
}

std::string LabelTag(std::string_view label)
{
    const std::size_t eq = label.find('=');
    if (eq == std::string_view::npos)
        return std::string(label);
    // The text before the character that precedes "=": "[PATH] = x" gives "[PATH]". A
    // label that begins with "=" has no such character and gives the empty text.
    return eq == 0 ? std::string() : std::string(label.substr(0, eq - 1));
}

std::vector<std::string> SelectedFilePaths(const ImageListTree& lists, int listPosition)
{
    std::vector<std::string> paths;
    const int count = lists.FileCount(listPosition);
    if (count <= 0)
        return paths;
    const std::string folder = LabelFolder(lists.ListLabel(listPosition));
    for (int k = 1; k <= count; ++k) {
        if (lists.IsFileSelected(lists.FileItem(listPosition, k)))
            paths.push_back(JoinPath(folder, lists.FileLabel(listPosition, k)));
    }
    return paths;
}

} // namespace skyvane
