#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include "base/Numbers.h"
#include "display/TransferFunction.h"
#include "gui/HistogramView.h"
#include "gui/ThresholdsWindow.h"
#include "support/GuiTestSupport.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TestWorkbench;

class ThresholdsWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window = std::make_unique<ThresholdsWindow>(table, ctx.workbench, &owner, QRect(100, 600, 438, 135));
    }

    // Image A with the given pixels, displayed.
    void display(int width, int height, const std::vector<double>& columnMajor)
    {
        ctx.context.imageA.grid.resize(width, height);
        std::copy(columnMajor.begin(), columnMajor.end(), ctx.context.imageA.grid.data());
        ctx.context.display.buildDisplay(ctx.context.imageA.grid);
        ctx.context.display.paintDisplay();
    }

    // Types text into edit as the user would: the old text selected and replaced.
    void type(QLineEdit* edit, const QString& text)
    {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }

    void setBoth(int low, int high)
    {
        window->lowEdit()->setText(QString::number(low));
        window->highEdit()->setText(QString::number(high));
        ASSERT_EQ(window->LowThreshold(), low);
        ASSERT_EQ(window->HighThreshold(), high);
        redraws.clear();
    }

    QPoint handleCentre(QSlider* slider)
    {
        QStyleOptionSlider opt;
        opt.initFrom(slider);
        opt.orientation = slider->orientation();
        opt.minimum = slider->minimum();
        opt.maximum = slider->maximum();
        opt.sliderPosition = slider->sliderPosition();
        opt.sliderValue = slider->value();
        opt.singleStep = slider->singleStep();
        opt.pageStep = slider->pageStep();
        opt.tickPosition = slider->tickPosition();
        opt.upsideDown = false;
        opt.state |= QStyle::State_Horizontal;
        opt.subControls = QStyle::SC_All;
        return slider->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, slider).center();
    }

    void mouse(QSlider* slider, QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held)
    {
        QMouseEvent event(type, at, slider->mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(slider, &event);
    }

    // The redraw requests the window's changes make, as the workbench hears of them.
    struct Redraws {
        explicit Redraws(TestWorkbench& ctx) : ctx_(ctx) {}
        int count() const { return ctx_.redraws; }
        void clear() { ctx_.redraws = 0; }
        TestWorkbench& ctx_;
    };

    TestWorkbench ctx;
    QWidget owner;
    ToolWindowTable table;
    std::unique_ptr<ThresholdsWindow> window;
    Redraws redraws{ctx};
};

