// Pictures to share: PNG and JPEG of exactly the picture the bitmap export writes, a 16-bit
// TIFF of the same mapping before it is cut to 256 levels, all through the safe replace.
#include <gtest/gtest.h>

#include <png.h>
// jpeglib.h needs the declarations of stdio.h first.
#include <cstdio>
#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "command/Messages.h"
#include "display/BitmapExport.h"
#include "display/DisplayBitmap.h"
#include "display/PictureExport.h"
#include "image/ImageGrid.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

// Pixels decoded from a file, top-down, three samples (red, green, blue) per pixel.
struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

Decoded DecodePng(const std::string& path)
{
    Decoded decoded;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        ADD_FAILURE() << "not a PNG: " << path;
        return decoded;
    }
    image.format = PNG_FORMAT_RGB;
    decoded.width = static_cast<int>(image.width);
    decoded.height = static_cast<int>(image.height);
    decoded.rgb.resize(PNG_IMAGE_SIZE(image));
    EXPECT_NE(png_image_finish_read(&image, nullptr, decoded.rgb.data(), 0, nullptr), 0);
    return decoded;
}

Decoded DecodeJpeg(const std::string& path)
{
    Decoded decoded;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return decoded;
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    decoded.width = static_cast<int>(info.output_width);
    decoded.height = static_cast<int>(info.output_height);
    decoded.rgb.resize(static_cast<std::size_t>(decoded.width) * static_cast<std::size_t>(decoded.height) * 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = decoded.rgb.data() + static_cast<std::size_t>(info.output_scanline) * static_cast<std::size_t>(decoded.width) * 3;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return decoded;
}

// The picture a bitmap file holds, top-down in red, green, blue.
Decoded DecodeBitmap(const std::string& path)
{
    const std::vector<unsigned char> bytes = test::ReadFileBytes(path);
    Decoded decoded;
    decoded.width = bytes[18] | bytes[19] << 8;
    decoded.height = bytes[22] | bytes[23] << 8;
    const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(decoded.width));
    for (int r = 0; r < decoded.height; ++r) {
        const unsigned char* row = bytes.data() + 54 + static_cast<std::size_t>(decoded.height - 1 - r) * stride;
        for (int x = 0; x < decoded.width; ++x)
            for (int c = 2; c >= 0; --c)
                decoded.rgb.push_back(row[3 * x + c]);
    }
    return decoded;
}

// A 37 x 23 image (odd width: padded bitmap rows) of values across and beyond the
// thresholds, with a missing pixel, shown through thresholds 100..900.
struct Shown {
    explicit Shown(const TransferFunction& transfer = TransferFunction::Linear(), int low = 100, int high = 900) : thresholds(low, high)
    {
        image.resize(37, 23);
        for (int x = 0; x < 37; ++x)
            for (int y = 0; y < 23; ++y)
                image[x][y] = 31.7 * x + 17.3 * y + (x * y % 7) * 0.25;
        image[5][7] = std::numeric_limits<double>::quiet_NaN();
        display.setTransferFunction(transfer);
        EXPECT_TRUE(display.buildDisplay(image));
        display.paintDisplay();
    }
    PictureMapping mapping() const { return {thresholds.low, thresholds.high, display.transferFunction()}; }
    test::FixedThresholds thresholds;
    test::RecordingDisplaySink sink;
    Display display{thresholds, sink};
    ImageGrid image;
};

TEST(PictureExport, NamesChooseTheFormat)
{
    EXPECT_EQ(PictureFormatOfName("a/night.png"), PictureFormat::Png);
    EXPECT_EQ(PictureFormatOfName("night.PNG"), PictureFormat::Png);
    EXPECT_EQ(PictureFormatOfName("night.jpg"), PictureFormat::Jpeg);
    EXPECT_EQ(PictureFormatOfName("night.Jpeg"), PictureFormat::Jpeg);
    EXPECT_EQ(PictureFormatOfName("night.tif"), PictureFormat::Tiff16);
    EXPECT_EQ(PictureFormatOfName("night.tiff"), PictureFormat::Tiff16);
    for (const char* bitmap : {"night.bmp", "night", "png", "night.png.bmp", "night.fit"})
        EXPECT_EQ(PictureFormatOfName(bitmap), PictureFormat::Bitmap) << bitmap;
}

