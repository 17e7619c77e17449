#include <gtest/gtest.h>

#include <fitsio.h>

#include <climits>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "command/Messages.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageRecord.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::RecordingMessages;
using test::TempDir;

const std::string NotTwoD = "Loaded image is not 2-D.\nOnly 2-D images are supported.";
const std::string SizeError = "Error while reading image size";
const std::string DataError = "Error while reading image data";
const std::string HeaderError = "Error while reading image headers";
const std::string WriteError = "Error while writing image file";
using Texts = std::vector<std::string>;

struct MemoryLimitGuard {
    explicit MemoryLimitGuard(std::uint64_t bytes) { SetGridMemoryLimit(bytes); }
    ~MemoryLimitGuard() { SetGridMemoryLimit(0); }
};

double Ramp(int x, int y)
{
    return 1000.0 * y + x;
}

FitsLayout RampLayout(int width, int height, int bitpix)
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitpix = bitpix;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            layout.values.push_back(std::fmod(Ramp(x, y), 100.0) + x % 7);
    return layout;
}

// The stored numbers of a file's primary image, scaling off, row-major.
std::vector<double> StoredValues(const std::string& path, long& width, long& height)
{
    int status = 0;
    fitsfile* file = nullptr;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    long axes[2] = {0, 0};
    fits_get_img_size(file, 2, axes, &status);
    fits_set_bscale(file, 1.0, 0.0, &status);
    width = axes[0];
    height = axes[1];
    std::vector<double> values(static_cast<std::size_t>(width * height));
    long first[2] = {1, 1};
    if (!values.empty())
        fits_read_pix(file, TDOUBLE, first, static_cast<LONGLONG>(values.size()), nullptr, values.data(), nullptr, &status);
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << path;
    return values;
}

// Every header card of a file's primary header as CFITSIO reads it.
std::vector<std::string> FileCards(const std::string& path)
{
    int status = 0;
    fitsfile* file = nullptr;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    int count = 0;
    fits_get_hdrspace(file, &count, nullptr, &status);
    std::vector<std::string> cards;
    char card[FLEN_CARD];
    for (int i = 1; i <= count && status == 0; ++i) {
        fits_read_record(file, i, card, &status);
        std::string text = card;
        text.resize(80, ' ');
        cards.push_back(text);
    }
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << path;
    return cards;
}

std::vector<std::string> RecordCards(const ImageRecord& record)
{
    std::vector<std::string> cards;
    for (int i = 0; i < record.cards.count(); ++i)
        cards.emplace_back(record.cards.card(i));
    return cards;
}

using Snapshot = test::RecordSnapshot;

Snapshot Take(const ImageRecord& record)
{
    return test::TakeSnapshot(record);
}

// A record holding a small loaded image, as Image A would before the next operation.
class Fits : public ::testing::Test {
protected:
    void SetUp() override
    {
        FitsLayout layout = RampLayout(6, 4, -64);
        layout.extraCards = {"OBJECT  = 'previous'           / the image loaded before"};
        test::WriteFitsImage(dir.file("previous.fit"), layout);
        ASSERT_TRUE(loadFitsReporting(record, dir.file("previous.fit"), messages));
        ASSERT_TRUE(messages.texts.empty());
        before = Take(record);
    }

    // Loads path into the record, telling failures as the program does, and returns the
    // messages shown; every one of them must name the file.
    Texts Load(const std::string& path, int expectedResult = 1)
    {
        messages.clear();
        const int files = test::OpenFileCount();
        EXPECT_EQ(loadFitsReporting(record, path, messages), expectedResult == 0) << path;
        EXPECT_EQ(test::OpenFileCount(), files) << "a file was left open: " << path;
        for (const std::string& named : messages.paths)
            EXPECT_EQ(named, path);
        return messages.texts;
    }

    TempDir dir;
    RecordingMessages messages;
    ImageRecord record;
    Snapshot before;
};

// --- Reading ---------------------------------------------------------------------------

TEST_F(Fits, LoadPlacesTheFirstFitsRowInRowZero)
{
    const std::string path = test::WriteFitsFunction(dir.file("ramp.fit"), 100, 50, Ramp);
    EXPECT_EQ(Load(path, 0), Texts{});
    ASSERT_EQ(record.grid.width(), 100);
    ASSERT_EQ(record.grid.height(), 50);
    EXPECT_EQ(record.grid[0][0], 0.0);   // first value of the data array
    EXPECT_EQ(record.grid[99][0], 99.0); // the hundredth
    EXPECT_EQ(record.grid[0][1], 1000.0);
    for (int x = 0; x < 100; ++x)
        for (int y = 0; y < 50; ++y)
            ASSERT_EQ(record.grid[x][y], Ramp(x, y)) << x << "," << y;
    // The cards are the new file's.
    EXPECT_EQ(RecordCards(record), FileCards(path));
}

TEST_F(Fits, EveryPixelTypeLoadsAsDoubles)
{
    for (int bitpix : {8, 16, 32, 64, -32, -64}) {
        SCOPED_TRACE(bitpix);
        const FitsLayout layout = RampLayout(37, 23, bitpix);
        const std::string path = dir.file("type" + std::to_string(bitpix + 100) + ".fit");
        test::WriteFitsImage(path, layout);
        EXPECT_EQ(Load(path, 0), Texts{});
        ASSERT_EQ(record.grid.width(), 37);
        ASSERT_EQ(record.grid.height(), 23);
        for (int y = 0; y < 23; ++y)
            for (int x = 0; x < 37; ++x)
                ASSERT_EQ(record.grid[x][y], layout.values[static_cast<std::size_t>(y * 37 + x)]);
    }
}

