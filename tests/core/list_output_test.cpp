#include <gtest/gtest.h>

#include <algorithm>
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
    ASSERT_EQ(first.create(dir.path().string(), "sub-dark", {}), 0);
    ASSERT_EQ(second.create(dir.path().string(), "sub-dark", {}), 0);
    ASSERT_EQ(second.keep(), 0);
    ASSERT_EQ(first.keep(), 0);
    EXPECT_EQ(second.folder(), dir.file("sub-dark-2"));
    EXPECT_EQ(first.folder(), dir.file("sub-dark-3"));

    ListOutput missing;
    EXPECT_EQ(missing.create(dir.file("nowhere"), "sub-dark", {}), ENOENT);
    EXPECT_EQ(missing.folder(), "");

    // A name longer than a file name may be is shortened, not refused.
    ListOutput longName;
    EXPECT_EQ(longName.create(dir.path().string(), ListOutputName("div", std::string(300, 'f')), {}), 0);
    EXPECT_EQ(longName.keep(), 0);
}

TEST(ListOutput, WritesTheResultsAndAddsThemAsASelectedList)
{
    TempDir dir;
    ImageRecord frame = LoadedFrame(dir.file("b.fit"));
    ListOutput output;
    ASSERT_EQ(output.create(dir.path().string(), "sub-dark", {"/elsewhere/a.fit", dir.file("b.fit")}), 0);
    EXPECT_EQ(output.folder(), dir.file("sub-dark"));
    EXPECT_EQ(output.filePath(1), dir.file("sub-dark/b.fit"));
    frame.grid[0][0] = -7.25;
    const int cardsWritten = Float32Cards(frame.cards).count() + 1;
    ASSERT_EQ(output.writeFrame(1, frame, "Skyvane: sub (dark.fit)\n"), FitsError::None);
    ASSERT_EQ(output.writeFrame(0, frame, "Skyvane: sub (dark.fit)"), FitsError::None);
    EXPECT_FALSE(std::filesystem::exists(output.folder())) << "no result folder before it is whole";
    ASSERT_EQ(output.keep(), 0);
    EXPECT_EQ(output.fileNames(), (std::vector<std::string>{"a.fit", "b.fit"}));
    EXPECT_EQ(FolderEntries(dir.path().string()), (std::vector<std::string>{"b.fit", "sub-dark"}));

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

// Until kept, the results are in a hidden folder; a job that is dropped or discarded leaves
// nothing, and one that was killed leaves a hidden folder that the next job there removes,
// but never another living job's.
TEST(ListOutput, NothingButWholeFoldersIsLeft)
{
    TempDir dir;
    ImageRecord frame = LoadedFrame(dir.file("a.fit"));
    const std::vector<std::string> before = FolderEntries(dir.path().string());
    {
        ListOutput output;
        ASSERT_EQ(output.create(dir.path().string(), "div-flat", {dir.file("a.fit")}), 0);
        ASSERT_EQ(output.writeFrame(0, frame, "x"), FitsError::None);
        // destroyed neither kept nor discarded: an interrupted job
    }
    EXPECT_EQ(FolderEntries(dir.path().string()), before);
    ListOutput discarded;
    ASSERT_EQ(discarded.create(dir.path().string(), "div-flat", {dir.file("a.fit")}), 0);
    ASSERT_EQ(discarded.writeFrame(0, frame, "x"), FitsError::None);
    discarded.discard();
    EXPECT_EQ(FolderEntries(dir.path().string()), before);

    // What a killed job leaves: a hidden folder with a result and a file replacement's
    // leftover in it, and no lock on it.
    const std::string abandoned = dir.file(".skyvane-result-Ab3dE6gH.tmp");
    std::filesystem::create_directory(abandoned);
    test::WriteFileBytes(abandoned + "/a.fit", "partial");
    test::WriteFileBytes(abandoned + "/.skyvane-0123456789abcdef-x1y2z3w4.tmp", "");
    ListOutput living;
    ASSERT_EQ(living.create(dir.path().string(), "div-flat", {dir.file("a.fit")}), 0);
    ASSERT_EQ(living.writeFrame(0, frame, "x"), FitsError::None);
    std::vector<std::string> entries = FolderEntries(dir.path().string());
    EXPECT_EQ(std::count(entries.begin(), entries.end(), ".skyvane-result-Ab3dE6gH.tmp"), 0) << "the abandoned folder is removed";
    ASSERT_EQ(entries.size(), before.size() + 1);

    ListOutput next;
    ASSERT_EQ(next.create(dir.path().string(), "div-flat", {dir.file("a.fit")}), 0);
    EXPECT_EQ(FolderEntries(dir.path().string()).size(), before.size() + 2) << "the living job's folder stays";
    ASSERT_EQ(living.keep(), 0);
    next.discard();
    EXPECT_EQ(living.fileNames(), std::vector<std::string>{"a.fit"});
    entries = FolderEntries(dir.path().string());
    EXPECT_EQ(entries, (std::vector<std::string>{"a.fit", "div-flat"}));
    EXPECT_EQ(FolderEntries(dir.file("div-flat")), std::vector<std::string>{"a.fit"});
}

// Results are plain FITS files: a gzipped frame's result drops the compression suffix,
// and a name another frame's result has taken gets a number.
TEST(ListOutput, ResultsOfCompressedFramesLoseTheSuffix)
{
    EXPECT_EQ(ResultFileNames({"/n/m31.fits.gz", "/n/b.fit.GZ", "/n/a.fit", "/n/a.fit.gz", "/n/a-2.fit", "/n/c.gz", "/n/.gz", "/n/d.fit", "/n/e.fits.fz", "/n/f.FZ"}),
              (std::vector<std::string>{"m31.fits", "b.fit", "a.fit", "a-2.fit", "a-2-2.fit", "c", ".gz", "d.fit", "e.fits", "f.fit"}));
    const std::string longName = std::string(251, 'x') + ".fit";
    const std::vector<std::string> names = ResultFileNames({"/n/" + longName, "/n/" + longName + ".gz"});
    EXPECT_EQ(names[1], std::string(249, 'x') + "-2.fit");
}

// A history longer than one card goes on over further HISTORY cards, broken between words
// where it can be, and read back in order gives the whole text.
TEST(ListOutput, LongHistoryContinuesOnFurtherCards)
{
    TempDir dir;
    ImageRecord frame = LoadedFrame(dir.file("a.fit"));
    const std::string reference = "light_" + std::string(90, 'L') + "_001.fit";
    const std::string history = "Skyvane: autoreg shifted by dx = 3.2712 dy = -1.1203 (Lanczos-3) onto " + reference;
    ListOutput output;
    ASSERT_EQ(output.create(dir.path().string(), "autoreg", {dir.file("a.fit")}), 0);
    ASSERT_EQ(output.writeFrame(0, frame, history), FitsError::None);
    ASSERT_EQ(output.keep(), 0);
    ImageRecord back;
    ASSERT_TRUE(loadFits(back, output.filePath(0)).loaded());
    std::vector<std::string> lines;
    for (int i = 0; i < back.cards.count(); ++i) {
        const std::string card(back.cards.card(i));
        if (card.compare(0, 8, "HISTORY ") == 0)
            lines.push_back(card.substr(8, card.find_last_not_of(' ') - 7));
    }
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Skyvane: autoreg shifted by dx = 3.2712 dy = -1.1203 (Lanczos-3) onto");
    EXPECT_EQ(lines[1] + lines[2], reference);
    EXPECT_EQ(lines[1].size(), 72u);
}

} // namespace
} // namespace skyvane
