#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace skyvane {

// A stable handle of one item of the image list tree; 0 is no item. Handles are never
// reused within a run.
using TreeItem = std::uint64_t;
inline constexpr TreeItem NoItem = 0;

// Icon indices of the tree's five 16 x 16 pictures.
enum TreeIcon : int {
    IconClosedFolder = 0, // every list item
    IconOpenFolder = 1,
    IconPage = 2,
    IconNotSelected = 3, // file not selected
    IconSelected = 4,    // file selected
};

// Told about every change, so that a view can mirror the tree.
class ImageListObserver {
public:
    virtual ~ImageListObserver() = default;
    // parent is NoItem for a list; index is the item's 0-based place among its siblings.
    virtual void itemInserted(TreeItem item, TreeItem parent, int index) = 0;
    // Sent before the item (and, for a list, its files) leaves the tree: once, for the
    // deleted item only; a list's files are not announced one by one.
    virtual void itemRemoved(TreeItem item) = 0;
    virtual void itemIconChanged(TreeItem item) = 0; // only when the icon really changes
    virtual void itemExpanded(TreeItem item) = 0;
};

// The one store of the image lists: a two-level tree. Top-level items are lists labelled
// "[" + name + "] = " + folder; their children are files labelled with the bare file
// name, whose icon (4 selected, 3 not) is their selection flag. Lists are addressed by
// 1-based position, files by list position and 1-based position within the list.
// Positions beyond the counts give NoItem / empty text. Lookups by position are constant
// time, so walking a whole list is linear.
class ImageListTree {
public:
    ImageListTree();
    ~ImageListTree();
    ImageListTree(const ImageListTree&) = delete;
    ImageListTree& operator=(const ImageListTree&) = delete;

    void setObserver(ImageListObserver* observer) { observer_ = observer; }

    int TreeItemCount() const;                       // lists and files
    int ListCount() const;
    TreeItem ListItem(int n) const;
    std::string ListLabel(int n) const;
    int FileCount(int n) const;
    TreeItem FileItem(int n, int k) const;
    std::string FileLabel(int n, int k) const;
    std::string ItemLabel(TreeItem item) const;
    int ListPositionOfItem(TreeItem item) const;     // 0 when not a list item
    int ListPositionOfFile(TreeItem file) const;     // position of the file's list, 0 if none
    TreeItem Parent(TreeItem item) const;            // NoItem for lists and unknown items
    bool Contains(TreeItem item) const;
    int FindListByFolder(std::string_view folder) const; // first list whose folder equals, else 0
    bool ListHasFile(int n, std::string_view name) const;

    // Appends a list item (icon 0) after the last one.
    TreeItem InsertList(const std::string& label);
    // Inserts a list item as the first top-level item (the start-up list).
    TreeItem InsertListFirst(const std::string& label);
    // Appends a file item, selected (icon 4), as the last child of the list. Returns NoItem
    // (and inserts nothing) when `list` is not a list item: the tree has two levels.
    TreeItem InsertFile(TreeItem list, const std::string& name);
    // Inserts one selected file item for every entry of the folder with a FITS name
    // (IsFitsName), in byte order of the names. A folder that does not exist or has no
    // match adds nothing. Returns 0.
    int AddFolderFiles(const std::string& folder, TreeItem list);

    // The selection flag is the icon of a file item. These leave list items and unknown
    // handles alone (a list's folder icon is not a flag), and the observer hears only of
    // icons that actually change.
    void ToggleFile(TreeItem file); // icon 3 becomes 4, anything else 3
    void SelectFile(TreeItem file);
    void DeselectFile(TreeItem file);
    bool IsFileSelected(TreeItem file) const; // false for lists and unknown handles
    int Icon(TreeItem item) const;            // -1 for an unknown handle
    void SetIcon(TreeItem item, int icon);

    // Removes the item; a list goes with all its files.
    void DeleteItem(TreeItem item);
    // Marks a list as expanded (the view opens it).
    void Expand(TreeItem list);
    bool IsExpanded(TreeItem list) const;

    // Select, deselect or flip every file of the list of `item` (a list or a file).
    enum class SelectionChange { Select, Deselect, Toggle };
    void ChangeListSelection(TreeItem item, SelectionChange change);

    // Numbering of the PATH and WORK lists; both start at 1 and only grow.
    int PathListCounter = 1;
    int WorkListCounter = 1;

    // The list of a folder: the first list with that folder, or a new "[PATH] = folder",
    // "[PATH2] = folder", ... appended (PathListCounter then grows). Returns the list item.
    TreeItem ListForFolder(const std::string& folder);
    // A new "[PATHn] = folder" list appended, even when a list of that folder exists
    // (PathListCounter then grows). Returns the list item.
    TreeItem NewFolderList(const std::string& folder);
    // The start-up list "[WORK] = " + folder as first item, with the folder's files,
    // expanded.
    TreeItem CreateStartupList(const std::string& workingDirectory);
    // A new working directory: deletes every list whose folder equals it (byte for byte;
    // neighbouring lists of that folder all go), appends
    // "[WORK<n>] = " + folder (n = ++WorkListCounter) with the folder's files, expanded.
    TreeItem ReplaceWorkList(const std::string& workingDirectory);

private:
    struct Node;
    Node* node(TreeItem item) const;
    Node* listNode(TreeItem item) const; // the node when item is a list, else nullptr
    Node* fileNode(TreeItem item) const; // the node when item is a file, else nullptr
    TreeItem insertList(const std::string& label, bool first);
    void changeIcon(TreeItem item, Node& n, int icon); // tells the observer when it changes
    void renumberLists(std::size_t from);
    void notifyInserted(TreeItem item, TreeItem parent, int index);

    std::vector<TreeItem> lists_;
    TreeItem addNode(std::unique_ptr<Node> n);
    void removeNode(TreeItem item);

    // Indexed by handle: handles count up from 1 and are never reused, so a handle is its
    // own slot and a deleted item leaves an empty one (8 bytes).
    std::vector<std::unique_ptr<Node>> nodes_; // slot 0 (NoItem) stays empty
    int itemCount_ = 0;
    ImageListObserver* observer_ = nullptr;
};

// The folder part of a list label: the text two characters after the first "="; empty
// when the label ends before that. Without "=": the text without its first character.
std::string LabelFolder(std::string_view label);
// The bracketed tag: the text before the character preceding the first "=" ([PATH2]).
// Without "=": the whole text.
std::string LabelTag(std::string_view label);

// Whether a file name ends as FITS files are named: ".fit", ".fits" or ".fts", or one of
// these followed by ".gz", or any name ending in ".fz" (tile-compressed FITS), in any case
// ("M31.FITS", "dark.fit.gz", "m31.fits.fz").
bool IsFitsName(std::string_view name);

// The full paths (the list's folder + "/" + file name) of the selected files of list
// listPosition, in list order; none for a list that does not exist.
std::vector<std::string> SelectedFilePaths(const ImageListTree& lists, int listPosition);

} // namespace skyvane
