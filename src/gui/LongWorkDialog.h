#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <QObject>
#include <QPointer>
#include <QProgressDialog>

#include "base/Feedback.h"
#include "base/LongWork.h"

class QEventLoop;

namespace skyvane {

// The progress dialog: the work's text, a bar and Cancel. Escape and the close box ask to
// stop as Cancel does; the dialog stays until the work has stopped.
class ProgressDialog final : public QProgressDialog {
    Q_OBJECT
public:
    explicit ProgressDialog(QWidget* owner);
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
};

// The desktop program's way of running the long part of a command. The work runs on a
// thread of its own while this (the GUI) thread keeps serving events, so every window
// repaints and can be moved; input goes nowhere else than to the progress dialog, which
// shows after about half a second (before it, input waits). The caller is back when the
// work has ended, as if the work had run in its place: the command's reply comes then.
// The work's progress reaches the dialog by posted events, at most one waiting at a time
// and about twenty a second; a message the work raises is shown on this thread through
// the program's messages, and the work waits until the user has acknowledged it.
class LongWorkDialog final : public QObject, public LongWorkRunner {
    Q_OBJECT
public:
    LongWorkDialog(QWidget* owner, Feedback& messages);
    ~LongWorkDialog() override;

    void runLongWork(std::string_view name, const std::function<void(Feedback&)>& work) override;
    // True while a long part runs (its caller waits in runLongWork).
    bool busy() const { return running_; }

    // How long the work runs before the dialog shows: about half a second, so that short
    // work never flashes a dialog.
    static constexpr int ShowDelayMs = 500;
    void setShowDelay(int milliseconds) { showDelayMs_ = milliseconds; }
    // The least time between two updates of the dialog.
    static constexpr int UpdateIntervalMs = 50;

protected:
    void customEvent(QEvent* event) override;

private:
    class WorkerFeedback;
    struct Message;

    void showDialog();
    void applyProgress();
    void requestCancel();
    void relayMessage(Message& message); // worker thread: waits until shown

    QWidget* owner_;
    Feedback& messages_;
    int showDelayMs_ = ShowDelayMs;
    bool running_ = false;
    QEventLoop* loop_ = nullptr;
    QPointer<ProgressDialog> dialog_;
    QString title_;

    std::atomic<bool> cancel_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> progressPosted_{false};
    std::mutex progressLock_;
    std::string progressText_;
    double progressFraction_ = 0.0;
    bool progressChanged_ = false;

    std::mutex messageLock_;
    std::condition_variable messageShown_;
};

} // namespace skyvane
