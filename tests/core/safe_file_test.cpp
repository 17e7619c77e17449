#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/SafeFile.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

std::string Text(const std::string& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

ReplaceOutcome Replace(const std::string& path, const std::string& text)
{
    return ReplaceFile(path, [&text](int fd) { return WriteAll(fd, text.data(), text.size()); });
}

mode_t Mode(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Both ways of making the new file: unnamed (where the file system has them) and named.
class ReplaceFileTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { SetUnnamedTemporaryFiles(GetParam()); }
    void TearDown() override { SetUnnamedTemporaryFiles(true); }
    test::TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Unnamed, ReplaceFileTest, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Named, ReplaceFileTest, ::testing::Values(false));

TEST_P(ReplaceFileTest, FollowsLinksKeepsPermissionsAndCountsOtherHardLinks)
{
    const std::string real = dir.file("real.txt");
    test::WriteFileBytes(real, "old");
    ::chmod(real.c_str(), 0600);
    fs::create_directory(dir.file("sub"));
    fs::create_symlink("../real.txt", dir.file("sub/relative"));  // relative to its own folder
    fs::create_symlink(dir.file("sub/relative"), dir.file("chain")); // a link to a link

    ASSERT_TRUE(Replace(dir.file("chain"), "new").replaced());
    EXPECT_EQ(Text(real), "new");
    EXPECT_TRUE(fs::is_symlink(dir.file("chain")));
    EXPECT_TRUE(fs::is_symlink(dir.file("sub/relative")));
    EXPECT_EQ(Mode(real), 0600u) << "a private file stays private";

    const std::string script = dir.file("script.sh");
    test::WriteFileBytes(script, "#!/bin/sh\n");
    ::chmod(script.c_str(), 0750);
    ASSERT_TRUE(Replace(script, "#!/bin/sh\nexit 0\n").replaced());
    EXPECT_EQ(Mode(script), 0750u);

    // A link to a file that does not exist yet creates that file, with the umask's mode.
    fs::create_symlink("fresh.txt", dir.file("dangling"));
    const mode_t previous = ::umask(027);
    const ReplaceOutcome created = Replace(dir.file("dangling"), "fresh");
    ::umask(previous);
    ASSERT_TRUE(created.replaced());
    EXPECT_EQ(Text(dir.file("fresh.txt")), "fresh");
    EXPECT_TRUE(fs::is_symlink(dir.file("dangling")));
    EXPECT_EQ(Mode(dir.file("fresh.txt")), 0640u);

    // Another hard link keeps the old contents: the replacement is a new file, and says so.
    fs::create_hard_link(script, dir.file("other.sh"));
    const ReplaceOutcome linked = Replace(script, "#!/bin/sh\nexit 1\n");
    ASSERT_TRUE(linked.replaced());
    EXPECT_EQ(linked.otherNames, 1);
    EXPECT_EQ(Text(dir.file("other.sh")), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(Replace(script, "").otherNames, 0);

    EXPECT_EQ(test::FolderEntries(dir.path().string()),
              (Names{"chain", "dangling", "fresh.txt", "other.sh", "real.txt", "script.sh", "sub"}));
}

TEST_P(ReplaceFileTest, RefusesAllButWritableRegularFilesAndTouchesNothing)
{
    const std::string kept = dir.file("kept.txt");
    test::WriteFileBytes(kept, "precious");
    fs::create_directory(dir.file("folder"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    fs::create_symlink("loop-b", dir.file("loop-a"));
    fs::create_symlink("loop-a", dir.file("loop-b"));

    struct Case {
        std::string path;
        int error;
    };
    std::vector<Case> cases = {
        {dir.file("folder"), EISDIR},          {dir.file("folder") + "/", EISDIR},
        {dir.file("fifo"), EINVAL},            {dir.file("missing/new.txt"), ENOENT},
        {dir.file("kept.txt/new.txt"), ENOTDIR}, {dir.file("loop-a"), ELOOP},
    };
    if (::geteuid() != 0) { // permission bits do not stop the superuser
        const std::string readOnly = dir.file("read-only.txt");
        test::WriteFileBytes(readOnly, "frozen");
        ::chmod(readOnly.c_str(), 0444);
        cases.push_back({readOnly, EACCES});
    }
    const Names entries = test::FolderEntries(dir.path().string());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Replace(c.path, "new").error, c.error);
        EXPECT_EQ(test::FolderEntries(dir.path().string()), entries);
    }
    EXPECT_TRUE(test::FolderEntries(dir.file("folder")).empty());

    // A writer that fails (a full disk, say) leaves the old file and nothing else.
    const ReplaceOutcome failed = ReplaceFile(kept, [](int fd) {
        (void)WriteAll(fd, "half", 4);
        errno = ENOSPC;
        return false;
    });
    EXPECT_EQ(failed.error, ENOSPC);
    EXPECT_EQ(Text(kept), "precious");
    EXPECT_EQ(test::FolderEntries(dir.path().string()), entries);
}

// A writer killed half way: with an unnamed file nothing remains; with a named one its
// leftover is recognisable, kept while a living writer holds it, and removed by the next
// replacement of the same target.
TEST_P(ReplaceFileTest, AWriterKilledHalfWayLeavesNothingThatStays)
{
    const std::string target = dir.file("t.bin");
    test::WriteFileBytes(target, "old");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        (void)ReplaceFile(target, [&](int fd) {
            (void)WriteAll(fd, "partial", 7);
            (void)!::write(ready[1], "x", 1);
            for (;;)
                ::pause();
            return true;
        });
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(Text(target), "old");

    const Names entries = test::FolderEntries(dir.path().string());
    if (GetParam()) {
        EXPECT_EQ(entries, Names{"t.bin"});
        return;
    }
    ASSERT_EQ(entries.size(), 2u);
    const std::string leftover = entries[0] == "t.bin" ? entries[1] : entries[0];
    EXPECT_TRUE(IsTemporaryNameFor(leftover, "t.bin")) << leftover;
    EXPECT_FALSE(IsTemporaryNameFor(leftover, "u.bin"));

    {
        // As long as someone holds it, it is somebody's write in progress.
        const int holder = ::open(dir.file(leftover).c_str(), O_RDONLY);
        ASSERT_EQ(::flock(holder, LOCK_EX), 0);
        ASSERT_TRUE(Replace(target, "new").replaced());
        EXPECT_EQ(test::FolderEntries(dir.path().string()), entries);
        ::close(holder);
    }
    ASSERT_TRUE(Replace(target, "newer").replaced());
    EXPECT_EQ(test::FolderEntries(dir.path().string()), Names{"t.bin"});
    EXPECT_EQ(Text(target), "newer");
}

} // namespace
} // namespace skyvane