TEST_F(Fits, ScaledFilesLoadInPhysicalUnits)
{
    struct Case {
        int bitpix;
        double bscale, bzero;
        std::vector<double> values;
    };
    const Case cases[] = {
        {16, 1.0, 32768.0, {0, 1, 32767, 32768, 65535, 40000}},
        {16, 0.5, 10.0, {10, 10.5, -100, 16393.5, 0, 11}},
        {32, 2.0, -5.0, {-5, 1, 1e6 + 1, -7, 3, 5}},
        {8, 1.0, -128.0, {-128, 0, 127, 5, -1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bscale);
        FitsLayout layout;
        layout.width = 3;
        layout.height = 2;
        layout.bitpix = c.bitpix;
        layout.bscale = c.bscale;
        layout.bzero = c.bzero;
        layout.values = c.values;
        const std::string path = dir.file("scaled.fit");
        test::WriteFitsImage(path, layout);
        EXPECT_EQ(Load(path, 0), Texts{});
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                EXPECT_EQ(record.grid[x][y], c.values[static_cast<std::size_t>(y * 3 + x)]) << x << "," << y;
    }
}

TEST_F(Fits, FortyCardsGiveABlockOf3240Bytes)
{
    FitsLayout layout = RampLayout(4, 3, 16);
    // SIMPLE, BITPIX, NAXIS, NAXIS1, NAXIS2, EXTEND and the two comments CFITSIO adds: 8.
    for (int i = 0; i < 32; ++i) {
        char card[81];
        std::snprintf(card, sizeof card, "KEY%-5d = %20d / card %d", i, i * 3, i);
        layout.extraCards.emplace_back(card);
    }
    const std::string path = dir.file("forty.fit");
    test::WriteFitsImage(path, layout);
    ASSERT_EQ(FileCards(path).size(), 40u);
    EXPECT_EQ(Load(path, 0), Texts{});
    EXPECT_EQ(record.cards.count(), 40);
    EXPECT_EQ(record.cards.block().size(), 3240u);
    EXPECT_EQ(RecordCards(record), FileCards(path));
    EXPECT_EQ(record.cards.card(0).substr(0, 30), "SIMPLE  =                    T");
    EXPECT_EQ(record.cards.card(39).substr(0, 8), "KEY31   ");
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(record.cards.block()[static_cast<std::size_t>(i) * 81 + 80], '\0');
}

TEST_F(Fits, LargeImagesReadInBandsAndHalvesMatchEveryPixel)
{
    // Big enough for several bands and for the two-handle read; odd sizes so that neither
    // the bands nor the halves divide evenly.
    const int width = 1031, height = 1027;
    const std::string path = test::WriteFitsFunction(dir.file("large.fit"), width, height,
                                                     [](int x, int y) { return 3.0 * x - 0.25 * y + x * y % 11; });
    EXPECT_EQ(Load(path, 0), Texts{});
    ASSERT_EQ(record.grid.width(), width);
    ASSERT_EQ(record.grid.height(), height);
    long w = 0, h = 0;
    const std::vector<double> stored = StoredValues(path, w, h);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(record.grid[x][y], stored[static_cast<std::size_t>(y) * width + x]) << x << "," << y;
}

TEST_F(Fits, RowsLongerThanABandAreReadInSegments)
{
    const int width = 70001, height = 3;
    const std::string path = test::WriteFitsFunction(dir.file("wide.fit"), width, height, [](int x, int y) { return x * 0.5 - y; });
    EXPECT_EQ(Load(path, 0), Texts{});
    ASSERT_EQ(record.grid.width(), width);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            ASSERT_EQ(record.grid[x][y], x * 0.5 - y) << x << "," << y;

    FitsImageReader reader;
    ASSERT_EQ(reader.open(path, {width, height}), FitsError::None);
    std::vector<double> part(5);
    ASSERT_EQ(reader.readRowSegment(2, 69996, 5, part.data()), FitsError::None);
    EXPECT_EQ(part, (std::vector<double>{69996 * 0.5 - 2, 69997 * 0.5 - 2, 69998 * 0.5 - 2, 69999 * 0.5 - 2, 70000 * 0.5 - 2}));
    EXPECT_EQ(reader.readRowSegment(2, 69997, 5, part.data()), FitsError::Unreadable);
    EXPECT_EQ(reader.readRowSegment(3, 0, 1, part.data()), FitsError::Unreadable);
    EXPECT_EQ(reader.readRowSegment(0, -1, 1, part.data()), FitsError::Unreadable);

    // Truncated in the second row: the first row stays, the rest is 0.
    std::filesystem::resize_file(path, 2880 + static_cast<std::uintmax_t>(width) * 8 + 1000);
    EXPECT_EQ(Load(path), Texts{DataError});
    EXPECT_EQ(record.grid[width - 1][0], (width - 1) * 0.5);
    EXPECT_EQ(record.grid[0][1], 0.0);
    EXPECT_EQ(record.grid[width - 1][2], 0.0);
}

// The library's own doubles for a file's primary image (its scaling applied), row-major.
std::vector<double> LibraryDoubles(const std::string& path)
{
    int status = 0;
    fitsfile* file = nullptr;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    long axes[2] = {0, 0};
    fits_get_img_size(file, 2, axes, &status);
    std::vector<double> values(static_cast<std::size_t>(axes[0] * axes[1]));
    long first[2] = {1, 1};
    fits_read_pix(file, TDOUBLE, first, static_cast<LONGLONG>(values.size()), nullptr, values.data(), nullptr, &status);
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << path;
    return values;
}

// A BITPIX 16 image whose stored integers are given, with BSCALE and BZERO cards.
void WriteStored16(const std::string& path, int width, int height, const std::vector<short>& stored, const std::string& bscale, const std::string& bzero)
{
    int status = 0;
    fitsfile* file = nullptr;
    long axes[2] = {width, height};
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, SHORT_IMG, 2, axes, &status);
    if (!bscale.empty())
        fits_write_record(file, ("BSCALE  = " + bscale).c_str(), &status);
    if (!bzero.empty())
        fits_write_record(file, ("BZERO   = " + bzero).c_str(), &status);
    fits_set_bscale(file, 1.0, 0.0, &status); // write the integers as they are
    long first[2] = {1, 1};
    std::vector<short> values = stored;
    fits_write_pix(file, TSHORT, first, static_cast<LONGLONG>(values.size()), values.data(), &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0) << path;
}

