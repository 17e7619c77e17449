#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "base/Numbers.h"
#include "display/DisplayBitmap.h"
#include "display/ThresholdModel.h"
#include "display/TransferFunction.h"
#include "image/ImageGrid.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

TEST(ThresholdFromEditText, FollowsTheEditRules)
{
    struct Case {
        const char* text;
        int position;
        bool replaceText;
    } cases[] = {
        {"0", 0, false},
        {"1234", 1234, false},
        {"32767", 32767, false},
        {"32768", 32767, true},
        {"40000", 32767, true},
        {"99999", 32767, true},
        {"123456", 12345, false},  // read by its first five characters
        {"000032768", 3, false},   // "00003"
        {"abc", 0, false},
        {"", 0, false},
        {"12a45", 12, false},
        {"  42", 42, false},
        {"+7", 7, false},
        {"-5", 0, false},           // trackbar at its minimum, text as typed
        {"-40000", 0, false},       // "-4000"
        {"  -1", 0, false},
        {"4.5e3", 4, false},
    };
    for (const Case& c : cases) {
        const EditThreshold result = ThresholdFromEditText(c.text);
        EXPECT_EQ(result.position, c.position) << '"' << c.text << '"';
        EXPECT_EQ(result.replaceText, c.replaceText) << '"' << c.text << '"';
    }
}

TEST(AutoThresholdsFromMedian, MedianMinus200AndPlus1000WithinTheRange)
{
    struct Case {
        double median;
        int low;
        int high;
    } cases[] = {
        {1234.5, 1034, 2234},
        {150.0, 0, 1150},
        {32000.0, 31800, 32767},
        {200.0, 0, 1200},
        {200.9, 0, 1200},           // truncated to 200 first
        {201.0, 1, 1201},
        {0.0, 0, 1000},
        {-50.7, 0, 950},            // truncation toward zero: -50
        {-1000.0, 0, 0},
        {-5000.0, 0, 0},
        {31767.0, 31567, 32767},
        {31766.9, 31566, 32766},
        {32967.0, 32767, 32767},
        {40000.0, 32767, 32767},
        {1e300, 32767, 32767},
        {-1e300, 0, 0},
        {std::numeric_limits<double>::infinity(), 32767, 32767},
        {-std::numeric_limits<double>::infinity(), 0, 0},
        {std::numeric_limits<double>::quiet_NaN(), 0, 1000},
    };
    for (const Case& c : cases) {
        const AutoThresholds result = AutoThresholdsFromMedian(c.median);
        EXPECT_EQ(result.low, c.low) << "median " << c.median;
        EXPECT_EQ(result.high, c.high) << "median " << c.median;
    }
}

struct Model {
    int redraws = 0;
    ThresholdModel thresholds{[this] { ++redraws; }};
};

TEST(ThresholdModel, StartsAtTheFullRange)
{
    Model m;
    EXPECT_EQ(m.thresholds.LowThreshold(), 0);
    EXPECT_EQ(m.thresholds.HighThreshold(), 32767);
    EXPECT_EQ(m.thresholds.lowText(), "0");
    EXPECT_EQ(m.thresholds.highText(), "32767");
    EXPECT_EQ(m.redraws, 0);
}

TEST(ThresholdModel, EditChangesMoveTheTrackbarsAndRedraw)
{
    Model m;
    m.thresholds.setLowText("40000");
    EXPECT_EQ(m.thresholds.LowThreshold(), 32767);
    EXPECT_EQ(m.thresholds.lowText(), "32767");
    EXPECT_EQ(m.redraws, 2) << "the replaced text is an edit change of its own";

    m.thresholds.setLowText("-5");
    EXPECT_EQ(m.thresholds.LowThreshold(), 0);
    EXPECT_EQ(m.thresholds.lowText(), "-5");
    EXPECT_EQ(m.redraws, 3);

    m.thresholds.setHighText("123456");
    EXPECT_EQ(m.thresholds.HighThreshold(), 12345);
    EXPECT_EQ(m.thresholds.highText(), "123456");
    m.thresholds.setHighText("abc");
    EXPECT_EQ(m.thresholds.HighThreshold(), 0);
    EXPECT_EQ(m.thresholds.highText(), "abc");
    EXPECT_EQ(m.redraws, 5);
    EXPECT_EQ(m.thresholds.LowThreshold(), 0) << "the other trackbar is untouched";
}

