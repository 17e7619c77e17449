#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "lists/ImageListTree.h"
#include "base/Paths.h"

namespace skyvane {
namespace {

using test::TempDir;

// Writes every change the tree reports as one line, so that order can be compared whole.
class RecordingObserver final : public ImageListObserver {
public:
    explicit RecordingObserver(const ImageListTree& tree) : tree_(tree) {}
    void itemInserted(TreeItem item, TreeItem parent, int index) override
    {
        events.push_back("insert " + tree_.ItemLabel(item) + " under " + (parent == NoItem ? "-" : tree_.ItemLabel(parent))
            + " at " + std::to_string(index));
    }
    void itemRemoved(TreeItem item) override
    {
        // Sent while the item is still there, so its label can be read.
        events.push_back("remove " + tree_.ItemLabel(item));
    }
    void itemIconChanged(TreeItem item) override
    {
        events.push_back("icon " + tree_.ItemLabel(item) + " " + std::to_string(tree_.Icon(item)));
    }
    void itemExpanded(TreeItem item) override { events.push_back("expand " + tree_.ItemLabel(item)); }

    std::vector<std::string> events;

private:
    const ImageListTree& tree_;
};

std::vector<std::string> ListLabels(const ImageListTree& tree)
{
    std::vector<std::string> labels;
    for (int n = 1; n <= tree.ListCount(); ++n)
        labels.push_back(tree.ListLabel(n));
    return labels;
}

std::vector<std::string> FileLabels(const ImageListTree& tree, int n)
{
    std::vector<std::string> labels;
    for (int k = 1; k <= tree.FileCount(n); ++k)
        labels.push_back(tree.FileLabel(n, k));
    return labels;
}

// The selection flags of list n as a string of 1 (selected) and 0.
std::string Flags(const ImageListTree& tree, int n)
{
    std::string flags;
    for (int k = 1; k <= tree.FileCount(n); ++k)
        flags += tree.IsFileSelected(tree.FileItem(n, k)) ? '1' : '0';
    return flags;
}

void Touch(const std::filesystem::path& path)
{
    test::WriteFileBytes(path.string(), "x");
}

TEST(ImageListTree, EmptyTreeAnswersEveryLookupWithNothing)
{
    ImageListTree tree;
    EXPECT_EQ(tree.TreeItemCount(), 0);
    EXPECT_EQ(tree.ListCount(), 0);
    EXPECT_EQ(tree.FindListByFolder(""), 0);
    EXPECT_EQ(tree.FindListByFolder("/data"), 0);
    EXPECT_EQ(tree.ListItem(1), NoItem);
    EXPECT_EQ(tree.ListItem(0), NoItem);
    EXPECT_EQ(tree.ListLabel(1), "");
    EXPECT_EQ(tree.FileCount(1), 0);
    EXPECT_EQ(tree.FileItem(1, 1), NoItem);
    EXPECT_EQ(tree.FileLabel(1, 1), "");
    EXPECT_FALSE(tree.ListHasFile(1, "a.fit"));
    EXPECT_EQ(tree.ListPositionOfItem(NoItem), 0);
    EXPECT_EQ(tree.ListPositionOfFile(NoItem), 0);
    EXPECT_FALSE(tree.IsFileSelected(NoItem));
    EXPECT_EQ(tree.Icon(NoItem), -1);
}

TEST(ImageListTree, PositionsLabelsAndParentsOfListsAndFiles)
{
    ImageListTree tree;
    const TreeItem a = tree.InsertList("[A] = /a");
    const TreeItem b = tree.InsertList("[B] = /b");
    const TreeItem a1 = tree.InsertFile(a, "a1.fit");
    const TreeItem b1 = tree.InsertFile(b, "b1.fit");
    const TreeItem a2 = tree.InsertFile(a, "a2.fit");

    EXPECT_EQ(tree.TreeItemCount(), 5);
    EXPECT_EQ(tree.ListCount(), 2);
    EXPECT_EQ(tree.ListItem(1), a);
    EXPECT_EQ(tree.ListItem(2), b);
    EXPECT_EQ(tree.ListItem(3), NoItem);
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[A] = /a", "[B] = /b"}));
    EXPECT_EQ(FileLabels(tree, 1), (std::vector<std::string>{"a1.fit", "a2.fit"}));
    EXPECT_EQ(FileLabels(tree, 2), (std::vector<std::string>{"b1.fit"}));
    EXPECT_EQ(tree.FileItem(1, 2), a2);
    EXPECT_EQ(tree.FileItem(1, 3), NoItem);
    EXPECT_EQ(tree.FileItem(1, 0), NoItem);
    EXPECT_EQ(tree.ItemLabel(b1), "b1.fit");

    EXPECT_EQ(tree.ListPositionOfItem(a), 1);
    EXPECT_EQ(tree.ListPositionOfItem(b), 2);
    EXPECT_EQ(tree.ListPositionOfItem(a1), 0); // a file is no list
    EXPECT_EQ(tree.ListPositionOfFile(a2), 1);
    EXPECT_EQ(tree.ListPositionOfFile(b1), 2);
    EXPECT_EQ(tree.ListPositionOfFile(b), 0); // a list has no parent
    EXPECT_EQ(tree.Parent(a1), a);
    EXPECT_EQ(tree.Parent(a), NoItem);

    EXPECT_EQ(tree.Icon(a), IconClosedFolder);
    EXPECT_EQ(tree.Icon(a1), IconSelected);
    EXPECT_TRUE(tree.IsFileSelected(a1));
    EXPECT_FALSE(tree.IsExpanded(a));

    // Two levels only: nothing goes under a file or an unknown handle.
    EXPECT_EQ(tree.InsertFile(a1, "deeper.fit"), NoItem);
    EXPECT_EQ(tree.InsertFile(NoItem, "x.fit"), NoItem);
    EXPECT_EQ(tree.InsertFile(9999, "x.fit"), NoItem);
    EXPECT_EQ(tree.TreeItemCount(), 5);
}

TEST(ImageListTree, ListForFolderNamesPathListsAndNeverReusesANumber)
{
    ImageListTree tree;
    const TreeItem first = tree.ListForFolder("/obs/a");
    const TreeItem second = tree.ListForFolder("/obs/b");
    EXPECT_EQ(tree.ListForFolder("/obs/a"), first); // found, nothing made
    EXPECT_EQ(tree.ListForFolder("/obs/b"), second);
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[PATH] = /obs/a", "[PATH2] = /obs/b"}));
    EXPECT_EQ(tree.PathListCounter, 3);

    tree.DeleteItem(second);
    tree.ListForFolder("/obs/c");
    tree.ListForFolder("/obs/b"); // the folder of the deleted list gets a new name
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[PATH] = /obs/a", "[PATH3] = /obs/c", "[PATH4] = /obs/b"}));
    EXPECT_EQ(tree.PathListCounter, 5);
    EXPECT_EQ(tree.FindListByFolder("/obs/b"), 3);
}

TEST(ImageListTree, FoldersAreComparedByteForByte)
{
    ImageListTree tree;
    tree.ListForFolder("/data/M31");
    tree.ListForFolder("/data/m31");
    tree.ListForFolder("/data/m31/");
    tree.ListForFolder("C:\\Astro data\\M 31");
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[PATH] = /data/M31", "[PATH2] = /data/m31", "[PATH3] = /data/m31/",
                                    "[PATH4] = C:\\Astro data\\M 31"}));
    EXPECT_EQ(tree.FindListByFolder("/data/M31"), 1);
    EXPECT_EQ(tree.FindListByFolder("/data/m31"), 2);
    EXPECT_EQ(tree.FindListByFolder("/data/m31/"), 3);
    EXPECT_EQ(tree.FindListByFolder("C:\\Astro data\\M 31"), 4);
    EXPECT_EQ(tree.FindListByFolder("/data/m3"), 0);
    EXPECT_EQ(tree.FindListByFolder("/data/m31 "), 0);
    EXPECT_EQ(tree.FindListByFolder(""), 0);
}

