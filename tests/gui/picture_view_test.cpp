#include <cmath>
#include <filesystem>

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QWheelEvent>

#include "base/Numbers.h"
#include "display/ViewMapping.h"
#include "gui/CommandWindow.h"
#include "gui/MainWindow.h"
#include "gui/PictureView.h"
#include "gui/ThresholdsWindow.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::RecordingMessages;
using test::TempDir;

constexpr int Width = 202; // 50 whole blocks of 4 and one of 2 columns
constexpr int Height = 121; // 30 whole blocks of 4 and one of 1 line
constexpr QRgb Background = 0xFF5A5AAAu;

// Values 1000 to 3550 in steps of 10, scattered so that neighbours differ.
double Scattered(int x, int y)
{
    return 1000.0 + 10.0 * ((x * 37 + y * 91) % 256);
}

// The grey levels of thresholds 1000 and 3550 through a transfer function F, straight from
// the definition: p = (v - 1000) x (255 / 2550) limited to 0..255, g = trunc(255 F(p / 255)).
int Level(double v, double (*f)(double))
{
    const double factor = 255.0 / 2550.0;
    const double p = std::clamp((v - 1000.0) * factor, 0.0, 255.0);
    return static_cast<int>(255.0 * f(p / 255.0));
}

class PictureViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ini = dir.file("Skyvane.ini");
        iniText = "[PATH]\nWorking path=" + dir.path().string() + "\n";
        test::WriteFileBytes(ini, iniText);
        image = test::WriteFitsFunction(dir.file("scattered.fit"), Width, Height, Scattered);
        window = makeWindow();
    }

    std::unique_ptr<MainWindow> makeWindow()
    {
        MainWindowOptions options;
        options.settingsPath = ini;
        options.dialogs = &dialogs;
        options.messages = &messages;
        auto made = std::make_unique<MainWindow>(options);
        made->show();
        return made;
    }

    // The image on display with thresholds 1000 and 3550.
    void open()
    {
        window->openImage(image);
        window->thresholdsWindow()->lowEdit()->setText(QStringLiteral("1000"));
        window->thresholdsWindow()->highEdit()->setText(QStringLiteral("3550"));
    }

    PictureView* view() const { return window->pictureView(); }
    // What the client area shows now, painted as the window system would ask for it.
    QImage painted() const { return view()->grab().toImage().convertToFormat(QImage::Format_RGB32); }
    QImage picture() const { return window->picture().convertToFormat(QImage::Format_RGB32); }

    // Moves the pointer to (x, y) of the view; parts 1, 2 and 4 of the status bar.
    QString pointAt(int x, int y) const
    {
        QMouseEvent event(QEvent::MouseMove, QPointF(x, y), view()->mapToGlobal(QPointF(x, y)), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(view(), &event);
        return window->statusPart(0)->text() + "," + window->statusPart(1)->text() + "," + window->statusPart(3)->text();
    }
    void mouse(QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) const
    {
        QMouseEvent event(type, QPointF(at), view()->mapToGlobal(QPointF(at)), button, held, Qt::NoModifier);
        QApplication::sendEvent(view(), &event);
    }
    void wheel(QPoint at, int eighths) const
    {
        QWheelEvent event(QPointF(at), view()->mapToGlobal(QPointF(at)), QPoint(), QPoint(0, eighths), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view(), &event);
    }
    std::string iniNow() const
    {
        const std::vector<unsigned char> bytes = test::ReadFileBytes(ini);
        return {bytes.begin(), bytes.end()};
    }

    TempDir dir;
    std::string ini;
    std::string iniText;
    std::string image;
    test::ScriptedDialogs dialogs;
    RecordingMessages messages;
    std::unique_ptr<MainWindow> window;
};

// "V=" and the image value of picture column c, line l (counted from the top).
std::string ValueText(int c, int l)
{
    return "V=" + FormatReal(Scattered(c, Height - 1 - l), 7);
}

