#include <gtest/gtest.h>

#include <string>

#include "base/Paths.h"

namespace skyvane {
namespace {

struct SplitCase {
    const char* path;
    const char* fileName;
    const char* folder;
};

TEST(Paths, SplitAtTheLastSeparatorOfEitherKind)
{
    const SplitCase cases[] = {
        {"C:\\obs\\m31.fit", "m31.fit", "C:\\obs"},
        {"/home/x/My Images/m 31.fit", "m 31.fit", "/home/x/My Images"},
        {"C:\\obs/night1\\m31.fit", "m31.fit", "C:\\obs/night1"},   // "\" last
        {"C:\\obs\\night1/m31.fit", "m31.fit", "C:\\obs\\night1"},  // "/" last
        {"C:\\obs\\", "", "C:\\obs"},                                // trailing separator
        {"/home/x/", "", "/home/x"},
        {"/data//m31.fit", "m31.fit", "/data/"},                     // doubled: only the last one goes
        {"m31.fit", "m31.fit", "m31.fit"},                           // bare name: its own folder too
        {"/m31.fit", "m31.fit", ""},
        {"/", "", ""},
        {"\\", "", ""},
        {"", "", ""},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(PathFileName(c.path), c.fileName) << '"' << c.path << '"';
        EXPECT_EQ(PathFolder(c.path), c.folder) << '"' << c.path << '"';
    }
}

TEST(Paths, MainWindowTitleNamesThePathUnchanged)
{
    EXPECT_EQ(MainWindowTitle(""), "Skyvane v1.7");
    EXPECT_EQ(MainWindowTitle("C:\\obs\\m31.fit"), "Skyvane v1.7 - [C:\\obs\\m31.fit]");
    EXPECT_EQ(MainWindowTitle("/home/x/My Images/m 31.fit"), "Skyvane v1.7 - [/home/x/My Images/m 31.fit]");
    EXPECT_EQ(MainWindowTitle(" "), "Skyvane v1.7 - [ ]");
    EXPECT_EQ(MainWindowTitle("a]b"), "Skyvane v1.7 - [a]b]");
}

TEST(Paths, JoinPathPutsOneSlashBetweenFolderAndName)
{
    EXPECT_EQ(JoinPath("/data", "m31.fit"), "/data/m31.fit");
    EXPECT_EQ(JoinPath("/data/", "m31.fit"), "/data//m31.fit"); // the folder is taken as it is
    EXPECT_EQ(JoinPath("", "m31.fit"), "/m31.fit");
    EXPECT_EQ(JoinPath("C:\\Astro data\\M 31", "a.fit"), "C:\\Astro data\\M 31/a.fit");
    // Splitting a joined path gives its parts back.
    EXPECT_EQ(PathFolder(JoinPath("/home/x/My Images", "m 31.fit")), "/home/x/My Images");
    EXPECT_EQ(PathFileName(JoinPath("/home/x/My Images", "m 31.fit")), "m 31.fit");
}

} // namespace
} // namespace skyvane