TEST_F(Fits, SixteenBitImagesGiveExactlyTheLibrarysDoubles)
{
    // Every stored value under scalings that round, negate and offset; small images read on
    // one thread, a large one on two. Compared bit for bit with the library's own reading.
    struct Case {
        std::string bscale, bzero;
    };
    const Case cases[] = {
        {"", ""}, {"1", "32768"}, {"0.1", "0"}, {"2.5", "-7.25"}, {"1E-3", "100.125"}, {"-1", ""},
        {"0.5", "32768"}, {"", "-0.3"}, {"3.0000000000000004", "1E+300"}, {"0", "12"},
    };
    std::vector<short> all(65536);
    for (int i = 0; i < 65536; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<short>(i - 32768);
    std::vector<short> large(1100 * 1000);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<short>((i * 2654435761u) >> 16);
    for (const Case& c : cases) {
        SCOPED_TRACE("BSCALE " + c.bscale + " BZERO " + c.bzero);
        for (auto [width, height, values] : {std::tuple{256, 256, &all}, std::tuple{1100, 1000, &large}, std::tuple{4096, 16, &all}}) {
            const std::string path = dir.file("stored16.fit");
            WriteStored16(path, width, height, *values, c.bscale, c.bzero);
            // The one-pass conversion must agree by itself, not through the fallback.
            testing::internal::CaptureStderr();
            EXPECT_EQ(Load(path, 0), Texts{});
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            const std::vector<double> expected = LibraryDoubles(path);
            ASSERT_EQ(record.grid.width(), width);
            ASSERT_EQ(record.grid.height(), height);
            int differing = 0;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                    differing += std::memcmp(&record.grid[x][y], &expected[static_cast<std::size_t>(y) * width + x], sizeof(double)) != 0;
            EXPECT_EQ(differing, 0) << width << " x " << height;
        }
    }
}

// --- Rejected files ----------------------------------------------------------------------

TEST_F(Fits, ThreeAxesAreRejectedEvenWithNaxis3One)
{
    int status = 0;
    fitsfile* file = nullptr;
    const std::string path = dir.file("cube.fit");
    long axes[3] = {6, 4, 1};
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, 16, 3, axes, &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Load(path), (Texts{NotTwoD, SizeError}));
    EXPECT_EQ(Take(record), before);
}

TEST_F(Fits, UnreadableFilesFailTheSizeStepAndChangeNothing)
{
    test::WriteFileBytes(dir.file("empty.fit"), "");
    test::WriteFileBytes(dir.file("garbage.fit"), std::string(5000, '\x9c'));
    test::WriteFileBytes(dir.file("text.fit"), "This is not a FITS file at all.\n");
    test::WriteFileBytes(dir.file("halfheader.fit"), test::RawFitsHeader({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2"}).substr(0, 200));
    test::WriteFileBytes(dir.file("negative.fit"), test::RawFitsHeader({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = -5", "NAXIS2  = 4"}));
    test::WriteFileBytes(dir.file("toowide.fit"), test::RawFitsHeader({"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 3000000000", "NAXIS2  = 1"}));
    std::filesystem::create_directory(dir.file("folder.fit"));
    for (const char* name : {"missing.fit", "empty.fit", "garbage.fit", "text.fit", "halfheader.fit", "negative.fit", "toowide.fit", "folder.fit"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Load(dir.file(name)), Texts{SizeError});
        EXPECT_EQ(Take(record), before);
    }
}

TEST_F(Fits, TruncatedDataFailsTheDataStepKeepingThePreviousCards)
{
    const std::string path = test::WriteFitsFunction(dir.file("truncated.fit"), 50, 40, Ramp);
    std::filesystem::resize_file(path, 2880 + 50 * 20 * 8); // header and half the rows
    EXPECT_EQ(Load(path), Texts{DataError});
    EXPECT_EQ(record.grid.width(), 50);
    EXPECT_EQ(record.grid.height(), 40);
    EXPECT_EQ(record.cards.block(), before.block);
}

TEST_F(Fits, AFailedReadNeverLeavesValuesOfThePreviousImage)
{
    // Reloading a grid of the same size reuses its block; rows the truncated file cannot
    // give must come out 0, not 7 from the image before. Small and large (two-handle) reads.
    for (auto [width, height] : {std::pair{64, 2000}, std::pair{1100, 1000}}) {
        SCOPED_TRACE(width);
        FitsLayout sevens;
        sevens.width = width;
        sevens.height = height;
        sevens.values.assign(static_cast<std::size_t>(width) * height, 7.0);
        test::WriteFitsImage(dir.file("sevens.fit"), sevens);
        ASSERT_EQ(Load(dir.file("sevens.fit"), 0), Texts{});
        const std::vector<char> sevensCards = record.cards.block();
        const std::string path = test::WriteFitsFunction(dir.file("cut.fit"), width, height, [](int x, int y) { return 1.0 + x + 10000.0 * y; });
        std::filesystem::resize_file(path, 2880 + static_cast<std::uintmax_t>(width) * (height * 7 / 10) * 8);
        EXPECT_EQ(Load(path), Texts{DataError});
        ASSERT_EQ(record.grid.width(), width);
        ASSERT_EQ(record.grid.height(), height);
        int fileRows = 0;
        for (int y = 0; y < height; ++y) {
            const bool fromFile = record.grid[0][y] != 0.0;
            fileRows += fromFile ? 1 : 0;
            for (int x = 0; x < width; ++x)
                ASSERT_EQ(record.grid[x][y], fromFile ? 1.0 + x + 10000.0 * y : 0.0) << x << "," << y;
        }
        EXPECT_LT(fileRows, height * 7 / 10 + 1);
        EXPECT_EQ(record.cards.block(), sevensCards); // still the cards of the image before
    }
}

TEST_F(Fits, AnImageTooLargeForMemoryChangesNothing)
{
    // A header declaring 2000000000 x 2000000000 pixels (32 exabytes) over no data.
    const std::string path = dir.file("gigantic.fit");
    test::WriteFileBytes(path, test::RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
                                                    "NAXIS1  =           2000000000", "NAXIS2  =           2000000000"}));
    EXPECT_EQ(Load(path), Texts{"Not enough memory for an image of 2000000000 x 2000000000 pixels."});
    EXPECT_EQ(Take(record), before);

    // The same rule at a limit this test sets: a plain 300 x 200 file.
    const std::string plain = test::WriteFitsFunction(dir.file("plain.fit"), 300, 200, Ramp);
    {
        MemoryLimitGuard limit(300 * 200 * 8 - 8);
        EXPECT_EQ(Load(plain), Texts{"Not enough memory for an image of 300 x 200 pixels."});
        EXPECT_EQ(Take(record), before);
    }
    EXPECT_EQ(Load(plain, 0), Texts{});
}

// Resident memory of this process, in bytes.
std::uint64_t ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

TEST_F(Fits, AHugeDeclaredImageWithoutDataCostsNoMemory)
{
    // 20000 x 20000 doubles are 3.2 GB: the grid is had, but its pages are written only as
    // rows arrive, and a failed read does not go back to clear what was never written.
    MemoryLimitGuard limit(std::uint64_t{4} << 30);
    const std::string path = dir.file("promise.fit");
    test::WriteFileBytes(path, test::RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                  -32", "NAXIS   =                    2",
                                                    "NAXIS1  =                20000", "NAXIS2  =                20000"}) +
                                   std::string(20000 * 4 * 10, '\0'));
    const std::uint64_t resident = ResidentBytes();
    EXPECT_EQ(Load(path), Texts{DataError});
    EXPECT_EQ(record.grid.width(), 20000);
    EXPECT_EQ(record.grid.height(), 20000);
    EXPECT_LT(ResidentBytes(), resident + (std::uint64_t{256} << 20));
    EXPECT_EQ(record.grid[19999][19999], 0.0);
    // Again into the grid of that size: clearing its unread rows must not commit it either.
    EXPECT_EQ(Load(path), Texts{DataError});
    EXPECT_LT(ResidentBytes(), resident + (std::uint64_t{256} << 20));
    EXPECT_EQ(record.grid[19999][19999], 0.0);
    EXPECT_EQ(record.grid[5][0], 0.0);
}

TEST_F(Fits, ZeroLengthAxesGiveAnEmptyImage)
{
    const std::string path = dir.file("zero.fit");
    test::WriteFileBytes(path, test::RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
                                                    "NAXIS1  =           2147483647", "NAXIS2  =                    0"}));
    EXPECT_EQ(Load(path, 0), Texts{});
    EXPECT_EQ(record.grid.width(), 2147483647);
    EXPECT_EQ(record.grid.height(), 0);
    EXPECT_TRUE(record.grid.empty());
    EXPECT_EQ(record.cards.count(), 5);
}

