// The whole desktop program driven as a user drives it: real widgets on the offscreen
// platform, real FITS files in a temporary working directory, keys and mouse clicks sent
// to the windows. Only the answers to dialogs and (where stated) the message boxes are
// injected. Every expected value is computed here from the files the test wrote.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fitsio.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMenuBar>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <QTreeWidget>

#include "base/Numbers.h"
#include "display/ThresholdModel.h"
#include "display/TransferFunction.h"
#include "gui/CommandWindow.h"
#include "gui/DialogProvider.h"
#include "gui/ImageListWindow.h"
#include "gui/MainWindow.h"
#include "gui/ThresholdsWindow.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

// Readable colours in failures.
inline void PrintTo(const QColor& c, std::ostream* os)
{
    *os << "rgb(" << c.red() << ", " << c.green() << ", " << c.blue() << ")";
}

namespace skyvane {
namespace {

using test::RecordingMessages;
using test::TempDir;

using test::ScriptedDialogs;

QString Q(const std::string& s)
{
    return QString::fromStdString(s);
}

// --- the files ----------------------------------------------------------------------------

constexpr int SceneWidth = 40, SceneHeight = 30;
constexpr int FrameWidth = 31, FrameHeight = 24; // 93 bytes of pixels per bitmap row, 3 of padding
constexpr int FrameCount = 6;

// The opened picture: 1000..2199, each value once.
double SceneValue(int x, int y)
{
    return 1000.0 + x + 40.0 * y;
}

double DarkValue(int x, int y)
{
    return 100.0 + (x * y) % 13 + 0.5 * (x % 2);
}

// Frame k (0-based, file frame_<k+1>.fit) of the working directory: a common picture, a
// little noise of its own, and bright outliers in the last frame that sigma clipping
// must reject.
double FrameValue(int k, int x, int y)
{
    double v = 1000.0 + 20.0 * x + 30.0 * y + 0.25 * (x % 4) + ((x * 7 + y * 3 + k * 5) % 11 - 5);
    if (k == FrameCount - 1 && (x + 2 * y) % 7 == 0)
        v += 3000.0;
    return v;
}

void WriteImage(const std::string& path, int width, int height, const std::function<double(int, int)>& f)
{
    test::FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            layout.values[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = f(x, y);
    layout.extraCards = {"OBJECT  = 'e2e     '"};
    test::WriteFitsImage(path, layout);
}

// --- reference computations, written from the rules rather than taken from the program ----

double MedianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n % 2 == 1)
        return values[(n - 1) / 2];
    return (values[n / 2] + values[n / 2 - 1]) * 0.5;
}

// Sigma clipping of one pixel's values; rejected tells how many values were dropped.
double SigmaClip(const std::vector<double>& v, double kappa, int iterations, int* rejected = nullptr)
{
    const std::size_t n = v.size();
    std::vector<int> w(n, 1);
    int m = static_cast<int>(n);
    double first = 0.0;
    for (int it = 0; it < iterations; ++it) {
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k)
            sum += w[k] * v[k];
        const double mean = sum / m;
        if (it == 0)
            first = mean;
        double sq = 0.0;
        for (std::size_t k = 0; k < n; ++k)
            sq += w[k] * ((v[k] - mean) * (v[k] - mean));
        const double sigma = std::sqrt(sq / m);
        for (std::size_t k = 0; k < n; ++k)
            if (std::fabs(v[k] - mean) > kappa * sigma)
                w[k] = 0;
        m = 0;
        for (int wk : w)
            m += wk;
    }
    if (rejected)
        *rejected += static_cast<int>(n) - m;
    if (m == 0)
        return first;
    double a = 0.0;
    for (std::size_t k = 0; k < n; ++k)
        a = w[k] * v[k] + a;
    return a / m;
}

// The grey level of v through the thresholds lo and hi (the display's mapping).
int Grey(double v, double lo, double hi)
{
    const bool inverted = hi < lo;
    const double base = inverted ? hi : lo;
    const double factor = 255.0 / (inverted ? lo - hi : hi - lo);
    const double product = (v - base) * factor;
    int g = 0;
    if (std::isnan(product) || product <= 0.0)
        g = 0;
    else if (product >= 255.0)
        g = 255;
    else
        g = std::clamp(static_cast<int>(product), 0, 255);
    return inverted ? 255 - g : g;
}

std::uint32_t LittleEndian(const std::vector<unsigned char>& bytes, std::size_t at, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | bytes.at(at + static_cast<std::size_t>(i));
    return value;
}