TEST_F(ThresholdsWindowTest, StartsWithTheFullRangeAndTheControlsInPlace)
{
    EXPECT_EQ(window->windowTitle(), QString("Thresholds"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->parentWidget(), &owner);
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::Tool));
    ASSERT_EQ(table.count, 1);
    EXPECT_EQ(table.windows[0], window.get());
    EXPECT_EQ(window->size().height(), 135);
    EXPECT_GE(window->size().width(), 438);
    EXPECT_EQ(window->minimumSize(), window->maximumSize()); // not resizable

    EXPECT_EQ(window->LowThreshold(), 0);
    EXPECT_EQ(window->HighThreshold(), 32767);
    EXPECT_EQ(window->lowEdit()->text(), QString("0"));
    EXPECT_EQ(window->highEdit()->text(), QString("32767"));
    for (QSlider* slider : {window->lowSlider(), window->highSlider()}) {
        EXPECT_EQ(slider->minimum(), 0);
        EXPECT_EQ(slider->maximum(), 32767);
        EXPECT_EQ(slider->pageStep(), 200);
        EXPECT_EQ(slider->orientation(), Qt::Horizontal);
        EXPECT_EQ(slider->tickPosition(), QSlider::NoTicks);
    }
    EXPECT_EQ(window->lowSlider()->geometry(), QRect(10, 10, 350, 20));
    EXPECT_EQ(window->highSlider()->geometry(), QRect(10, 42, 350, 20));
    // The edits stand where they always stood, at least 38 x 18, sized for their font.
    EXPECT_EQ(window->lowEdit()->pos(), QPoint(375, 10));
    EXPECT_EQ(window->highEdit()->pos(), QPoint(375, 40));
    EXPECT_EQ(window->lowEdit()->size(), window->highEdit()->size());
    EXPECT_GE(window->lowEdit()->width(), 38);
    EXPECT_GE(window->lowEdit()->height(), 18);
    EXPECT_EQ(window->autoButton()->geometry(), QRect(40, 75, 80, 25));
    EXPECT_EQ(window->invertButton()->geometry(), QRect(150, 75, 80, 25));

    // Reachable by their accessible names.
    EXPECT_EQ(test::FindByAccessibleName<QSlider>(window.get(), "Low threshold"), window->lowSlider());
    EXPECT_EQ(test::FindByAccessibleName<QSlider>(window.get(), "High threshold"), window->highSlider());
    EXPECT_EQ(test::FindByAccessibleName<QLineEdit>(window.get(), "Low threshold value"), window->lowEdit());
    EXPECT_EQ(test::FindByAccessibleName<QLineEdit>(window.get(), "High threshold value"), window->highEdit());
    EXPECT_EQ(test::FindByAccessibleName<QPushButton>(window.get(), "Auto"), window->autoButton());
    EXPECT_EQ(test::FindByAccessibleName<QPushButton>(window.get(), "Invert"), window->invertButton());
    EXPECT_EQ(window->accessibleName(), QString("Thresholds"));
    EXPECT_EQ(redraws.count(), 0);
}

// "32767" must not show as "2767". An edit too narrow for its text scrolls it to keep the
// caret in view, so five digits that fit look the same with the caret at either end: in
// the platform's font and in a large one.
TEST(ThresholdEdits, FiveDigitsShowWhole)
{
    const QFont original = QApplication::font();
    for (const int points : {0, 20}) {
        QFont font = original;
        if (points > 0)
            font.setPointSize(points);
        QApplication::setFont(font);
        TestWorkbench ctx;
        QWidget owner;
        ToolWindowTable table;
        ThresholdsWindow window(table, ctx.workbench, &owner, QRect(100, 600, 438, 135));
        for (QLineEdit* edit : {window.lowEdit(), window.highEdit()}) {
            for (const char* text : {"32767", "88888", "00000"}) {
                edit->setText(QString::fromLatin1(text));
                edit->setCursorPosition(0);
                const QImage atStart = edit->grab().toImage();
                edit->setCursorPosition(5);
                EXPECT_EQ(edit->grab().toImage(), atStart) << text << " at " << points << " points";
            }
        }
        EXPECT_TRUE(window.rect().contains(window.highEdit()->geometry()));
    }
    QApplication::setFont(original);
}

struct TypedCase {
    const char* typed;
    int position;
    const char* textAfter;
};

