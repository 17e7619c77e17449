// A frame that a registration leaves out for want of memory is a message too, naming the
// frame; a frame of another size is left out for its size, whatever its memory.

#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "image/ImageGrid.h"
#include "support/StarField.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

void WriteStarFrame(const std::string& path, int size, double dx)
{
    ImageGrid grid;
    test::DrawStarField(grid, size, size, 100.0, {{30.0, 20.0, 1.6, 5000.0}}, dx, 0.0, 2.0, 7);
    test::FitsLayout layout;
    layout.width = layout.height = size;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            layout.values.push_back(grid[x][y]);
    test::WriteFitsImage(path, layout); // 64-bit floats: the data are as large as the grid
}

TEST(RegistrationMessages, AFrameLeftOutForWantOfMemoryIsAMessage)
{
    test::TempDir dir;
    test::TestContext test;
    WriteStarFrame(dir.file("f1.fit"), 64, 0.0);
    WriteStarFrame(dir.file("f2.fit"), 64, 1.5);
    WriteStarFrame(dir.file("f3.fit"), 80, 0.0);
    // Gzipped, the second frame needs its inflated file besides its grid: more than a grid
    // of the reference's size may have.
    const std::vector<unsigned char> bytes = test::ReadFileBytes(dir.file("f2.fit"));
    gzFile file = gzopen(dir.file("f2.fit.gz").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
    ASSERT_EQ(gzclose(file), Z_OK);
    const TreeItem list = test.context.lists.ListForFolder(dir.path().string());
    for (const char* name : {"f1.fit", "f2.fit.gz", "f3.fit"})
        test.context.lists.InsertFile(list, name);

    SetGridMemoryLimit(GridBytes(64, 64));
    const std::string reply = ExecuteCommand(test.context, "starreg [PATH] 31 44");
    SetGridMemoryLimit(0);
    EXPECT_EQ(reply, "     f1.fit  dx = 0.00  dy = 0.00\r\n"
                     "     f2.fit.gz  not enough memory, left out\r\n"
                     "     f3.fit  size differs from the reference frame, left out\r\n"
                     "     1 of 3 frames registered: new list [PATH2]");
    EXPECT_EQ(test.messages.texts, std::vector<std::string>{"Not enough memory for an image of 64 x 64 pixels."});
    EXPECT_EQ(test.messages.paths, std::vector<std::string>{dir.file("f2.fit.gz")});
}

} // namespace
} // namespace skyvane
