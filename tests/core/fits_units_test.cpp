// Files as archives and pipelines store them: the image in an extension after an empty
// primary unit, tile-compressed images, cards inherited from the primary header.
#include <gtest/gtest.h>

#include <fitsio.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "command/Messages.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageRecord.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::RecordingMessages;
using test::TempDir;
using Texts = std::vector<std::string>;

constexpr int Width = 7;
constexpr int Height = 5;

// Pixel (x, y) of the test images: whole numbers up to 60000 (unsigned 16-bit); pixel
// (0, 0) is stored as BLANK, so it is missing.
double Value(int x, int y)
{
    return 1000.0 * x + 11.0 * y + (x == 3 && y == 2 ? 52000.0 : 0.0);
}

// How the image unit of a test file is made.
enum class Unit { Extension, Compressed, AfterATable };

// A file with an empty primary unit (with cards of its own), then per `unit` a binary table
// first, then the image (16-bit, BZERO 32768, BLANK for the value 0), plain or
// tile-compressed, with INHERIT as given. Written with CFITSIO.
void WriteUnits(const std::string& path, Unit unit, bool inherit)
{
    int status = 0;
    fitsfile* file = nullptr;
    std::filesystem::remove(path);
    fits_create_diskfile(&file, path.c_str(), &status);
    fits_create_img(file, 16, 0, nullptr, &status);
    fits_write_key_str(file, "TELESCOP", "primary scope", "from the primary header", &status);
    fits_write_key_str(file, "OBJECT", "primary object", "overridden by the image's own", &status);
    if (unit == Unit::AfterATable) {
        char* names[] = {const_cast<char*>("FLUX")};
        char* forms[] = {const_cast<char*>("1E")};
        fits_create_tbl(file, BINARY_TBL, 0, 1, names, forms, nullptr, "STARS", &status);
    }
    if (unit == Unit::Compressed)
        fits_set_compression_type(file, RICE_1, &status);
    long axes[2] = {Width, Height};
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    fits_write_key_str(file, "EXTNAME", "SCI", "the image", &status);
    fits_write_key_str(file, "OBJECT", "M 13", "the image's own", &status);
    long long blank = -32768;
    fits_write_key(file, TLONGLONG, "BLANK", &blank, "stored value of missing pixels", &status);
    if (inherit) {
        int yes = 1;
        fits_write_key(file, TLOGICAL, "INHERIT", &yes, "take the primary header's cards", &status);
    }
    std::vector<unsigned short> values;
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            values.push_back(static_cast<unsigned short>(Value(x, y)));
    long first[2] = {1, 1};
    fits_write_pix(file, TUSHORT, first, static_cast<LONGLONG>(values.size()), values.data(), &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0) << path;
}

bool HoldsTheImage(const ImageRecord& record)
{
    if (record.grid.width() != Width || record.grid.height() != Height)
        return false;
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            if (x + y == 0 ? !std::isnan(record.grid[x][y]) : record.grid[x][y] != Value(x, y))
                return false;
    return true;
}

std::vector<std::string> Keywords(const ImageRecord& record)
{
    std::vector<std::string> keywords;
    for (int i = 0; i < record.cards.count(); ++i) {
        std::string keyword(record.cards.card(i).substr(0, 8));
        keyword.erase(keyword.find_last_not_of(' ') + 1);
        keywords.push_back(keyword);
    }
    return keywords;
}

std::string CardOf(const ImageRecord& record, const std::string& keyword)
{
    for (int i = 0; i < record.cards.count(); ++i)
        if (record.cards.card(i).substr(0, keyword.size()) == keyword)
            return std::string(record.cards.card(i));
    return {};
}

Texts Load(ImageRecord& record, const std::string& path)
{
    RecordingMessages messages;
    const int files = test::OpenFileCount();
    const bool loaded = loadFitsReporting(record, path, messages);
    EXPECT_EQ(loaded, messages.texts.empty());
    EXPECT_EQ(test::OpenFileCount(), files) << "a file was left open";
    return messages.texts;
}