TEST_F(PictureViewTest, ZoomedOutEachScreenPixelIsTheAreaMeanAndTheReadoutNamesTheBlock)
{
    open();
    const QImage start = painted();
    const QImage whole = picture();
    ASSERT_EQ(whole.size(), QSize(Width, Height));
    // The start view: the picture 1:1 from the top-left corner, background beyond.
    EXPECT_EQ(start.copy(0, 0, Width, Height), whole);
    EXPECT_EQ(start.pixel(Width, 0), Background);
    EXPECT_EQ(pointAt(9, 4), QString::fromStdString("X=10,Y=5," + ValueText(9, 4) + "  1:1"));

    // Whole blocks, and the blocks cut by the right and bottom edges (2 x 4, 4 x 1, 2 x 1).
    const auto expectAreaMeans = [this](const QImage& shown, const QImage& full) {
        for (const auto& [i, j] : {std::pair{0, 0}, {10, 5}, {33, 17}, {50, 3}, {7, 30}, {50, 30}}) {
            int sum = 0, n = 0;
            for (int c = 4 * i; c < std::min(4 * i + 4, Width); ++c)
                for (int l = 4 * j; l < std::min(4 * j + 4, Height); ++l, ++n)
                    sum += qGray(full.pixel(c, l));
            const ScreenPoint s = PictureToScreen(view()->view(), 4 * i, 4 * j);
            EXPECT_EQ(qGray(shown.pixel(static_cast<int>(s.x), static_cast<int>(s.y))), (2 * sum + n) / (2 * n)) << i << "," << j;
        }
    };
    QTest::keyClick(view(), Qt::Key_Minus);
    QTest::keyClick(view(), Qt::Key_Minus);
    ASSERT_EQ(view()->view().zoom, -2);
    const QImage out = painted();
    expectAreaMeans(out, whole);
    // Painted straight into an image (as into the window's backing store), at an offset,
    // the area is the same, and nothing around it is touched.
    QImage direct(view()->size() + QSize(9, 6), QImage::Format_RGB32);
    direct.fill(Qt::red);
    view()->render(&direct, QPoint(7, 5));
    EXPECT_EQ(direct.copy(QRect(QPoint(7, 5), view()->size())), out);
    EXPECT_EQ(direct.pixel(6, 4), QColor(Qt::red).rgb());
    EXPECT_EQ(direct.pixel(7 + view()->width(), 5 + view()->height()), QColor(Qt::red).rgb());
    // The pointer over a block reads its top-left picture pixel.
    const ScreenPoint s = PictureToScreen(view()->view(), 40, 20);
    EXPECT_EQ(pointAt(static_cast<int>(s.x), static_cast<int>(s.y)), QString::fromStdString("X=41,Y=21," + ValueText(40, 20) + "  1:4"));

    // A threshold change, zoomed out or made at 1:1 before zooming out, shows at once.
    window->thresholdsWindow()->lowEdit()->setText(QStringLiteral("2000"));
    const QImage darker = picture();
    ASSERT_NE(darker, whole);
    expectAreaMeans(painted(), darker);
    QTest::keyClick(view(), Qt::Key_Home);
    window->thresholdsWindow()->highEdit()->setText(QStringLiteral("2500"));
    const QImage harder = picture();
    ASSERT_NE(harder, darker);
    QTest::keyClick(view(), Qt::Key_Minus);
    QTest::keyClick(view(), Qt::Key_Minus);
    expectAreaMeans(painted(), harder);

    // 1 (and Home) give back the start view, every pixel of it.
    window->thresholdsWindow()->lowEdit()->setText(QStringLiteral("1000"));
    window->thresholdsWindow()->highEdit()->setText(QStringLiteral("3550"));
    QTest::keyClick(view(), Qt::Key_1);
    EXPECT_EQ(view()->view(), ViewMapping{});
    EXPECT_EQ(painted(), start);
}