TEST(ThresholdModel, AutoUsesTheMedianOfTheDisplayedImage)
{
    struct Case {
        std::vector<double> pixels;
        const char* low;
        const char* high;
    } cases[] = {
        {{1234.0, 1235.0}, "1034", "2234"},          // median 1234.5
        {{150.0, 100.0, 9000.0}, "0", "1150"},
        {{32000.0, 32000.0, 1.0, 40000.0}, "31800", "32767"},
    };
    for (const Case& c : cases) {
        Model m;
        ImageGrid image;
        image.resize(static_cast<int>(c.pixels.size()), 1);
        for (std::size_t i = 0; i < c.pixels.size(); ++i)
            image[static_cast<int>(i)][0] = c.pixels[i];
        EXPECT_TRUE(m.thresholds.autoThresholds(true, image));
        EXPECT_EQ(m.thresholds.lowText(), c.low);
        EXPECT_EQ(m.thresholds.highText(), c.high);
        EXPECT_EQ(m.thresholds.LowThreshold(), std::stoi(c.low));
        EXPECT_EQ(m.thresholds.HighThreshold(), std::stoi(c.high));
        EXPECT_EQ(m.redraws, 2) << "one redraw per edit";
    }
}

TEST(ThresholdModel, AutoWithoutAnImageSetsTheFullRange)
{
    Model m;
    m.thresholds.setLowText("1000");
    m.thresholds.setHighText("3000");
    ImageGrid image;
    image.resize(2, 2);
    image[0][0] = 5000.0;
    EXPECT_TRUE(m.thresholds.autoThresholds(false, image)); // pixels present but nothing displayed
    EXPECT_EQ(m.thresholds.lowText(), "0");
    EXPECT_EQ(m.thresholds.highText(), "32767");
    EXPECT_EQ(m.thresholds.LowThreshold(), 0);
    EXPECT_EQ(m.thresholds.HighThreshold(), 32767);

    ImageGrid empty;
    m.thresholds.setLowText("1000");
    EXPECT_TRUE(m.thresholds.autoThresholds(true, empty)); // no pixels to take a median of
    EXPECT_EQ(m.thresholds.lowText(), "0");
    EXPECT_EQ(m.thresholds.LowThreshold(), 0);
}

TEST(ThresholdModel, InvertSwapsAndASecondInvertRestores)
{
    Model m;
    m.thresholds.setLowText("1000");
    m.thresholds.setHighText("3000");
    m.redraws = 0;
    m.thresholds.invert();
    EXPECT_EQ(m.thresholds.LowThreshold(), 3000);
    EXPECT_EQ(m.thresholds.HighThreshold(), 1000);
    EXPECT_EQ(m.thresholds.lowText(), "3000");
    EXPECT_EQ(m.thresholds.highText(), "1000");
    EXPECT_EQ(m.redraws, 2);
    m.thresholds.invert();
    EXPECT_EQ(m.thresholds.LowThreshold(), 1000);
    EXPECT_EQ(m.thresholds.HighThreshold(), 3000);
    EXPECT_EQ(m.thresholds.lowText(), "1000");
    EXPECT_EQ(m.thresholds.highText(), "3000");
    EXPECT_EQ(m.redraws, 4);
}

