// The long part of a command through the real main window: it runs beside the windows,
// which keep painting, behind a progress dialog that shows what it does and can stop it.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "gui/CommandWindow.h"
#include "gui/LongWorkDialog.h"
#include "gui/MainWindow.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

// Records each message with whether it came on the GUI thread.
class ThreadRecordingMessages final : public Feedback {
public:
    void showError(const std::string& text) override { showFileError(text, {}); }
    void showFileError(const std::string& text, const std::string&) override
    {
        texts.push_back(text);
        onGuiThread.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
    }
    std::vector<std::string> texts;
    std::vector<bool> onGuiThread;
};

// Counts the paint events of a widget and the longest time between two of them while
// watching.
class PaintWatch final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watching) {
            const qint64 now = clock.elapsed();
            if (paints > 0)
                worstGapMs = std::max(worstGapMs, now - lastMs);
            lastMs = now;
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
    void start()
    {
        clock.start();
        watching = true;
    }
    bool watching = false;
    QElapsedTimer clock;
    qint64 lastMs = 0;
    qint64 worstGapMs = 0;
    int paints = 0;
};

class LongWorkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::WriteFileBytes(dir.file("Skyvane.ini"), "[PATH]\nWorking path=" + dir.path().string() + "\n");
        test::WriteFitsFunction(dir.file("ramp.fit"), 40, 30, [](int x, int y) { return 100.0 + x + 50.0 * y; });
    }

    void makeWindow()
    {
        MainWindowOptions options;
        options.settingsPath = dir.file("Skyvane.ini");
        options.dialogs = &dialogs;
        options.messages = &messages;
        window = std::make_unique<MainWindow>(options);
        window->show();
        window->openImage(dir.file("ramp.fit"));
        test::DrainEvents();
    }

    // Frames of size x size 16-bit pixels in the folder "frames", listed in order.
    std::string writeFrames(int count, int size)
    {
        const std::string folder = dir.file("frames");
        std::filesystem::create_directories(folder);
        test::FitsLayout layout;
        layout.width = size;
        layout.height = size;
        layout.bitpix = 16;
        for (int k = 0; k < count; ++k) {
            layout.values.assign(static_cast<std::size_t>(size) * static_cast<std::size_t>(size), 0.0);
            for (std::size_t i = 0; i < layout.values.size(); ++i)
                layout.values[i] = static_cast<double>((i * 7 + static_cast<std::size_t>(k) * 13) % 1000);
            char name[32];
            std::snprintf(name, sizeof name, "f%03d.fit", k);
            test::WriteFitsImage(folder + "/" + name, layout);
        }
        return folder;
    }

    // Types the command into the Command window and presses Enter, as the user does; the
    // execute message is posted and runs from the event loop.
    void type(const std::string& command)
    {
        QPlainTextEdit* edit = window->commandWindow()->history();
        QTest::keyClicks(edit, QString::fromStdString(command));
        QTest::keyClick(edit, Qt::Key_Return);
    }

    bool replied(const std::string& reply) const
    {
        const std::string& history = window->commandWindow()->historyText();
        const std::string end = "\r\n" + reply + "\r\n>";
        return history.size() >= end.size() && history.compare(history.size() - end.size(), end.size(), end) == 0;
    }

    TempDir dir;
    test::ScriptedDialogs dialogs;
    ThreadRecordingMessages messages;
    std::unique_ptr<MainWindow> window;
};

