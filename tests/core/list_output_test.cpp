#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "lists/ImageListTree.h"
#include "processing/ListOutput.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::FolderEntries;
using test::TempDir;

std::string CardWithKeyword(const HeaderCards& cards, std::string_view keyword)
{
    for (int i = 0; i < cards.count(); ++i)
        if (cards.card(i).substr(0, keyword.size()) == keyword)
            return std::string(cards.card(i));
    return {};
}

// A 16-bit frame with scaling cards and a card of its own, loaded as a job would.
ImageRecord LoadedFrame(const std::string& path)
{
    FitsLayout layout;
    layout.width = 3;
    layout.height = 2;
    layout.values = {0, 1, 65535, 40000, 7, 12};
    layout.bitpix = 16;
    layout.bzero = 32768;
    layout.extraCards = {"OBJECT  = 'M 42    '"};
    test::WriteFitsImage(path, layout);
    ImageRecord record;
    EXPECT_TRUE(loadFits(record, path).loaded());
    return record;
}

TEST(Float32Save, KeepsEveryValueAndDropsTheScalingCards)
{
    TempDir dir;
    ImageRecord record = LoadedFrame(dir.file("in.fit"));
    // Values no 16-bit file holds, each exact in single precision, and the limits.
    const double values[6] = {-1234.5, 0.15625, 1e30, -0.0, std::numeric_limits<double>::quiet_NaN(), 1e300};
    for (int i = 0; i < 6; ++i)
        record.grid[i % 3][i / 3] = values[i];
    const std::string path = dir.file("out.fit");
    ASSERT_EQ(saveFits(record, path, SampleFormat::Float32), FitsError::None);

    ImageRecord back;
    ASSERT_TRUE(loadFits(back, path).loaded());
    EXPECT_EQ(back.grid[0][0], -1234.5);
    EXPECT_EQ(back.grid[1][0], 0.15625);
    EXPECT_EQ(back.grid[2][0], static_cast<double>(1e30f));
    EXPECT_TRUE(std::signbit(back.grid[0][1]) && back.grid[0][1] == 0.0);
    EXPECT_TRUE(std::isnan(back.grid[1][1]));
    EXPECT_EQ(back.grid[2][1], std::numeric_limits<double>::infinity());
    EXPECT_NE(CardWithKeyword(back.cards, "BITPIX").find("-32"), std::string::npos);
    EXPECT_EQ(CardWithKeyword(back.cards, "BZERO"), "");
    EXPECT_EQ(CardWithKeyword(back.cards, "OBJECT").substr(0, 20), "OBJECT  = 'M 42    '");

    // Saved again, the file is the same byte for byte: the float round trip is exact.
    const std::string again = dir.file("again.fit");
    ASSERT_EQ(saveFits(back, again, SampleFormat::Float32), FitsError::None);
    EXPECT_EQ(test::ReadFileBytes(again), test::ReadFileBytes(path));
}

// Rows written a band at a time, four values at a time and the rest one by one: the
// float range's limits, and a header that does not fit the rows.
TEST(Float32Save, RowsWrittenByBandsKeepTheLimits)
{
    TempDir dir;
    ImageRecord record = LoadedFrame(dir.file("in.fit"));
    const double largest = std::numeric_limits<float>::max();
    const double values[6] = {-1e300, std::nextafter(largest, 1e300), largest, -0.0, 1e-40, -std::nextafter(largest, 1e300)};
    for (int i = 0; i < 6; ++i)
        record.grid[i % 3][i / 3] = values[i];
    ASSERT_EQ(saveFloat32Rows(record.cards, {3, 2}, GridRows(record.grid), dir.file("bands.fit")), FitsError::None);
    ImageRecord back;
    ASSERT_TRUE(loadFits(back, dir.file("bands.fit")).loaded());
    constexpr double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(back.grid[0][0], -infinity);
    EXPECT_EQ(back.grid[1][0], infinity);
    EXPECT_EQ(back.grid[2][0], largest);
    EXPECT_TRUE(std::signbit(back.grid[0][1]) && back.grid[0][1] == 0.0);
    EXPECT_EQ(back.grid[1][1], static_cast<double>(static_cast<float>(1e-40)));
    EXPECT_EQ(back.grid[2][1], -infinity);
    // Cards of another size are refused before anything is written.
    EXPECT_EQ(saveFloat32Rows(record.cards, {2, 3}, GridRows(record.grid), dir.file("wrong.fit")), FitsError::Unwritable);
    EXPECT_FALSE(std::filesystem::exists(dir.file("wrong.fit")));
}

TEST(Integer16Save, CountsTheClippedPixels)
{
    TempDir dir;
    ImageRecord record = LoadedFrame(dir.file("in.fit")); // 65535 and 40000 are too bright
    record.grid[1][0] = -0.5;                              // below 0
    SaveReport report;
    ASSERT_EQ(saveFits(record, dir.file("out.fit"), SampleFormat::Integer16, &report), FitsError::None);
    EXPECT_EQ(report.clippedPixels, 3);
    record.grid[1][0] = 32767;
    record.grid[2][0] = 0;
    record.grid[0][1] = 5;
    ASSERT_EQ(saveFits(record, dir.file("out.fit"), SampleFormat::Integer16, &report), FitsError::None);
    EXPECT_EQ(report.clippedPixels, 0);
}