// --- the fixture --------------------------------------------------------------------------

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        work = dir.path().string();
        std::filesystem::create_directories(dir.path() / "data");
        std::filesystem::create_directories(dir.path() / "out");
        ini = dir.file("Skyvane.ini");
        test::WriteFileBytes(ini, "[PATH]\r\nWorking path=" + work + "\r\n");

        // The working directory holds the frames only; the other images live in data/,
        // which the start-up list does not search.
        for (int k = 0; k < FrameCount; ++k)
            WriteImage(framePath(k), FrameWidth, FrameHeight, [k](int x, int y) { return FrameValue(k, x, y); });
        scene = (dir.path() / "data" / "scene.fit").string();
        dark = (dir.path() / "data" / "dark.fit").string();
        small = (dir.path() / "data" / "small.fit").string();
        WriteImage(scene, SceneWidth, SceneHeight, SceneValue);
        WriteImage(dark, SceneWidth, SceneHeight, DarkValue);
        WriteImage(small, 10, 10, [](int x, int y) { return 5.0 * x + y; });
    }

    // Closing the program is part of the run: the main window goes with its tool windows,
    // and none of them may touch the program's state after it is gone (the sanitizer build
    // checks this).
    void TearDown() override { window.reset(); }

    // The main window as the program makes it, with the test's settings file and answers;
    // the real message boxes unless injectMessages.
    void start(bool injectMessages = true)
    {
        MainWindowOptions options;
        options.settingsPath = ini;
        options.dialogs = &dialogs;
        options.messages = injectMessages ? &messages : nullptr;
        window = std::make_unique<MainWindow>(options);
        window->show();
        QApplication::processEvents();
    }

    std::string framePath(int k) const { return dir.file("frame_" + std::to_string(k + 1) + ".fit"); }
    std::string history() const { return window->commandWindow()->historyText(); }
    AppContext& context() { return window->context(); }
    const ImageGrid& imageA() { return context().imageA.grid; }
    ThresholdsWindow* thresholds() { return window->thresholdsWindow(); }
    ThresholdModel& model() { return window->workbench().thresholds(); }

    void choose(int id)
    {
        QAction* item = window->action(id);
        ASSERT_NE(item, nullptr) << id;
        item->trigger();
    }

    // "Open FITS" answered with path.
    void openThroughTheMenu(const std::string& path)
    {
        dialogs.answers.push_back(Q(path));
        choose(MainIds::OpenFits);
    }

    // Replaces the text of a Thresholds edit by typing: select all, then the characters.
    void typeInto(QLineEdit* edit, const char* text)
    {
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edit, QString::fromLatin1(text));
    }

    // Types a command after the prompt and presses Enter; the command runs when the posted
    // execution message is taken from the queue, which this waits for.
    void typeCommand(const std::string& command)
    {
        QPlainTextEdit* box = window->commandWindow()->history();
        const std::string before = history();
        QTest::keyClicks(box, Q(command));
        QTest::keyClick(box, Qt::Key_Return);
        // Posted, not sent: nothing has run yet.
        EXPECT_EQ(context().CommandSlot, command);
        EXPECT_EQ(history(), before + command);
        EXPECT_TRUE(QTest::qWaitFor([&] { return history().size() > before.size() + command.size(); }, 5000))
            << "no reply to " << command;
    }

    // Every picture pixel against the grey of the Image A value it shows (row 0 of the
    // image is the bottom line), through the thresholds the Thresholds window holds (the
    // sliders' positions for an image of whole numbers, the edits' real numbers for any
    // other).
    void expectPictureFollowsImageA(const char* when)
    {
        SCOPED_TRACE(when);
        const QImage& picture = window->picture();
        const ImageGrid& grid = imageA();
        ASSERT_EQ(picture.size(), QSize(grid.width(), grid.height()));
        const double lo = model().lowValue();
        const double hi = model().highValue();
        int wrong = 0;
        for (int x = 0; x < grid.width(); ++x)
            for (int y = 0; y < grid.height(); ++y) {
                const QRgb shown = picture.pixel(x, grid.height() - 1 - y);
                const int g = Grey(grid[x][y], lo, hi);
                if (qRed(shown) != g || qGreen(shown) != g || qBlue(shown) != g) {
                    if (++wrong <= 3)
                        ADD_FAILURE() << "pixel (" << x << ", " << y << ") value " << grid[x][y] << " shown "
                                      << qRed(shown) << " expected " << g;
                }
            }
        EXPECT_EQ(wrong, 0);
    }

    std::vector<double> framePixel(const std::vector<int>& frames, int x, int y) const
    {
        std::vector<double> values;
        for (int k : frames)
            values.push_back(FrameValue(k, x, y));
        return values;
    }

    int workFilePosition(int k)
    {
        const ImageListTree& lists = context().lists;
        const std::string name = "frame_" + std::to_string(k + 1) + ".fit";
        for (int i = 1; i <= lists.FileCount(1); ++i)
            if (lists.FileLabel(1, i) == name)
                return i;
        return 0;
    }

    TempDir dir;
    std::string work, ini, scene, dark, small;
    ScriptedDialogs dialogs;
    RecordingMessages messages;
    std::unique_ptr<MainWindow> window;
};