// --- The reading steps on their own --------------------------------------------------------

TEST_F(Fits, ReadFitsSizeAndPixelsChecks)
{
    const std::string path = test::WriteFitsFunction(dir.file("ramp.fit"), 8, 5, Ramp);
    ImageSize size;
    const int files = test::OpenFileCount();
    EXPECT_EQ(readFitsSize(path, size), FitsError::None);
    EXPECT_EQ(size, (ImageSize{8, 5}));
    // Not 2-D is said only of a file that opens.
    EXPECT_EQ(readFitsSize(dir.file("missing.fit"), size), FitsError::Unreadable);

    ImageGrid grid;
    grid.resize(8, 5);
    EXPECT_EQ(readFitsPixels(path, {8, 5}, grid), FitsError::None);
    EXPECT_EQ(grid[7][4], Ramp(7, 4));

    // The file's axes differ from the expected ones.
    for (ImageSize expected : {ImageSize{8, 6}, ImageSize{7, 5}, ImageSize{5, 8}}) {
        grid.resize(expected.width, expected.height);
        EXPECT_EQ(readFitsPixels(path, expected, grid), FitsError::SizeMismatch);
    }
    // A grid of another size than the expected one is refused without reading.
    EXPECT_EQ(readFitsPixels(path, {8, 5}, grid), FitsError::Unreadable);

    int status = 0;
    fitsfile* file = nullptr;
    long axes[3] = {8, 5, 2};
    const std::string cube = dir.file("cube.fit");
    fits_create_file(&file, ("!" + cube).c_str(), &status);
    fits_create_img(file, -32, 3, axes, &status);
    fits_close_file(file, &status);
    grid.resize(8, 5);
    EXPECT_EQ(readFitsPixels(cube, {8, 5}, grid), FitsError::NotTwoDimensional);
    EXPECT_EQ(readFitsSize(cube, size), FitsError::NotTwoDimensional);
    EXPECT_EQ(readFitsPixels(dir.file("missing.fit"), {8, 5}, grid), FitsError::Unreadable);
    EXPECT_EQ(test::OpenFileCount(), files);
}

TEST_F(Fits, ReadFitsHeaderCardsReplacesOnlyOnSuccess)
{
    HeaderCards cards;
    cards.append("KEEP    = 1");
    EXPECT_EQ(readFitsHeaderCards(dir.file("missing.fit"), cards), FitsError::Unreadable);
    ASSERT_EQ(cards.count(), 1);
    EXPECT_EQ(cards.card(0).substr(0, 11), "KEEP    = 1");
    EXPECT_EQ(readFitsHeaderCards(dir.file("previous.fit"), cards), FitsError::None);
    EXPECT_EQ(cards.block(), before.block);
}