TEST(PictureExport, PngAndJpegHoldThePictureOfTheBitmap)
{
    test::TempDir dir;
    test::RecordingMessages messages;
    for (const TransferFunction& transfer : {TransferFunction::Linear(), TransferFunction::Gamma(2.2)}) {
        Shown shown(transfer);
        const PictureMapping mapping = shown.mapping();
        ASSERT_TRUE(exportPictureReporting(shown.display.bitmap(), shown.image, mapping, dir.file("picture.bmp"), messages));
        ASSERT_TRUE(exportPictureReporting(shown.display.bitmap(), shown.image, mapping, dir.file("picture.png"), messages));
        ASSERT_TRUE(exportPictureReporting(shown.display.bitmap(), shown.image, mapping, dir.file("picture.JPG"), messages));
        EXPECT_TRUE(messages.texts.empty());
        const Decoded bitmap = DecodeBitmap(dir.file("picture.bmp"));
        const Decoded png = DecodePng(dir.file("picture.png"));
        EXPECT_EQ(png.width, 37);
        EXPECT_EQ(png.height, 23);
        EXPECT_EQ(png.rgb, bitmap.rgb);
        const Decoded jpeg = DecodeJpeg(dir.file("picture.JPG"));
        ASSERT_EQ(jpeg.rgb.size(), bitmap.rgb.size());
        double difference = 0.0;
        for (std::size_t i = 0; i < jpeg.rgb.size(); ++i)
            difference += std::abs(jpeg.rgb[i] - bitmap.rgb[i]);
        EXPECT_LT(difference / static_cast<double>(jpeg.rgb.size()), 2.0) << "quality 95 stays close to the picture";
    }
    EXPECT_EQ(test::FolderEntries(dir.path().string()), (std::vector<std::string>{"picture.JPG", "picture.bmp", "picture.png"}));
}

TEST(PictureExport, AColourPictureKeepsItsColours)
{
    // A bitmap as a colour picture fills it: the files hold red, green and blue.
    test::TempDir dir;
    Shown shown;
    DisplayBitmap bitmap = shown.display.bitmap();
    for (int y = 0; y < bitmap.height(); ++y)
        for (int x = 0; x < bitmap.width(); ++x) {
            std::uint8_t& blue = bitmap.rows[static_cast<std::size_t>(y) * bitmap.stride() + 3 * x];
            blue = static_cast<std::uint8_t>(blue / 2);
        }
    ASSERT_TRUE(exportBitmap(bitmap, dir.file("colour.bmp")));
    ASSERT_TRUE(exportPng(bitmap, dir.file("colour.png")));
    ASSERT_TRUE(exportJpeg(bitmap, dir.file("colour.jpg")));
    const Decoded expected = DecodeBitmap(dir.file("colour.bmp"));
    EXPECT_EQ(DecodePng(dir.file("colour.png")).rgb, expected.rgb);
    const Decoded jpeg = DecodeJpeg(dir.file("colour.jpg"));
    ASSERT_EQ(jpeg.rgb.size(), expected.rgb.size());
    double blue = 0.0, red = 0.0;
    for (std::size_t i = 0; i < jpeg.rgb.size(); i += 3) {
        red += jpeg.rgb[i];
        blue += jpeg.rgb[i + 2];
    }
    EXPECT_LT(blue, 0.75 * red);
}

// The TIFF's samples against the formula: F(p / 255) of the mapping's product p, in 65535
// steps rounded half up; inverted thresholds turn it over; missing pixels as the product 0.
TEST(PictureExport, TiffSamplesAreTheMappingBeforeItIsCutTo256Levels)
{
    test::TempDir dir;
    struct Case {
        TransferFunction transfer;
        int low, high;
    };
    for (const Case& c : {Case{TransferFunction::Linear(), 100, 900}, Case{TransferFunction::Gamma(2.2), 100, 900},
                          Case{TransferFunction::Logarithm(), 900, 100}}) {
        Shown shown(c.transfer, c.low, c.high);
        const std::string path = dir.file("picture.tif");
        test::RecordingMessages messages;
        ASSERT_TRUE(exportPictureReporting(shown.display.bitmap(), shown.image, shown.mapping(), path, messages));
        EXPECT_TRUE(messages.texts.empty());
        TIFF* tiff = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tiff, nullptr);
        std::uint32_t width = 0, height = 0;
        std::uint16_t bits = 0, samples = 0;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
        EXPECT_EQ(width, 37u);
        EXPECT_EQ(height, 23u);
        EXPECT_EQ(bits, 16);
        EXPECT_EQ(samples, 1);
        std::vector<std::uint16_t> row(width);
        const double lo = std::min(c.low, c.high);
        const double factor = 255.0 / std::abs(c.high - c.low);
        int wrong = 0;
        int beyondTheBitmap = 0;
        for (std::uint32_t r = 0; r < height; ++r) {
            ASSERT_EQ(TIFFReadScanline(tiff, row.data(), r, 0), 1);
            const int y = static_cast<int>(height - 1 - r); // the picture's top row is the image's last
            for (int x = 0; x < static_cast<int>(width); ++x) {
                const double v = shown.image[x][y];
                const double p = std::isnan(v) ? 0.0 : std::clamp((v - lo) * factor, 0.0, 255.0);
                const double t = p / 255.0;
                const double f = c.transfer.kind == TransferKind::Linear      ? t
                                 : c.transfer.kind == TransferKind::Logarithm ? std::log10(1.0 + 1000.0 * t) / std::log10(1001.0)
                                                                              : std::pow(t, 1.0 / c.transfer.gamma);
                auto expected = static_cast<int>(std::floor(65535.0 * f + 0.5));
                if (c.high < c.low)
                    expected = 65535 - expected;
                wrong += row[static_cast<std::size_t>(x)] == expected ? 0 : 1;
                // The 8-bit picture is the same mapping cut to 256 levels.
                const std::uint8_t grey = shown.display.bitmap().rows[static_cast<std::size_t>(y) * shown.display.bitmap().stride() + 3 * x];
                beyondTheBitmap += std::abs(row[static_cast<std::size_t>(x)] / 257.0 - grey) <= 1.0 ? 0 : 1;
            }
        }
        TIFFClose(tiff);
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(beyondTheBitmap, 0);
    }
}

