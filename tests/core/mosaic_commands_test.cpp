// The commands of one-shot colour nights: size of a mosaic, calibrate, debayer and
// listdebayer, and registration leaving mosaics out.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "image/FitsReader.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::TempDir;

void WriteImage(const std::string& path, int width, int height, std::vector<double> values, std::vector<std::string> cards = {},
                int bitpix = -64)
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = std::move(values);
    layout.extraCards = std::move(cards);
    layout.bitpix = bitpix;
    test::WriteFitsImage(path, layout);
}

class MosaicCommandTest : public ::testing::Test {
protected:
    void SetUp() override { tw.context.settings.WorkingDirectory = dir.path().string(); }

    std::string run(const std::string& command) { return ExecuteCommand(tw.context, command); }

    void open(const std::string& path)
    {
        tw.workbench.openImage(path);
        ASSERT_TRUE(tw.context.imagePresent()) << path;
    }

    TempDir dir;
    test::TestWorkbench tw;
};

TEST_F(MosaicCommandTest, SizeNamesTheMosaicAsItLiesOnTheStoredRows)
{
    WriteImage(dir.file("grey.fit"), 4, 2, std::vector<double>(8, 100.0));
    WriteImage(dir.file("rggb.fit"), 4, 2, std::vector<double>(8, 100.0), {"BAYERPAT= 'RGGB'"});
    WriteImage(dir.file("flipped.fit"), 4, 2, std::vector<double>(8, 100.0), {"BAYERPAT= 'RGGB'", "ROWORDER= 'BOTTOM-UP'"});
    open(dir.file("grey.fit"));
    EXPECT_EQ(run("size"), "     width = 4\r\n     height = 2");
    open(dir.file("rggb.fit"));
    EXPECT_EQ(run("size"), "     width = 4\r\n     height = 2\r\n     colour mosaic RGGB");
    open(dir.file("flipped.fit"));
    EXPECT_EQ(run("size"), "     width = 4\r\n     height = 2\r\n     colour mosaic GBRG");
}

} // namespace
} // namespace skyvane