TEST_F(ThresholdsWindowTest, TypedTextMovesThePairedSlider)
{
    const TypedCase cases[] = {
        {"40000", 32767, "32767"},   // above the range: limited, and the text says so
        {"32767", 32767, "32767"},
        {"32768", 32767, "32767"},
        {"123456", 12345, "123456"}, // read by its first five characters
        {"abc", 0, "abc"},           // no digits
        {"-50", 0, "-50"},           // negative: slider at its minimum, text as typed
        {" 77", 77, " 77"},
        {"+5", 5, "+5"},
        {"12x4", 12, "12x4"},
        {"0", 0, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        for (bool first : {true, false}) {
            QLineEdit* edit = first ? window->lowEdit() : window->highEdit();
            QSlider* slider = first ? window->lowSlider() : window->highSlider();
            QSlider* other = first ? window->highSlider() : window->lowSlider();
            const int otherBefore = other->value();
            type(edit, c.typed);
            EXPECT_EQ(slider->value(), c.position);
            EXPECT_EQ(edit->text(), QString(c.textAfter));
            EXPECT_EQ(other->value(), otherBefore);
            EXPECT_EQ(first ? window->LowThreshold() : window->HighThreshold(), c.position);
        }
    }
}

TEST_F(ThresholdsWindowTest, EveryEditChangeRequestsARedraw)
{
    window->lowEdit()->setText("700");
    EXPECT_EQ(redraws.count(), 1);
    EXPECT_EQ(window->LowThreshold(), 700);

    // Replacing the text by "32767" is itself an edit change: two redraws.
    redraws.clear();
    window->highEdit()->setText("40000");
    EXPECT_EQ(redraws.count(), 2);
    EXPECT_EQ(window->highEdit()->text(), QString("32767"));

    // Typing: one redraw per keystroke.
    redraws.clear();
    window->lowEdit()->selectAll();
    QTest::keyClicks(window->lowEdit(), "25");
    EXPECT_EQ(redraws.count(), 2);
    EXPECT_EQ(window->LowThreshold(), 25);
}

TEST_F(ThresholdsWindowTest, KeyboardStepsRedrawOncePerEdit)
{
    QSlider* low = window->lowSlider();
    QTest::keyClick(low, Qt::Key_Right);
    EXPECT_EQ(low->value(), 1);
    EXPECT_EQ(window->lowEdit()->text(), QString("1"));
    EXPECT_EQ(window->highEdit()->text(), QString("32767"));
    EXPECT_EQ(redraws.count(), 2);

    redraws.clear();
    QTest::keyClick(low, Qt::Key_PageUp);
    EXPECT_EQ(low->value(), 201);
    EXPECT_EQ(window->lowEdit()->text(), QString("201"));
    EXPECT_EQ(redraws.count(), 2);

    redraws.clear();
    QTest::keyClick(window->highSlider(), Qt::Key_PageDown);
    EXPECT_EQ(window->HighThreshold(), 32567);
    EXPECT_EQ(window->highEdit()->text(), QString("32567"));
    EXPECT_EQ(window->LowThreshold(), 201);
    EXPECT_EQ(redraws.count(), 2);
}

TEST_F(ThresholdsWindowTest, DraggingRedrawsOnlyOnRelease)
{
    QSlider* low = window->lowSlider();
    const QPoint handle = handleCentre(low);
    mouse(low, QEvent::MouseButtonPress, handle, Qt::LeftButton, Qt::LeftButton);
    EXPECT_FALSE(window->dragFlag());
    EXPECT_TRUE(low->isSliderDown());

    mouse(low, QEvent::MouseMove, handle + QPoint(100, 0), Qt::NoButton, Qt::LeftButton);
    const int dragged = low->value();
    EXPECT_GT(dragged, 0);
    EXPECT_EQ(window->lowEdit()->text(), QString::number(dragged)); // the edit follows
    EXPECT_EQ(redraws.count(), 0);                                 // the picture does not

    // While the button is held, edit changes move nothing.
    window->highEdit()->setText("500");
    EXPECT_EQ(window->HighThreshold(), 32767);
    EXPECT_EQ(redraws.count(), 0);

    mouse(low, QEvent::MouseButtonRelease, handle + QPoint(100, 0), Qt::LeftButton, Qt::NoButton);
    EXPECT_TRUE(window->dragFlag());
    EXPECT_EQ(redraws.count(), 2); // the release, then the paired edit's text applied again
    EXPECT_EQ(low->value(), dragged);
    EXPECT_EQ(window->lowEdit()->text(), QString::number(dragged));
    // The high edit kept the text typed while dragging; its slider stays where it was.
    EXPECT_EQ(window->HighThreshold(), 32767);
}

TEST_F(ThresholdsWindowTest, ClickingTheGrooveStepsAPageAndRedrawsOnRelease)
{
    QSlider* high = window->highSlider();
    const QPoint groove(20, high->height() / 2); // far left of the handle at 32767
    mouse(high, QEvent::MouseButtonPress, groove, Qt::LeftButton, Qt::LeftButton);
    EXPECT_EQ(redraws.count(), 0);
    mouse(high, QEvent::MouseButtonRelease, groove, Qt::LeftButton, Qt::NoButton);
    EXPECT_LT(high->value(), 32767);
    EXPECT_EQ(window->highEdit()->text(), QString::number(high->value()));
    EXPECT_EQ(redraws.count(), 2);
    EXPECT_TRUE(window->dragFlag());
}

TEST_F(ThresholdsWindowTest, OtherMouseButtonsLeaveTheDragFlagAlone)
{
    QSlider* low = window->lowSlider();
    mouse(low, QEvent::MouseButtonPress, handleCentre(low), Qt::RightButton, Qt::RightButton);
    EXPECT_TRUE(window->dragFlag());
    mouse(low, QEvent::MouseButtonRelease, handleCentre(low), Qt::RightButton, Qt::NoButton);
    EXPECT_TRUE(window->dragFlag());
    EXPECT_EQ(redraws.count(), 0);
}

struct AutoCase {
    std::vector<double> pixels; // 2 x 2, column-major
    const char* low;
    const char* high;
};

TEST_F(ThresholdsWindowTest, AutoSetsMedianMinus200AndPlus1000)
{
    const AutoCase cases[] = {
        {{1000.0, 1234.0, 1235.0, 5000.0}, "1034", "2234"},  // median 1234.5, truncated
        {{100.0, 150.0, 150.0, 900.0}, "0", "1150"},
        {{31000.0, 32000.0, 32000.0, 32700.0}, "31800", "32767"},
        {{-5000.0, -4000.0, -4000.0, 0.0}, "0", "0"},
        {{40000.0, 40000.0, 50000.0, 60000.0}, "32767", "32767"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.low);
        display(2, 2, c.pixels);
        setBoth(5, 6);
        window->autoThresholds();
        EXPECT_EQ(window->lowEdit()->text(), QString(c.low));
        EXPECT_EQ(window->highEdit()->text(), QString(c.high));
        EXPECT_EQ(window->LowThreshold(), QString(c.low).toInt());
        EXPECT_EQ(window->HighThreshold(), QString(c.high).toInt());
        EXPECT_EQ(redraws.count(), 2);
    }
    // The median came from a copy: Image A is unchanged.
    EXPECT_EQ(ctx.context.imageA.grid[0][0], 40000.0);
    EXPECT_EQ(ctx.context.imageA.grid[1][1], 60000.0);
}

TEST_F(ThresholdsWindowTest, AutoTwiceAppliesItsValuesBothTimes)
{
    display(2, 2, {1000.0, 1234.0, 1235.0, 5000.0});
    window->autoThresholds();
    redraws.clear();

    // The user moved the slider while the button was held and the edit text still reads
    // the Auto value; Auto must put the slider back although the text does not change.
    QSlider* low = window->lowSlider();
    mouse(low, QEvent::MouseButtonPress, handleCentre(low), Qt::LeftButton, Qt::LeftButton);
    window->lowEdit()->setText("1034");
    low->setValue(3000);
    mouse(low, QEvent::MouseButtonRelease, handleCentre(low), Qt::LeftButton, Qt::NoButton);
    ASSERT_EQ(window->LowThreshold(), 3000);
    redraws.clear();

    window->autoThresholds();
    EXPECT_EQ(window->LowThreshold(), 1034);
    EXPECT_EQ(window->HighThreshold(), 2234);
    EXPECT_EQ(redraws.count(), 2);
    redraws.clear();
    window->autoThresholds(); // nothing changes, and still one redraw per edit
    EXPECT_EQ(window->LowThreshold(), 1034);
    EXPECT_EQ(redraws.count(), 2);
}

TEST_F(ThresholdsWindowTest, AutoWithoutAnImageRestoresTheFullRange)
{
    setBoth(1000, 2000);
    window->autoThresholds(); // nothing ever displayed
    EXPECT_EQ(window->lowEdit()->text(), QString("0"));
    EXPECT_EQ(window->highEdit()->text(), QString("32767"));
    EXPECT_EQ(window->LowThreshold(), 0);
    EXPECT_EQ(window->HighThreshold(), 32767);
    EXPECT_EQ(redraws.count(), 2);

    // Displayed, then cleared: no image again.
    display(2, 2, {1.0, 2.0, 3.0, 4.0});
    ctx.context.display.clearDisplay();
    setBoth(1000, 2000);
    window->autoThresholds();
    EXPECT_EQ(window->LowThreshold(), 0);
    EXPECT_EQ(window->HighThreshold(), 32767);

    // A displayed bitmap over an empty Image A counts as no image.
    display(2, 2, {1.0, 2.0, 3.0, 4.0});
    ctx.context.imageA.grid.resize(0, 0);
    setBoth(1000, 2000);
    window->autoThresholds();
    EXPECT_EQ(window->LowThreshold(), 0);
    EXPECT_EQ(window->HighThreshold(), 32767);
}

TEST_F(ThresholdsWindowTest, AutoButtonRunsAuto)
{
    display(2, 2, {1000.0, 1234.0, 1235.0, 5000.0});
    QTest::mouseClick(window->autoButton(), Qt::LeftButton);
    EXPECT_EQ(window->LowThreshold(), 1034);
    EXPECT_EQ(window->HighThreshold(), 2234);
}

TEST_F(ThresholdsWindowTest, InvertExchangesAndASecondInvertRestores)
{
    setBoth(1000, 3000);
    window->invert();
    EXPECT_EQ(window->LowThreshold(), 3000);
    EXPECT_EQ(window->HighThreshold(), 1000);
    EXPECT_EQ(window->lowEdit()->text(), QString("3000"));
    EXPECT_EQ(window->highEdit()->text(), QString("1000"));
    EXPECT_EQ(redraws.count(), 2);

    redraws.clear();
    QTest::mouseClick(window->invertButton(), Qt::LeftButton);
    EXPECT_EQ(window->LowThreshold(), 1000);
    EXPECT_EQ(window->HighThreshold(), 3000);
    EXPECT_EQ(window->lowEdit()->text(), QString("1000"));
    EXPECT_EQ(window->highEdit()->text(), QString("3000"));
    EXPECT_EQ(redraws.count(), 2);
}

TEST_F(ThresholdsWindowTest, InvertCarriesTextsByTheirFirstFiveCharacters)
{
    type(window->lowEdit(), "123456");
    type(window->highEdit(), "-40");
    ASSERT_EQ(window->LowThreshold(), 12345);
    ASSERT_EQ(window->HighThreshold(), 0);
    window->invert();
    EXPECT_EQ(window->lowEdit()->text(), QString("-40"));
    EXPECT_EQ(window->highEdit()->text(), QString("12345"));
    EXPECT_EQ(window->LowThreshold(), 0);
    EXPECT_EQ(window->HighThreshold(), 12345);

    // Equal texts: nothing changes in the boxes, the positions are still applied.
    setBoth(800, 800);
    window->invert();
    EXPECT_EQ(window->LowThreshold(), 800);
    EXPECT_EQ(window->HighThreshold(), 800);
    EXPECT_EQ(redraws.count(), 2);
}

TEST_F(ThresholdsWindowTest, CloseHidesAndKeepsTheThresholds)
{
    setBoth(1234, 4321);
    QSignalSpy hidden(window.get(), &ToolWindow::hiddenByClose);
    EXPECT_FALSE(window->close()); // refused: the window is hidden, not closed
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(hidden.count(), 1);
    EXPECT_EQ(window->LowThreshold(), 1234);
    EXPECT_EQ(window->HighThreshold(), 4321);
    window->show();
    EXPECT_EQ(window->lowEdit()->text(), QString("1234"));
    EXPECT_EQ(window->highEdit()->text(), QString("4321"));
    EXPECT_EQ(redraws.count(), 0);
}

// ---------------------------------------------------------------------------------------
// An image of any values: real edits, the Auto stretch button and the histogram

class AnyValuesWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Electrons: -20 .. 980 with fractions, a sky near 10 and one missing pixel.
        ImageGrid& grid = ctx.context.imageA.grid;
        grid.resize(40, 30);
        for (int x = 0; x < 40; ++x)
            for (int y = 0; y < 30; ++y)
                grid[x][y] = 10.0 + ((x * 7 + y * 3) % 17) * 0.25 - 2.0;
        grid[3][4] = -20.0;
        grid[20][10] = 980.0;
        grid[5][5] = std::numeric_limits<double>::quiet_NaN();
        ctx.context.display.buildDisplay(grid);
        ctx.context.display.paintDisplay();
        ctx.workbench.imageChanged();
        // Tall enough for the histogram.
        window = std::make_unique<ThresholdsWindow>(table, ctx.workbench, &owner, QRect(100, 600, 438, 280));
        ctx.redraws = 0;
    }

    void type(QLineEdit* edit, const QString& text)
    {
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }

    TestWorkbench ctx;
    QWidget owner;
    ToolWindowTable table;
    std::unique_ptr<ThresholdsWindow> window;
};