TEST_F(PictureViewTest, ZoomedInAboutThePointerEachPixelIsASquareAndFitShowsAll)
{
    open();
    const QImage start = painted();
    const QImage whole = picture();
    // Two notches up at (30, 20): 4:1, the picture pixel under the pointer stays there.
    EXPECT_EQ(pointAt(30, 20), QString::fromStdString("X=31,Y=21," + ValueText(30, 20) + "  1:1"));
    wheel(QPoint(30, 20), 240);
    ASSERT_EQ(view()->view().zoom, 2);
    EXPECT_EQ(pointAt(30, 20), QString::fromStdString("X=31,Y=21," + ValueText(30, 20) + "  4:1"));
    const ScreenPoint s = PictureToScreen(view()->view(), 31, 21);
    const QImage in = painted();
    for (int a = 0; a < 4; ++a)
        for (int b = 0; b < 4; ++b)
            EXPECT_EQ(in.pixel(static_cast<int>(s.x) + a, static_cast<int>(s.y) + b), whole.pixel(31, 21));
    EXPECT_NE(in.pixel(static_cast<int>(s.x) + 4, static_cast<int>(s.y)), in.pixel(static_cast<int>(s.x) + 3, static_cast<int>(s.y)));
    QImage direct(view()->size(), QImage::Format_ARGB32_Premultiplied);
    view()->render(&direct);
    EXPECT_EQ(direct.convertToFormat(QImage::Format_RGB32), in);
    EXPECT_EQ(pointAt(static_cast<int>(s.x) + 3, static_cast<int>(s.y) + 3), QString::fromStdString("X=32,Y=22," + ValueText(31, 21) + "  4:1"));
    EXPECT_EQ(pointAt(static_cast<int>(s.x) + 4, static_cast<int>(s.y)), QString::fromStdString("X=33,Y=22," + ValueText(32, 21) + "  4:1"));

    // + zooms about the centre; a notch down and Home come back.
    QTest::keyClick(view(), Qt::Key_Plus);
    EXPECT_EQ(view()->view().zoom, 3);
    wheel(QPoint(5, 5), -120);
    EXPECT_EQ(view()->view().zoom, 2);
    QTest::keyClick(view(), Qt::Key_Home);
    EXPECT_EQ(painted(), start);

    // F: the largest zoom at which the whole picture fits, centred.
    QTest::keyClick(view(), Qt::Key_F);
    const ViewMapping fitted = view()->view();
    EXPECT_EQ(fitted, FitView(Width, Height, view()->width(), view()->height()));
    EXPECT_GT(fitted.zoom, 0);
    const QImage all = painted();
    const ScreenPoint first = PictureToScreen(fitted, 0, 0);
    const ScreenPoint last = PictureToScreen(fitted, Width - 1, Height - 1);
    EXPECT_EQ(all.pixel(static_cast<int>(first.x), static_cast<int>(first.y)), whole.pixel(0, 0));
    EXPECT_EQ(all.pixel(static_cast<int>(last.x), static_cast<int>(last.y)), whole.pixel(Width - 1, Height - 1));
    EXPECT_EQ(all.pixel(static_cast<int>(first.x) - 1, static_cast<int>(first.y)), Background);
}