TEST_F(Fits, ImageReaderReadsAnyBandOfRows)
{
    const std::string path = test::WriteFitsFunction(dir.file("ramp.fit"), 9, 7, Ramp);
    FitsImageReader reader;
    EXPECT_FALSE(reader.isOpen());
    ASSERT_EQ(reader.open(path, {9, 7}), FitsError::None);
    EXPECT_TRUE(reader.isOpen());
    EXPECT_EQ(reader.size(), (ImageSize{9, 7}));
    for (auto [first, count] : {std::pair{0, 7}, std::pair{2, 3}, std::pair{6, 1}, std::pair{0, 1}}) {
        std::vector<double> rows(static_cast<std::size_t>(9 * count), -1.0);
        ASSERT_EQ(reader.readRows(first, count, rows.data()), FitsError::None);
        for (int r = 0; r < count; ++r)
            for (int x = 0; x < 9; ++x)
                EXPECT_EQ(rows[static_cast<std::size_t>(r * 9 + x)], Ramp(x, first + r));
    }
    EXPECT_TRUE(reader.holdsAllData());
    double spare[9 * 8];
    EXPECT_EQ(reader.readRows(5, 3, spare), FitsError::Unreadable);
    EXPECT_EQ(reader.readRows(-1, 1, spare), FitsError::Unreadable);
    EXPECT_EQ(reader.readRows(3, 0, spare), FitsError::None);

    // Moving hands the open file over; the moved-from reader holds nothing.
    FitsImageReader moved(std::move(reader));
    EXPECT_FALSE(reader.isOpen());
    ASSERT_TRUE(moved.isOpen());
    EXPECT_EQ(moved.readRows(6, 1, spare), FitsError::None);
    EXPECT_EQ(spare[8], Ramp(8, 6));
    moved.close();
    EXPECT_FALSE(moved.isOpen());
    EXPECT_FALSE(moved.holdsAllData());
    // Data cut short by one byte, and a file without its final padding.
    std::filesystem::resize_file(path, 2880 + 9 * 7 * 8 - 1);
    ASSERT_EQ(moved.open(path, {9, 7}), FitsError::None);
    EXPECT_FALSE(moved.holdsAllData());
    std::filesystem::resize_file(path, 2880 + 9 * 7 * 8);
    ASSERT_EQ(moved.open(path, {9, 7}), FitsError::None);
    EXPECT_TRUE(moved.holdsAllData());
    EXPECT_EQ(moved.readRows(0, 1, spare), FitsError::Unreadable);
}

TEST_F(Fits, FloatImagesLoadAsTheLibraryReadsThemSpecialValuesToo)
{
    // Not-a-number, infinities, negative zero, a denormal and ordinary values, away from the
    // first row: every value of the loaded grid has the bits of the library's doubles.
    const int width = 12;
    const int height = 5;
    test::FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitpix = -32;
    for (int k = 0; k < width * height; ++k)
        layout.values.push_back(0.1 * k - 2.0);
    const double special[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), -0.0, 1e-40, 3.0e38, -1.5e-30};
    for (std::size_t i = 0; i < std::size(special); ++i)
        layout.values[static_cast<std::size_t>(2 * width) + 3 * i] = special[i];
    const std::string path = dir.file("special.fit");
    test::WriteFitsImage(path, layout);

    ImageRecord loaded;
    ASSERT_TRUE(loadFits(loaded, path).loaded());
    FitsImageReader reader;
    ASSERT_EQ(reader.open(path, {width, height}), FitsError::None);
    std::vector<double> rows(static_cast<std::size_t>(width * height));
    ASSERT_EQ(reader.readRows(0, height, rows.data()), FitsError::None);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            EXPECT_EQ(std::memcmp(&loaded.grid[x][y], &rows[static_cast<std::size_t>(y * width + x)], sizeof(double)), 0) << x << ", " << y;
    EXPECT_TRUE(std::isnan(loaded.grid[0][2]));
    EXPECT_TRUE(std::signbit(loaded.grid[9][2]) && loaded.grid[9][2] == 0.0);
    EXPECT_GT(loaded.grid[12 % width][2 + 12 / width], 0.0); // the denormal stays
}

TEST_F(Fits, FloatsReadStraightFromTheFileAreTheLibrarysDoubles)
{
    const int width = 12;
    const int height = 5;
    test::FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitpix = -32;
    for (int k = 0; k < width * height; ++k)
        layout.values.push_back(0.1 * k - 2.0);
    const double special[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), -0.0, 1e-40, 3.0e38, -1.5e-30};
    for (std::size_t i = 0; i < std::size(special); ++i)
        layout.values[static_cast<std::size_t>(2 * width) + 3 * i] = special[i];
    const std::string path = dir.file("floats.fit");
    test::WriteFitsImage(path, layout);

    FitsImageReader library;
    ASSERT_EQ(library.open(path, {width, height}), FitsError::None);
    std::vector<double> expected(static_cast<std::size_t>(width * height));
    ASSERT_EQ(library.readRows(0, height, expected.data()), FitsError::None);
    const auto same = [&](const double* values, int first, std::size_t count) {
        return std::memcmp(values, expected.data() + first, count * sizeof(double)) == 0;
    };

    FitsImageReader direct;
    ASSERT_EQ(direct.open(path, {width, height}), FitsError::None);
    ASSERT_TRUE(direct.readFloatsDirectly());
    EXPECT_TRUE(direct.readsFloatsDirectly());
    EXPECT_FALSE(direct.readsDirectly()); // not the 16-bit reading
    std::vector<double> rows(expected.size(), -1.0);
    ASSERT_EQ(direct.readRows(1, 3, rows.data()), FitsError::None);
    EXPECT_TRUE(same(rows.data(), width, 3 * width));
    ASSERT_EQ(direct.readRowSegment(2, 3, 7, rows.data()), FitsError::None);
    EXPECT_TRUE(same(rows.data(), 2 * width + 3, 7));
    std::vector<std::uint32_t> stored(expected.size());
    ASSERT_EQ(direct.readStoredFloatRows(0, height, stored.data()), FitsError::None);
    ConvertStoredFloats(stored.data(), stored.size(), rows.data());
    EXPECT_TRUE(same(rows.data(), 0, expected.size()));
    EXPECT_EQ(direct.readStoredFloatRows(4, 2, stored.data()), FitsError::Unreadable);

    // Only unscaled 32-bit floats of a file long enough for its data; the others read on
    // through the library.
    test::FitsLayout scaled = layout;
    for (int k = 0; k < width * height; ++k)
        scaled.values[static_cast<std::size_t>(k)] = k % 7;
    scaled.bscale = 2.0;
    test::FitsLayout doubles = scaled;
    doubles.bitpix = -64;
    doubles.bscale = 1.0;
    test::FitsLayout integers = doubles;
    integers.bitpix = 16;
    for (const test::FitsLayout& other : {scaled, doubles, integers}) {
        test::WriteFitsImage(dir.file("other.fit"), other);
        FitsImageReader reader;
        ASSERT_EQ(reader.open(dir.file("other.fit"), {width, height}), FitsError::None);
        EXPECT_FALSE(reader.readFloatsDirectly()) << other.bitpix << " " << other.bscale;
        EXPECT_FALSE(reader.readsFloatsDirectly());
        EXPECT_EQ(reader.readRows(0, 1, rows.data()), FitsError::None);
    }
    std::filesystem::resize_file(path, 2880 + width * height * 4 - 1);
    FitsImageReader cut;
    ASSERT_EQ(cut.open(path, {width, height}), FitsError::None);
    EXPECT_FALSE(cut.readFloatsDirectly());
}

