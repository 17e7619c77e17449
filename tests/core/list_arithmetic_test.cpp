#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include "command/Interpreter.h"
#include "image/FitsReader.h"
#include "processing/ListArithmetic.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::FolderEntries;
using test::TempDir;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Frames of 3 x 2 pixels with values of every kind, a dark and a flat whose zeros and
// not-a-number give the zero-division value.
class ListArithmeticTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        write("a.fit", {1, 2, 3, 40000, 65535, 0}, 16, 32768);
        write("b.fit", {7.5, -1e6, 0, 3, 65535, 12}, -32);
        write("c.fit", {0.3, 1.0 / 3, 2, 4, 8, 1e-300}, -64);
        write(std::string("operands/dark.fit"), {1, 2, 0.5, -3, 0, 100}, -64);
        write(std::string("operands/flat.fit"), {0.5, 0, NaN, -0.0, 2, 0.7}, -64);
        tw.workbench.start({}, dir.file("Skyvane.ini"));
        tw.context.settings.WorkingDirectory = dir.file("operands");
        tw.context.settings.ZeroDivisionValue = 77;
        const TreeItem list = tw.context.lists.InsertList("[NIGHT] = " + dir.path().string());
        for (const char* name : {"a.fit", "b.fit", "c.fit"})
            tw.context.lists.InsertFile(list, name);
    }

    void write(const std::string& name, const std::vector<double>& values, int bitpix, double bzero = 0)
    {
        std::filesystem::create_directories((dir.path() / name).parent_path());
        FitsLayout layout;
        layout.width = 3;
        layout.height = 2;
        layout.values = values;
        layout.bitpix = bitpix;
        layout.bzero = bzero;
        layout.extraCards = {"OBSERVER= 'night owl'"};
        test::WriteFitsImage(dir.file(name), layout);
    }

    std::string run(const std::string& command) { return ExecuteCommand(tw.context, command); }

    // Image A after the Image command on the frame, each value as a 32-bit file keeps it.
    std::vector<float> imageCommandResult(const std::string& frame, const std::string& command)
    {
        tw.workbench.openImage(frame);
        EXPECT_TRUE(tw.context.imagePresent());
        (void)run(command);
        std::vector<float> values;
        const ImageGrid& grid = tw.context.imageA.grid;
        for (int x = 0; x < grid.width(); ++x)
            for (int y = 0; y < grid.height(); ++y)
                values.push_back(static_cast<float>(grid[x][y]));
        return values;
    }

    static std::vector<float> fileValues(const std::string& path, HeaderCards* cards = nullptr)
    {
        ImageRecord record;
        EXPECT_TRUE(loadFits(record, path).loaded()) << path;
        std::vector<float> values;
        for (int x = 0; x < record.grid.width(); ++x)
            for (int y = 0; y < record.grid.height(); ++y)
                values.push_back(static_cast<float>(record.grid[x][y]));
        if (cards != nullptr)
            *cards = record.cards;
        return values;
    }

    // Bit for bit, so that not-a-number and -0 count.
    static bool SameBits(const std::vector<float>& a, const std::vector<float>& b)
    {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
    }

    TempDir dir;
    test::TestWorkbench tw;
};