TEST(ImageListTree, FileNamesAreComparedByteForByte)
{
    ImageListTree tree;
    const TreeItem list = tree.InsertList("[PATH] = /d");
    tree.InsertFile(list, "m31.fit");
    tree.InsertFile(list, "M31.fit");
    EXPECT_EQ(tree.FileCount(1), 2);
    EXPECT_TRUE(tree.ListHasFile(1, "m31.fit"));
    EXPECT_TRUE(tree.ListHasFile(1, "M31.fit"));
    EXPECT_FALSE(tree.ListHasFile(1, "M31.FIT"));
    EXPECT_FALSE(tree.ListHasFile(1, "m31.fi"));
    EXPECT_FALSE(tree.ListHasFile(1, "m31.fit "));
    EXPECT_FALSE(tree.ListHasFile(2, "m31.fit"));
    EXPECT_FALSE(tree.ListHasFile(0, "m31.fit"));

    // A name that occurs twice stays known until its last entry goes.
    const TreeItem again = tree.InsertFile(list, "m31.fit");
    tree.DeleteItem(tree.FileItem(1, 1));
    EXPECT_TRUE(tree.ListHasFile(1, "m31.fit"));
    tree.DeleteItem(again);
    EXPECT_FALSE(tree.ListHasFile(1, "m31.fit"));
    EXPECT_EQ(FileLabels(tree, 1), (std::vector<std::string>{"M31.fit"}));
}