TEST_F(Fits, ImageReaderChecksLikeThePixelStepAndClosesOnEveryPath)
{
    const std::string path = test::WriteFitsFunction(dir.file("ramp.fit"), 9, 7, Ramp);
    int status = 0;
    fitsfile* file = nullptr;
    long axes[3] = {9, 7, 1};
    const std::string cube = dir.file("cube.fit");
    fits_create_file(&file, ("!" + cube).c_str(), &status);
    fits_create_img(file, 16, 3, axes, &status);
    fits_close_file(file, &status);

    struct Case {
        std::string path;
        ImageSize expected;
        FitsError error;
    };
    const Case cases[] = {
        {path, {9, 8}, FitsError::SizeMismatch},
        {path, {8, 7}, FitsError::SizeMismatch},
        {cube, {9, 7}, FitsError::NotTwoDimensional},
        {dir.file("missing.fit"), {9, 7}, FitsError::Unreadable},
    };
    const int files = test::OpenFileCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        FitsImageReader reader;
        EXPECT_EQ(reader.open(c.path, c.expected), c.error);
        EXPECT_FALSE(reader.isOpen());
        EXPECT_EQ(test::OpenFileCount(), files);
    }
    {
        FitsImageReader reader;
        ASSERT_EQ(reader.open(path, {9, 7}), FitsError::None);
        const int whileOpen = test::OpenFileCount();
        EXPECT_GT(whileOpen, files);
        // Opening again closes the first file.
        ASSERT_EQ(reader.open(path, {9, 7}), FitsError::None);
        EXPECT_EQ(test::OpenFileCount(), whileOpen);
    }
    EXPECT_EQ(test::OpenFileCount(), files);
}

// --- Writing -----------------------------------------------------------------------------

// A record with the cards of a BITPIX -64 file of the given size and the given values.
ImageRecord DoubleRecord(const TempDir& dir, int width, int height, const std::vector<double>& values)
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = std::vector<double>(values.size(), 0.0);
    layout.extraCards = {"OBSERVER= 'someone '", "HISTORY made for a test"};
    test::WriteFitsImage(dir.file("template.fit"), layout);
    ImageRecord record;
    RecordingMessages shown;
    EXPECT_TRUE(loadFitsReporting(record, dir.file("template.fit"), shown));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            record.grid[x][y] = values[static_cast<std::size_t>(y * width + x)];
    return record;
}

TEST_F(Fits, SavedValuesAreTruncatedAndLimited)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value, stored;
    };
    const Case cases[] = {
        {12.9, 12}, {-3.2, 0}, {40000.7, 32767}, {32767, 32767}, {nan, 0}, {0.999, 0}, {-0.5, 0},
        {1.0, 1}, {32766.99, 32766}, {32768, 32767}, {65535, 32767}, {inf, 32767}, {-inf, 0}, {1e300, 32767},
        {-1e300, 0}, {-0.0, 0}, {100, 100}, {7.5, 7},
    };
    std::vector<double> values;
    for (const Case& c : cases)
        values.push_back(c.value);
    const int width = 6, height = 3;
    ASSERT_EQ(values.size(), static_cast<std::size_t>(width * height));
    ImageRecord saving = DoubleRecord(dir, width, height, values);
    const std::string path = dir.file("saved.fit");
    EXPECT_TRUE(saveFitsReporting(saving, path, messages));
    EXPECT_EQ(messages.texts, Texts{});
    long w = 0, h = 0;
    const std::vector<double> stored = StoredValues(path, w, h);
    ASSERT_EQ(w, width);
    ASSERT_EQ(h, height);
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(stored[i], cases[i].stored) << "value " << cases[i].value;
}

