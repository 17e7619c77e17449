// The long commands over image lists in the real batch tool, in real processes: a folder
// that cannot be written, a full disk and too little memory each end the run with an
// "Error: " line and status 1, and a result folder exists under its name only whole, even
// when the program is killed in the middle.

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/StarField.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

// What the child is to run under, besides the sandbox's settings.
struct Conditions {
    std::string readOnly;          // a folder the program sees read-only
    std::uint64_t fileSize = 0;    // the largest file it may write (bytes), as a full disk
    std::uint64_t addressSpace = 0; // its address space (bytes)
};

// The child's code of an unusable set-up: the test cannot make the condition here.
constexpr int CannotPrepare = 77;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// The "Error: " lines of standard error and the "  file: " lines after them.
std::string MessageLines(const std::string& err)
{
    std::string lines;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(start, 7, "Error: ") == 0 || err.compare(start, 8, "  file: ") == 0)
            lines += err.substr(start, end - start);
        start = end;
    }
    return lines;
}

// The child's side: the sandbox's settings, the conditions, then the program.
[[noreturn]] void Exec(const std::vector<std::string>& args, const TempDir& sandbox, const Conditions& conditions)
{
    ::setenv("XDG_CONFIG_HOME", sandbox.file(".config").c_str(), 1);
    if (!conditions.readOnly.empty() && ::geteuid() == 0) {
        // Permission bits do not stop the superuser: a read-only view of the folder in a
        // mount namespace of the child's own does.
        const char* folder = conditions.readOnly.c_str();
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(folder, folder, nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            ::_exit(CannotPrepare);
    }
    if (conditions.fileSize != 0) {
        ::signal(SIGXFSZ, SIG_IGN); // a write past the limit fails with EFBIG, as on a full disk
        const rlimit limit{conditions.fileSize, conditions.fileSize};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(CannotPrepare);
    }
    if (conditions.addressSpace != 0) {
        const rlimit limit{conditions.addressSpace, conditions.addressSpace};
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            ::_exit(CannotPrepare);
    }
    std::vector<std::string> copies = args;
    std::string program = SKYVANE_BATCH_PATH;
    std::vector<char*> argv{program.data()};
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

RunResult RunBatch(const std::vector<std::string>& args, const TempDir& sandbox, const Conditions& conditions = {})
{
    std::filesystem::create_directories(sandbox.file(".config"));
    const std::string outPath = sandbox.file(".stdout");
    const std::string errPath = sandbox.file(".stderr");
    if (!conditions.readOnly.empty() && ::geteuid() != 0)
        ::chmod(conditions.readOnly.c_str(), 0555);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(outPath.c_str(), "wb", stdout) || !std::freopen(errPath.c_str(), "wb", stderr))
            ::_exit(127);
        Exec(args, sandbox, conditions);
    }
    RunResult result;
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    if (!conditions.readOnly.empty() && ::geteuid() != 0)
        ::chmod(conditions.readOnly.c_str(), 0755);
    EXPECT_TRUE(WIFEXITED(status)) << "skyvane-batch did not exit normally";
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    return result;
}

// Three 128 x 128 frames of a drifting star field with one bright star near (40, 50), in
// 32-bit floating point: results of 64 KiB each.
void WriteStarFrames(const std::string& folder)
{
    std::vector<test::SyntheticStar> stars = test::RandomStars(60, 128, 128, 6, 5);
    stars.push_back({40.0, 50.0, 1.8, 8000.0});
    const double shifts[3][2] = {{0.0, 0.0}, {2.5, -1.25}, {-1.75, 3.0}};
    for (int k = 0; k < 3; ++k) {
        ImageGrid grid;
        test::DrawStarField(grid, 128, 128, 500.0, stars, shifts[k][0], shifts[k][1], 4.0, static_cast<unsigned>(k + 1));
        test::FitsLayout layout;
        layout.width = layout.height = 128;
        layout.bitpix = -32;
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x)
                layout.values.push_back(grid[x][y]);
        test::WriteFitsImage(folder + "/f" + std::to_string(k + 1) + ".fit", layout);
    }
}

