#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <new>

#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace skyvane {
namespace {

// Restores the default grid memory limit when a test that lowered it ends.
struct MemoryLimitGuard {
    explicit MemoryLimitGuard(std::uint64_t bytes) { SetGridMemoryLimit(bytes); }
    ~MemoryLimitGuard() { SetGridMemoryLimit(0); }
};

void Fill(ImageGrid& grid)
{
    for (int x = 0; x < grid.width(); ++x)
        for (int y = 0; y < grid.height(); ++y)
            grid[x][y] = 1000.0 * x + y + 0.5;
}

TEST(ImageGrid, StartsEmpty)
{
    ImageGrid grid;
    EXPECT_EQ(grid.width(), 0);
    EXPECT_EQ(grid.height(), 0);
    EXPECT_TRUE(grid.empty());
    EXPECT_EQ(grid.pixelCount(), 0);
}

TEST(ImageGrid, ResizeOfAGridWithDataGivesZeros)
{
    ImageGrid grid;
    grid.resize(7, 5);
    Fill(grid);
    grid.resize(4, 9);
    ASSERT_EQ(grid.width(), 4);
    ASSERT_EQ(grid.height(), 9);
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 9; ++y)
            EXPECT_EQ(grid[x][y], 0.0) << x << "," << y;
    // Same size again: still zeros afterwards, never the old values.
    Fill(grid);
    grid.resize(4, 9);
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 9; ++y)
            EXPECT_EQ(grid[x][y], 0.0) << x << "," << y;
}

TEST(ImageGrid, ResizeToZeroGivesTheEmptyImage)
{
    ImageGrid grid;
    grid.resize(3, 3);
    grid.resize(0, 0);
    EXPECT_EQ(grid.width(), 0);
    EXPECT_EQ(grid.height(), 0);
    EXPECT_TRUE(grid.empty());
    int visited = 0;
    for (int x = 0; x < grid.width(); ++x)
        for (int y = 0; y < grid.height(); ++y)
            ++visited;
    EXPECT_EQ(visited, 0);
}

TEST(ImageGrid, ColumnsAreContiguousInOneBlock)
{
    ImageGrid grid;
    grid.resize(3, 4);
    Fill(grid);
    // Column x starts at x * height; grid[x][y] is column x, row y.
    for (int x = 0; x < 3; ++x)
        for (int y = 0; y < 4; ++y)
            EXPECT_EQ(grid.data()[x * 4 + y], 1000.0 * x + y + 0.5);
    EXPECT_EQ(grid[2] - grid[1], 4);
}

TEST(ImageGrid, NegativeExtents)
{
    ImageGrid grid;
    grid.resize(2, 2);
    Fill(grid);
    EXPECT_FALSE(grid.tryResize(-1, 5));
    EXPECT_FALSE(grid.tryResize(5, -1));
    EXPECT_EQ(grid.width(), 2);
    EXPECT_EQ(grid[1][1], 1001.5);
    grid.resize(-3, 4);
    EXPECT_EQ(grid.width(), 0);
    EXPECT_EQ(grid.height(), 4);
    EXPECT_TRUE(grid.empty());
}

TEST(ImageGrid, SizesAreCountedIn64Bits)
{
    struct Case {
        int width, height;
        std::uint64_t bytes;
    };
    const Case cases[] = {
        {0, 0, 0},
        {0, 100, 0},
        {100, 0, 0},
        {-5, 10, 0},
        {1, 1, 8},
        {100, 50, 40000},
        {65536, 65536, std::uint64_t{1} << 35},
        {INT_MAX, INT_MAX, std::uint64_t{INT_MAX} * std::uint64_t{INT_MAX} * 8},
        {INT_MAX, 3, std::uint64_t{INT_MAX} * 24},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GridBytes(c.width, c.height), c.bytes) << c.width << " x " << c.height;
}

TEST(ImageGrid, BlocksOverTheLimitAreRefusedAndChangeNothing)
{
    ImageGrid grid;
    grid.resize(10, 10);
    Fill(grid);
    {
        MemoryLimitGuard limit(8 * 1000);
        EXPECT_TRUE(grid.tryResize(10, 100)); // exactly the limit
        Fill(grid);
        EXPECT_FALSE(grid.tryResize(10, 101));
        EXPECT_FALSE(grid.tryResize(INT_MAX, INT_MAX));
        EXPECT_FALSE(grid.tryResize(65536, 65537));
        EXPECT_THROW(grid.resize(1000, 1000), std::bad_alloc);
        ASSERT_EQ(grid.width(), 10);
        ASSERT_EQ(grid.height(), 100);
        EXPECT_EQ(grid[9][99], 9099.5);
    }
    // With the default limit (the machine's memory), a gigantic grid is still refused.
    EXPECT_FALSE(grid.tryResize(INT_MAX, INT_MAX));
    EXPECT_EQ(grid.pixelCount(), 1000);
    EXPECT_GT(GridMemoryLimit(), std::uint64_t{1} << 20);
}