TEST_F(PictureViewTest, DragsPanAndArrowKeysPanOnlyWhileThePictureHasTheFocus)
{
    open();
    const QImage whole = picture();
    mouse(QEvent::MouseButtonPress, QPoint(50, 50), Qt::LeftButton, Qt::LeftButton);
    mouse(QEvent::MouseMove, QPoint(70, 60), Qt::NoButton, Qt::LeftButton);
    mouse(QEvent::MouseButtonRelease, QPoint(70, 60), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(view()->view(), (ViewMapping{0, 20, 10}));
    EXPECT_EQ(painted().pixel(25, 15), whole.pixel(5, 5));
    EXPECT_EQ(pointAt(25, 15), QString::fromStdString("X=6,Y=6," + ValueText(5, 5) + "  1:1"));
    mouse(QEvent::MouseButtonPress, QPoint(70, 60), Qt::MiddleButton, Qt::MiddleButton);
    mouse(QEvent::MouseMove, QPoint(60, 60), Qt::NoButton, Qt::MiddleButton);
    mouse(QEvent::MouseButtonRelease, QPoint(60, 60), Qt::MiddleButton, Qt::NoButton);
    EXPECT_EQ(view()->view(), (ViewMapping{0, 10, 10}));

    // Keys reach the picture through the window that has them, as the window system gives
    // them: the main window with the picture focused pans by a tenth of the area...
    window->activateWindow();
    view()->setFocus();
    QTest::keyClick(window->windowHandle(), Qt::Key_Right);
    const ViewMapping panned{0, 10 - view()->width() / 10, 10};
    EXPECT_EQ(view()->view(), panned);
    QTest::keyClick(window->windowHandle(), Qt::Key_Down);
    EXPECT_EQ(view()->view(), (ViewMapping{0, panned.offsetX, 10 - view()->height() / 10}));
    QTest::keyClick(window->windowHandle(), Qt::Key_Home);
    EXPECT_EQ(view()->view(), ViewMapping{});
    // ... a tool window with the focus keeps its arrows and its keys.
    window->thresholdsWindow()->activateWindow();
    window->thresholdsWindow()->invertButton()->setFocus();
    for (Qt::Key key : {Qt::Key_Right, Qt::Key_Down, Qt::Key_Minus, Qt::Key_F})
        QTest::keyClick(window->thresholdsWindow()->windowHandle(), key);
    window->commandWindow()->activateWindow();
    for (Qt::Key key : {Qt::Key_Left, Qt::Key_Up, Qt::Key_Plus})
        QTest::keyClick(window->commandWindow()->windowHandle(), key);
    EXPECT_EQ(view()->view(), ViewMapping{});
}

TEST_F(PictureViewTest, EqualisationCommandsMarksWindowSettingsKeyAndExport)
{
    auto marks = [this] {
        QString checked;
        for (int id : {MainIds::EqualiseLogarithm, MainIds::EqualiseGamma, MainIds::EqualiseLinear})
            checked += window->action(id)->isChecked() ? QStringLiteral("x") : QStringLiteral("-");
        return checked + " " + window->thresholdsWindow()->equalisationLabel()->text();
    };
    // First start: linear, and nothing written.
    EXPECT_EQ(marks(), QStringLiteral("--x Equalisation: Linear"));
    EXPECT_EQ(window->action(MainIds::EqualiseLinear)->text(), QStringLiteral("Linear"));
    open();
    const QImage linear = picture();
    EXPECT_EQ(iniNow(), iniText);

    // Zoomed out, the menu's Logarithm: the command, its reply, the marks, the key, the picture.
    QTest::keyClick(view(), Qt::Key_Minus);
    window->action(MainIds::EqualiseLogarithm)->trigger();
    EXPECT_NE(window->commandWindow()->historyText().find("equalise log\r\n     display equalisation: logarithm"), std::string::npos);
    EXPECT_EQ(marks(), QStringLiteral("x-- Equalisation: Logarithm"));
    EXPECT_EQ(iniNow(), iniText + "[Display]\nEqualisation=Logarithm\n");
    const auto logarithm = [](double t) { return std::log10(1.0 + 1000.0 * t) / std::log10(1001.0); };
    const QImage spread = picture();
    for (const auto& [x, y] : {std::pair{0, 0}, {3, 7}, {150, 60}, {201, 120}})
        EXPECT_EQ(qGray(spread.pixel(x, Height - 1 - y)), Level(Scattered(x, y), logarithm)) << x << "," << y;

    // Gamma asks until the answer lies in 0.1..10, saying why; a cancel changes nothing.
    dialogs.constants = {20.0, 1.8};
    messages.texts.clear();
    window->action(MainIds::EqualiseGamma)->trigger();
    EXPECT_EQ(dialogs.initials, (std::vector<double>{2.2, 2.2}));
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Gamma must be from 0.1 to 10."});
    EXPECT_NE(window->commandWindow()->historyText().find("equalise gamma 1.8\r\n     display equalisation: gamma 1.8"), std::string::npos);
    EXPECT_EQ(marks(), QStringLiteral("-x- Equalisation: Gamma 1.8"));
    EXPECT_EQ(iniNow(), iniText + "[Display]\nEqualisation=Gamma 1.8\n");
    window->action(MainIds::EqualiseLinear)->toggle(); // as a click would, then cancelled below
    dialogs.constants = {std::nullopt};
    window->action(MainIds::EqualiseGamma)->trigger();
    EXPECT_EQ(marks(), QStringLiteral("-x- Equalisation: Gamma 1.8"));

    // Export writes the whole picture 1:1, equalised, whatever the zoom.
    dialogs.answers = {QString::fromStdString(dir.file("gamma.bmp"))};
    window->runCommand(MainIds::ExportBmp);
    const std::vector<unsigned char> bmp = test::ReadFileBytes(dir.file("gamma.bmp"));
    const std::size_t stride = (3 * Width + 3) / 4 * 4;
    ASSERT_EQ(bmp.size(), 54 + stride * Height);
    const auto gamma = [](double t) { return std::pow(t, 1.0 / 1.8); };
    for (const auto& [x, y] : {std::pair{0, 0}, {3, 7}, {150, 60}, {201, 120}})
        EXPECT_EQ(bmp[54 + static_cast<std::size_t>(y) * stride + 3 * static_cast<std::size_t>(x)], Level(Scattered(x, y), gamma));

    // A new run starts with the kept choice; typed commands move the marks as the menu does.
    window.reset();
    window = makeWindow();
    EXPECT_EQ(marks(), QStringLiteral("-x- Equalisation: Gamma 1.8"));
    window->SubmitCommand("equalise gamma 0.05");
    EXPECT_NE(window->commandWindow()->historyText().find("     gamma must be from 0.1 to 10 !"), std::string::npos);
    EXPECT_EQ(marks(), QStringLiteral("-x- Equalisation: Gamma 1.8"));
    open();
    window->SubmitCommand("equalise linear");
    EXPECT_EQ(marks(), QStringLiteral("--x Equalisation: Linear"));
    EXPECT_EQ(picture(), linear);
    EXPECT_EQ(iniNow(), iniText + "[Display]\nEqualisation=Linear\n");
}

TEST_F(PictureViewTest, SkyPositionFollowsACelestialHeaderAndIsAbsentWithoutOne)
{
    // Tangent plane, reference pixel (FITS 51, 41) at RA 83.8, Dec -5.39, 1" per pixel.
    test::FitsLayout layout;
    layout.width = 100;
    layout.height = 80;
    layout.values.assign(100 * 80, 1234.5);
    layout.extraCards = {"CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'", "CRPIX1  = 51.0", "CRPIX2  = 41.0",
                         "CRVAL1  = 83.8", "CRVAL2  = -5.39", "CDELT1  = -2.777777777777778E-04",
                         "CDELT2  = 2.777777777777778E-04", "RADESYS = 'FK5'", "EQUINOX = 2000.0"};
    const std::string sky = dir.file("sky.fit");
    test::WriteFitsImage(sky, layout);
    window->openImage(sky);
    // Image pixel (50, 40) is picture line 80 - 1 - 40 = 39.
    EXPECT_EQ(pointAt(50, 39), QStringLiteral("X=51,Y=40,V=1234.5  1:1  RA 05:35:12.00  Dec -05:23:24.0  FK5 J2000"));
    EXPECT_EQ(pointAt(51, 39), QStringLiteral("X=52,Y=40,V=1234.5  1:1  RA 05:35:11.93  Dec -05:23:24.0  FK5 J2000"));
    // Zoomed in about it, the same pixel gives the same position.
    wheel(QPoint(50, 39), 120);
    EXPECT_EQ(pointAt(50, 39), QStringLiteral("X=51,Y=40,V=1234.5  2:1  RA 05:35:12.00  Dec -05:23:24.0  FK5 J2000"));
    // What assistive technology reads is the text itself, as for the other parts.
    QAccessibleInterface* readout = QAccessible::queryAccessibleInterface(window->statusPart(3));
    ASSERT_NE(readout, nullptr);
    EXPECT_EQ(readout->text(QAccessible::Name), window->statusPart(3)->text());
    EXPECT_EQ(window->statusPart(3)->accessibleDescription(), QStringLiteral("Status part 4"));
    // The pointer resting there: a changed picture, and the same frame opened again, show
    // their value at once.
    window->SubmitCommand("mult 2");
    test::DrainEvents();
    EXPECT_EQ(window->statusPart(3)->text(), QStringLiteral("V=2469  2:1  RA 05:35:12.00  Dec -05:23:24.0  FK5 J2000"));
    window->openImage(sky);
    test::DrainEvents();
    EXPECT_EQ(window->statusPart(3)->text(), QStringLiteral("V=1234.5  2:1  RA 05:35:12.00  Dec -05:23:24.0  FK5 J2000"));

    window->openImage(image);
    EXPECT_EQ(pointAt(50, 39), QString::fromStdString("X=51,Y=40," + ValueText(50, 39) + "  1:1"));
    // Outside the picture the parts are cleared; the zoom stays in sight.
    EXPECT_EQ(pointAt(0, 4), QStringLiteral(",,1:1"));
    window->SubmitCommand("clear");
    EXPECT_EQ(window->statusPart(3)->text(), QString());
}

} // namespace
} // namespace skyvane
