// What the batch tool writes about names and files, with the real program in real
// processes: the program's own line breaks stay line breaks, names are escaped where they
// could drive a terminal or split a line, and a pipe gets the bytes.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ProgramRun.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

test::ProgramRun RunBatch(const TempDir& sandbox, const std::vector<std::string>& args, bool onTerminal = false)
{
    return test::RunProgram(SKYVANE_BATCH_PATH, args, {sandbox.path().string(), {}, onTerminal});
}

void WriteRow(const std::string& path, double value)
{
    test::FitsLayout layout;
    layout.width = 5;
    layout.height = 1;
    layout.values.assign(5, value);
    test::WriteFitsImage(path, layout);
}

TEST(BatchText, AMessageOfTwoLinesIsWrittenAsTwoLinesAndNamesStayOneLine)
{
    TempDir sandbox;
    const std::string cube = sandbox.file("cube\nnamed.fit"); // three axes
    test::WriteFileBytes(cube, test::RawFitsHeader({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 3", "NAXIS1  = 2", "NAXIS2  = 2",
                                                    "NAXIS3  = 1"}) + std::string(2880, '\0'));
    const std::string script = sandbox.file("run\n.txt");
    const test::ProgramRun r = RunBatch(sandbox, {"--open", cube, "--script", script});
    const std::string named = "  file: " + sandbox.file("cube\\x0Anamed.fit") + "\n";
    EXPECT_EQ(r.err, "Error: Loaded image is not 2-D.\nOnly 2-D images are supported.\n" + named +
                         "Error: Error while reading image size\n" + named +
                         "Error: cannot read script file " + sandbox.file("run\\x0A.txt") + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
}

// A frame whose name holds an escape sequence and a line break, in a folder whose name
// holds a line break; the frame cannot be read whole, so the reply names it.
class BatchNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(folder);
        WriteRow(folder + "/f0.fit", 1);
        WriteRow(folder + "/f1.fit", 3);
        WriteRow(folder + "/" + hostile, 9);
        std::filesystem::resize_file(folder + "/" + hostile, 2880 + 8);
    }

    std::vector<std::string> args() const { return {"--workdir", folder, "-c", "mean [WORK]", "--lists"}; }
    // --lists: one line per entry wherever it goes.
    std::string lists() const
    {
        return "[WORK] = " + sandbox.file("night\\x0Asky") + "\n  [x] f0.fit\n  [x] f1.fit\n  [x] f2\\x1B[2J\\x0Ax.fit\n";
    }

    TempDir sandbox;
    const std::string folder = sandbox.file("night\nsky");
    const std::string hostile = "f2\x1B[2J\nx.fit";
};

TEST_F(BatchNames, RepliesOnATerminalEscapeThemAndAPipeGetsTheBytes)
{
    const test::ProgramRun terminal = RunBatch(sandbox, args(), true);
    EXPECT_EQ(terminal.out, "     mean image has been calculated\n"
                            "     2 of 3 frames combined; left out: f2\\x1B[2J\\x0Ax.fit\n" + lists());
    EXPECT_EQ(terminal.err.find('\x1B'), std::string::npos) << terminal.err;
    EXPECT_EQ(terminal.status, 1) << "the unreadable frame is an error";

    const test::ProgramRun pipe = RunBatch(sandbox, args());
    EXPECT_EQ(pipe.out, "     mean image has been calculated\n"
                        "     2 of 3 frames combined; left out: " + hostile + "\n" + lists());
    EXPECT_EQ(pipe.status, 1);
}

} // namespace
} // namespace skyvane