TEST_F(EndToEndTest, OpenedFileIsShownWithAutoThresholdsFollowsTypedThresholdsAndAnswersTypedStat)
{
    start();
    ASSERT_EQ(history(), ">");
    openThroughTheMenu(scene);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"open"}));
    EXPECT_TRUE(messages.texts.empty());
    ASSERT_TRUE(context().display.isImageDisplayed());
    EXPECT_EQ(window->windowTitle(), Q("Skyvane v1.7 - [" + scene + "]"));

    // Auto: the median of 1000..2199 is 1599.5, so median - 200 and median + 1000 of 1599.
    std::vector<double> all;
    for (int x = 0; x < SceneWidth; ++x)
        for (int y = 0; y < SceneHeight; ++y)
            all.push_back(SceneValue(x, y));
    const int median = static_cast<int>(MedianOf(all));
    EXPECT_EQ(thresholds()->LowThreshold(), median - 200);
    EXPECT_EQ(thresholds()->HighThreshold(), median + 1000);
    EXPECT_EQ(thresholds()->lowEdit()->text(), QString::number(median - 200));
    EXPECT_EQ(thresholds()->highEdit()->text(), QString::number(median + 1000));
    expectPictureFollowsImageA("after opening");

    // What is painted in the client area: the picture at (0, 0), the background beyond it.
    const QImage painted = window->displayView()->grab().toImage();
    ASSERT_GE(painted.width(), SceneWidth + 10);
    ASSERT_GE(painted.height(), SceneHeight + 10);
    for (const QPoint& p : {QPoint(0, 0), QPoint(17, 11), QPoint(SceneWidth - 1, SceneHeight - 1)})
        EXPECT_EQ(painted.pixel(p) & 0xFFFFFFu, window->picture().pixel(p) & 0xFFFFFFu) << p.x() << "," << p.y();
    EXPECT_EQ(QColor(painted.pixel(SceneWidth + 5, 3)), QColor(90, 90, 170));
    EXPECT_EQ(QColor(painted.pixel(3, SceneHeight + 5)), QColor(90, 90, 170));

    // Typed thresholds 1000 and 2020: factor 0.25, so grey = (x + 40 y) / 4 up to 255.
    typeInto(thresholds()->lowEdit(), "1000");
    typeInto(thresholds()->highEdit(), "2020");
    EXPECT_EQ(thresholds()->LowThreshold(), 1000);
    EXPECT_EQ(thresholds()->HighThreshold(), 2020);
    EXPECT_EQ(thresholds()->lowSlider()->value(), 1000);
    expectPictureFollowsImageA("after typing 1000 and 2020");
    EXPECT_EQ(qGray(window->picture().pixel(13, SceneHeight - 1 - 2)), (13 + 80) / 4);
    EXPECT_EQ(qGray(window->picture().pixel(39, 0)), 255);

    // A value above 32767 is replaced; the picture follows the slider, not the text typed.
    typeInto(thresholds()->highEdit(), "40000");
    EXPECT_EQ(thresholds()->highEdit()->text(), QStringLiteral("32767"));
    EXPECT_EQ(thresholds()->HighThreshold(), 32767);
    expectPictureFollowsImageA("after typing 40000");
    typeInto(thresholds()->highEdit(), "2020");

    // The Invert button gives the negative picture; a second click restores it.
    QTest::mouseClick(thresholds()->invertButton(), Qt::LeftButton);
    EXPECT_EQ(thresholds()->LowThreshold(), 2020);
    EXPECT_EQ(thresholds()->HighThreshold(), 1000);
    expectPictureFollowsImageA("inverted");
    EXPECT_EQ(qGray(window->picture().pixel(13, SceneHeight - 1 - 2)), 255 - (13 + 80) / 4);
    QTest::mouseClick(thresholds()->invertButton(), Qt::LeftButton);
    EXPECT_EQ(qGray(window->picture().pixel(13, SceneHeight - 1 - 2)), (13 + 80) / 4);

    // "stat" typed at the prompt.
    typeCommand("stat");
    EXPECT_EQ(history(), ">stat\r\n"
                         "     min = 1000\r\n"
                         "     max = 2199\r\n"
                         "     median = 1599.5\r\n"
                         "     mean = 1599.5\r\n"
                         "     sigma = 346.41\r\n>");
    // An empty line only gains a prompt; an unknown word is answered as such.
    const std::string beforeEmpty = history();
    QTest::keyClick(window->commandWindow()->history(), Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return history() == beforeEmpty + "\r\n>"; }, 5000)) << history();
    typeCommand("Stat");
    EXPECT_TRUE(history().ends_with(">\r\n>Stat\r\n     unknown command !\r\n>")) << history();
    // Typed commands change nothing in the picture or the caption.
    EXPECT_EQ(window->windowTitle(), Q("Skyvane v1.7 - [" + scene + "]"));
    expectPictureFollowsImageA("after stat");
}