TEST_F(AnyValuesWindowTest, EditsTakeAndShowRealNumbersAndTheSlidersSpanTheImage)
{
    ThresholdModel& model = ctx.workbench.thresholds();
    ASSERT_EQ(model.world(), ValueWorld::Any);
    type(window->lowEdit(), "7.125");
    EXPECT_EQ(model.lowValue(), 7.125);
    EXPECT_EQ(window->LowThreshold(), model.positionOf(7.125));
    EXPECT_EQ(window->lowEdit()->text(), QString("7.125"));
    EXPECT_EQ(window->lowEdit()->width(), window->highEdit()->width());
    EXPECT_TRUE(window->rect().contains(window->highEdit()->geometry()));

    // The slider's ends are the image's smallest and largest values.
    ctx.redraws = 0;
    QTest::keyClick(window->highSlider(), Qt::Key_Home);
    EXPECT_EQ(window->highEdit()->text(), QString("-20"));
    EXPECT_EQ(model.highValue(), -20.0);
    QTest::keyClick(window->highSlider(), Qt::Key_End);
    EXPECT_EQ(window->highEdit()->text(), QString("980"));
    EXPECT_EQ(model.highValue(), 980.0);
    EXPECT_EQ(window->lowEdit()->text(), QString("7.125")) << "the other threshold stays";
    EXPECT_EQ(ctx.redraws, 2) << "one redraw per step";

    // Invert carries the whole texts.
    window->invert();
    EXPECT_EQ(window->lowEdit()->text(), QString("980"));
    EXPECT_EQ(window->highEdit()->text(), QString("7.125"));
    EXPECT_EQ(model.lowValue(), 980.0);
}