std::string Gzipped(const std::string& bytes)
{
    uLongf size = compressBound(static_cast<uLong>(bytes.size())) + 64;
    std::string out(size, '\0');
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

TEST(FitsUnits, TheFirstUnitHoldingAnImageOpensWithItsCards)
{
    TempDir dir;
    for (const Unit unit : {Unit::Extension, Unit::Compressed, Unit::AfterATable}) {
        SCOPED_TRACE(static_cast<int>(unit));
        const std::string path = dir.file("units.fit");
        WriteUnits(path, unit, false);
        ImageRecord record;
        ASSERT_EQ(Load(record, path), Texts{});
        EXPECT_TRUE(HoldsTheImage(record));
        // The cards are a primary header's: SIMPLE, the image's structure, its own cards;
        // nothing of the extension's frame, nothing of the primary header without INHERIT.
        const std::vector<std::string> keywords = Keywords(record);
        ASSERT_GE(keywords.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(keywords.begin(), keywords.begin() + 5),
                  (std::vector<std::string>{"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2"}));
        for (const char* absent : {"XTENSION", "PCOUNT", "GCOUNT", "TELESCOP", "ZIMAGE", "INHERIT"})
            EXPECT_EQ(std::count(keywords.begin(), keywords.end(), absent), 0) << absent;
        EXPECT_NE(CardOf(record, "EXTNAME").find("'SCI"), std::string::npos);
        EXPECT_NE(CardOf(record, "BZERO").find("32768"), std::string::npos);

        // The band reader of co-addition reads the same rows.
        FitsImageReader reader;
        ASSERT_EQ(reader.open(path, {Width, Height}), FitsError::None);
        std::vector<double> row(Width);
        ASSERT_EQ(reader.readRows(2, 1, row.data()), FitsError::None);
        EXPECT_EQ(row[3], Value(3, 2));
        EXPECT_FALSE(reader.readStoredDirectly() && unit == Unit::Compressed);

        // Saved, the record is a plain file of the same image and cards.
        ASSERT_EQ(saveFits(record, dir.file("saved.fit"), SampleFormat::Float32), FitsError::None);
        ImageRecord again;
        ASSERT_EQ(Load(again, dir.file("saved.fit")), Texts{});
        EXPECT_TRUE(HoldsTheImage(again));
        EXPECT_EQ(CardOf(again, "EXTNAME"), CardOf(record, "EXTNAME"));
    }
}

TEST(FitsUnits, InheritTakesThePrimaryCardsTheImageDoesNotSet)
{
    TempDir dir;
    for (const Unit unit : {Unit::Extension, Unit::Compressed}) {
        SCOPED_TRACE(static_cast<int>(unit));
        WriteUnits(dir.file("inherit.fit"), unit, true);
        ImageRecord record;
        ASSERT_EQ(Load(record, dir.file("inherit.fit")), Texts{});
        const std::vector<std::string> keywords = Keywords(record);
        EXPECT_EQ(std::count(keywords.begin(), keywords.end(), "OBJECT"), 1);
        EXPECT_NE(CardOf(record, "OBJECT").find("'M 13"), std::string::npos);
        // Inherited cards follow the image's own, and never its structure.
        const auto telescope = std::find(keywords.begin(), keywords.end(), "TELESCOP");
        ASSERT_NE(telescope, keywords.end());
        EXPECT_GT(telescope - keywords.begin(), std::find(keywords.begin(), keywords.end(), "EXTNAME") - keywords.begin());
        EXPECT_EQ(std::count(keywords.begin(), keywords.end(), "NAXIS"), 1);
        EXPECT_EQ(std::count(keywords.begin(), keywords.end(), "INHERIT"), 0);
    }
}

TEST(FitsUnits, GzippedFilesAreInflatedUpToTheirImage)
{
    TempDir dir;
    WriteUnits(dir.file("plain.fit"), Unit::AfterATable, true);
    const std::vector<unsigned char> bytes = test::ReadFileBytes(dir.file("plain.fit"));
    const std::string file(bytes.begin(), bytes.end());
    test::WriteFileBytes(dir.file("packed.fit.gz"), Gzipped(file));
    ImageRecord record;
    ASSERT_EQ(Load(record, dir.file("packed.fit.gz")), Texts{});
    EXPECT_TRUE(HoldsTheImage(record));
    EXPECT_FALSE(CardOf(record, "TELESCOP").empty());

    // Cut inside the image's data: refused as data that end early.
    test::WriteFileBytes(dir.file("cut.fit.gz"), Gzipped(file.substr(0, file.size() - 2880)));
    EXPECT_EQ(Load(record, dir.file("cut.fit.gz")), Texts{"Error while reading image data"});
    // Only the units before the image: none holds one, and the primary header's axes say so.
    int status = 0;
    fitsfile* units = nullptr;
    LONGLONG imageStart = 0, dataStart = 0, dataEnd = 0;
    fits_open_diskfile(&units, dir.file("plain.fit").c_str(), READONLY, &status);
    fits_movabs_hdu(units, 3, nullptr, &status);
    fits_get_hduaddrll(units, &imageStart, &dataStart, &dataEnd, &status);
    fits_close_file(units, &status);
    ASSERT_EQ(status, 0);
    test::WriteFileBytes(dir.file("none.fit.gz"), Gzipped(file.substr(0, static_cast<std::size_t>(imageStart))));
    const Texts notTwoD = {"Loaded image is not 2-D.\nOnly 2-D images are supported.", "Error while reading image size"};
    EXPECT_EQ(Load(record, dir.file("none.fit.gz")), notTwoD);
    // A primary array larger than an image may be ends the search: nothing is inflated
    // beyond its header, and its axes say why.
    test::WriteFileBytes(dir.file("line.fit.gz"), Gzipped(test::RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                    8",
                                                                               "NAXIS   =                    1", "NAXIS1  =              4000000"}) +
                                                          std::string(2880, '\0')));
    SetGridMemoryLimit(1 << 20);
    EXPECT_EQ(Load(record, dir.file("line.fit.gz")), notTwoD);
    SetGridMemoryLimit(0);
}

} // namespace
} // namespace skyvane