TEST(ImageListTree, ToggleSelectAndDeselectFollowTheIcon)
{
    ImageListTree tree;
    const TreeItem list = tree.InsertList("[PATH] = /d");
    const TreeItem file = tree.InsertFile(list, "a.fit");

    tree.ToggleFile(file);
    EXPECT_EQ(tree.Icon(file), IconNotSelected);
    EXPECT_FALSE(tree.IsFileSelected(file));
    tree.ToggleFile(file);
    EXPECT_EQ(tree.Icon(file), IconSelected);
    EXPECT_TRUE(tree.IsFileSelected(file));

    tree.DeselectFile(file);
    tree.DeselectFile(file);
    EXPECT_EQ(tree.Icon(file), IconNotSelected);
    tree.SelectFile(file);
    EXPECT_EQ(tree.Icon(file), IconSelected);

    // An icon that is neither flag counts as not selected, and a toggle makes it "not selected".
    for (int icon : {IconClosedFolder, IconOpenFolder, IconPage}) {
        tree.SetIcon(file, icon);
        EXPECT_FALSE(tree.IsFileSelected(file)) << icon;
        tree.ToggleFile(file);
        EXPECT_EQ(tree.Icon(file), IconNotSelected) << icon;
    }

    // A list's folder icon is not a flag: none of the three touches it.
    tree.ToggleFile(list);
    tree.SelectFile(list);
    tree.DeselectFile(list);
    EXPECT_EQ(tree.Icon(list), IconClosedFolder);
    EXPECT_FALSE(tree.IsFileSelected(list));
}

TEST(ImageListTree, DeletingAListMovesTheLaterListsDown)
{
    ImageListTree tree;
    const TreeItem one = tree.InsertList("[PATH] = /one");
    const TreeItem two = tree.InsertList("[PATH2] = /two");
    const TreeItem three = tree.InsertList("[PATH3] = /three");
    tree.InsertFile(one, "1.fit");
    const TreeItem twoFile = tree.InsertFile(two, "2a.fit");
    tree.InsertFile(two, "2b.fit");
    const TreeItem threeFile = tree.InsertFile(three, "3.fit");
    ASSERT_EQ(tree.TreeItemCount(), 7);

    tree.DeleteItem(two);
    EXPECT_EQ(tree.TreeItemCount(), 4);
    EXPECT_EQ(tree.ListCount(), 2);
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[PATH] = /one", "[PATH3] = /three"}));
    EXPECT_EQ(tree.ListItem(2), three);
    EXPECT_EQ(tree.ListPositionOfItem(three), 2);
    EXPECT_EQ(tree.ListPositionOfFile(threeFile), 2);
    EXPECT_EQ(FileLabels(tree, 2), (std::vector<std::string>{"3.fit"}));
    EXPECT_TRUE(tree.ListHasFile(2, "3.fit"));
    EXPECT_FALSE(tree.ListHasFile(2, "2a.fit"));
    EXPECT_EQ(tree.FindListByFolder("/two"), 0);
    EXPECT_EQ(tree.FindListByFolder("/three"), 2);
    // The deleted items are gone for good, their files with them.
    EXPECT_FALSE(tree.Contains(two));
    EXPECT_FALSE(tree.Contains(twoFile));
    EXPECT_EQ(tree.ItemLabel(twoFile), "");
    EXPECT_EQ(tree.ListPositionOfItem(two), 0);
    tree.DeleteItem(two); // a stale handle changes nothing
    EXPECT_EQ(tree.TreeItemCount(), 4);

    // New items never get an old handle.
    const TreeItem fresh = tree.InsertList("[PATH4] = /four");
    EXPECT_NE(fresh, two);
    EXPECT_NE(fresh, twoFile);
    EXPECT_EQ(tree.ListPositionOfItem(fresh), 3);
}