TEST_F(AnyValuesWindowTest, AutoStretchButtonStretchesAndAutoEndsIt)
{
    QSignalSpy equalisation(window.get(), &ThresholdsWindow::equalisationChanged);
    EXPECT_EQ(window->autoStretchButton()->text(), QString("Auto stretch"));
    EXPECT_EQ(test::FindByAccessibleName<QPushButton>(window.get(), "Auto stretch"), window->autoStretchButton());
    QTest::mouseClick(window->autoStretchButton(), Qt::LeftButton);

    DisplayStretch expected;
    ThresholdModel reference;
    reference.followImage(ctx.context.imageA.grid);
    ASSERT_TRUE(reference.autoStretch(true, ctx.context.imageA.grid, expected));
    EXPECT_EQ(window->lowEdit()->text(), QString::fromStdString(reference.lowText()));
    EXPECT_EQ(window->highEdit()->text(), QString("980"));
    const TransferFunction& function = ctx.context.display.transferFunction();
    EXPECT_TRUE(function == TransferFunction::Midtones(expected.midtones));
    EXPECT_EQ(window->equalisationLabel()->text(), QString::fromStdString("Equalisation: Midtones " + FormatReal(expected.midtones, 2)));
    EXPECT_EQ(equalisation.count(), 1);
    EXPECT_EQ(ctx.redraws, 2);

    QTest::mouseClick(window->autoButton(), Qt::LeftButton);
    EXPECT_TRUE(ctx.context.display.transferFunction() == TransferFunction::Linear());
    EXPECT_EQ(window->equalisationLabel()->text(), QString("Equalisation: Linear"));
    EXPECT_EQ(equalisation.count(), 2);
}

