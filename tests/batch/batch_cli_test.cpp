#include <gtest/gtest.h>

#include <fitsio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "Version.h"
#include "support/StarField.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using test::WriteFitsImage;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadText(const std::string& path)
{
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

// Runs the real skyvane-batch with args in folder cwd. Its default settings file would
// live in a configuration folder of the sandbox, never the user's. addressSpace, when not
// 0, limits the process's address space (bytes).
RunResult RunBatch(const std::vector<std::string>& args, const TempDir& sandbox, const std::string& cwd = {},
                   std::uint64_t addressSpace = 0)
{
    const std::string outPath = sandbox.file(".stdout");
    const std::string errPath = sandbox.file(".stderr");
    const std::string config = sandbox.file(".config");
    std::filesystem::create_directories(config);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(127);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        if (!std::freopen(outPath.c_str(), "wb", stdout) || !std::freopen(errPath.c_str(), "wb", stderr))
            ::_exit(127);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(addressSpace);
        if (addressSpace != 0 && ::setrlimit(RLIMIT_AS, &limit) != 0)
            ::_exit(127);
        std::vector<char*> argv;
        std::string program = SKYVANE_BATCH_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (std::string& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    RunResult result;
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "skyvane-batch did not exit normally: signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadText(outPath);
    result.err = ReadText(errPath);
    return result;
}

// The lines of standard error that are messages of the program (the FITS library writes
// its own reports there too).
std::string ErrorLines(const std::string& err)
{
    std::string lines;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(start, 7, "Error: ") == 0)
            lines += err.substr(start, end - start);
        start = end;
    }
    return lines;
}

void WriteImage(const std::string& path, int width, int height, std::vector<double> values, std::vector<std::string> cards = {})
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = std::move(values);
    layout.extraCards = std::move(cards);
    WriteFitsImage(path, layout);
}

// Pixels and the value of one keyword of a FITS file, read with CFITSIO.
struct FitsContents {
    int status = 0;
    int bitpix = 0;
    long width = 0;
    long height = 0;
    std::vector<double> values; // row-major
    std::vector<std::string> cards;
};

FitsContents ReadFits(const std::string& path)
{
    FitsContents contents;
    fitsfile* file = nullptr;
    int& status = contents.status;
    fits_open_diskfile(&file, path.c_str(), READONLY, &status);
    if (status != 0)
        return contents;
    long axes[2] = {0, 0};
    int naxis = 0;
    fits_get_img_param(file, 2, &contents.bitpix, &naxis, axes, &status);
    contents.width = axes[0];
    contents.height = axes[1];
    contents.values.resize(static_cast<std::size_t>(axes[0] * axes[1]));
    long first[2] = {1, 1};
    fits_read_pix(file, TDOUBLE, first, static_cast<LONGLONG>(contents.values.size()), nullptr, contents.values.data(), nullptr, &status);
    int count = 0;
    fits_get_hdrspace(file, &count, nullptr, &status);
    for (int i = 1; i <= count; ++i) {
        char card[FLEN_CARD] = {};
        fits_read_record(file, i, card, &status);
        contents.cards.emplace_back(card);
    }
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    return contents;
}

class BatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // a.fit: 5 x 1, median 1000: Auto gives the thresholds 800 and 2000.
        WriteImage(work.file("a.fit"), 5, 1, {800, 1000, 1400, 1900, 100}, {"OBSERVER= 'Batch'"});
        WriteImage(work.file("b.fit"), 5, 1, {1, 2, 3, 4, 5});
        WriteImage(work.file("small.fit"), 2, 2, {1, 2, 3, 4});
    }

    RunResult run(std::vector<std::string> args, const std::string& cwd = {}) { return RunBatch(args, work, cwd); }
    std::string path(const std::string& name) const { return work.file(name); }

    TempDir work;
};

// ---------------------------------------------------------------------------------------
// Commands and replies.