// The usual 16-bit forms are written band by band by our own conversion: the file must be
// byte for byte what the library writes from the same cards and unsigned values. Sizes
// with partial tiles, more than one band and data ending inside a block.
TEST_F(Fits, SixteenBitSavesAreTheLibrarysBytes)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double specials[] = {12.9, -3.2, 40000.7, 32767, nan, 0.999, -0.5, 32766.99, 65535,
                               std::numeric_limits<double>::infinity(), -1e300, -0.0, 7.5};
    const int width = 301, height = 470;
    for (const double bzero : {32768.0, 0.0}) {
        SCOPED_TRACE(bzero);
        FitsLayout layout;
        layout.width = width;
        layout.height = height;
        layout.bitpix = 16;
        layout.bzero = bzero;
        layout.values.assign(static_cast<std::size_t>(width) * height, 0.0);
        layout.extraCards = {"OBSERVER= 'someone '"};
        const std::string source = dir.file("source.fit");
        test::WriteFitsImage(source, layout);
        ImageRecord image;
        ASSERT_TRUE(loadFitsReporting(image, source, messages));
        std::vector<unsigned short> stored(static_cast<std::size_t>(width) * height);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * width + x;
                const double v = i % 7 == 0 ? specials[i % 13] : std::fmod(static_cast<double>(i) * 37.25, 33000.0);
                image.grid[x][y] = v;
                stored[i] = !(v > 0.0) ? 0 : v >= 32767.0 ? 32767 : static_cast<unsigned short>(v);
            }
        const std::string saved = dir.file("saved.fit");
        ASSERT_TRUE(saveFitsReporting(image, saved, messages));

        // The library's own file from the same cards and values.
        const std::string reference = dir.file("reference.fit");
        std::filesystem::remove(reference);
        int status = 0;
        fitsfile* file = nullptr;
        fits_create_diskfile(&file, reference.c_str(), &status);
        for (int i = 0; i < image.cards.count(); ++i)
            fits_write_record(file, image.cards.block().data() + static_cast<std::size_t>(i) * HeaderCards::RecordBytes, &status);
        fits_set_hdustruc(file, &status);
        fits_write_img(file, TUSHORT, 1, static_cast<LONGLONG>(stored.size()), stored.data(), &status);
        fits_close_file(file, &status);
        ASSERT_EQ(status, 0);
        std::ifstream a(saved, std::ios::binary), b(reference, std::ios::binary);
        const std::string savedBytes((std::istreambuf_iterator<char>(a)), std::istreambuf_iterator<char>());
        const std::string referenceBytes((std::istreambuf_iterator<char>(b)), std::istreambuf_iterator<char>());
        EXPECT_EQ(savedBytes.size(), referenceBytes.size());
        EXPECT_TRUE(savedBytes == referenceBytes);
    }
    EXPECT_EQ(messages.texts, Texts{});
}

TEST_F(Fits, SavedCardsAreTheStoredOnesInOrderAndNothingElse)
{
    const std::string path = dir.file("saved.fit");
    ImageRecord saving = DoubleRecord(dir, 5, 4, std::vector<double>(20, 3.0));
    saving.cards.append("ZLAST   = 'added after loading'");
    saving.cards.append("COMMENT   the final card");
    const std::vector<std::string> stored = RecordCards(saving);
    EXPECT_TRUE(saveFitsReporting(saving, path, messages));
    EXPECT_EQ(FileCards(path), stored);
    ImageRecord back;
    EXPECT_TRUE(loadFitsReporting(back, path, messages));
    EXPECT_EQ(back.cards.block(), saving.cards.block());
    EXPECT_EQ(messages.texts, Texts{});
}

TEST_F(Fits, RoundTripsOfScaledFilesFollowTheStoredCards)
{
    // Unsigned 16-bit files (BITPIX 16, BZERO 32768): the library scales the written
    // values back into signed storage, and reading gives them again. Cards of integers
    // keep their form; a float or scaled form, which would misstate the truncated values
    // (or round them), becomes a plain 16-bit one.
    struct Case {
        int bitpix;
        double bscale, bzero;
    };
    for (const Case c : {Case{16, 1.0, 32768.0}, Case{16, 2.0, 0.0}, Case{32, 1.0, 0.0}, Case{-32, 1.0, 0.0}, Case{16, 1.0, 0.0}}) {
        SCOPED_TRACE(c.bitpix);
        SCOPED_TRACE(c.bscale);
        FitsLayout layout;
        layout.width = 7;
        layout.height = 3;
        layout.bitpix = c.bitpix;
        layout.bscale = c.bscale;
        layout.bzero = c.bzero;
        for (int i = 0; i < 21; ++i)
            layout.values.push_back(i * 1560.0);
        const std::string source = dir.file("source.fit");
        const std::string saved = dir.file("saved.fit");
        test::WriteFitsImage(source, layout);
        ImageRecord image;
        ASSERT_TRUE(loadFitsReporting(image, source, messages));
        image.grid[0][0] = 32767.9;
        image.grid[1][0] = -1.0;
        image.grid[2][0] = 101.0;
        ASSERT_TRUE(saveFitsReporting(image, saved, messages));
        const bool ownForm = c.bitpix > 0 && c.bscale == 1.0;
        const HeaderCards expectedCards = ownForm ? image.cards : SixteenBitCards(image.cards, false);
        ImageRecord back;
        ASSERT_TRUE(loadFitsReporting(back, saved, messages));
        EXPECT_EQ(back.cards.block(), expectedCards.block());
        if (ownForm) {
            EXPECT_EQ(FileCards(saved), FileCards(source));
        }
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 7; ++x)
                EXPECT_EQ(back.grid[x][y], std::min(std::max(std::trunc(image.grid[x][y]), 0.0), 32767.0)) << x << "," << y;
        long w = 0, h = 0;
        const std::vector<double> raw = StoredValues(saved, w, h);
        EXPECT_EQ(raw[1 * 7 + 1], 1560.0 * 8 - c.bzero);
    }
    EXPECT_EQ(messages.texts, Texts{});
}

