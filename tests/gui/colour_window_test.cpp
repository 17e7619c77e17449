#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>

#include "base/Numbers.h"
#include "gui/MainWindow.h"
#include "gui/PictureView.h"
#include "gui/ThresholdsWindow.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

constexpr int Width = 40;
constexpr int Height = 30;

// Three planes of distinct levels: red rises along x, green along y, blue is flat.
double Red(int x, int)
{
    return 1000.0 + 50.0 * x;
}
double Green(int, int y)
{
    return 1000.0 + 60.0 * y;
}
double Blue(int, int)
{
    return 2000.0;
}

class ColourWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ini = dir.file("Skyvane.ini");
        test::WriteFileBytes(ini, "[PATH]\nWorking path=" + dir.path().string() + "\n");
        using Plane = double (*)(int, int);
        for (auto [name, f] : {std::pair<const char*, Plane>{"red.fit", Red}, {"green.fit", Green}, {"blue.fit", Blue}})
            files.push_back(test::WriteFitsFunction(dir.file(name), Width, Height, f));
        MainWindowOptions options;
        options.settingsPath = ini;
        options.dialogs = &dialogs;
        options.messages = &messages;
        window = std::make_unique<MainWindow>(options);
        window->show();
    }

    void trigger(int id)
    {
        QAction* a = window->action(id);
        ASSERT_NE(a, nullptr) << id;
        a->trigger();
    }

    TempDir dir;
    std::string ini;
    std::vector<std::string> files;
    test::ScriptedDialogs dialogs;
    test::RecordingMessages messages;
    std::unique_ptr<MainWindow> window;
};

// Image > Compose colour image asks for the three files in order and composes the command;
// the picture is in colour, the readout gives the three values, and a plane item makes a
// grey image of that plane.
TEST_F(ColourWindowTest, MenuItemsComposeAndThePictureAndReadoutShowColour)
{
    for (const std::string& file : files)
        dialogs.answers.push_back(QString::fromStdString(file));
    trigger(MainIds::ComposeColour);
    EXPECT_EQ(dialogs.asked, (std::vector<std::string>{"image", "image", "image"}));
    EXPECT_EQ(window->context().CommandSlot, "rgbcompose (" + files[0] + ") (" + files[1] + ") (" + files[2] + ")");
    EXPECT_EQ(window->context().ReplySlot, "     colour image composed");
    EXPECT_TRUE(messages.texts.empty());
    ASSERT_TRUE(window->context().imagePresent());
    EXPECT_EQ(window->context().imageA.grid.planes(), 3);

    window->thresholdsWindow()->lowEdit()->setText(QStringLiteral("1000"));
    window->thresholdsWindow()->highEdit()->setText(QStringLiteral("3550"));
    test::DrainEvents();
    window->workbench().finishRedraw();
    // Image pixel (30, 10) is picture line Height - 1 - 10; each colour its plane's level.
    const QImage picture = window->picture().convertToFormat(QImage::Format_RGB32);
    const QRgb pixel = picture.pixel(30, Height - 1 - 10);
    const double factor = 255.0 / 2550.0;
    EXPECT_EQ(qRed(pixel), static_cast<int>((Red(30, 10) - 1000.0) * factor));
    EXPECT_EQ(qGreen(pixel), static_cast<int>((Green(30, 10) - 1000.0) * factor));
    EXPECT_EQ(qBlue(pixel), static_cast<int>((Blue(30, 10) - 1000.0) * factor));
    // The pointer over it: the three values.
    QWidget* view = window->displayView();
    const QPointF point(30, Height - 1 - 10);
    QMouseEvent move(QEvent::MouseMove, point, view->mapToGlobal(point), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    EXPECT_EQ(window->statusPart(3)->text().toStdString(),
              "V=" + FormatReal(Red(30, 10), 7) + " " + FormatReal(Green(30, 10), 7) + " " + FormatReal(Blue(30, 10), 7) + "  1:1");

    trigger(MainIds::GreenPlane);
    EXPECT_EQ(window->context().CommandSlot, "channel green");
    EXPECT_EQ(window->context().ReplySlot, "     image is the green plane");
    EXPECT_EQ(window->context().imageA.grid.planes(), 1);
    EXPECT_EQ(window->context().imageA.grid[30][10], Green(30, 10));
}

} // namespace
} // namespace skyvane