TEST_F(EndToEndTest, MenuArithmeticWithConstantAndImagesIncludingAMismatchedSize)
{
    start();
    openThroughTheMenu(scene);
    const double lo = model().lowValue();

    dialogs.constants = {0.5};
    choose(MainIds::AddConstant);
    std::string expected = ">add 0.5\r\n     offset has been added to image\r\n>";
    EXPECT_EQ(history(), expected);

    dialogs.answers = {Q(dark)};
    choose(MainIds::SubtractImage);
    expected += "sub (" + dark + ")\r\n     image difference has been calculated\r\n>";
    EXPECT_EQ(history(), expected);
    EXPECT_TRUE(messages.texts.empty());
    for (int x = 0; x < SceneWidth; ++x)
        for (int y = 0; y < SceneHeight; ++y)
            ASSERT_EQ(imageA()[x][y], (0.5 + SceneValue(x, y)) - DarkValue(x, y)) << x << "," << y;
    expectPictureFollowsImageA("after add and subtract");
    // Arithmetic keeps the thresholds (the sliders now span the values with fractions).
    EXPECT_EQ(model().lowValue(), lo);

    // An image of another size: the box, Image A untouched, and still the normal reply.
    const double before = imageA()[7][9];
    dialogs.answers = {Q(small)};
    choose(MainIds::AddImage);
    expected += "add (" + small + ")\r\n     two images have been added\r\n>";
    EXPECT_EQ(history(), expected);
    EXPECT_EQ(messages.texts, (std::vector<std::string>{"Size of loaded image is not compatible with displayed image."}));
    EXPECT_EQ(imageA()[7][9], before);
    EXPECT_EQ(imageA().width(), SceneWidth);
    expectPictureFollowsImageA("after the refused add");

    // "size" typed after the menu commands sees the same Image A.
    typeCommand("size");
    expected += "size\r\n     width = 40\r\n     height = 30\r\n>";
    EXPECT_EQ(history(), expected);
}