TEST_F(Fits, SaveOverwritesAnExistingFileAndLeavesNoTemporaryFile)
{
    const std::string path = dir.file("target.fit");
    test::WriteFileBytes(path, "old content");
    ImageRecord saving = DoubleRecord(dir, 3, 2, {1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(saveFitsReporting(saving, path, messages));
    long w = 0, h = 0;
    EXPECT_EQ(StoredValues(path, w, h), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(test::FolderEntries(dir.path().string()), (std::vector<std::string>{"previous.fit", "target.fit", "template.fit"}));
    EXPECT_EQ(messages.texts, Texts{});
}

TEST_F(Fits, SaveThroughALinkReplacesTheLinkedFile)
{
    const std::string real = dir.file("real.fit");
    test::WriteFileBytes(real, "old content");
    std::filesystem::create_symlink(real, dir.file("link.fit"));
    ImageRecord saving = DoubleRecord(dir, 2, 2, {9, 8, 7, 6});
    EXPECT_TRUE(saveFitsReporting(saving, dir.file("link.fit"), messages));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.fit")));
    long w = 0, h = 0;
    EXPECT_EQ(StoredValues(real, w, h), (std::vector<double>{9, 8, 7, 6}));
}

TEST_F(Fits, AFailedSaveIsReportedAndDestroysNothing)
{
    const std::string existing = dir.file("existing.fit");
    test::WriteFileBytes(existing, "precious bytes");
    std::filesystem::create_directory(dir.file("folder.fit"));
    std::filesystem::create_directory(dir.file("sub"));

    ImageRecord good = DoubleRecord(dir, 4, 3, std::vector<double>(12, 5.0));
    ImageRecord badCard = DoubleRecord(dir, 4, 3, std::vector<double>(12, 5.0));
    badCard.cards.append("BAD\x01KEY = 3");
    ImageRecord noCards = DoubleRecord(dir, 4, 3, std::vector<double>(12, 5.0));
    noCards.cards.clear();
    ImageRecord empty;
    // Cards that declare another image than the grid holds.
    ImageRecord tooSmall = DoubleRecord(dir, 4, 3, std::vector<double>(12, 5.0));
    tooSmall.grid.resize(4, 30);
    ImageRecord tooLarge = DoubleRecord(dir, 4, 3, std::vector<double>(12, 5.0));
    tooLarge.grid.resize(3, 3);
    ImageRecord cube = DoubleRecord(dir, 4, 3, std::vector<double>(12, 5.0));
    cube.cards.clear();
    for (const char* card : {"SIMPLE  = T", "BITPIX  = 16", "NAXIS   = 3", "NAXIS1  = 4", "NAXIS2  = 3", "NAXIS3  = 1"})
        cube.cards.append(card);

    struct Case {
        const char* what;
        const ImageRecord& record;
        std::string path;
    };
    const Case cases[] = {
        {"card the library refuses", badCard, existing},
        {"no cards at all", noCards, existing},
        {"empty record", empty, existing},
        {"grid taller than the cards say", tooSmall, existing},
        {"grid narrower than the cards say", tooLarge, existing},
        {"cards of three axes", cube, existing},
        {"missing folder", good, dir.file("nowhere/new.fit")},
        {"folder that is a file", good, existing + "/new.fit"},
        {"target that is a folder", good, dir.file("folder.fit")},
        {"target that is a folder with a slash", good, dir.file("sub") + "/"},
    };
    const std::vector<std::string> entries = test::FolderEntries(dir.path().string());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        messages.clear();
        const int files = test::OpenFileCount();
        EXPECT_FALSE(saveFitsReporting(c.record, c.path, messages));
        EXPECT_EQ(messages.texts, Texts{WriteError});
        EXPECT_EQ(messages.paths, Texts{c.path});
        EXPECT_EQ(test::OpenFileCount(), files);
        const std::vector<unsigned char> bytes = test::ReadFileBytes(existing);
        EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == "precious bytes");
        EXPECT_EQ(test::FolderEntries(dir.path().string()), entries);
        EXPECT_TRUE(test::FolderEntries(dir.file("folder.fit")).empty());
        EXPECT_TRUE(test::FolderEntries(dir.file("sub")).empty());
    }
}

TEST_F(Fits, AnUnwritableFolderFailsTheSave)
{
    // Permission bits do not stop the superuser; /proc takes no new files from anyone.
    const std::string path = ::geteuid() == 0 ? "/proc/skyvane-test.fit" : dir.file("locked/new.fit");
    if (::geteuid() != 0) {
        std::filesystem::create_directory(dir.file("locked"));
        ::chmod(dir.file("locked").c_str(), 0555);
    }
    ImageRecord good = DoubleRecord(dir, 2, 2, {1, 2, 3, 4});
    EXPECT_FALSE(saveFitsReporting(good, path, messages));
    EXPECT_EQ(messages.texts, Texts{WriteError});
    EXPECT_FALSE(std::filesystem::exists(path));
    if (::geteuid() != 0) {
        EXPECT_TRUE(test::FolderEntries(dir.file("locked")).empty());
        ::chmod(dir.file("locked").c_str(), 0755);
    }
}

TEST_F(Fits, LoadSaveLoadKeepsCardsAndIntegerPixels)
{
    FitsLayout layout;
    layout.width = 64;
    layout.height = 48;
    layout.bitpix = 16;
    layout.bzero = 32768.0;
    for (int i = 0; i < 64 * 48; ++i)
        layout.values.push_back((i * 37) % 32768);
    layout.extraCards = {"EXPTIME =                 30.0 / seconds", "COMMENT a comment card", "HISTORY  a history card"};
    const std::string source = dir.file("source.fit");
    const std::string saved = dir.file("saved.fit");
    test::WriteFitsImage(source, layout);
    ImageRecord first;
    ASSERT_TRUE(loadFitsReporting(first, source, messages));
    ASSERT_TRUE(saveFitsReporting(first, saved, messages));
    ImageRecord second;
    ASSERT_TRUE(loadFitsReporting(second, saved, messages));
    EXPECT_EQ(Take(second), Take(first));
    EXPECT_EQ(RecordCards(second), FileCards(source));
    EXPECT_EQ(messages.texts, Texts{});
}

} // namespace
} // namespace skyvane