TEST(ThresholdModel, InvertAppliesTheTextsAsEditChanges)
{
    Model m;
    m.thresholds.setLowText("123456"); // position 12345, text as typed
    m.thresholds.setHighText("-5");    // position 0
    m.thresholds.invert();
    // The texts are read by their first five characters and applied as typed text.
    EXPECT_EQ(m.thresholds.lowText(), "-5");
    EXPECT_EQ(m.thresholds.LowThreshold(), 0);
    EXPECT_EQ(m.thresholds.highText(), "12345");
    EXPECT_EQ(m.thresholds.HighThreshold(), 12345);

    // Five characters as an edit counts them: never half a character.
    m.thresholds.setLowText("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"); // six "é"
    m.thresholds.setHighText("12\xF0\x9F\x94\xAD" "34");               // a character of two units
    m.thresholds.invert();
    EXPECT_EQ(m.thresholds.lowText(), "12\xF0\x9F\x94\xAD" "3");
    EXPECT_EQ(m.thresholds.LowThreshold(), 12);
    EXPECT_EQ(m.thresholds.highText(), "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
}

// A view that records what it was shown at each notice.
struct RecordingView final : ThresholdModel::View {
    explicit RecordingView(const ThresholdModel& shown) : model(shown) {}
    void thresholdsChanged() override { seen.push_back(model.lowText() + "/" + model.highText()); }
    void imageChanged() override { ++images; }
    const ThresholdModel& model;
    std::vector<std::string> seen;
    int images = 0;
};

TEST(ThresholdModel, ATrackbarStepWritesBothEditsAndRedrawsTwice)
{
    Model m;
    RecordingView view(m.thresholds);
    m.thresholds.setView(&view);
    m.thresholds.scrollLow(201);
    EXPECT_EQ(m.thresholds.LowThreshold(), 201);
    EXPECT_EQ(m.thresholds.lowText(), "201");
    EXPECT_EQ(m.thresholds.highText(), "32767");
    EXPECT_EQ(m.redraws, 2);
    EXPECT_EQ(view.seen.back(), "201/32767");
    m.thresholds.scrollHigh(32567);
    EXPECT_EQ(m.thresholds.HighThreshold(), 32567);
    EXPECT_EQ(m.thresholds.LowThreshold(), 201);
    EXPECT_EQ(m.redraws, 4);
    m.thresholds.setView(nullptr);
}

TEST(ThresholdModel, WhileATrackbarIsHeldEditsOnlyChangeTheirText)
{
    Model m;
    m.thresholds.pressTrackbar();
    EXPECT_TRUE(m.thresholds.trackbarPressed());
    m.thresholds.scrollLow(900);
    EXPECT_EQ(m.thresholds.LowThreshold(), 900);
    EXPECT_EQ(m.thresholds.lowText(), "900");
    m.thresholds.setHighText("500");
    EXPECT_EQ(m.thresholds.HighThreshold(), 32767);
    EXPECT_EQ(m.thresholds.highText(), "500");
    m.thresholds.invert(); // the positions move, the texts are only kept
    EXPECT_EQ(m.thresholds.LowThreshold(), 32767);
    EXPECT_EQ(m.thresholds.HighThreshold(), 900);
    EXPECT_EQ(m.redraws, 0);

    // The release redraws, then applies the number of the released trackbar's position.
    m.thresholds.releaseTrackbar(true);
    EXPECT_FALSE(m.thresholds.trackbarPressed());
    EXPECT_EQ(m.redraws, 2);
    EXPECT_EQ(m.thresholds.lowText(), "32767");
    EXPECT_EQ(m.thresholds.LowThreshold(), 32767);
    EXPECT_EQ(m.thresholds.highText(), "900") << "the other edit keeps its text";
    EXPECT_EQ(m.thresholds.HighThreshold(), 900);
}

TEST(ThresholdModel, DrivesTheDisplayToItsNegativeAndBack)
{
    test::RecordingDisplaySink sink;
    ImageGrid image;
    image.resize(5, 3);
    for (int x = 0; x < 5; ++x)
        for (int y = 0; y < 3; ++y)
            image[x][y] = 500.0 * x + 150.0 * y + 800.0;

    Display* shown = nullptr;
    // The redraw command: refresh and repaint, only while an image is displayed.
    ThresholdModel thresholds([&] {
        if (shown != nullptr && shown->isImageDisplayed()) {
            shown->refreshDisplay(image);
            shown->repaintDisplay();
        }
    });
    Display display(thresholds, sink);
    shown = &display;
    thresholds.setLowText("1000");
    thresholds.setHighText("3000");
    display.buildDisplay(image);
    display.paintDisplay();
    const std::vector<std::uint8_t> picture = display.bitmap().rows;

    thresholds.invert();
    EXPECT_EQ(sink.changed, 2);
    const std::vector<std::uint8_t>& negative = display.bitmap().rows;
    ASSERT_EQ(negative.size(), picture.size());
    const std::size_t stride = 16;
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 5; ++x) {
            const double v = image[static_cast<int>(x)][static_cast<int>(y)];
            const std::uint8_t before = picture[y * stride + 3 * x];
            const std::uint8_t after = negative[y * stride + 3 * x];
            // Same range, so black and white trade places; in between, the level is
            // 255 - g of the same truncated product.
            if (v <= 1000.0) {
                EXPECT_EQ(after, 255);
            } else if (v > 3000.0) {
                EXPECT_EQ(after, 0);
            }
            EXPECT_EQ(after, 255 - before) << "pixel " << x << ", " << y;
        }

    thresholds.invert();
    EXPECT_EQ(display.bitmap().rows, picture) << "a second Invert restores the picture";
}