TEST(ListOutput, FoldersAreNewAndNamedAfterTheOperation)
{
    TempDir dir;
    EXPECT_EQ(ListOutputName("div", OperandName("/data/night/flat.fit")), "div-flat");
    EXPECT_EQ(ListOutputName("mult", "1.5"), "mult-1.5");
    EXPECT_EQ(ListOutputName("starreg", ""), "starreg");

    std::filesystem::create_directory(dir.path() / "sub-dark"); // made by someone else
    ListOutput first;
    ListOutput second;
    ASSERT_EQ(first.create(dir.path().string(), "sub-dark"), 0);
    ASSERT_EQ(second.create(dir.path().string(), "sub-dark"), 0);
    EXPECT_EQ(first.folder(), dir.file("sub-dark-2"));
    EXPECT_EQ(second.folder(), dir.file("sub-dark-3"));
    first.keep();
    second.keep();

    ListOutput missing;
    EXPECT_EQ(missing.create(dir.file("nowhere"), "sub-dark"), ENOENT);
    EXPECT_EQ(missing.folder(), "");

    // A name longer than a file name may be is shortened, not refused.
    ListOutput longName;
    EXPECT_EQ(longName.create(dir.path().string(), ListOutputName("div", std::string(300, 'f'))), 0);
}

TEST(ListOutput, WritesTheResultsAndAddsThemAsASelectedList)
{
    TempDir dir;
    ImageRecord frame = LoadedFrame(dir.file("b.fit"));
    ListOutput output;
    ASSERT_EQ(output.create(dir.path().string(), "sub-dark"), 0);
    frame.grid[0][0] = -7.25;
    const int cardsWritten = Float32Cards(frame.cards).count() + 1;
    ASSERT_EQ(output.writeFrame(1, dir.file("b.fit"), frame, "Skyvane: sub (dark.fit)\n"), FitsError::None);
    ASSERT_EQ(output.writeFrame(0, "/elsewhere/a.fit", frame, "Skyvane: sub (dark.fit)"), FitsError::None);
    output.keep();
    EXPECT_EQ(output.fileNames(), (std::vector<std::string>{"a.fit", "b.fit"}));

    ImageRecord back;
    ASSERT_TRUE(loadFits(back, output.folder() + "/b.fit").loaded());
    EXPECT_EQ(back.grid[0][0], -7.25);
    EXPECT_EQ(back.grid[1][0], 1.0);
    EXPECT_EQ(back.cards.count(), cardsWritten);
    EXPECT_EQ(std::string(back.cards.card(back.cards.count() - 1)).substr(0, 33), "HISTORY Skyvane: sub (dark.fit)? ");
    EXPECT_EQ(CardWithKeyword(back.cards, "OBJECT").substr(0, 20), "OBJECT  = 'M 42    '");

    ImageListTree lists;
    (void)lists.ListForFolder(output.folder()); // a list of that folder already exists
    const TreeItem list = AddOutputList(lists, output.folder(), output.fileNames());
    ASSERT_EQ(lists.ListCount(), 2);
    EXPECT_EQ(lists.ListItem(2), list);
    EXPECT_EQ(lists.ListLabel(2), "[PATH2] = " + output.folder());
    EXPECT_TRUE(lists.IsExpanded(list));
    ASSERT_EQ(lists.FileCount(2), 2);
    EXPECT_EQ(lists.FileLabel(2, 1), "a.fit");
    EXPECT_TRUE(lists.IsFileSelected(lists.FileItem(2, 1)));
    EXPECT_TRUE(lists.IsFileSelected(lists.FileItem(2, 2)));
}

TEST(ListOutput, DiscardRemovesOnlyWhatTheJobWrote)
{
    TempDir dir;
    ImageRecord frame = LoadedFrame(dir.file("a.fit"));
    std::string folder;
    {
        ListOutput output;
        ASSERT_EQ(output.create(dir.path().string(), "div-flat"), 0);
        folder = output.folder();
        ASSERT_EQ(output.writeFrame(0, dir.file("a.fit"), frame, "x"), FitsError::None);
        // destroyed neither kept nor discarded: an interrupted job
    }
    EXPECT_FALSE(std::filesystem::exists(folder));

    ListOutput output;
    ASSERT_EQ(output.create(dir.path().string(), "div-flat"), 0);
    EXPECT_EQ(output.folder(), folder); // the name is free again
    ASSERT_EQ(output.writeFrame(0, dir.file("a.fit"), frame, "x"), FitsError::None);
    test::WriteFileBytes(folder + "/notes.txt", "mine");
    output.discard();
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"notes.txt"});
    EXPECT_EQ(FolderEntries(dir.path().string()), (std::vector<std::string>{"a.fit", "div-flat"}));
}

} // namespace
} // namespace skyvane