TEST(ImageGrid, PixelCountDoesNotOverflow)
{
    ImageGrid grid;
    // No block is needed when one extent is 0, so the other may be anything.
    ASSERT_TRUE(grid.tryResize(INT_MAX, 0));
    EXPECT_EQ(grid.pixelCount(), 0);
    EXPECT_TRUE(grid.empty());
    grid.resize(70000, 1);
    EXPECT_EQ(grid.pixelCount(), 70000);
}

TEST(ImageGrid, ResizeForOverwriteKeepsABlockOfTheSameSize)
{
    ImageGrid grid;
    ASSERT_TRUE(grid.tryResizeForOverwrite(4, 3));
    EXPECT_EQ(grid[3][2], 0.0);
    Fill(grid);
    const double* block = grid.data();
    ASSERT_TRUE(grid.tryResizeForOverwrite(4, 3));
    EXPECT_EQ(grid.data(), block);
    EXPECT_EQ(grid[3][2], 3002.5);
    // Another size: a new zeroed grid, or nothing changes when it is refused.
    ASSERT_TRUE(grid.tryResizeForOverwrite(3, 4));
    EXPECT_EQ(grid[2][3], 0.0);
    Fill(grid);
    {
        MemoryLimitGuard limit(1000);
        EXPECT_FALSE(grid.tryResizeForOverwrite(100, 100));
    }
    EXPECT_EQ(grid.width(), 3);
    EXPECT_EQ(grid[2][3], 2003.5);
    EXPECT_FALSE(grid.tryResizeForOverwrite(-1, 4));
}

TEST(ImageGrid, LargeGridsAreZeroedAndReleasedLikeSmallOnes)
{
    // Large blocks are mapped rather than taken from the heap; sizes around the boundary
    // and changes between both kinds must all give zeros and release cleanly (the
    // sanitizer build checks the release).
    ImageGrid grid;
    for (auto [width, height] : {std::pair{1024, 1024}, std::pair{512, 1024}, std::pair{1024, 511}, std::pair{2048, 2049}, std::pair{7, 7},
                                 std::pair{1024, 1024}}) {
        SCOPED_TRACE(width * 10000 + height);
        grid.resize(width, height);
        for (int x = 0; x < width; x += 97)
            for (int y = 0; y < height; y += 89)
                ASSERT_EQ(grid[x][y], 0.0);
        EXPECT_EQ(grid[width - 1][height - 1], 0.0);
        Fill(grid);
        EXPECT_EQ(grid[width - 1][height - 1], 1000.0 * (width - 1) + height - 1 + 0.5);
    }
    ImageGrid moved(std::move(grid));
    EXPECT_EQ(moved.pixelCount(), 1024 * 1024);
    grid = std::move(moved);
    EXPECT_EQ(grid[1023][1023], 1023000.0 + 1023.5);
}

TEST(ImageGrid, MoveAndSwapCarryThePixels)
{
    ImageGrid a;
    a.resize(3, 2);
    Fill(a);
    ImageGrid b(std::move(a));
    EXPECT_EQ(a.width(), 0);
    EXPECT_EQ(a.data(), nullptr);
    ASSERT_EQ(b.width(), 3);
    EXPECT_EQ(b[2][1], 2001.5);
    ImageGrid c;
    c.resize(1, 1);
    c = std::move(b);
    EXPECT_EQ(c.width(), 3);
    EXPECT_EQ(c[1][0], 1000.5);
    ImageGrid d;
    d.swap(c);
    EXPECT_EQ(c.width(), 0);
    EXPECT_EQ(d.height(), 2);
}

TEST(HeaderCards, RecordsAre81BytesWithTheCardPaddedOrCut)
{
    HeaderCards cards;
    EXPECT_TRUE(cards.empty());
    cards.append("SIMPLE  =                    T");
    cards.append(std::string(90, 'X'));
    cards.append("");
    ASSERT_EQ(cards.count(), 3);
    ASSERT_EQ(cards.block().size(), 3u * 81u);
    EXPECT_EQ(cards.card(0), "SIMPLE  =                    T" + std::string(50, ' '));
    EXPECT_EQ(cards.card(1), std::string(80, 'X'));
    EXPECT_EQ(cards.card(2), std::string(80, ' '));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(cards.block()[static_cast<std::size_t>(i) * 81 + 80], '\0') << i;
    cards.clear();
    EXPECT_EQ(cards.count(), 0);
}

TEST(ImageRecord, ClearLeavesNoCardsAndAnEmptyGrid)
{
    ImageRecord record;
    record.grid.resize(5, 6);
    Fill(record.grid);
    record.cards.append("OBJECT  = 'M31     '");
    record.clear();
    EXPECT_EQ(record.grid.width(), 0);
    EXPECT_EQ(record.grid.height(), 0);
    EXPECT_EQ(record.cards.count(), 0);
    EXPECT_TRUE(record.cards.block().empty());
}

} // namespace
} // namespace skyvane