// A co-addition of many frames runs on while the windows paint; its progress reaches the
// dialog, Cancel stops it soon, and Image A, its cards and its picture stay as they were.
TEST_F(LongWorkTest, CoadditionShowsProgressKeepsPaintingAndStopsOnCancel)
{
    // Sigma clipping with many rounds: about a second of work on a fast machine.
    const std::string folder = writeFrames(300, 256);
    makeWindow();
    // The work may be over in less than the usual half second on a fast machine: the
    // dialog shows sooner here.
    auto* runner = window->findChild<LongWorkDialog*>();
    ASSERT_NE(runner, nullptr);
    runner->setShowDelay(50);
    const TreeItem list = window->context().lists.InsertList("[F] = " + folder);
    for (int k = 0; k < 300; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.fit", k);
        window->context().lists.InsertFile(list, name);
    }
    const test::RecordSnapshot before = test::TakeSnapshot(window->context().imageA);
    const QImage pictureBefore = window->picture().copy();
    ASSERT_FALSE(pictureBefore.isNull());

    // Every 10 ms the picture is asked to repaint, and the test plays the user: once the
    // dialog shows progress, Cancel.
    PaintWatch watch;
    QWidget* view = window->displayView();
    view->installEventFilter(&watch);
    QString progressLabel;
    int progressValue = -1;
    bool modal = false;
    bool closeRefused = false;
    bool busyCursor = false;
    qint64 cancelAtMs = -1;
    QTimer user;
    user.setInterval(10);
    QObject::connect(&user, &QTimer::timeout, [&] {
        view->update();
        const QCursor* cursor = QGuiApplication::overrideCursor();
        busyCursor = busyCursor || (cursor && cursor->shape() == Qt::BusyCursor);
        auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
        // Cancel once the dialog shows progress and the windows have had time to paint.
        if (!dialog || cancelAtMs >= 0 || dialog->value() <= 0 || watch.clock.elapsed() < 150)
            return;
        progressLabel = dialog->labelText();
        progressValue = dialog->value();
        modal = dialog->windowModality() == Qt::ApplicationModal && dialog->isVisible();
        closeRefused = !window->close() && window->isVisible();
        auto* cancel = dialog->findChild<QPushButton*>();
        ASSERT_NE(cancel, nullptr);
        cancelAtMs = watch.clock.elapsed();
        cancel->click();
    });
    watch.start();
    user.start();
    type("sigmaclip [F] 3 30");
    QElapsedTimer deadline;
    deadline.start();
    while (!replied("     co-addition cancelled") && !replied("     co-added image has been calculated with sigma clipping") && deadline.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    const qint64 endMs = watch.clock.elapsed();
    watch.watching = false;
    user.stop();

    ASSERT_GE(cancelAtMs, 0) << "the dialog never showed progress; the run was over after " << endMs << " ms";
    EXPECT_TRUE(replied("     co-addition cancelled")) << window->commandWindow()->historyText();
    EXPECT_TRUE(progressLabel.startsWith(QStringLiteral("Reading frame ")) || progressLabel.startsWith(QStringLiteral("Combining rows ")))
        << progressLabel.toStdString();
    EXPECT_GT(progressValue, 0);
    EXPECT_TRUE(modal);
    EXPECT_TRUE(closeRefused);
    EXPECT_TRUE(busyCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    const qint64 cancelLatencyMs = endMs - cancelAtMs;
    EXPECT_LT(cancelLatencyMs, 500);
    // Asked every 10 ms: at least one paint in every 50 ms of the run on average, whatever
    // its length, and never a long gap.
    EXPECT_GE(watch.paints, std::max<qint64>(3, endMs / 50));
    EXPECT_LT(watch.worstGapMs, 100);
    std::printf("[ figures ] run %lld ms, cancel latency %lld ms, %d paints, worst paint gap %lld ms\n", static_cast<long long>(endMs),
                static_cast<long long>(cancelLatencyMs), watch.paints, static_cast<long long>(watch.worstGapMs));

    EXPECT_EQ(test::TakeSnapshot(window->context().imageA), before);
    EXPECT_EQ(window->picture(), pictureBefore);
    EXPECT_TRUE(messages.texts.empty());

    // The program answers again: the next command runs at once.
    type("size");
    test::DrainEvents();
    EXPECT_TRUE(replied("     width = 40\r\n     height = 30"));
}

// A message of the work is shown on the GUI thread, and the work waits for it; the reply
// comes when the work has ended, as before. Work this short ends before its dialog shows.
TEST_F(LongWorkTest, MessagesOfTheWorkAreShownOnTheGuiThread)
{
    bool dialogShown = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { dialogShown = dialogShown || qobject_cast<QProgressDialog*>(QApplication::activeModalWidget()); });
    watch.start(5);
    const std::string folder = writeFrames(3, 8);
    test::WriteFitsFunction(folder + "/odd.fit", 5, 5, [](int, int) { return 1.0; });
    makeWindow();
    const TreeItem list = window->context().lists.InsertList("[F] = " + folder);
    for (const char* name : {"f000.fit", "odd.fit", "f001.fit", "f002.fit"})
        window->context().lists.InsertFile(list, name);
    window->SubmitCommand("mean [F]");
    EXPECT_TRUE(replied("     mean image has been calculated\r\n     3 of 4 frames combined; left out: odd.fit"))
        << window->commandWindow()->historyText();
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Image size mismatch."});
    EXPECT_EQ(messages.onGuiThread, std::vector<bool>{true});
    EXPECT_EQ(window->context().imageA.grid.width(), 8);
    EXPECT_FALSE(dialogShown);
}

} // namespace
} // namespace skyvane