TEST_F(ListArithmeticTest, EveryFrameGetsTheImageCommandsResultInANewSelectedList)
{
    const auto inputBytes = test::ReadFileBytes(dir.file("a.fit"));
    struct Case {
        std::string command, imageCommand, reply, folder, history;
    };
    const std::string flat = dir.file("operands/flat.fit");
    const Case cases[] = {
        {"listsub [NIGHT] (dark)", "sub (dark)", "     3 images have been subtracted; new list [PATH]", "sub-dark", "sub (dark.fit)"},
        {"listdiv [NIGHT] (" + flat + ")", "div (" + flat + ")", "     3 images have been divided; new list [PATH2]", "div-flat", "div (flat.fit)"},
        {"listadd [NIGHT] (dark.fit)", "add (dark.fit)", "     3 images have been added; new list [PATH3]", "add-dark", "add (dark.fit)"},
        {"listmult [NIGHT] (flat)", "mult (flat)", "     3 images have been multiplied; new list [PATH4]", "mult-flat", "mult (flat.fit)"},
        {"listmult [NIGHT] 1.5", "mult 1.5", "     3 images have been multiplied; new list [PATH5]", "mult-1.5", "mult 1.5"},
        {"listdiv [NIGHT] 0.10000000000000001", "div 0.10000000000000001", "     3 images have been divided; new list [PATH6]", "div-0.1", "div 0.10000000000000001"},
        {"listadd [NIGHT] -2.25", "add -2.25", "     3 images have been added; new list [PATH7]", "add--2.25", "add -2.25"},
        {"listsub [NIGHT] 3", "sub 3", "     3 images have been subtracted; new list [PATH8]", "sub-3", "sub 3"},
        {"listdiv [NIGHT] 0", "div 0", "     3 images have been divided; new list [PATH9]", "div-0", "div 0"},
    };
    int listCount = tw.context.lists.ListCount();
    for (const Case& c : cases) {
        tw.context.imageA.clear();
        EXPECT_EQ(run(c.command), c.reply) << c.command;
        ASSERT_EQ(tw.context.lists.ListCount(), ++listCount) << c.command;
        const int n = listCount;
        EXPECT_EQ(tw.context.lists.ListLabel(n).substr(tw.context.lists.ListLabel(n).find('=') + 2), dir.file(c.folder));
        ASSERT_EQ(tw.context.lists.FileCount(n), 3);
        for (int k = 1; k <= 3; ++k) {
            const std::string name = tw.context.lists.FileLabel(n, k);
            EXPECT_EQ(name, std::string(1, static_cast<char>('a' + k - 1)) + ".fit");
            EXPECT_TRUE(tw.context.lists.IsFileSelected(tw.context.lists.FileItem(n, k)));
            HeaderCards cards;
            const std::vector<float> listed = fileValues(dir.file(c.folder + "/" + name), &cards);
            EXPECT_TRUE(SameBits(listed, imageCommandResult(dir.file(name), c.imageCommand))) << c.command << " " << name;
            ASSERT_GE(cards.count(), 2);
            EXPECT_EQ(std::string(cards.card(cards.count() - 1)).substr(0, std::string("HISTORY Skyvane: ").size() + c.history.size()), "HISTORY Skyvane: " + c.history);
            bool observer = false;
            for (int i = 0; i < cards.count(); ++i)
                observer = observer || cards.card(i).substr(0, 21) == "OBSERVER= 'night owl'";
            EXPECT_TRUE(observer);
        }
    }
    EXPECT_EQ(test::ReadFileBytes(dir.file("a.fit")), inputBytes);

    // The 32-bit results serve every command: statistics, arithmetic, co-addition.
    tw.workbench.openImage(dir.file("a.fit"));
    (void)run("sub (dark)");
    const std::string expected = run("stat");
    tw.workbench.openImage(dir.file("sub-dark/a.fit"));
    EXPECT_EQ(run("stat"), expected);
    EXPECT_EQ(run("add (" + dir.file("sub-dark/a.fit") + ")"), "     two images have been added");
    EXPECT_EQ(tw.context.imageA.grid[1][1], 2 * (65535.0 - 0.0));
    EXPECT_EQ(run("mean [PATH]"), "     mean image has been calculated");
    EXPECT_EQ(tw.context.imageA.grid[0][0], (0.0 + 6.5 + static_cast<double>(-0.7f)) / 3);
}

TEST_F(ListArithmeticTest, BadFramesAreLeftOutAndABadOperandRefusesTheRun)
{
    test::WriteFileBytes(dir.file("b.fit"), "not a FITS file");
    FitsLayout other;
    other.width = 2;
    other.height = 2;
    other.values = {1, 2, 3, 4};
    test::WriteFitsImage(dir.file("c.fit"), other);
    EXPECT_EQ(run("listsub [NIGHT] (dark)"), "     1 image has been subtracted; new list [PATH]; 2 left out");
    EXPECT_EQ(tw.messages.texts, (std::vector<std::string>{"Error while reading image data", "Image size mismatch."}));
    EXPECT_EQ(tw.messages.paths, (std::vector<std::string>{dir.file("b.fit"), dir.file("c.fit")}));
    EXPECT_EQ(FolderEntries(dir.file("sub-dark")), std::vector<std::string>{"a.fit"});

    // With a constant, any size goes.
    tw.messages.clear();
    EXPECT_EQ(run("listmult [NIGHT] 2"), "     2 images have been multiplied; new list [PATH2]; 1 left out");

    // An operand that cannot be read, or fits no frame, refuses before anything is made.
    const auto entries = FolderEntries(dir.path().string());
    tw.messages.clear();
    EXPECT_EQ(run("listdiv [NIGHT] (missing)"), "     second image could not be used, nothing has been written !");
    EXPECT_EQ(tw.messages.paths.back(), dir.file("operands/missing.fit"));
    tw.messages.clear();
    EXPECT_EQ(run("listdiv [NIGHT] (" + dir.file("c.fit") + ")"), "     1 image has been divided; new list [PATH3]; 2 left out");
    test::WriteFileBytes(dir.file("a.fit"), "");
    tw.messages.clear();
    EXPECT_EQ(run("listdiv [NIGHT] (" + dir.file("operands/flat.fit") + ")"), "     second image could not be used, nothing has been written !");
    EXPECT_EQ(tw.messages.texts, std::vector<std::string>{"Size of the image is not compatible with the images of the list."});
    auto expected = entries;
    expected.push_back("div-c");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FolderEntries(dir.path().string()), expected);
    EXPECT_EQ(run("listadd [NOPE] 1"), "     list name not recognized !");
}