TEST_F(EndToEndTest, CoadditionOfTheWorkListFollowsTheTicksOfTheImageListWindow)
{
    start();
    ImageListTree& lists = context().lists;
    ASSERT_EQ(lists.ListCount(), 1);
    EXPECT_EQ(lists.ListLabel(1), "[WORK] = " + work);
    ASSERT_EQ(lists.FileCount(1), FrameCount);

    openThroughTheMenu(scene);
    const double lo = model().lowValue();
    const double hi = model().highValue();

    dialogs.answers = {QStringLiteral("[WORK]")};
    choose(MainIds::CombineMedian);
    EXPECT_EQ(dialogs.offeredTags, QStringList{"[WORK]"});
    std::string expected = ">median [WORK]\r\n     median image has been calculated\r\n>";
    EXPECT_EQ(history(), expected);
    const std::vector<int> six = {0, 1, 2, 3, 4, 5};
    ASSERT_EQ(imageA().width(), FrameWidth);
    ASSERT_EQ(imageA().height(), FrameHeight);
    for (int x = 0; x < FrameWidth; ++x)
        for (int y = 0; y < FrameHeight; ++y)
            ASSERT_EQ(imageA()[x][y], MedianOf(framePixel(six, x, y))) << x << "," << y;
    // The result is shown at its own size with the thresholds as they were; the caption stays.
    EXPECT_EQ(model().lowValue(), lo);
    EXPECT_EQ(model().highValue(), hi);
    expectPictureFollowsImageA("after median of six");
    EXPECT_EQ(window->windowTitle(), Q("Skyvane v1.7 - [" + scene + "]"));

    dialogs.answers = {QStringLiteral("[WORK]")};
    dialogs.constants = {1.8, 3.0};
    choose(MainIds::CombineSigmaClipping);
    expected += "sigmaclip [WORK] 1.8 3\r\n     co-added image has been calculated with sigma clipping\r\n>";
    EXPECT_EQ(history(), expected);
    int rejected = 0;
    for (int x = 0; x < FrameWidth; ++x)
        for (int y = 0; y < FrameHeight; ++y)
            ASSERT_EQ(imageA()[x][y], SigmaClip(framePixel(six, x, y), 1.8, 3, &rejected)) << x << "," << y;
    ASSERT_GT(rejected, 0); // the outliers were really clipped
    EXPECT_LT(imageA()[0][0], 2000.0);

    // A click on the icon of frame_3 in the Image list window unticks it.
    ImageListTreeView* tree = window->imageListWindow()->treeView();
    const TreeItem third = lists.FileItem(1, workFilePosition(2));
    tree->doItemsLayout();
    const QRect icon = tree->iconRect(tree->itemOf(third));
    ASSERT_FALSE(icon.isEmpty());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, icon.center());
    QApplication::processEvents();
    ASSERT_FALSE(lists.IsFileSelected(third));
    EXPECT_EQ(tree->itemOf(third)->data(0, Qt::AccessibleDescriptionRole).toString(), QStringLiteral("not selected"));

    const std::vector<int> five = {0, 1, 3, 4, 5};
    dialogs.answers = {QStringLiteral("[WORK]")};
    choose(MainIds::CombineMedian);
    expected += "median [WORK]\r\n     median image has been calculated\r\n>";
    EXPECT_EQ(history(), expected);
    for (int x = 0; x < FrameWidth; ++x)
        for (int y = 0; y < FrameHeight; ++y)
            ASSERT_EQ(imageA()[x][y], MedianOf(framePixel(five, x, y))) << x << "," << y;
    expectPictureFollowsImageA("after median of five");

    dialogs.answers = {QStringLiteral("[WORK]")};
    dialogs.constants = {1.8, 3.0};
    choose(MainIds::CombineSigmaClipping);
    expected += "sigmaclip [WORK] 1.8 3\r\n     co-added image has been calculated with sigma clipping\r\n>";
    EXPECT_EQ(history(), expected);
    rejected = 0;
    for (int x = 0; x < FrameWidth; ++x)
        for (int y = 0; y < FrameHeight; ++y)
            ASSERT_EQ(imageA()[x][y], SigmaClip(framePixel(five, x, y), 1.8, 3, &rejected)) << x << "," << y;
    ASSERT_GT(rejected, 0);

    // One more frame out: four are too few for sigma clipping.
    const TreeItem first = lists.FileItem(1, workFilePosition(0));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->iconRect(tree->itemOf(first)).center());
    QApplication::processEvents();
    ASSERT_FALSE(lists.IsFileSelected(first));
    dialogs.answers = {QStringLiteral("[WORK]")};
    dialogs.constants = {1.8, 3.0};
    choose(MainIds::CombineSigmaClipping);
    expected += "sigmaclip [WORK] 1.8 3\r\n     sigma clipping requires at least 5 images!\r\n>";
    EXPECT_EQ(history(), expected);
    EXPECT_TRUE(messages.texts.empty());
}