TEST_F(AnyValuesWindowTest, HistogramShowsTheCountsAndItsMarkersSetTheThresholds)
{
    HistogramView* histogram = window->histogram();
    ASSERT_NE(histogram, nullptr);
    EXPECT_TRUE(window->rect().contains(histogram->geometry()));
    histogram->grab(); // painted: the counts are taken
    ASSERT_TRUE(histogram->hasCounts());

    // A column for every bin, its height log(1 + count) on the scale of the fullest bin;
    // a bin that holds values is never empty to the eye.
    const int columns = histogram->width() - 2;
    const int tall = histogram->height() - 2;
    const ValueHistogram* counts = ctx.workbench.thresholds().histogram(columns);
    ASSERT_NE(counts, nullptr);
    ASSERT_EQ(static_cast<int>(counts->counts.size()), columns);
    const std::int64_t most = *std::max_element(counts->counts.begin(), counts->counts.end());
    std::int64_t total = 0;
    for (int x = 0; x < columns; ++x) {
        const std::int64_t n = counts->counts[static_cast<std::size_t>(x)];
        total += n;
        const long height = std::lround(std::log1p(static_cast<double>(n)) * (tall / std::log1p(static_cast<double>(most))));
        EXPECT_EQ(histogram->columnHeight(x), n == 0 ? 0 : std::clamp<long>(height, 1, tall)) << x;
    }
    EXPECT_EQ(total, 40 * 30 - 1);
    EXPECT_EQ(counts->missing, 1);
    EXPECT_EQ(counts->counts.front(), 1) << "-20 alone";
    EXPECT_EQ(counts->counts.back(), 1) << "980 alone";

    // The markers stand at the thresholds' bins and follow every change.
    window->lowEdit()->setText("-20");
    window->highEdit()->setText("980");
    EXPECT_EQ(histogram->markerColumn(true), 0);
    EXPECT_EQ(histogram->markerColumn(false), columns - 1);
    window->highEdit()->setText("480");
    EXPECT_EQ(histogram->markerColumn(false), static_cast<int>(500.0 * (columns / 1000.0)));

    // Dragging the first marker: the threshold changes once, on release, as an edit would.
    ctx.redraws = 0;
    const int target = columns / 4;
    QTest::mousePress(histogram, Qt::LeftButton, {}, QPoint(1 + histogram->markerColumn(true), 20));
    QTest::mouseMove(histogram, QPoint(1 + target, 20));
    EXPECT_EQ(ctx.redraws, 0);
    QTest::mouseRelease(histogram, Qt::LeftButton, {}, QPoint(1 + target, 20));
    EXPECT_EQ(ctx.redraws, 1);
    const QString text = QString::fromStdString(FormatReal(histogram->columnValue(target), ThresholdDigits));
    EXPECT_EQ(window->lowEdit()->text(), text);
    EXPECT_EQ(window->LowThreshold(), ctx.workbench.thresholds().positionOf(text.toDouble()));
    EXPECT_EQ(histogram->markerColumn(true), target);
    EXPECT_EQ(window->highEdit()->text(), QString("480"));

    // A new Image A: new counts.
    ctx.context.imageA.grid[0][0] = 5000.0;
    ctx.workbench.imageChanged();
    histogram->grab();
    EXPECT_EQ(ctx.workbench.thresholds().histogram(columns)->high, 5000.0);
}

} // namespace
} // namespace skyvane