// ---------------------------------------------------------------------------------------
// An image of any values: real thresholds in the image's units

ImageGrid Row(const std::vector<double>& values)
{
    ImageGrid image;
    image.resize(static_cast<int>(values.size()), 1);
    std::copy(values.begin(), values.end(), image.data());
    return image;
}

TEST(ThresholdModel, AnImageOfWholeNumbersChangesNothing)
{
    Model m;
    m.thresholds.setLowText("123456");
    m.thresholds.setHighText("-5");
    m.redraws = 0;
    const ImageGrid image = Row({0.0, 17.0, 32767.0});
    m.thresholds.followImage(image);
    EXPECT_EQ(m.thresholds.world(), ValueWorld::Whole);
    EXPECT_EQ(m.thresholds.lowText(), "123456");
    EXPECT_EQ(m.thresholds.highText(), "-5");
    EXPECT_EQ(m.thresholds.LowThreshold(), 12345);
    EXPECT_EQ(m.thresholds.lowValue(), 12345.0);
    EXPECT_EQ(m.thresholds.highValue(), 0.0);
    EXPECT_EQ(m.redraws, 0);
}

TEST(ThresholdModel, RealThresholdsSpanTheImagesValues)
{
    Model m;
    RecordingView view(m.thresholds);
    m.thresholds.setView(&view);
    m.thresholds.setLowText("1000");
    m.thresholds.setHighText("3000");
    m.redraws = 0;
    // Electrons: negatives and fractions; the trackbars span -50 .. 4950.
    const ImageGrid image = Row({-50.0, 12.5, std::numeric_limits<double>::quiet_NaN(), 4950.0});
    m.thresholds.followImage(image);
    EXPECT_EQ(m.thresholds.world(), ValueWorld::Any);
    EXPECT_EQ(m.redraws, 0) << "the thresholds keep their values";
    EXPECT_EQ(m.thresholds.lowValue(), 1000.0);
    EXPECT_EQ(m.thresholds.lowText(), "1000");
    EXPECT_EQ(m.thresholds.LowThreshold(), static_cast<int>(std::lround(1050.0 / 5000.0 * 32767)));
    EXPECT_EQ(m.thresholds.valueAt(0), -50.0);
    EXPECT_EQ(m.thresholds.valueAt(32767), 4950.0);
    EXPECT_EQ(m.thresholds.positionOf(-1e300), 0);
    EXPECT_EQ(m.thresholds.positionOf(1e300), 32767);

    // Typed: the whole text is the threshold, however long, outside the span or negative.
    m.thresholds.setLowText("-12.375");
    EXPECT_EQ(m.thresholds.lowValue(), -12.375);
    EXPECT_EQ(m.thresholds.LowThreshold(), static_cast<int>(std::lround(37.625 / 5000.0 * 32767)));
    m.thresholds.setHighText("123456.5");
    EXPECT_EQ(m.thresholds.highValue(), 123456.5);
    EXPECT_EQ(m.thresholds.HighThreshold(), 32767);
    EXPECT_EQ(m.thresholds.highText(), "123456.5");
    m.thresholds.setHighText("1e999");
    EXPECT_EQ(m.thresholds.highValue(), std::numeric_limits<double>::max());
    m.thresholds.setHighText("abc");
    EXPECT_EQ(m.thresholds.highValue(), 0.0);
    EXPECT_EQ(m.redraws, 4) << "one redraw per edit change";

    // A trackbar moved writes its value into its own edit only, once.
    m.redraws = 0;
    m.thresholds.scrollHigh(16384);
    const double value = -50.0 + 5000.0 * 16384 / 32767;
    EXPECT_EQ(m.thresholds.highText(), FormatReal(value, ThresholdDigits));
    EXPECT_EQ(m.thresholds.highValue(), ParseReal(FormatReal(value, ThresholdDigits)));
    EXPECT_EQ(m.thresholds.HighThreshold(), 16384) << "the trackbar stays where it was put";
    EXPECT_EQ(m.thresholds.lowText(), "-12.375");
    EXPECT_EQ(m.redraws, 1);

    // Invert trades the whole texts and the positions.
    const int low = m.thresholds.LowThreshold();
    m.thresholds.invert();
    EXPECT_EQ(m.thresholds.lowText(), FormatReal(value, ThresholdDigits));
    EXPECT_EQ(m.thresholds.highText(), "-12.375");
    EXPECT_EQ(m.thresholds.LowThreshold(), 16384);
    EXPECT_EQ(m.thresholds.HighThreshold(), low);
    EXPECT_EQ(m.thresholds.highValue(), -12.375);

    // Auto: median - 200 and median + 1000 of the present values, without limits.
    ASSERT_TRUE(m.thresholds.autoThresholds(true, image));
    EXPECT_EQ(m.thresholds.lowText(), "-187.5");
    EXPECT_EQ(m.thresholds.highText(), "1012.5");

    // Back to an image of whole numbers: the thresholds truncated into 0..32767.
    m.thresholds.setLowText("-7.5");
    m.thresholds.setHighText("40000.9");
    m.redraws = 0;
    const ImageGrid whole = Row({1.0, 2.0});
    m.thresholds.followImage(whole);
    EXPECT_EQ(m.thresholds.world(), ValueWorld::Whole);
    EXPECT_EQ(m.thresholds.lowText(), "0");
    EXPECT_EQ(m.thresholds.highText(), "32767");
    EXPECT_EQ(m.thresholds.lowValue(), 0.0);
    EXPECT_EQ(m.thresholds.highValue(), 32767.0);
    EXPECT_EQ(m.redraws, 2);
    EXPECT_EQ(view.images, 2);
    m.thresholds.setView(nullptr);
}