TEST_F(EndToEndTest, DisplayFromTheImageListThenSaveAndExportWhatIsShown)
{
    start();
    openThroughTheMenu(scene);
    ImageListTree& lists = context().lists;
    ImageListWindow* listWindow = window->imageListWindow();
    ImageListTreeView* tree = listWindow->treeView();
    const TreeItem third = lists.FileItem(1, workFilePosition(2));

    // Right click on the label of frame_3, then "Display" from the popup.
    tree->doItemsLayout();
    const QRect label = tree->labelRect(tree->itemOf(third));
    ASSERT_FALSE(label.isEmpty());
    QTest::mouseClick(tree->viewport(), Qt::RightButton, {}, label.center());
    QApplication::processEvents();
    ASSERT_TRUE(listWindow->popupMenu()->isVisible());
    QAction* display = listWindow->action(ImageListWindow::PopupDisplayId);
    ASSERT_TRUE(display->isEnabled());
    display->trigger();
    listWindow->popupMenu()->hide();
    QApplication::processEvents();

    const std::string thirdPath = framePath(2);
    EXPECT_EQ(window->windowTitle(), Q("Skyvane v1.7 - [" + thirdPath + "]"));
    EXPECT_TRUE(lists.IsFileSelected(third)); // "Display" changes no tick
    EXPECT_EQ(history(), ">");                // nor the command history
    ASSERT_EQ(imageA().width(), FrameWidth);
    std::vector<double> values;
    for (int x = 0; x < FrameWidth; ++x)
        for (int y = 0; y < FrameHeight; ++y) {
            ASSERT_EQ(imageA()[x][y], FrameValue(2, x, y));
            values.push_back(FrameValue(2, x, y));
        }
    // A frame with fractions opens stretched; Auto then gives the median's thresholds in
    // the frame's own units, drawn with the chosen (linear) equalisation.
    EXPECT_EQ(context().display.transferFunction().kind, TransferKind::Midtones);
    QTest::mouseClick(thresholds()->autoButton(), Qt::LeftButton);
    const double median = MedianOf(values);
    EXPECT_EQ(model().lowValue(), ParseReal(FormatReal(median - 200, ThresholdDigits)));
    EXPECT_EQ(model().highValue(), ParseReal(FormatReal(median + 1000, ThresholdDigits)));
    EXPECT_TRUE(context().display.transferFunction() == TransferFunction::Linear());
    expectPictureFollowsImageA("after Display");

    // Values beyond both ends of 0..32767, with fractions: 30 v - 35000.
    dialogs.constants = {30.0, 35000.0};
    choose(MainIds::MultiplyConstant);
    choose(MainIds::SubtractConstant);
    EXPECT_EQ(history(), ">mult 30\r\n     image has been multiplied by constant\r\n"
                         ">sub 35000\r\n     constant has been subtracted from image\r\n>");

    const std::string saved = (dir.path() / "out" / "saved.fit").string();
    dialogs.answers = {Q(saved)};
    choose(MainIds::SaveFits);
    EXPECT_EQ(window->windowTitle(), Q("Skyvane v1.7 - [" + saved + "]"));
    // The save says how many pixels the 16-bit file could not hold, how many it cut to whole
    // numbers, and how to keep them.
    int clipped = 0;
    int cut = 0;
    for (const double v : values) {
        const double w = -35000.0 + 30.0 * v;
        clipped += (w < 0.0 || w > 32767.0) ? 1 : 0;
        cut += (w >= 0.0 && w <= 32767.0 && w != std::trunc(w)) ? 1 : 0;
    }
    ASSERT_GT(clipped, 0);
    ASSERT_GT(cut, 0);
    EXPECT_EQ(messages.texts, std::vector<std::string>{std::to_string(clipped) + " pixels outside 0..32767 were clipped and " + std::to_string(cut) +
                                                       " pixels were cut to whole numbers; to keep them, choose 32-bit floating point in Preferences"});
    messages.clear();
    {
        int status = 0;
        fitsfile* file = nullptr;
        ASSERT_EQ(fits_open_file(&file, saved.c_str(), READONLY, &status), 0);
        int naxis = 0;
        long size[2] = {0, 0};
        fits_get_img_dim(file, &naxis, &status);
        fits_get_img_size(file, 2, size, &status);
        std::vector<double> stored(static_cast<std::size_t>(FrameWidth * FrameHeight));
        long first[2] = {1, 1};
        int anyNull = 0;
        fits_read_pix(file, TDOUBLE, first, static_cast<LONGLONG>(stored.size()), nullptr, stored.data(), &anyNull, &status);
        char object[FLEN_VALUE] = "";
        fits_read_key(file, TSTRING, "OBJECT", object, nullptr, &status);
        fits_close_file(file, &status);
        ASSERT_EQ(status, 0);
        EXPECT_EQ(naxis, 2);
        EXPECT_EQ(size[0], FrameWidth);
        EXPECT_EQ(size[1], FrameHeight);
        EXPECT_STREQ(object, "e2e"); // the displayed file's cards went with the pixels
        int low = 0, high = 0, fractional = 0;
        for (int x = 0; x < FrameWidth; ++x)
            for (int y = 0; y < FrameHeight; ++y) {
                const double v = -35000.0 + 30.0 * FrameValue(2, x, y);
                const double truncated = std::clamp(std::trunc(v), 0.0, 32767.0);
                low += v < 0.0;
                high += v > 32767.0;
                fractional += v != std::trunc(v) && v > 0.0 && v < 32767.0;
                ASSERT_EQ(stored[static_cast<std::size_t>(y * FrameWidth + x)], truncated) << x << "," << y << " " << v;
            }
        EXPECT_GT(low, 0); // the file really met both limits and fractions
        EXPECT_GT(high, 0);
        EXPECT_GT(fractional, 0);
    }

    // Thresholds 0 and 30000 typed, then the picture exported.
    typeInto(thresholds()->lowEdit(), "0");
    typeInto(thresholds()->highEdit(), "30000");
    expectPictureFollowsImageA("before export");
    const std::string bitmap = (dir.path() / "out" / "picture.bmp").string();
    dialogs.answers = {Q(bitmap)};
    choose(MainIds::ExportBmp);
    EXPECT_EQ(window->windowTitle(), Q("Skyvane v1.7 - [" + saved + "]")); // export keeps the caption
    const std::vector<unsigned char> bytes = test::ReadFileBytes(bitmap);
    const int stride = 96; // 31 x 3 = 93 bytes, padded to 96
    ASSERT_EQ(bytes.size(), static_cast<std::size_t>(54 + stride * FrameHeight));
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(LittleEndian(bytes, 2, 4), bytes.size());
    EXPECT_EQ(LittleEndian(bytes, 6, 4), 0u);
    EXPECT_EQ(LittleEndian(bytes, 10, 4), 54u);
    EXPECT_EQ(LittleEndian(bytes, 14, 4), 40u);
    EXPECT_EQ(LittleEndian(bytes, 18, 4), static_cast<std::uint32_t>(FrameWidth));
    EXPECT_EQ(LittleEndian(bytes, 22, 4), static_cast<std::uint32_t>(FrameHeight));
    EXPECT_EQ(LittleEndian(bytes, 26, 2), 1u);
    EXPECT_EQ(LittleEndian(bytes, 28, 2), 24u);
    EXPECT_EQ(LittleEndian(bytes, 30, 4), 0u);
    EXPECT_EQ(LittleEndian(bytes, 34, 4), static_cast<std::uint32_t>(stride * FrameHeight));
    for (std::size_t at = 38; at < 54; at += 4)
        EXPECT_EQ(LittleEndian(bytes, at, 4), 0u) << at;
    int greys = 0;
    for (int y = 0; y < FrameHeight; ++y) {
        for (int x = 0; x < FrameWidth; ++x) {
            const std::size_t at = 54 + static_cast<std::size_t>(y * stride + 3 * x);
            const int g = Grey(imageA()[x][y], 0, 30000);
            ASSERT_EQ(bytes[at], g) << x << "," << y;
            ASSERT_EQ(bytes[at + 1], g);
            ASSERT_EQ(bytes[at + 2], g);
            ASSERT_EQ(qGray(window->picture().pixel(x, FrameHeight - 1 - y)), g);
            greys += g > 0 && g < 255;
        }
        for (int pad = 93; pad < stride; ++pad)
            EXPECT_EQ(bytes[54 + static_cast<std::size_t>(y * stride + pad)], 0) << y;
    }
    EXPECT_GT(greys, 100); // the export is not merely black and white
}