TEST(ImageListTree, DeletingAFileMovesTheLaterFilesDown)
{
    ImageListTree tree;
    const TreeItem list = tree.InsertList("[PATH] = /d");
    std::vector<TreeItem> files;
    for (const char* name : {"a.fit", "b.fit", "c.fit", "d.fit"})
        files.push_back(tree.InsertFile(list, name));
    tree.DeleteItem(files[1]);
    EXPECT_EQ(FileLabels(tree, 1), (std::vector<std::string>{"a.fit", "c.fit", "d.fit"}));
    EXPECT_EQ(tree.FileItem(1, 2), files[2]);
    EXPECT_EQ(tree.FileItem(1, 3), files[3]);
    EXPECT_EQ(tree.ListCount(), 1);
    EXPECT_EQ(tree.TreeItemCount(), 4);
    // Appending after a deletion still lands at the end.
    const TreeItem e = tree.InsertFile(list, "e.fit");
    EXPECT_EQ(tree.FileItem(1, 4), e);
    tree.DeleteItem(files[0]);
    EXPECT_EQ(FileLabels(tree, 1), (std::vector<std::string>{"c.fit", "d.fit", "e.fit"}));
    EXPECT_EQ(tree.FileItem(1, 3), e);
}

TEST(ImageListTree, ChangeListSelectionCoversTheWholeListOfTheItem)
{
    ImageListTree tree;
    const TreeItem a = tree.InsertList("[A] = /a");
    const TreeItem b = tree.InsertList("[B] = /b");
    std::vector<TreeItem> files;
    for (const char* name : {"1.fit", "2.fit", "3.fit", "4.fit"})
        files.push_back(tree.InsertFile(a, name));
    tree.InsertFile(b, "x.fit");
    tree.DeselectFile(files[1]);
    tree.SetIcon(files[3], IconPage);
    ASSERT_EQ(Flags(tree, 1), "1010");

    tree.ChangeListSelection(files[2], ImageListTree::SelectionChange::Toggle); // from a file
    EXPECT_EQ(Flags(tree, 1), "0100"); // the page icon counted as "not 3", so it became 3
    EXPECT_EQ(tree.Icon(files[3]), IconNotSelected);
    EXPECT_EQ(Flags(tree, 2), "1");

    tree.ChangeListSelection(a, ImageListTree::SelectionChange::Select); // from the list
    EXPECT_EQ(Flags(tree, 1), "1111");
    tree.ChangeListSelection(files[0], ImageListTree::SelectionChange::Deselect);
    EXPECT_EQ(Flags(tree, 1), "0000");
    tree.ChangeListSelection(b, ImageListTree::SelectionChange::Deselect);
    EXPECT_EQ(Flags(tree, 2), "0");
    EXPECT_EQ(Flags(tree, 1), "0000");
    tree.ChangeListSelection(a, ImageListTree::SelectionChange::Toggle);
    tree.ChangeListSelection(a, ImageListTree::SelectionChange::Toggle);
    EXPECT_EQ(Flags(tree, 1), "0000");

    tree.ChangeListSelection(NoItem, ImageListTree::SelectionChange::Select); // nothing to change
    tree.ChangeListSelection(12345, ImageListTree::SelectionChange::Select);
    EXPECT_EQ(Flags(tree, 1), "0000");
    EXPECT_EQ(Flags(tree, 2), "0");
    EXPECT_EQ(tree.Icon(a), IconClosedFolder);
}