// Pictures of several parts of rows, whose bytes are noise, flat areas (runs longer than
// one repeat can say, across rows and parts), every level, and levels so unevenly common
// that their plain Huffman code would be longer than a PNG allows: each PNG decodes to the
// bitmap's pixels. A picture grey in its first, middle and last rows but with colour in
// one pixel elsewhere is written in colour; a narrow one, too.
TEST(PictureExport, PngPartsOfEveryKindOfRowDecodeToTheBitmap)
{
    test::TempDir dir;
    constexpr int Width = 2001;
    constexpr int Height = 900;
    ImageGrid image;
    image.resize(Width, Height);
    std::uint32_t seed = 12345;
    const auto random = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x) {
            double v;
            if (y < 150)
                v = 100.0 + static_cast<double>(random() % 40); // sky noise
            else if (y < 400)
                v = 7.0; // flat across rows and parts
            else if (y < 500)
                v = static_cast<double>((x + y) % 256); // every level, in short runs
            else // level k twice as common as level k + 1
                v = static_cast<double>(__builtin_ctz(random() | 0x800000u) * 8);
            image[x][y] = v;
        }
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ASSERT_TRUE(display.buildDisplay(image));
    DisplayBitmap colour = display.bitmap();
    colour.rows[static_cast<std::size_t>(450) * colour.stride() + 3 * 17] ^= 0x5A; // one blue byte, in a middle part
    for (const auto& [name, bitmap] : {std::pair<const char*, const DisplayBitmap*>{"grey", &display.bitmap()}, {"colour", &colour}}) {
        ASSERT_TRUE(exportBitmap(*bitmap, dir.file(std::string(name) + ".bmp")));
        ASSERT_TRUE(exportPng(*bitmap, dir.file(std::string(name) + ".png")));
        const Decoded png = DecodePng(dir.file(std::string(name) + ".png"));
        EXPECT_EQ(png.height, Height);
        EXPECT_TRUE(png.rgb == DecodeBitmap(dir.file(std::string(name) + ".bmp")).rgb) << name;
    }
    // The colour type of the files: grey (0) and truecolour (2).
    EXPECT_EQ(test::ReadFileBytes(dir.file("grey.png"))[25], 0);
    EXPECT_EQ(test::ReadFileBytes(dir.file("colour.png"))[25], 2);
    ImageGrid thin;
    thin.resize(1, 3);
    thin[0][0] = thin[0][1] = thin[0][2] = 9.0;
    ASSERT_TRUE(display.buildDisplay(thin));
    ASSERT_TRUE(exportPng(display.bitmap(), dir.file("thin.png")));
    ASSERT_TRUE(exportBitmap(display.bitmap(), dir.file("thin.bmp")));
    EXPECT_TRUE(DecodePng(dir.file("thin.png")).rgb == DecodeBitmap(dir.file("thin.bmp")).rgb);
}

TEST(PictureExport, FailuresCreateNothingAndSaySo)
{
    test::TempDir dir;
    Shown shown;
    for (const char* name : {"missing/picture.png", "missing/picture.jpg", "missing/picture.tif"}) {
        test::RecordingMessages messages;
        EXPECT_FALSE(exportPictureReporting(shown.display.bitmap(), shown.image, shown.mapping(), dir.file(name), messages));
        EXPECT_EQ(messages.texts, std::vector<std::string>{"Failed to create picture file."});
    }
    // Rows released by clearDisplay: nothing to export.
    shown.display.clearDisplay();
    test::RecordingMessages messages;
    EXPECT_FALSE(exportPictureReporting(shown.display.bitmap(), shown.image, shown.mapping(), dir.file("cleared.png"), messages));
    EXPECT_TRUE(test::FolderEntries(dir.path().string()).empty());
}

} // namespace
} // namespace skyvane