// A list job and its reply when it fails to write.
struct ListJob {
    std::string command;
    std::string folderReply;
    std::string writeReply;
    std::string outputName;
};

// The star of WriteStarFrames as the pointer readout gives it: column + 1, height - row.
// A registration writes the reference first, once its star or structure has been found.
const ListJob ListJobs[] = {
    {"listadd [WORK] 1", "     folder for the results could not be created !", "     results could not be written, nothing has been kept !", "add-1"},
    {"autoreg [WORK]", "     output folder could not be created !", "     registered frames could not be written !", "autoreg"},
    {"starreg [WORK] 41 78", "     output folder could not be created !", "     registered frames could not be written !", "starreg"},
};

class BatchListJobsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        night = sandbox.file("night");
        std::filesystem::create_directories(night);
        WriteStarFrames(night);
    }

    TempDir sandbox;
    std::string night;
};

TEST_F(BatchListJobsTest, AReadOnlyFolderIsAnErrorOfEveryJob)
{
    const std::vector<std::string> entries = test::FolderEntries(night);
    for (const ListJob& job : ListJobs) {
        const RunResult r = RunBatch({"--workdir", night, "-c", job.command}, sandbox, {night});
        if (r.status == CannotPrepare)
            GTEST_SKIP() << "no mount namespace for a read-only folder here";
        EXPECT_EQ(r.status, 1) << job.command;
        EXPECT_EQ(r.out, job.folderReply + "\n");
        const std::string lines = MessageLines(r.err);
        EXPECT_EQ(lines.rfind("Error: Cannot create the folder for the results: ", 0), 0u) << lines;
        EXPECT_NE(lines.find("\n  file: " + night + "/" + job.outputName + "\n"), std::string::npos) << lines;
        EXPECT_EQ(test::FolderEntries(night), entries);
    }
}

// A file size limit stands for a full disk: the first result written is refused.
TEST_F(BatchListJobsTest, AFullDiskIsAnErrorOfEveryJobAndLeavesNothing)
{
    const std::vector<std::string> entries = test::FolderEntries(night);
    for (const ListJob& job : ListJobs) {
        const RunResult r = RunBatch({"--workdir", night, "-c", job.command, "-c", "size"}, sandbox, {{}, 20000});
        EXPECT_EQ(r.status, 1) << job.command;
        EXPECT_EQ(r.out, job.writeReply + "\n     no image !\n") << "the run goes on";
        const std::string lines = MessageLines(r.err);
        const std::string expected = "Error: Error while writing image file\n  file: " + night + "/" + job.outputName + "/f";
        EXPECT_EQ(lines.substr(0, expected.size()), expected) << lines;
        EXPECT_EQ(test::FolderEntries(night), entries);
    }
}

// Address space for the program, not for a grid of 2500 x 2500 pixels (50 MB): every long
// command says so.
TEST(BatchLongCommands, ShortOfMemoryIsAnErrorOfEveryLongCommand)
{
    if (!test::AddressSpaceLimitsWork())
        GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    TempDir sandbox;
    const std::string frames = sandbox.file("frames");
    std::filesystem::create_directories(frames);
    test::WriteLargeFits16(frames + "/f1.fit", 2500, 2500);
    test::WriteLargeFits16(frames + "/f2.fit", 2500, 2500);
    test::WriteLargeFits16(sandbox.file("dark.fit"), 2500, 2500);
    const std::string noMemory = "Error: Not enough memory for an image of 2500 x 2500 pixels.\n";
    struct Case {
        std::string command;
        std::string reply;
        std::string messages;
    };
    const Case cases[] = {
        {"median [WORK]", "     not enough memory for the co-added image !", noMemory},
        {"listsub [WORK] (" + sandbox.file("dark.fit") + ")", "     second image could not be used, nothing has been written !",
         noMemory + "  file: " + sandbox.file("dark.fit") + "\n"},
        {"autoreg [WORK]", "     not enough memory !", noMemory + "  file: " + frames + "/f1.fit\n"},
        {"starreg [WORK] 100 100", "     not enough memory !", noMemory + "  file: " + frames + "/f1.fit\n"},
    };
    const std::vector<std::string> entries = test::FolderEntries(frames);
    for (const Case& c : cases) {
        const RunResult r = RunBatch({"--workdir", frames, "-c", c.command}, sandbox, {{}, 0, std::uint64_t{40} << 20});
        EXPECT_EQ(r.status, 1) << c.command;
        EXPECT_EQ(r.out, c.reply + "\n") << c.command;
        EXPECT_EQ(MessageLines(r.err), c.messages) << c.command;
        EXPECT_EQ(test::FolderEntries(frames), entries);
    }
}