TEST(ImageListTree, ObserverHearsEveryChangeInOrder)
{
    ImageListTree tree;
    RecordingObserver seen(tree);
    tree.setObserver(&seen);

    const TreeItem a = tree.InsertList("[PATH] = /a");
    const TreeItem f1 = tree.InsertFile(a, "1.fit");
    const TreeItem f2 = tree.InsertFile(a, "2.fit");
    tree.InsertListFirst("[WORK] = /w");
    tree.SelectFile(f1);   // already selected: no change, nothing to hear
    tree.DeselectFile(f1);
    tree.ToggleFile(f2);
    tree.ToggleFile(a);    // a list: no change
    tree.Expand(a);
    tree.Expand(f1);       // a file cannot open
    tree.ChangeListSelection(a, ImageListTree::SelectionChange::Toggle);
    tree.DeleteItem(f1);
    tree.DeleteItem(a);
    tree.DeleteItem(a);    // already gone

    EXPECT_EQ(seen.events, (std::vector<std::string>{
                               "insert [PATH] = /a under - at 0",
                               "insert 1.fit under [PATH] = /a at 0",
                               "insert 2.fit under [PATH] = /a at 1",
                               "insert [WORK] = /w under - at 0",
                               "icon 1.fit 3",
                               "icon 2.fit 3",
                               "expand [PATH] = /a",
                               "icon 1.fit 4",
                               "icon 2.fit 4",
                               "remove 1.fit",
                               "remove [PATH] = /a",
                           }));
    EXPECT_EQ(tree.ListCount(), 1);
    EXPECT_EQ(tree.TreeItemCount(), 1);
}

// Every name cameras and other programs give FITS files, in any case, plain or gzipped.
TEST(ImageListTree, AddFolderFilesTakesFitsNamesInByteOrder)
{
    TempDir dir;
    const std::filesystem::path& d = dir.path();
    for (const char* name : {"b.fit", "A.FIT", "c.Fit", "Z.fit", "d.fits", "e.fit.gz", "f.FTS", "g.Fits.GZ", "h.fts.gz", "i.fits.fz", "notes.txt",
                             "fit", "x.fitz", "y.gz", "v.fits.gz.part", "w.ftsx", "u.fit.zip"})
        Touch(d / name);
    std::filesystem::create_directory(d / "sub.fit");  // entries are not filtered by kind
    std::filesystem::create_directory(d / "nested");
    Touch(d / "nested" / "deep.fit");                 // not searched

    ImageListTree tree;
    const std::string folder = d.string();
    const TreeItem list = tree.InsertList("[WORK] = " + folder);
    EXPECT_EQ(tree.AddFolderFiles(folder, list), 0);
    const std::vector<std::string> expected{"A.FIT", "Z.fit", "b.fit", "c.Fit", "d.fits", "e.fit.gz", "f.FTS", "g.Fits.GZ", "h.fts.gz", "i.fits.fz", "sub.fit"};
    EXPECT_EQ(FileLabels(tree, 1), expected);
    EXPECT_EQ(Flags(tree, 1), "11111111111");

    // Existing names are not looked at: a second pass appends them all again.
    tree.AddFolderFiles(folder, list);
    EXPECT_EQ(tree.FileCount(1), 22);
    EXPECT_EQ(tree.FileLabel(1, 12), "A.FIT");

    // A trailing separator gives the same entries, and the paths composed from the label
    // carry the doubled separator, which the file system still resolves.
    const TreeItem slashed = tree.InsertList("[PATH] = " + folder + "/");
    tree.AddFolderFiles(folder + "/", slashed);
    EXPECT_EQ(FileLabels(tree, 2), expected);
    const std::string full = JoinPath(LabelFolder(tree.ListLabel(2)), tree.FileLabel(2, 3));
    EXPECT_EQ(full, folder + "//b.fit");
    EXPECT_TRUE(std::filesystem::exists(full));

    // Nothing to add: an empty folder, a missing one, a plain file, or a file item as list.
    std::filesystem::create_directory(d / "empty");
    const TreeItem empty = tree.InsertList("[PATH2] = " + (d / "empty").string());
    tree.AddFolderFiles((d / "empty").string(), empty);
    tree.AddFolderFiles((d / "missing").string(), empty);
    tree.AddFolderFiles((d / "b.fit").string(), empty);
    EXPECT_EQ(tree.FileCount(3), 0);
    const int before = tree.TreeItemCount();
    tree.AddFolderFiles(folder, tree.FileItem(1, 1));
    tree.AddFolderFiles(folder, NoItem);
    EXPECT_EQ(tree.TreeItemCount(), before);
}

