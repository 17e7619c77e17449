// Every save format of every kind of frame either gives the values back or says what it
// could not keep, and the file's sample format is what was written.
#include <gtest/gtest.h>

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

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
using Texts = std::vector<std::string>;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// A kind of frame as files hold it: the values (row-major, 4 x 2) and the stored form.
struct Frame {
    const char* name;
    std::vector<double> values;
    int bitpix;
    double bzero;
    std::vector<std::string> cards;
};

const Frame Frames[] = {
    {"whole numbers within 0..32767", {0, 1, 2, 100, 1000, 20000, 32766, 32767}, 16, 0, {}},
    {"a stacking tool's result normalised to 0..1", {0.0, 0.125, 0.5, 1.0, 0.25, 0.75, 0.375, 0.0625}, -32, 0, {}},
    {"a camera's unsigned 16-bit flat", {33635, 30000, 65535, 0, 41000, 32768, 1, 50000}, 16, 32768, {}},
    {"calibrated electrons", {-12.5, 3.25, 0, 1e5, -0.75, 17, 2.5, 40000.5}, -64, 0, {}},
    {"8-bit frame", {0, 1, 2, 255, 128, 7, 64, 200}, 8, 0, {}},
    {"missing pixels", {NaN, 5, 6, NaN, 7, 8, 9, 10}, -32, 0, {}},
    {"BLANK pixels", {0, 5, 6, 7, 8, 9, 10, 11}, 16, 32768, {"BLANK   =               -32768"}}, // 0 is stored as BLANK
};

struct Stored {
    int bitpix = 0;
    double bzero = 0.0;
    bool blank = false;
};

Stored StoredForm(const std::string& path)
{
    Stored form;
    int status = 0;
    fitsfile* file = nullptr;
    fits_open_diskfile(&file, path.c_str(), READONLY, &status);
    fits_get_img_type(file, &form.bitpix, &status);
    int keyStatus = 0;
    if (fits_read_key(file, TDOUBLE, "BZERO", &form.bzero, nullptr, &keyStatus) != 0)
        form.bzero = 0.0;
    keyStatus = 0;
    long long blank = 0;
    form.blank = fits_read_key(file, TLONGLONG, "BLANK", &blank, nullptr, &keyStatus) == 0;
    fits_close_file(file, &status);
    EXPECT_EQ(status, 0) << path;
    return form;
}

// What a 16-bit save of top (32767 or 65535) must store for v, and how it counts v.
double Written(double v, double top)
{
    return std::isnan(v) ? 0.0 : std::trunc(std::min(std::max(v, 0.0), top));
}

TEST(SaveFormats, EveryFormatRoundTripsOrSaysWhatItLost)
{
    TempDir dir;
    for (const Frame& frame : Frames) {
        FitsLayout layout;
        layout.width = 4;
        layout.height = 2;
        layout.values = frame.values;
        layout.bitpix = frame.bitpix;
        layout.bzero = frame.bzero;
        layout.extraCards = frame.cards;
        test::WriteFitsImage(dir.file("source.fit"), layout);
        ImageRecord record;
        RecordingMessages messages;
        ASSERT_TRUE(loadFitsReporting(record, dir.file("source.fit"), messages)) << frame.name;
        const bool blankCard = !frame.cards.empty();
        // An 8-bit frame after `mult 100`: values its own form cannot hold.
        if (frame.bitpix == 8)
            for (int x = 0; x < 4; ++x)
                for (int y = 0; y < 2; ++y)
                    record.grid[x][y] *= 100.0;

        for (const SampleFormat format : {SampleFormat::Integer16, SampleFormat::Unsigned16, SampleFormat::Float32}) {
            SCOPED_TRACE(std::string(frame.name) + ", format " + std::to_string(static_cast<int>(format)));
            const double top = format == SampleFormat::Unsigned16 ? 65535.0 : 32767.0;
            SaveReport expected;
            for (int y = 0; y < 2; ++y) {
                for (int x = 0; x < 4; ++x) {
                    const double v = record.grid[x][y];
                    if (format == SampleFormat::Float32)
                        continue;
                    if (std::isnan(v))
                        ++expected.missingPixels;
                    else if (v < 0.0 || v > top)
                        ++expected.clippedPixels;
                    else if (v != std::trunc(v))
                        ++expected.cutPixels;
                }
            }
            const std::string saved = dir.file("saved.fit");
            messages.clear();
            ASSERT_TRUE(saveFitsReporting(record, saved, format, messages));
            EXPECT_EQ(messages.texts, expected.changed() ? Texts{ChangedValuesText(expected, format)} : Texts{});

            // The file holds what was written, in the form written.
            const Stored form = StoredForm(saved);
            if (format == SampleFormat::Float32) {
                EXPECT_EQ(form.bitpix, -32);
            } else if (format == SampleFormat::Unsigned16) {
                EXPECT_EQ(form.bitpix, 16);
                EXPECT_EQ(form.bzero, 32768.0);
            } else if (expected.changed() || frame.bitpix == 8) {
                EXPECT_EQ(form.bitpix, 16);
            } else {
                EXPECT_EQ(form.bitpix, frame.bitpix) << "a frame whose values all fit keeps its own form";
            }
            EXPECT_EQ(form.blank, blankCard && format != SampleFormat::Float32 && format != SampleFormat::Unsigned16 && !expected.changed());
            ImageRecord back;
            ASSERT_TRUE(loadFitsReporting(back, saved, messages));
            for (int y = 0; y < 2; ++y) {
                for (int x = 0; x < 4; ++x) {
                    const double v = record.grid[x][y];
                    const double want = format == SampleFormat::Float32 ? static_cast<double>(static_cast<float>(v)) : Written(v, top);
                    if (std::isnan(want))
                        EXPECT_TRUE(std::isnan(back.grid[x][y])) << x << ", " << y;
                    else
                        EXPECT_EQ(back.grid[x][y], want) << x << ", " << y;
                }
            }
        }
    }
}

TEST(SaveFormats, TheNoticeKeepsItsWordsForClippingAloneAndOtherwiseSaysHowToKeepTheValues)
{
    SaveReport clipped;
    clipped.clippedPixels = 3;
    EXPECT_EQ(ChangedValuesText(clipped, SampleFormat::Integer16), "3 pixels outside 0..32767 were clipped");
    EXPECT_EQ(ChangedValuesText(clipped, SampleFormat::Unsigned16), "3 pixels outside 0..65535 were clipped");
    SaveReport cut = clipped;
    cut.cutPixels = 12;
    EXPECT_EQ(ChangedValuesText(cut, SampleFormat::Integer16),
              "3 pixels outside 0..32767 were clipped and 12 pixels were cut to whole numbers; to keep them, choose 32-bit floating point in Preferences");
    SaveReport missing;
    missing.missingPixels = 2;
    EXPECT_EQ(ChangedValuesText(missing, SampleFormat::Integer16),
              "0 pixels outside 0..32767 were clipped, 0 pixels were cut to whole numbers and 2 missing pixels were written as 0; "
              "to keep them, choose 32-bit floating point in Preferences");
}

} // namespace
} // namespace skyvane