// Before any file is opened the image commands have nothing to work on, but a list
// command runs and its result is shown with the thresholds the window starts with.
TEST_F(EndToEndTest, CoadditionTypedBeforeAnyFileIsOpenedShowsItsResult)
{
    start();
    typeCommand("size");
    typeCommand("median [WORK]");
    EXPECT_EQ(history(), ">size\r\n     no image !\r\n>median [WORK]\r\n     median image has been calculated\r\n>");
    ASSERT_TRUE(context().display.isImageDisplayed());
    EXPECT_EQ(thresholds()->LowThreshold(), 0);
    EXPECT_EQ(thresholds()->HighThreshold(), 32767);
    for (int x = 0; x < FrameWidth; ++x)
        for (int y = 0; y < FrameHeight; ++y)
            ASSERT_EQ(imageA()[x][y], MedianOf(framePixel({0, 1, 2, 3, 4, 5}, x, y))) << x << "," << y;
    expectPictureFollowsImageA("median before any file");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Skyvane v1.7"));
    // Now the popup's "Size" has an image to measure.
    choose(MainIds::PopupSize);
    EXPECT_TRUE(history().ends_with(">size\r\n     width = 31\r\n     height = 24\r\n>")) << history();
}

// A new working directory: its list joins the Image list window, the settings file keeps
// it, and short names in commands are looked up there.
TEST_F(EndToEndTest, NewWorkingDirectoryServesListsAndShortNames)
{
    start();
    openThroughTheMenu(scene);
    const std::string data = (dir.path() / "data").string();
    dialogs.answers = {Q(data)};
    choose(MainIds::WorkingDirectory);
    EXPECT_EQ(dialogs.asked.back(), "folder");
    ImageListTree& lists = context().lists;
    ASSERT_EQ(lists.ListCount(), 2);
    EXPECT_EQ(lists.ListLabel(2), "[WORK2] = " + data);
    ASSERT_EQ(lists.FileCount(2), 3);
    EXPECT_EQ(lists.FileLabel(2, 1), "dark.fit");
    EXPECT_EQ(lists.FileLabel(2, 3), "small.fit");
    const std::vector<unsigned char> settingsBytes = test::ReadFileBytes(ini);
    EXPECT_EQ(std::string(settingsBytes.begin(), settingsBytes.end()), "[PATH]\r\nWorking path=" + data + "\r\n");

    // "dark" is the working directory's dark.fit.
    typeCommand("sub (dark)");
    EXPECT_TRUE(history().ends_with(">sub (dark)\r\n     image difference has been calculated\r\n>")) << history();
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_EQ(imageA()[6][5], SceneValue(6, 5) - DarkValue(6, 5));

    // small.fit unticked in the new list, then the mean of the other two.
    ImageListTreeView* tree = window->imageListWindow()->treeView();
    const TreeItem smallItem = lists.FileItem(2, 3);
    tree->doItemsLayout();
    const QRect icon = tree->iconRect(tree->itemOf(smallItem));
    ASSERT_FALSE(icon.isEmpty());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, icon.center());
    QApplication::processEvents();
    ASSERT_FALSE(lists.IsFileSelected(smallItem));
    typeCommand("mean [WORK2]");
    EXPECT_TRUE(history().ends_with(">mean [WORK2]\r\n     mean image has been calculated\r\n>")) << history();
    EXPECT_TRUE(messages.texts.empty());
    ASSERT_EQ(imageA().width(), SceneWidth);
    for (int x = 0; x < SceneWidth; ++x)
        for (int y = 0; y < SceneHeight; ++y)
            ASSERT_EQ(imageA()[x][y], (SceneValue(x, y) + (DarkValue(x, y) + 0.0)) / 2) << x << "," << y;
    expectPictureFollowsImageA("after the mean");
}