// Gzipped frames give plain FITS files, named without ".gz"; the result of "a.fit.gz"
// beside "a.fit" gets a number rather than taking the other's place.
TEST_F(ListArithmeticTest, CompressedFramesGiveUncompressedNames)
{
    const auto gzipCopy = [&](const std::string& from, const std::string& to) {
        const std::vector<unsigned char> bytes = test::ReadFileBytes(dir.file(from));
        gzFile file = gzopen(dir.file(to).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
        ASSERT_EQ(gzclose(file), Z_OK);
    };
    gzipCopy("b.fit", "m31.fits.gz");
    gzipCopy("c.fit", "a.fit.gz");
    const TreeItem list = tw.context.lists.InsertList("[GZ] = " + dir.path().string());
    for (const char* name : {"m31.fits.gz", "a.fit", "a.fit.gz"})
        tw.context.lists.InsertFile(list, name);
    EXPECT_EQ(run("listadd [GZ] 1"), "     3 images have been added; new list [PATH]");
    EXPECT_EQ(FolderEntries(dir.file("add-1")), (std::vector<std::string>{"a-2.fit", "a.fit", "m31.fits"}));
    const int n = tw.context.lists.ListCount();
    EXPECT_EQ(tw.context.lists.FileLabel(n, 1), "m31.fits");
    EXPECT_EQ(tw.context.lists.FileLabel(n, 3), "a-2.fit");
    for (const char* name : {"m31.fits", "a.fit", "a-2.fit"}) {
        const std::vector<unsigned char> bytes = test::ReadFileBytes(dir.file(std::string("add-1/") + name));
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 9), "SIMPLE  =") << name;
    }
    EXPECT_EQ(fileValues(dir.file("add-1/a-2.fit"))[0], static_cast<float>(0.3 + 1)); // from c.fit
    EXPECT_EQ(fileValues(dir.file("add-1/m31.fits"))[0], 8.5f);
}

// A pixel missing in a frame (NaN, or BLANK of an integer file) or in the operand is missing
// in the result; the zero-division value stands only for a present value divided by 0.
TEST_F(ListArithmeticTest, MissingPixelsStayMissing)
{
    write("m/n.fit", {NaN, 2, 3, 4, 5, 6}, -32);
    FitsLayout blank;
    blank.width = 3;
    blank.height = 2;
    blank.bitpix = 16;
    blank.values = {-1, 2, 3, 4, 5, 6};
    blank.extraCards = {"BLANK   =                   -1"};
    test::WriteFitsImage(dir.file("m/k.fit"), blank);
    const TreeItem list = tw.context.lists.InsertList("[M] = " + dir.file("m"));
    tw.context.lists.InsertFile(list, "n.fit");
    tw.context.lists.InsertFile(list, "k.fit");
    EXPECT_EQ(run("listdiv [M] (flat)"), "     2 images have been divided; new list [PATH]");
    EXPECT_EQ(run("listsub [M] 1"), "     2 images have been subtracted; new list [PATH2]");
    // flat, row-major: 0.5, 0, NaN, -0, 2, 0.7
    const std::vector<double> divided = {NaN, 77, NaN, 77, 2.5, static_cast<double>(static_cast<float>(6 / 0.7))};
    const std::vector<double> subtracted = {NaN, 1, 2, 3, 4, 5};
    for (const char* name : {"n.fit", "k.fit"}) {
        for (const auto& [folder, expected] : {std::pair{"div-flat", divided}, std::pair{"sub-1", subtracted}}) {
            ImageRecord result;
            ASSERT_TRUE(loadFits(result, dir.file(std::string("m/") + folder + "/" + name)).loaded());
            for (int i = 0; i < 6; ++i) {
                const double v = result.grid[i % 3][i / 3];
                if (std::isnan(expected[static_cast<std::size_t>(i)]))
                    EXPECT_TRUE(std::isnan(v)) << name << " " << folder << " " << i;
                else
                    EXPECT_EQ(v, expected[static_cast<std::size_t>(i)]) << name << " " << folder << " " << i;
            }
        }
    }
}

