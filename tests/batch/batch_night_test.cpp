// List arithmetic with the real program: an operand that is no number is refused.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/ProgramRun.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

test::ProgramRun RunBatch(const TempDir& sandbox, const std::vector<std::string>& args)
{
    return test::RunProgram(SKYVANE_BATCH_PATH, args, {sandbox.path().string(), {}, false});
}

void WriteImage(const std::string& path, std::vector<double> values)
{
    test::FitsLayout layout;
    layout.width = static_cast<int>(values.size());
    layout.height = 1;
    layout.values = std::move(values);
    test::WriteFitsImage(path, layout);
}

TEST(BatchListOperand, ListCommandsRefuseAnOperandThatIsNoNumberAndWriteNothing)
{
    TempDir sandbox;
    const std::string folder = sandbox.file("frames");
    std::filesystem::create_directories(folder);
    WriteImage(folder + "/a.fit", {1, 2, 3});
    WriteImage(folder + "/b.fit", {4, 5, 6});
    const std::vector<std::string> refused = {"listadd [WORK]", "listadd [WORK] ", "listsub [WORK] abc", "listmult [WORK] nan",
                                              "listdiv [WORK] 0x10", "listadd [WORK] inf", "listsub [WORK] 1e999", "listmult [WORK] 5 6",
                                              "listdiv [WORK] 2x", "listadd [WORK] -", "listsub [WORK] 1e"};
    std::vector<std::string> args = {"--workdir", folder};
    std::string replies;
    for (const std::string& command : refused) {
        args.insert(args.end(), {"-c", command});
        replies += "     not a number !\n";
    }
    args.insert(args.end(), {"--lists"});
    const test::ProgramRun r = RunBatch(sandbox, args);
    EXPECT_EQ(r.out, replies + "[WORK] = " + folder + "\n  [x] a.fit\n  [x] b.fit\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::FolderEntries(folder), (std::vector<std::string>{"a.fit", "b.fit"}));

    // A number with blanks around it, a sign and an exponent is one number; an image
    // command keeps reading a number where it finds one, 0 where it finds none.
    const test::ProgramRun taken = RunBatch(sandbox, {"--workdir", folder, "-c", "listsub [WORK]  -1.5E+1 ", "--open", folder + "/a.fit",
                                                      "-c", "add abc", "-c", "add 0x10", "-c", "stat"});
    EXPECT_EQ(taken.out, "     2 images have been subtracted; new list [PATH]\n"
                         "     offset has been added to image\n     offset has been added to image\n"
                         "     min = 1\n     max = 3\n     median = 2\n     mean = 2\n     sigma = 0.8165\n");
    EXPECT_EQ(taken.status, 0) << taken.err;
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/sub--15"));
}


} // namespace
} // namespace skyvane