// The background colour belongs to the client area, where no picture covers it; the menu
// bar and the status bar keep the platform's own colours, as every window's do.
TEST_F(EndToEndTest, OnlyTheClientAreaTakesTheBackgroundColour)
{
    start();
    const QColor background(90, 90, 170);
    const QImage client = window->displayView()->grab().toImage();
    EXPECT_EQ(QColor(client.pixel(client.width() / 2, client.height() / 2)), background);
    const QImage menu = window->menuBar()->grab().toImage();
    ASSERT_FALSE(menu.isNull());
    EXPECT_NE(QColor(menu.pixel(menu.width() - 3, menu.height() / 2)), background) << "menu bar";
    const QImage status = window->statusBar()->grab().toImage();
    ASSERT_FALSE(status.isNull());
    EXPECT_NE(QColor(status.pixel(status.width() / 2, status.height() / 2)), background) << "status bar";
}

// The same refused addition, typed, with the program's own message box: it opens while the
// command runs, and the reply comes once it is closed.
TEST_F(EndToEndTest, MismatchedImageTypedShowsTheErrorBoxBeforeTheReply)
{
    start(/*injectMessages=*/false);
    openThroughTheMenu(scene);
    QString boxText, boxTitle;
    QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
    std::string historyWhileOpen;
    test::AnswerNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        boxText = box->text();
        boxTitle = box->windowTitle();
        boxIcon = box->icon();
        historyWhileOpen = history();
        box->button(QMessageBox::Ok)->click();
    });
    const std::string command = "add (" + small + ")";
    typeCommand(command);
    EXPECT_EQ(boxText, QStringLiteral("Size of loaded image is not compatible with displayed image."));
    EXPECT_EQ(boxTitle, QStringLiteral("Error"));
    EXPECT_EQ(boxIcon, QMessageBox::Warning);
    EXPECT_EQ(historyWhileOpen, ">" + command);
    EXPECT_EQ(history(), ">" + command + "\r\n     two images have been added\r\n>");
    EXPECT_EQ(imageA()[3][4], SceneValue(3, 4));
}

} // namespace
} // namespace skyvane