TEST(ImageListTree, StartupListComesFirstWithItsFilesAndOpen)
{
    TempDir dir;
    Touch(dir.path() / "m31_002.fit");
    Touch(dir.path() / "m31_001.fit");
    const std::string folder = dir.path().string();

    ImageListTree tree;
    tree.InsertList("[PATH] = /elsewhere");
    RecordingObserver seen(tree);
    tree.setObserver(&seen);
    const TreeItem work = tree.CreateStartupList(folder);
    EXPECT_EQ(tree.ListItem(1), work);
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[WORK] = " + folder, "[PATH] = /elsewhere"}));
    EXPECT_EQ(FileLabels(tree, 1), (std::vector<std::string>{"m31_001.fit", "m31_002.fit"}));
    EXPECT_EQ(Flags(tree, 1), "11");
    EXPECT_TRUE(tree.IsExpanded(work));
    EXPECT_FALSE(tree.IsExpanded(tree.ListItem(2)));
    EXPECT_EQ(tree.ListPositionOfItem(tree.ListItem(2)), 2);
    EXPECT_EQ(seen.events, (std::vector<std::string>{
                               "insert [WORK] = " + folder + " under - at 0",
                               "insert m31_001.fit under [WORK] = " + folder + " at 0",
                               "insert m31_002.fit under [WORK] = " + folder + " at 1",
                               "expand [WORK] = " + folder,
                           }));
    EXPECT_EQ(tree.WorkListCounter, 1);
    EXPECT_EQ(tree.PathListCounter, 1); // lists inserted directly take no PATH number
}

TEST(ImageListTree, StartupListOfAMissingFolderIsEmpty)
{
    ImageListTree tree;
    TempDir dir;
    const std::string missing = (dir.path() / "gone").string();
    tree.CreateStartupList(missing);
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[WORK] = " + missing}));
    EXPECT_EQ(tree.FileCount(1), 0);
    EXPECT_EQ(LabelFolder(tree.ListLabel(1)), missing);
}