// A run killed in the middle of list arithmetic: SIGINT twice at once (as "timeout -s INT"
// delivers it), or SIGKILL. No folder stands under a result's name unless it is whole;
// what the killed run left hidden, the next run in that folder removes.
TEST(BatchLongCommands, AKilledJobLeavesNoPartialResultFolder)
{
    constexpr int FrameCount = 300;
    TempDir sandbox;
    std::filesystem::create_directories(sandbox.file(".config"));
    const std::string frames = sandbox.file("frames");
    std::filesystem::create_directories(frames);
    test::FitsLayout layout;
    layout.width = layout.height = 64;
    layout.bitpix = 16;
    for (int k = 0; k < FrameCount; ++k) {
        layout.values.assign(64 * 64, static_cast<double>(k));
        char name[32];
        std::snprintf(name, sizeof name, "/f%03d.fit", k);
        test::WriteFitsImage(frames + name, layout);
    }
    const std::vector<std::string> args = {"--workdir", frames, "-c", "listadd [WORK] 1"};
    const auto wholeOrAbsent = [&](const std::string& when) {
        for (const std::string& entry : test::FolderEntries(frames)) {
            if (entry.rfind("add-1", 0) == 0) {
                EXPECT_EQ(test::FolderEntries(frames + "/" + entry).size(), static_cast<std::size_t>(FrameCount)) << when << ": " << entry;
            }
        }
    };
    const std::vector<std::vector<int>> signalSets = {{SIGINT, SIGINT}, {SIGKILL}};
    for (const std::vector<int>& signals : signalSets) {
        const std::string name = signals.front() == SIGKILL ? "SIGKILL" : "SIGINT twice";
        int master = -1;
        const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (!std::freopen(sandbox.file(".stdout").c_str(), "wb", stdout))
                ::_exit(127);
            Exec(args, sandbox, {});
        }
        ASSERT_GT(pid, 0);
        // The progress line on the terminal says a frame has been written.
        std::string terminal;
        bool signalled = false;
        char buffer[4096];
        for (;;) {
            pollfd fd{master, POLLIN, 0};
            if (::poll(&fd, 1, 30000) <= 0)
                break;
            const ssize_t got = ::read(master, buffer, sizeof buffer);
            if (got <= 0)
                break;
            terminal.append(buffer, static_cast<std::size_t>(got));
            if (!signalled && terminal.find("\rFrame ") != std::string::npos) {
                for (const int signal : signals)
                    ::kill(pid, signal);
                signalled = true;
            }
        }
        ::close(master);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(signalled) << name << ": no progress came";
        std::printf("[ figures ] %s: %s; %zu entries beside the frames\n", name.c_str(),
                    WIFSIGNALED(status) ? "killed" : ("exit status " + std::to_string(WEXITSTATUS(status))).c_str(),
                    test::FolderEntries(frames).size() - FrameCount);
        wholeOrAbsent(name);
    }

    const RunResult r = RunBatch(args, sandbox);
    EXPECT_EQ(r.status, 0) << r.err;
    wholeOrAbsent("after a whole run");
    for (const std::string& entry : test::FolderEntries(frames))
        EXPECT_TRUE(entry.front() != '.') << entry << " is left";
}

} // namespace
} // namespace skyvane