TEST_F(BatchTest, RepliesGoToStandardOutputWithLineFeeds)
{
    const RunResult r = run({"--open", path("a.fit"), "-c", "size", "--command", "stat", "-c", "Stat"});
    EXPECT_EQ(r.out,
              "     width = 5\n     height = 1\n"
              "     min = 100\n     max = 1900\n     median = 1000\n     mean = 1040\n     sigma = 602\n"
              "     unknown command !\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(BatchTest, CommandTextIsTakenExactlyAsGiven)
{
    const RunResult r = run({"--open", path("a.fit"), "-c", "", "-c", " ", "-c", "size ", "-c", "add 1", "-c", "stat"});
    EXPECT_EQ(r.out,
              "     unknown command !\n"
              "     unknown command !\n"
              "     offset has been added to image\n"
              "     min = 101\n     max = 1901\n     median = 1001\n     mean = 1041\n     sigma = 602\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(BatchTest, CommandsWithoutImageAndListsWithoutImages)
{
    const RunResult r = run({"--workdir", path(""), "-c", "stat", "-c", "median [NONE]", "-c", "clear"});
    EXPECT_EQ(r.out, "     no image !\n     list name not recognized !\n     no image !\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(BatchTest, ScriptLinesEndWithLineFeedOrCarriageReturnLineFeed)
{
    WriteFileBytes(path("run.txt"), "size\r\nadd 1\n\nsub (b)\r\n\r\nstat \nstat");
    const RunResult r = run({"--workdir", work.path().string(), "--open", path("a.fit"), "--script", path("run.txt")});
    EXPECT_EQ(r.out,
              "     width = 5\n     height = 1\n"
              "     offset has been added to image\n"
              "     image difference has been calculated\n"
              "     unknown command !\n"
              "     min = 96\n     max = 1897\n     median = 999\n     mean = 1038\n     sigma = 602.16\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(BatchTest, ScriptThatCannotBeReadIsAnErrorAndTheRunGoesOn)
{
    const RunResult r = run({"--script", path("missing.txt"), "-c", "size"});
    EXPECT_EQ(r.out, "     no image !\n");
    EXPECT_EQ(r.err, "Error: cannot read script file " + path("missing.txt") + "\n");
    EXPECT_EQ(r.status, 1);
}

// ---------------------------------------------------------------------------------------
// Messages and errors.

TEST_F(BatchTest, MessagesGoToStandardErrorAndFailTheRun)
{
    const RunResult r = run({"--workdir", work.path().string(), "--open", path("a.fit"), "-c", "add (small)", "-c", "size"});
    EXPECT_EQ(r.out, "     two images have been added\n     width = 5\n     height = 1\n");
    EXPECT_EQ(r.err, "Error: Size of loaded image is not compatible with displayed image.\n  file: " + path("small.fit") + "\n");
    EXPECT_EQ(r.status, 1);
}

// A file whose pixels cannot be read whole opens as no image, and the line after the
// message names it; an image command leaves Image A alone; co-addition leaves the frame
// out and says so in its reply.
TEST_F(BatchTest, AFileThatCannotBeReadWholeIsNamedAndNeverUsed)
{
    TempDir frames;
    WriteImage(frames.file("f0.fit"), 5, 1, {1, 1, 1, 1, 1});
    WriteImage(frames.file("f1.fit"), 5, 1, {3, 3, 3, 3, 3});
    WriteImage(frames.file("f2.fit"), 5, 1, {9, 9, 9, 9, 9});
    std::filesystem::resize_file(frames.file("f2.fit"), 2880 + 8);
    const RunResult r = run({"--workdir", frames.path().string(), "--open", path("a.fit"), "--open", frames.file("f2.fit"), "-c", "stat",
                             "--open", path("a.fit"), "-c", "add (f2)", "-c", "stat", "-c", "mean [WORK]", "-c", "stat"});
    EXPECT_EQ(r.out, "     no image !\n"
                     "     two images have been added\n"
                     "     min = 100\n     max = 1900\n     median = 1000\n     mean = 1040\n     sigma = 602\n"
                     "     mean image has been calculated\n"
                     "     2 of 3 frames combined; left out: f2.fit\n"
                     "     min = 2\n     max = 2\n     median = 2\n     mean = 2\n     sigma = 0\n");
    std::string programLines; // without the FITS library's own report
    for (std::size_t start = 0; start < r.err.size();) {
        const std::size_t end = r.err.find('\n', start) + 1;
        if (r.err.compare(start, 7, "Error: ") == 0 || r.err.compare(start, 8, "  file: ") == 0)
            programLines += r.err.substr(start, end - start);
        start = end;
    }
    const std::string named = "Error: Error while reading image data\n  file: " + frames.file("f2.fit") + "\n";
    EXPECT_EQ(programLines, named + named + named);
    EXPECT_EQ(r.status, 1);
}

TEST_F(BatchTest, OpeningAMissingFileIsReportedAndLeavesNoImage)
{
    const RunResult r = run({"--open", path("a.fit"), "--open", path("missing.fit"), "-c", "size", "--save", path("out.fit"), "--export", path("out.bmp")});
    EXPECT_EQ(r.out, "     no image !\n");
    // CFITSIO's own report of the failed open comes first; then the messages.
    EXPECT_EQ(ErrorLines(r.err), "Error: Error while reading image size\nError: no image is displayed\nError: no image is displayed\n");
    EXPECT_NE(r.err.find("missing.fit"), std::string::npos);
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(path("out.fit")));
    EXPECT_FALSE(std::filesystem::exists(path("out.bmp")));
}

TEST_F(BatchTest, ErrorLinesCannotDriveTheTerminal)
{
    const std::string hostile = "bad\x1B]0;owned\x07\x1B[2J";
    const RunResult r = run({"--script", path(hostile + ".txt"), "--open", path(hostile + ".fit"), "-c", "size"});
    EXPECT_EQ(r.out, "     no image !\n");
    EXPECT_EQ(r.err.find('\x1B'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x07'), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error: cannot read script file " + path("bad\\x1B]0;owned\\x07\\x1B[2J.txt") + "\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
}

// Running short of memory at any point of opening, showing and exporting an image is
// reported, and the run goes on: from "the grid does not fit" to "everything fits".
TEST_F(BatchTest, RunningShortOfMemoryIsReportedAndTheRunGoesOn)
{
    if (!test::AddressSpaceLimitsWork())
        GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    test::WriteLargeFits16(path("large.fit"), 2500, 2500); // a grid of 50 MB, a picture of 19 MB
    const std::string noMemory = "Error: Not enough memory for an image of 2500 x 2500 pixels.\n";
    const std::vector<std::uint64_t> megabytes = {40, 70, 85, 100, 115, 130, 160, 1024};
    for (const std::uint64_t level : megabytes) {
        SCOPED_TRACE(std::to_string(level) + " MiB");
        const RunResult r = RunBatch({"--open", path("large.fit"), "-c", "stat", "--export", path("large.bmp"), "-c", "size"},
                                     work, {}, level << 20);
        const std::string sizeReply = "     width = 2500\n     height = 2500\n";
        const bool shown = r.out.size() >= sizeReply.size() && r.out.substr(r.out.size() - sizeReply.size()) == sizeReply;
        if (shown) {
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(std::filesystem::file_size(path("large.bmp")), 54u + 7500u * 2500u);
        } else {
            // The last action ran all the same.
            EXPECT_EQ(r.out, "     no image !\n     no image !\n");
            EXPECT_EQ(ErrorLines(r.err), noMemory + "Error: no image is displayed\n");
            EXPECT_EQ(r.status, 1);
        }
        if (level == megabytes.front()) {
            EXPECT_FALSE(shown) << "the grid alone is more than the limit";
        }
        if (level == megabytes.back()) {
            EXPECT_TRUE(shown) << r.err;
        }
        std::filesystem::remove(path("large.bmp"));
    }
}

// Names and a working path that the FITS library would read as its own syntax (standard
// input, a web address, a file to copy into, an extension) are names of files here.
TEST_F(BatchTest, NamesAndTheWorkingPathAreTakenLiterally)
{
    const std::string url = "http://127.0.0.1:9/data"; // read as a path: folders "http:", "127.0.0.1:9", "data"
    std::filesystem::create_directories(path("http:/127.0.0.1:9/data"));
    WriteImage(path("http:/127.0.0.1:9/data/dark.fit"), 5, 1, {100, 100, 100, 100, 100});
    WriteImage(path("-"), 5, 1, {800, 1000, 1400, 1900, 100});
    WriteImage(path("stdin"), 5, 1, {1, 1, 1, 1, 1});
    WriteImage(path("flat[1].fit"), 5, 1, {2, 2, 2, 2, 2});
    WriteFileBytes(path("url.ini"), "[PATH]\nWorking path=" + url + "\n");
    const RunResult r = run({"--ini", "url.ini", "--open", "-", "-c", "sub (dark)", "-c", "stat", "--save", "M42 [Ha].fit",
                             "--add", "flat[1].fit", "--lists", "-c", "mean [WORK]", "-c", "stat", "--open", "stdin", "-c",
                             "add (./flat[1].fit)", "-c", "stat", "--save", "o.fit(g.fit)"},
                            work.path().string());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "     image difference has been calculated\n"
                     "     min = 0\n     max = 1800\n     median = 900\n     mean = 940\n     sigma = 602\n"
                     "[WORK] = " + url + "\n  [x] dark.fit\n"
                     "[PATH] = " + work.path().string() + "\n  [x] flat[1].fit\n"
                     "     mean image has been calculated\n"
                     "     min = 100\n     max = 100\n     median = 100\n     mean = 100\n     sigma = 0\n"
                     "     two images have been added\n"
                     "     min = 3\n     max = 3\n     median = 3\n     mean = 3\n     sigma = 0\n");
    EXPECT_EQ(ReadFits(path("M42 [Ha].fit")).values, (std::vector<double>{700, 900, 1300, 1800, 0}));
    EXPECT_EQ(ReadFits(path("o.fit(g.fit)")).values, (std::vector<double>{3, 3, 3, 3, 3}));
    EXPECT_FALSE(std::filesystem::exists(path("g.fit")));
    EXPECT_FALSE(std::filesystem::exists(path("o.fit")));
}

TEST_F(BatchTest, SaveAndExportNeedADisplayedImage)
{
    const RunResult r = run({"--save", path("out.fit"), "--open", path("a.fit"), "-c", "clear", "--export", path("out.bmp")});
    EXPECT_EQ(r.out, "     clear display\n");
    EXPECT_EQ(r.err, "Error: no image is displayed\nError: no image is displayed\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(std::filesystem::exists(path("out.fit")));
    EXPECT_FALSE(std::filesystem::exists(path("out.bmp")));
}

// ---------------------------------------------------------------------------------------
// Usage errors: found before anything runs.

TEST_F(BatchTest, UsageErrorsRunNothing)
{
    ASSERT_EQ(::mkfifo(path("pipe.ini").c_str(), 0600), 0); // nobody writes it: never to be opened
    const std::vector<std::vector<std::string>> cases = {
        {"--open", path("a.fit"), "--save", path("out.fit"), "--bogus"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "-c"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--toggle", "WORK"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--toggle", "WORK", "two"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--toggle", "WORK", "1x"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--thresholds", "1"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--thresholds", "a", "b"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--thresholds", "100", "2k"},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--ini", path("x.ini")},
        {"--open", path("a.fit"), "--save", path("out.fit"), "--workdir", work.path().string()},
        {"--ini"},
        {"--workdir", work.path().string()},
        {},
        {"-C", "stat"},
        {"--open=" + path("a.fit")},
        {"--ini", path("missing.ini"), "--open", path("a.fit"), "--save", path("out.fit")},
        {"--ini", path("pipe.ini"), "--open", path("a.fit"), "--save", path("out.fit")},
        {"--workdir", path("no such folder"), "--open", path("a.fit"), "--save", path("out.fit")},
    };
    for (const std::vector<std::string>& args : cases) {
        std::string line;
        for (const std::string& arg : args)
            line += " " + arg;
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(r.err.substr(0, 7), "Error: ") << line;
        EXPECT_FALSE(std::filesystem::exists(path("out.fit"))) << line;
    }
    // The empty device stands for a settings file with nothing in it.
    const RunResult empty = run({"--ini", "/dev/null", "--open", path("a.fit"), "--save", path("out.fit")});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_TRUE(std::filesystem::exists(path("out.fit")));
}

TEST_F(BatchTest, HelpPrintsTheContract)
{
    const RunResult r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 62), "usage: skyvane-batch [--ini FILE] [--workdir DIR] ACTION...\nGl");
    for (const char* option : {"--ini", "--workdir", "--open", "--command", "--script", "--add", "--toggle", "--thresholds", "--auto", "--invert", "--save", "--export", "--lists"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    EXPECT_EQ(r.err, "");
}

TEST_F(BatchTest, VersionIsAnActionInItsPlace)
{
    const RunResult r = run({"--open", path("a.fit"), "-c", "size", "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "     width = 5\n     height = 1\nskyvane-batch " SKYVANE_VERSION "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run({"--version", "extra"}).status, 2);
}

// ---------------------------------------------------------------------------------------
// Image lists.

TEST_F(BatchTest, ListsShowTheStartupListAddedFilesAndSelections)
{
    TempDir other;
    WriteImage(other.file("x.fit"), 5, 1, {10, 10, 10, 10, 10});
    WriteImage(other.file("y.fit"), 5, 1, {20, 20, 20, 20, 20});
    WriteFileBytes(path("notes.txt"), "not an image");
    const std::string dir = work.path().string();
    const RunResult r = run({"--workdir", dir, "--add", other.file("x.fit"), "--add", other.file("y.fit"), "--add", other.file("x.fit"),
                             "--add", path("a.fit"), "--toggle", "WORK", "2", "--toggle", "PATH", "1", "--lists"});
    EXPECT_EQ(r.out, "[WORK] = " + dir + "\n"
                     "  [x] a.fit\n"
                     "  [ ] b.fit\n"
                     "  [x] small.fit\n"
                     "[PATH] = " + other.path().string() + "\n"
                     "  [ ] x.fit\n"
                     "  [x] y.fit\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// A night calibrated by list commands: each result list is the next one and the input of
// the next step; the save format comes from the --ini file, and a 16-bit save that clips
// says so without failing the run.
TEST_F(BatchTest, ListArithmeticMakesNewListsAndSavesKeepTheirFormat)
{
    TempDir night;
    WriteImage(night.file("l1.fit"), 5, 1, {100, 200, 300, 400, 500});
    WriteImage(night.file("l2.fit"), 5, 1, {110, 210, 310, 410, 510});
    WriteImage(path("dark.fit"), 5, 1, {105, 100, 100, 100, 100});
    WriteFileBytes(path("float.ini"), "[PATH]\nWorking path=" + work.path().string() + "\n[Image processing parameters]\nSave FITS as=1\n");
    const std::string folder = night.path().string();
    const RunResult r = run({"--ini", path("float.ini"), "--add", night.file("l1.fit"), "--add", night.file("l2.fit"), "-c",
                             "listsub [PATH] (dark)", "-c", "listmult [PATH2] 0.5", "--lists", "--open",
                             night.file("sub-dark/l1.fit"), "--save", path("float.fit")});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "     2 images have been subtracted; new list [PATH2]\n"
                     "     2 images have been multiplied; new list [PATH3]\n"
                     "[WORK] = " + work.path().string() + "\n  [x] a.fit\n  [x] b.fit\n  [x] dark.fit\n  [x] small.fit\n"
                     "[PATH] = " + folder + "\n  [x] l1.fit\n  [x] l2.fit\n"
                     "[PATH2] = " + folder + "/sub-dark\n  [x] l1.fit\n  [x] l2.fit\n"
                     "[PATH3] = " + folder + "/sub-dark/mult-0.5\n  [x] l1.fit\n  [x] l2.fit\n");
    const FitsContents result = ReadFits(night.file("sub-dark/mult-0.5/l2.fit"));
    EXPECT_EQ(result.bitpix, -32);
    EXPECT_EQ(result.values, (std::vector<double>{2.5, 55, 105, 155, 205}));
    EXPECT_EQ(result.cards.back(), "HISTORY Skyvane: mult 0.5");
    const FitsContents saved = ReadFits(path("float.fit"));
    EXPECT_EQ(saved.bitpix, -32);
    EXPECT_EQ(saved.values, (std::vector<double>{-5, 100, 200, 300, 400}));

    // The default: 16 bits, and the clipped pixel told.
    const RunResult clipped = run({"--open", night.file("sub-dark/l1.fit"), "--save", path("int.fit")});
    EXPECT_EQ(clipped.err, "Warning: 1 pixels outside 0..32767 were clipped\n");
    EXPECT_EQ(clipped.status, 0);
    EXPECT_EQ(ReadFits(path("int.fit")).values, (std::vector<double>{0, 100, 200, 300, 400}));
}

TEST_F(BatchTest, AddWithABareNameUsesTheCurrentFolder)
{
    TempDir other;
    WriteImage(other.file("x.fit"), 5, 1, {10, 10, 10, 10, 10});
    const RunResult r = run({"--add", "x.fit", "--lists", "-c", "median [PATH]", "-c", "stat"}, other.path().string());
    const std::string folder = std::filesystem::canonical(other.path()).string();
    EXPECT_NE(r.out.find("[PATH] = " + folder + "\n  [x] x.fit\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("     median image has been calculated\n     min = 10\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(BatchTest, ToggleOfAMissingListOrFileStopsTheRunWithStatusTwo)
{
    struct Case {
        std::vector<std::string> toggle;
        std::string err;
    };
    const Case cases[] = {
        {{"--toggle", "NOPE", "1"}, "Error: --toggle: there is no image list named \"NOPE\"\n"},
        {{"--toggle", "WORK", "4"}, "Error: --toggle: the list \"WORK\" has no file 4 (it has 3)\n"},
        {{"--toggle", "WORK", "0"}, "Error: --toggle: the list \"WORK\" has no file 0 (it has 3)\n"},
        {{"--toggle", "WORK", "-1"}, "Error: --toggle: the list \"WORK\" has no file -1 (it has 3)\n"},
        {{"--toggle", " WORK", "1"}, "Error: --toggle: there is no image list named \" WORK\"\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--workdir", work.path().string(), "--open", path("a.fit"), "-c", "size"};
        args.insert(args.end(), c.toggle.begin(), c.toggle.end());
        args.insert(args.end(), {"-c", "stat", "--save", path("out.fit")});
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 2) << c.toggle[1];
        EXPECT_EQ(r.out, "     width = 5\n     height = 1\n") << "the actions before it ran, none after";
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(std::filesystem::exists(path("out.fit")));
    }
}

TEST_F(BatchTest, CoadditionOfTheWorkListAfterToggles)
{
    TempDir frames;
    for (int i = 0; i < 4; ++i)
        WriteImage(frames.file("f" + std::to_string(i) + ".fit"), 2, 1, {1.0 + i, 10.0 * (i + 1)});
    const RunResult r = run({"--workdir", frames.path().string(), "--toggle", "WORK", "4", "-c", "minmaxrej [WORK]", "-c", "mean [WORK]",
                             "-c", "stat", "--toggle", "WORK", "1", "--toggle", "WORK", "2", "--toggle", "WORK", "3", "-c", "median [WORK]"});
    EXPECT_EQ(r.out,
              "     co-added image has been calculated with min-max rejection\n"
              "     mean image has been calculated\n"
              "     min = 2\n     max = 20\n     median = 11\n     mean = 11\n     sigma = 9\n"
              "     list has no selected image !\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(BatchTest, RegistrationRepliesOneLinePerFrameAndItsListCanBeCombined)
{
    TempDir night;
    const std::vector<test::SyntheticStar> stars = test::RandomStars(60, 128, 128, 6, 5);
    const double shifts[3][2] = {{0.0, 0.0}, {3.25, -1.5}, {-2.75, 4.5}};
    for (int k = 0; k < 3; ++k) {
        ImageGrid grid;
        test::DrawStarField(grid, 128, 128, 500.0, stars, shifts[k][0], shifts[k][1], 4.0, static_cast<unsigned>(k + 1));
        FitsLayout layout;
        layout.width = layout.height = 128;
        layout.bitpix = -32;
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x)
                layout.values.push_back(grid[x][y]);
        WriteFitsImage(night.file("f" + std::to_string(k + 1) + ".fit"), layout);
    }
    const RunResult r = run({"--workdir", night.path().string(), "-c", "autoreg [WORK]", "-c", "median [PATH]", "-c", "size", "--lists"});
    // The frame lines, then the rest exactly.
    const std::size_t rest = r.out.find("     3 of 3");
    ASSERT_NE(rest, std::string::npos) << r.out;
    std::istringstream frames(r.out.substr(0, rest));
    std::string line;
    ASSERT_TRUE(std::getline(frames, line));
    EXPECT_EQ(line, "     f1.fit  dx = 0.00  dy = 0.00");
    for (int k = 1; k < 3; ++k) {
        ASSERT_TRUE(std::getline(frames, line));
        double dx = 99.0, dy = 99.0;
        const std::string format = "     f" + std::to_string(k + 1) + ".fit  dx = %lf  dy = %lf";
        ASSERT_EQ(std::sscanf(line.c_str(), format.c_str(), &dx, &dy), 2) << line;
        EXPECT_NEAR(dx, shifts[k][0], 0.02);
        EXPECT_NEAR(dy, shifts[k][1], 0.02);
    }
    EXPECT_FALSE(std::getline(frames, line));
    EXPECT_EQ(r.out.substr(rest),
              "     3 of 3 frames registered: new list [PATH]\n"
              "     median image has been calculated\n"
              "     width = 128\n     height = 128\n"
              "[WORK] = " + night.path().string() + "\n"
              "  [x] f1.fit\n  [x] f2.fit\n  [x] f3.fit\n"
              "[PATH] = " + night.file("autoreg") + "\n"
              "  [x] f1.fit\n  [x] f2.fit\n  [x] f3.fit\n");
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(BatchTest, PatternRegistrationTurnsAFlippedFrameBackAndLeavesOutAFrameOfAnotherField)
{
    TempDir night;
    const std::vector<test::SyntheticStar> stars = test::RandomStars(80, 128, 128, 4, 5);
    const auto write = [&](const std::string& name, const std::vector<test::SyntheticStar>& field, bool flipped, unsigned seed) {
        std::vector<test::SyntheticStar> placed = field;
        if (flipped) // turned by 180 degrees about the centre (63.5, 63.5), then shifted
            for (test::SyntheticStar& s : placed) {
                s.x = 127.0 - s.x + 2.5;
                s.y = 127.0 - s.y - 1.25;
            }
        ImageGrid grid;
        test::DrawStarField(grid, 128, 128, 500.0, placed, 0.0, 0.0, 4.0, seed);
        FitsLayout layout;
        layout.width = layout.height = 128;
        layout.bitpix = -32;
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 128; ++x)
                layout.values.push_back(grid[x][y]);
        WriteFitsImage(night.file(name), layout);
    };
    write("f1.fit", stars, false, 1);
    write("f2.fit", stars, true, 2);
    write("f3.fit", test::RandomStars(80, 128, 128, 4, 6), false, 3);
    const RunResult r = run({"--workdir", night.path().string(), "-c", "patternreg [WORK]", "-c", "median [PATH]", "-c", "size", "--lists"});
    std::istringstream lines(r.out);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    int count = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "     f1.fit  dx = 0.00  dy = 0.00  rotation = 0.00  scale = 1.0000  stars = %d", &count), 1) << line;
    ASSERT_TRUE(std::getline(lines, line));
    double dx = 99.0, dy = 99.0, rotation = 0.0, scale = 0.0;
    ASSERT_EQ(std::sscanf(line.c_str(), "     f2.fit  dx = %lf  dy = %lf  rotation = %lf  scale = %lf  stars = %d", &dx, &dy, &rotation, &scale, &count), 5)
        << line;
    EXPECT_NEAR(dx, 2.5, 0.011);
    EXPECT_NEAR(dy, -1.25, 0.011);
    EXPECT_NEAR(std::fabs(rotation), 180.0, 0.011);
    EXPECT_NEAR(scale, 1.0, 0.00011);
    EXPECT_GT(count, 30);
    std::string rest((std::istreambuf_iterator<char>(lines)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rest,
              "     f3.fit  no match, left out\n"
              "     2 of 3 frames registered: new list [PATH]\n"
              "     median image has been calculated\n"
              "     width = 128\n     height = 128\n"
              "[WORK] = " + night.path().string() + "\n"
              "  [x] f1.fit\n  [x] f2.fit\n  [x] f3.fit\n"
              "[PATH] = " + night.file("patternreg") + "\n"
              "  [x] f1.fit\n  [x] f2.fit\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

// ---------------------------------------------------------------------------------------
// Settings.

TEST_F(BatchTest, SettingsFileGivesWorkingDirectoryAndHeaderOptionAndIsNeverWritten)
{
    WriteImage(path("withcard.fit"), 5, 1, {1, 1, 1, 1, 1}, {"FROMB   = 'yes'"});
    const std::string ini = "[PATH]\r\nWorking path=" + work.path().string() + "\r\n[Image processing parameters]\r\nHeaders combo 1=1\r\nHeaders edit 1=7\r\n";
    WriteFileBytes(path("my.ini"), ini);
    const RunResult r = run({"--ini", path("my.ini"), "--open", path("a.fit"), "-c", "add (withcard)", "-c", "headers", "--lists"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("FROMB   = 'yes'"), std::string::npos) << "header option 1 takes Image B's cards";
    EXPECT_EQ(r.out.find("OBSERVER"), std::string::npos);
    EXPECT_NE(r.out.find("[WORK] = " + work.path().string() + "\n  [x] a.fit\n"), std::string::npos);
    const std::vector<unsigned char> after = ReadFileBytes(path("my.ini"));
    EXPECT_EQ(std::string(after.begin(), after.end()), ini);
    EXPECT_TRUE(std::filesystem::is_empty(path(".config"))) << "no settings file of the desktop program appears";

    // --workdir wins over the file; the zero-division value comes from the file.
    TempDir other;
    WriteImage(other.file("zeros.fit"), 5, 1, {0, 0, 0, 0, 0});
    const RunResult r2 = run({"--ini", path("my.ini"), "--workdir", other.path().string(), "--open", path("a.fit"), "-c", "div (zeros)", "-c", "stat", "--lists"});
    EXPECT_EQ(r2.out, "     first image has been divided by second image\n"
                      "     min = 7\n     max = 7\n     median = 7\n     mean = 7\n     sigma = 0\n"
                      "[WORK] = " + other.path().string() + "\n  [x] zeros.fit\n");
    EXPECT_EQ(r2.status, 0) << r2.err;
}

// ---------------------------------------------------------------------------------------
// Saving and exporting.

TEST_F(BatchTest, SavedImageReadsBackAsTruncatedSixteenBitValues)
{
    WriteImage(path("range.fit"), 3, 2, {-5, 1.9, 40000, 1000.5, 7, 32767.9}, {"OBSERVER= 'Batch'"});
    const RunResult r = run({"--open", path("range.fit"), "--save", path("out.fit"), "-c", "add 0.5", "--save", path("out2.fit")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "     offset has been added to image\n");

    const FitsContents saved = ReadFits(path("out.fit"));
    ASSERT_EQ(saved.status, 0);
    EXPECT_EQ(saved.width, 3);
    EXPECT_EQ(saved.height, 2);
    EXPECT_EQ(saved.values, (std::vector<double>{0, 1, 32767, 1000, 7, 32767}));
    bool observer = false;
    for (const std::string& card : saved.cards)
        observer |= card.rfind("OBSERVER= 'Batch'", 0) == 0;
    EXPECT_TRUE(observer) << "Image A's header cards are written";

    const FitsContents added = ReadFits(path("out2.fit"));
    ASSERT_EQ(added.status, 0);
    EXPECT_EQ(added.values, (std::vector<double>{0, 2, 32767, 1001, 7, 32767}));
}

// The 54 header bytes and the grey rows of an exported bitmap of a 5 x 1 image.
struct Bitmap {
    std::vector<unsigned char> bytes;
    std::uint32_t u32(std::size_t at) const { return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24; }
    std::vector<int> greys() const
    {
        std::vector<int> g;
        for (std::size_t i = 54; i + 2 < 54 + 15; i += 3) {
            EXPECT_EQ(bytes[i], bytes[i + 1]);
            EXPECT_EQ(bytes[i], bytes[i + 2]);
            g.push_back(bytes[i]);
        }
        return g;
    }
};

TEST_F(BatchTest, ExportedBitmapFollowsAutoThresholdsEditsAndInvert)
{
    const RunResult r = run({"--open", path("a.fit"), "--export", path("auto.bmp"), "--invert", "--export", path("inverted.bmp"),
                             "--thresholds", "0", "255", "--export", path("edits.bmp"), "--auto", "--export", path("again.bmp"),
                             "--thresholds", "99999", "-5", "--export", path("limits.bmp")});
    ASSERT_EQ(r.status, 0) << r.err;

    const Bitmap automatic{ReadFileBytes(path("auto.bmp"))};
    ASSERT_EQ(automatic.bytes.size(), 54u + 16u); // one row of 15 bytes padded to 16
    EXPECT_EQ(automatic.bytes[0], 'B');
    EXPECT_EQ(automatic.bytes[1], 'M');
    EXPECT_EQ(automatic.u32(2), 70u);
    EXPECT_EQ(automatic.u32(10), 54u);
    EXPECT_EQ(automatic.u32(18), 5u);
    EXPECT_EQ(automatic.u32(22), 1u);
    EXPECT_EQ(automatic.bytes[28], 24);
    EXPECT_EQ(automatic.bytes[69], 0) << "padding byte";
    // Thresholds 800 and 2000: trunc((v - 800) * 255 / 1200).
    EXPECT_EQ(automatic.greys(), (std::vector<int>{0, 42, 127, 233, 0}));
    // Inverted (first 2000, second 800): 255 - trunc((v - 800) * 255 / 1200).
    EXPECT_EQ(Bitmap{ReadFileBytes(path("inverted.bmp"))}.greys(), (std::vector<int>{255, 213, 128, 22, 255}));
    EXPECT_EQ(Bitmap{ReadFileBytes(path("edits.bmp"))}.greys(), (std::vector<int>{255, 255, 255, 255, 100}));
    EXPECT_EQ(ReadFileBytes(path("again.bmp")), automatic.bytes);
    // 99999 is limited to 32767 and -5 puts its trackbar at 0: an inverted mapping.
    EXPECT_EQ(Bitmap{ReadFileBytes(path("limits.bmp"))}.greys(), (std::vector<int>{255 - 6, 255 - 7, 255 - 10, 255 - 14, 255 - 0}));
}

TEST_F(BatchTest, EqualiseCommandsSpreadTheExportedGreysAndLeaveTheSettingsFileAlone)
{
    // The settings file's choice is where the run starts; the commands change the run only.
    const std::string ini = "[Display]\nEqualisation=Logarithm\n";
    WriteFileBytes(path("my.ini"), ini);
    const RunResult r = run({"--ini", path("my.ini"), "--open", path("a.fit"), "--thresholds", "0", "2000", "--export", path("log.bmp"),
                             "-c", "equalise gamma 2", "--export", path("gamma.bmp"), "-c", "equalise gamma 11", "-c", "equalise gamma",
                             "-c", "equalise linear", "--export", path("linear.bmp"), "-c", "equalise log", "--export", path("log2.bmp")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "     display equalisation: gamma 2\n"
                     "     gamma must be from 0.1 to 10 !\n"
                     "     unknown command !\n"
                     "     display equalisation: linear\n"
                     "     display equalisation: logarithm\n");
    const std::vector<unsigned char> after = ReadFileBytes(path("my.ini"));
    EXPECT_EQ(std::string(after.begin(), after.end()), ini);

    // a.fit holds 800, 1000, 1400, 1900, 100: p = v x 255 / 2000, g = trunc(255 F(p / 255)).
    std::vector<int> logarithm, gamma, linear;
    for (const double v : {800.0, 1000.0, 1400.0, 1900.0, 100.0}) {
        const double t = v * (255.0 / 2000.0) / 255.0;
        logarithm.push_back(static_cast<int>(255.0 * (std::log10(1.0 + 1000.0 * t) / std::log10(1001.0))));
        gamma.push_back(static_cast<int>(255.0 * std::pow(t, 0.5)));
        linear.push_back(static_cast<int>(v * (255.0 / 2000.0)));
    }
    EXPECT_EQ(Bitmap{ReadFileBytes(path("log.bmp"))}.greys(), logarithm);
    EXPECT_EQ(Bitmap{ReadFileBytes(path("gamma.bmp"))}.greys(), gamma);
    EXPECT_EQ(Bitmap{ReadFileBytes(path("linear.bmp"))}.greys(), linear);
    EXPECT_EQ(ReadFileBytes(path("log2.bmp")), ReadFileBytes(path("log.bmp")));
    EXPECT_NE(logarithm, linear);
    EXPECT_NE(gamma, linear);
}

TEST_F(BatchTest, ExportFollowsArithmeticAndCoaddition)
{
    TempDir frames;
    WriteImage(frames.file("f.fit"), 3, 1, {0, 100, 300});
    const RunResult r = run({"--workdir", frames.path().string(), "--open", path("a.fit"), "--thresholds", "0", "255", "-c", "mult 0.1",
                             "--export", path("mult.bmp"), "-c", "median [WORK]", "--export", path("median.bmp")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Bitmap{ReadFileBytes(path("mult.bmp"))}.greys(), (std::vector<int>{80, 100, 140, 190, 10}));
    const std::vector<unsigned char> median = ReadFileBytes(path("median.bmp"));
    ASSERT_EQ(median.size(), 54u + 12u);
    EXPECT_EQ(std::vector<int>(median.begin() + 54, median.begin() + 63), (std::vector<int>{0, 0, 0, 100, 100, 100, 255, 255, 255}));
}

TEST_F(BatchTest, ExportToAnUnwritablePlaceIsReported)
{
    const RunResult r = run({"--open", path("a.fit"), "--export", path("no/such/folder/x.bmp"), "-c", "size"});
    EXPECT_EQ(r.out, "     width = 5\n     height = 1\n");
    EXPECT_EQ(r.err, "Error: Failed to create bitmap file.\n  file: " + path("no/such/folder/x.bmp") + "\n");
    EXPECT_EQ(r.status, 1);
}

} // namespace
} // namespace skyvane