TEST(ImageListTree, ReplaceWorkListDropsTheListsOfTheFolderAndAppendsANewOne)
{
    TempDir dir;
    const std::filesystem::path w = dir.path() / "w";
    const std::filesystem::path e = dir.path() / "e";
    std::filesystem::create_directories(w);
    std::filesystem::create_directories(e);
    Touch(w / "w1.fit");
    Touch(e / "e1.fit");
    Touch(e / "e2.FIT");

    ImageListTree tree;
    tree.CreateStartupList(w.string());
    tree.ListForFolder(e.string());
    tree.DeselectFile(tree.FileItem(1, 1));

    // The folder that is already the working directory: its list goes and comes back at
    // the end, files anew (selected again).
    const TreeItem work2 = tree.ReplaceWorkList(w.string());
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[PATH] = " + e.string(), "[WORK2] = " + w.string()}));
    EXPECT_EQ(tree.ListItem(2), work2);
    EXPECT_EQ(FileLabels(tree, 2), (std::vector<std::string>{"w1.fit"}));
    EXPECT_EQ(Flags(tree, 2), "1");
    EXPECT_TRUE(tree.IsExpanded(work2));
    EXPECT_EQ(tree.WorkListCounter, 2);

    // A PATH list of the new folder goes too; a folder that differs by a trailing "/" stays.
    tree.InsertList("[X] = " + e.string() + "/");
    tree.ReplaceWorkList(e.string());
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[WORK2] = " + w.string(), "[X] = " + e.string() + "/",
                                    "[WORK3] = " + e.string()}));
    EXPECT_EQ(FileLabels(tree, 3), (std::vector<std::string>{"e1.fit", "e2.FIT"}));
    EXPECT_EQ(tree.WorkListCounter, 3);
    EXPECT_EQ(tree.TreeItemCount(), 3 + 1 + 2);

    // A folder without a list: nothing is deleted, the new list is appended.
    const std::string missing = (dir.path() / "missing").string();
    tree.ReplaceWorkList(missing);
    EXPECT_EQ(tree.ListLabel(4), "[WORK4] = " + missing);
    EXPECT_EQ(tree.FileCount(4), 0);
    EXPECT_EQ(tree.ListCount(), 4);
}

TEST(ImageListTree, ReplaceWorkListDropsNeighbouringListsOfTheSameFolder)
{
    ImageListTree tree;
    tree.InsertList("[A] = /same");
    tree.InsertList("[B] = /same");
    tree.InsertList("[C] = /other");
    tree.InsertList("[D] = /same");
    tree.ReplaceWorkList("/same");
    EXPECT_EQ(ListLabels(tree), (std::vector<std::string>{"[C] = /other", "[WORK2] = /same"}));
}

struct LabelCase {
    const char* label;
    const char* folder;
    const char* tag;
};

TEST(ImageListTree, LabelFolderAndLabelTagSplitAtTheFirstEqualsSign)
{
    const LabelCase cases[] = {
        {"[PATH] = C:\\img", "C:\\img", "[PATH]"},
        {"[PATH2] = /home/x/My Images", "/home/x/My Images", "[PATH2]"},
        {"[WORK] = ", "", "[WORK]"},
        {"[WORK] =", "", "[WORK]"},
        {"[WORK] = /a = b", "/a = b", "[WORK]"},
        {"[A]=xy", "y", "[A"},          // exactly two characters after "=" are skipped
        {"[A]=", "", "[A"},
        {"=", "", ""},
        {"= /x", "/x", ""},
        {"no equals", "o equals", "no equals"},
        {"x", "", "x"},
        {"", "", ""},
    };
    for (const LabelCase& c : cases) {
        EXPECT_EQ(LabelFolder(c.label), c.folder) << '"' << c.label << '"';
        EXPECT_EQ(LabelTag(c.label), c.tag) << '"' << c.label << '"';
    }
}

TEST(ImageListTree, ListNamesAreFoundByTheirTag)
{
    ImageListTree tree;
    tree.CreateStartupList("/nowhere/at/all");
    tree.ListForFolder("/a");
    tree.ListForFolder("/b");
    std::vector<std::string> tags;
    for (int n = 1; n <= tree.ListCount(); ++n)
        tags.push_back(LabelTag(tree.ListLabel(n)));
    EXPECT_EQ(tags, (std::vector<std::string>{"[WORK]", "[PATH]", "[PATH2]"}));
}

TEST(ImageListTree, SelectedPathsJoinFolderAndNameInListOrder)
{
    ImageListTree tree;
    const TreeItem list = tree.InsertList("[PATH] = /data/night");
    for (const char* name : {"b.fit", "a.fit", "c.fit"})
        tree.InsertFile(list, name);
    tree.DeselectFile(tree.FileItem(1, 2));
    EXPECT_EQ(SelectedFilePaths(tree, 1), (std::vector<std::string>{"/data/night/b.fit", "/data/night/c.fit"}));
    EXPECT_TRUE(SelectedFilePaths(tree, 2).empty());
    EXPECT_TRUE(SelectedFilePaths(tree, 0).empty());
}

} // namespace
} // namespace skyvane