// Cancels when asked the given number of times.
class CancellingFeedback final : public Feedback {
public:
    explicit CancellingFeedback(int after) : after_(after) {}
    void showError(const std::string& text) override { errors.push_back(text); }
    void showProgress(const std::string& text, double fraction) override
    {
        progress.push_back(text);
        fractions.push_back(fraction);
    }
    bool cancelRequested() const override { return ++asked_ > after_; }
    std::vector<std::string> errors;
    std::vector<std::string> progress;
    std::vector<double> fractions;

private:
    int after_;
    mutable int asked_ = 0;
};

TEST_F(ListArithmeticTest, CancelRemovesTheFolderAndAddsNoList)
{
    const int lists = tw.context.lists.ListCount();
    const auto entries = FolderEntries(dir.path().string());
    for (int after : {0, 1}) {
        CommandRun command = CommandRun::start(tw.context, "listsub [NIGHT] 1");
        ASSERT_TRUE(command.hasLongPart());
        CancellingFeedback feedback(after);
        command.run(feedback);
        EXPECT_EQ(command.finish(tw.context), "     list arithmetic cancelled") << after;
        EXPECT_EQ(tw.context.lists.ListCount(), lists);
        EXPECT_EQ(FolderEntries(dir.path().string()), entries);
    }
    // Not cancelled: progress after every frame.
    CommandRun command = CommandRun::start(tw.context, "listsub [NIGHT] 1");
    CancellingFeedback feedback(1000000);
    command.run(feedback);
    EXPECT_EQ(command.finish(tw.context), "     3 images have been subtracted; new list [PATH]");
    EXPECT_EQ(feedback.progress, (std::vector<std::string>{"Frame 1 of 3 done", "Frame 2 of 3 done", "Frame 3 of 3 done"}));
    EXPECT_EQ(feedback.fractions.back(), 1.0);
}

class RecordingListFeedback final : public ListArithmeticFeedback {
public:
    void notice(const ListArithmeticNotice& n) override { notices.push_back(n); }
    void progress(int, int) override {}
    bool cancelRequested() override { return false; }
    std::vector<ListArithmeticNotice> notices;
};

TEST_F(ListArithmeticTest, WorkersChangeNoBit)
{
    for (int i = 0; i < 12; ++i)
        write("many/f" + std::to_string(i) + ".fit", {i * 0.7, 1.0 / (i + 1), -i * 1e5, 3, 4, 5}, -64);
    ListArithmeticJob job;
    job.operation = ListOperation::Divide;
    job.withImage = true;
    job.operandPath = dir.file("operands/flat.fit");
    job.zeroDivisionValue = -1;
    for (int i = 0; i < 12; ++i)
        job.framePaths.push_back(dir.file("many/f" + std::to_string(i) + ".fit"));
    job.outputParent = dir.file("many");
    job.outputName = "div-flat";
    RecordingListFeedback feedback;
    std::vector<std::string> folders;
    for (int threads : {1, 2, 4}) {
        job.threads = threads;
        ListArithmeticResult result = RunListArithmetic(job, feedback);
        ASSERT_EQ(result.status, ListArithmeticStatus::Done);
        EXPECT_EQ(result.output.fileCount(), 12);
        folders.push_back(result.output.folder());
    }
    for (int i = 0; i < 12; ++i) {
        const std::string name = "/f" + std::to_string(i) + ".fit";
        EXPECT_EQ(test::ReadFileBytes(folders[1] + name), test::ReadFileBytes(folders[0] + name));
        EXPECT_EQ(test::ReadFileBytes(folders[2] + name), test::ReadFileBytes(folders[0] + name));
    }
    EXPECT_TRUE(feedback.notices.empty());
}

// A file size limit stands for a full disk: the write of the third, larger result fails.
TEST_F(ListArithmeticTest, AFailedWriteStopsTheRunAndRemovesEverything)
{
    FitsLayout large;
    large.width = 100;
    large.height = 100;
    large.values.assign(10000, 1.0);
    test::WriteFitsImage(dir.file("c.fit"), large);
    const auto entries = FolderEntries(dir.path().string());
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{20000, 20000};
        setrlimit(RLIMIT_FSIZE, &limit);
        ListArithmeticJob job;
        job.operation = ListOperation::Add;
        job.constant = 1;
        job.framePaths = {dir.file("a.fit"), dir.file("b.fit"), dir.file("c.fit")};
        job.outputParent = dir.path().string();
        job.outputName = "add-1";
        job.threads = 1;
        RecordingListFeedback feedback;
        const ListArithmeticResult result = RunListArithmetic(job, feedback);
        const bool told = feedback.notices.size() == 1 && feedback.notices[0].kind == ListArithmeticNotice::Kind::WriteFailed &&
                          feedback.notices[0].path == dir.file("add-1/c.fit");
        _exit(result.status == ListArithmeticStatus::WriteFailed && told ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(FolderEntries(dir.path().string()), entries);
}

} // namespace
} // namespace skyvane