TEST(ThresholdModel, AutoStretchSetsTheStretchThresholds)
{
    // 0..1 floats: present values 0.1, 0.2, 0.2, 0.3, 0.9; median 0.2, MAD 0.1.
    Model m;
    const ImageGrid image = Row({0.2, 0.9, std::numeric_limits<double>::quiet_NaN(), 0.1, 0.3, 0.2});
    m.thresholds.followImage(image);
    DisplayStretch stretch;
    ASSERT_TRUE(m.thresholds.autoStretch(true, image, stretch));
    const double low = 0.2 - 2.8 * 1.4826 * 0.1;
    EXPECT_EQ(m.thresholds.lowText(), FormatReal(low, ThresholdDigits));
    EXPECT_EQ(m.thresholds.highText(), "0.9");
    EXPECT_EQ(stretch.low, ParseReal(FormatReal(low, ThresholdDigits)));
    EXPECT_EQ(stretch.high, 0.9);
    EXPECT_NEAR(MidtonesTransfer(stretch.midtones, (0.2 - stretch.low) / (0.9 - stretch.low)), 0.25, 1e-12);

    // An image of whole numbers keeps whole thresholds within 0..32767.
    Model w;
    const ImageGrid counts = Row({1000.0, 1010.0, 990.0, 1005.0, 30000.0});
    w.thresholds.followImage(counts);
    ASSERT_TRUE(w.thresholds.autoStretch(true, counts, stretch));
    const int whole = static_cast<int>(1005.0 - 2.8 * 1.4826 * 5.0);
    EXPECT_EQ(w.thresholds.lowText(), FormatInteger(whole));
    EXPECT_EQ(w.thresholds.highText(), "30000");
    EXPECT_EQ(stretch.low, whole);
}

} // namespace
} // namespace skyvane
