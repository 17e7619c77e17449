// Files dropped onto the main window, delivered as the platform delivers them: drag events
// sent to the window's QWindow, which finds the widget that takes drops.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>
#include <QWindow>

#include "gui/MainWindow.h"
#include "gui/ThresholdsWindow.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::RecordingMessages;
using test::TempDir;

double ramp(int x, int y)
{
    return 1000.0 + 3.0 * x + 40.0 * y;
}

double flat(int, int)
{
    return 7.0;
}

// One main window with its own settings, answers and message record.
struct Desk {
    explicit Desk(const TempDir& dir)
    {
        MainWindowOptions options;
        options.settingsPath = dir.file("Skyvane.ini");
        options.dialogs = &dialogs;
        options.messages = &messages;
        window = std::make_unique<MainWindow>(options);
        window->show();
    }

    QPoint overImage() const
    {
        QWidget* view = window->displayView();
        return view->mapTo(window.get(), view->rect().center());
    }

    test::ScriptedDialogs dialogs;
    RecordingMessages messages;
    std::unique_ptr<MainWindow> window;
};

struct DropAnswer {
    bool enterAccepted = false;
    bool dropAccepted = false;
    Qt::DropAction action = Qt::IgnoreAction;
};

// A drag over the image and a drop, through the window system's entry: the QWindow. Shift is
// held, so a source that allows both proposes a move.
DropAnswer dragAndDrop(Desk& desk, const QMimeData& data, Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction)
{
    QWindow* handle = desk.window->windowHandle();
    const QPointF at = desk.overImage();
    DropAnswer answer;
    QDragEnterEvent enter(at.toPoint(), offered, &data, Qt::LeftButton, Qt::ShiftModifier);
    QGuiApplication::sendEvent(handle, &enter);
    answer.enterAccepted = enter.isAccepted();
    if (!answer.enterAccepted) {
        QDragLeaveEvent leave;
        QGuiApplication::sendEvent(handle, &leave);
        return answer;
    }
    QDropEvent drop(at, offered, &data, Qt::NoButton, Qt::ShiftModifier);
    QGuiApplication::sendEvent(handle, &drop);
    answer.dropAccepted = drop.isAccepted();
    answer.action = drop.dropAction();
    test::DrainEvents();
    return answer;
}

std::unique_ptr<QMimeData> filesData(const std::vector<std::string>& paths)
{
    QList<QUrl> urls;
    for (const std::string& path : paths)
        urls << QUrl::fromLocalFile(QString::fromStdString(path));
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

TEST(FileDrop, DroppedFileOpensAsOpenFitsOpensIt)
{
    TempDir dir;
    const std::string image = test::WriteFitsFunction(dir.file("ramp.fit"), 120, 90, ramp);
    const std::string shown = test::WriteFitsFunction(dir.file("shown.fit"), 30, 20, flat);
    test::WriteFileBytes(dir.file("notes.fit"), "not a FITS file");

    for (const std::string& file : {image, dir.file("notes.fit")}) {
        SCOPED_TRACE(file);
        Desk dropped(dir);
        dropped.window->openImage(shown); // the drop replaces what is displayed
        Desk opened(dir);
        opened.window->openImage(shown);
        const DropAnswer answer = dragAndDrop(dropped, *filesData({file}));
        opened.dialogs.answers.push_back(QString::fromStdString(file));
        opened.window->runCommand(MainIds::OpenFits);

        EXPECT_TRUE(answer.enterAccepted);
        EXPECT_TRUE(answer.dropAccepted);
        EXPECT_EQ(answer.action, Qt::CopyAction); // never a move: the file stays where it is
        EXPECT_EQ(dropped.window->windowTitle(), QString::fromStdString("Skyvane v1.7 - [" + file + "]"));
        EXPECT_EQ(dropped.window->windowTitle(), opened.window->windowTitle());
        EXPECT_EQ(dropped.messages.texts, opened.messages.texts);
        EXPECT_EQ(dropped.window->context().imageA.grid.width(), opened.window->context().imageA.grid.width());
        EXPECT_EQ(dropped.window->context().display.isImageDisplayed(), opened.window->context().display.isImageDisplayed());
        EXPECT_EQ(dropped.window->thresholdsWindow()->LowThreshold(), opened.window->thresholdsWindow()->LowThreshold());
        EXPECT_EQ(dropped.window->thresholdsWindow()->HighThreshold(), opened.window->thresholdsWindow()->HighThreshold());
        EXPECT_TRUE(dropped.window->picture() == opened.window->picture());
        // The readable file is displayed at its own size; the other one is reported.
        if (file == image) {
            EXPECT_EQ(dropped.window->context().imageA.grid.width(), 120);
            EXPECT_TRUE(dropped.messages.texts.empty());
        } else {
            EXPECT_EQ(dropped.messages.texts.size(), 1u);
        }
    }
}

TEST(FileDrop, RefusesWhatTheOpenDialogCouldNotReturn)
{
    TempDir dir;
    const std::string image = test::WriteFitsFunction(dir.file("ramp.fit"), 120, 90, ramp);
    const std::string second = test::WriteFitsFunction(dir.file("second.fit"), 120, 90, ramp);
    Desk desk(dir);

    QMimeData remote;
    remote.setUrls({QUrl(QStringLiteral("https://example.org/m31.fit"))});
    QMimeData text;
    text.setText(QString::fromStdString(image));
    struct Case {
        const char* what;
        const QMimeData* data;
        Qt::DropActions offered;
    };
    const auto two = filesData({image, second});
    const auto folder = filesData({dir.path().string()});
    const auto one = filesData({image});
    for (const Case& c : {Case{"two files", two.get(), Qt::CopyAction}, Case{"a folder", folder.get(), Qt::CopyAction},
                          Case{"a remote file", &remote, Qt::CopyAction}, Case{"text", &text, Qt::CopyAction},
                          Case{"a move only", one.get(), Qt::MoveAction}}) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(dragAndDrop(desk, *c.data, c.offered).enterAccepted);
        // A drop that arrives all the same is refused too.
        QDropEvent drop(desk.overImage(), c.offered, c.data, Qt::NoButton, Qt::NoModifier);
        QGuiApplication::sendEvent(desk.window.get(), &drop);
        test::DrainEvents();
        EXPECT_FALSE(drop.isAccepted());
        EXPECT_FALSE(desk.window->context().display.isImageDisplayed());
        EXPECT_EQ(desk.window->windowTitle(), QStringLiteral("Skyvane v1.7"));
    }
    EXPECT_TRUE(desk.messages.texts.empty());
    EXPECT_TRUE(desk.dialogs.asked.empty());
}

} // namespace
} // namespace skyvane
