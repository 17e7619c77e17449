#include "gui/LongWorkDialog.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPushButton>
#include <QTimer>

namespace skyvane {

namespace {

// Posted by the work's thread to the runner: progress waits, a message waits, the work ended.
QEvent::Type ProgressEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QEvent::Type MessageEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QEvent::Type FinishedEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QString FromLocal(const std::string& text)
{
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

constexpr int BarSteps = 1000;

} // namespace

// A message of the work, with the answer the work waits for.
struct LongWorkDialog::Message {
    std::string text;
    std::string path;
    bool aboutFile = false;
    bool shown = false; // guarded by messageLock_
};

class MessageEvent final : public QEvent {
public:
    explicit MessageEvent(void* message) : QEvent(MessageEventType()), message_(message) {}
    void* message() const { return message_; }

private:
    void* message_;
};

// The feedback the work reports through, on its own thread.
class LongWorkDialog::WorkerFeedback final : public Feedback {
public:
    explicit WorkerFeedback(LongWorkDialog& runner) : runner_(runner) {}

    void showError(const std::string& text) override
    {
        Message message{text, {}, false, false};
        runner_.relayMessage(message);
    }
    void showFileError(const std::string& text, const std::string& path) override
    {
        Message message{text, path, true, false};
        runner_.relayMessage(message);
    }
    void showProgress(const std::string& text, double fraction) override
    {
        {
            std::lock_guard<std::mutex> guard(runner_.progressLock_);
            runner_.progressText_ = text;
            runner_.progressFraction_ = fraction;
            runner_.progressChanged_ = true;
        }
        // One event waits at a time; the GUI thread takes the latest values when it comes.
        if (!runner_.progressPosted_.exchange(true))
            QCoreApplication::postEvent(&runner_, new QEvent(ProgressEventType()));
    }
    bool cancelRequested() const override { return runner_.cancel_.load(std::memory_order_relaxed); }

private:
    LongWorkDialog& runner_;
};

ProgressDialog::ProgressDialog(QWidget* owner) : QProgressDialog(owner) {}

void ProgressDialog::reject()
{
    emit canceled();
}

void ProgressDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
    emit canceled();
}

LongWorkDialog::LongWorkDialog(QWidget* owner, Feedback& messages) : QObject(owner), owner_(owner), messages_(messages) {}

LongWorkDialog::~LongWorkDialog() = default;

void LongWorkDialog::runLongWork(std::string_view name, const std::function<void(Feedback&)>& work)
{
    if (running_) {
        // Not expected (input waits while work runs); run in place rather than in parallel.
        work(messages_);
        return;
    }
    running_ = true;
    cancel_ = false;
    finished_ = false;
    progressPosted_ = false;
    {
        std::lock_guard<std::mutex> guard(progressLock_);
        progressText_.clear();
        progressFraction_ = 0.0;
        progressChanged_ = false;
    }
    title_ = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    if (!title_.isEmpty())
        title_[0] = title_[0].toUpper();

    WorkerFeedback feedback(*this);
    std::exception_ptr failure;
    std::thread worker;
    try {
        worker = std::thread([this, &work, &feedback, &failure] {
            try {
                work(feedback);
            } catch (...) {
                failure = std::current_exception();
            }
            finished_ = true;
            QCoreApplication::postEvent(this, new QEvent(FinishedEventType()));
        });
    } catch (const std::system_error&) {
        running_ = false;
        work(messages_); // no second thread: the work runs here, without progress
        return;
    }

    QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
    QEventLoop loop;
    loop_ = &loop;
    // Until the dialog shows, input waits (as while any command runs); events that draw
    // and move windows are served.
    QTimer::singleShot(showDelayMs_, &loop, [&loop] { loop.exit(1); });
    if (!finished_ && loop.exec(QEventLoop::ExcludeUserInputEvents) == 1 && !finished_) {
        showDialog();
        loop.exec();
    }
    loop_ = nullptr;
    // The loops end early only when the program is ending: the work is asked to stop.
    if (!finished_)
        cancel_ = true;
    worker.join();
    delete dialog_.data();
    QGuiApplication::restoreOverrideCursor();
    running_ = false;
    if (failure)
        std::rethrow_exception(failure);
}

void LongWorkDialog::showDialog()
{
    auto* dialog = new ProgressDialog(owner_);
    dialog_ = dialog;
    dialog->setWindowTitle(title_);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setMinimumDuration(0);
    dialog->setRange(0, BarSteps);
    dialog->setCancelButtonText(QStringLiteral("Cancel"));
    // Cancel asks the work to stop; the dialog stays until it has.
    disconnect(dialog, &QProgressDialog::canceled, dialog, &QProgressDialog::cancel);
    connect(dialog, &QProgressDialog::canceled, this, &LongWorkDialog::requestCancel);
    {
        std::lock_guard<std::mutex> guard(progressLock_);
        progressChanged_ = true;
    }
    applyProgress();
    dialog->show();
}

void LongWorkDialog::applyProgress()
{
    if (!dialog_ || cancel_)
        return;
    QString text;
    double fraction = 0.0;
    {
        std::lock_guard<std::mutex> guard(progressLock_);
        if (!progressChanged_)
            return;
        progressChanged_ = false;
        text = FromLocal(progressText_);
        fraction = progressFraction_;
    }
    if (dialog_->labelText() != text)
        dialog_->setLabelText(text);
    const int value = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * BarSteps);
    if (dialog_->value() != value)
        dialog_->setValue(value);
}

void LongWorkDialog::requestCancel()
{
    if (cancel_.exchange(true) || !dialog_)
        return;
    dialog_->setLabelText(QStringLiteral("Cancelling..."));
    if (auto* button = dialog_->findChild<QPushButton*>())
        button->setEnabled(false);
}

void LongWorkDialog::relayMessage(Message& message)
{
    QCoreApplication::postEvent(this, new MessageEvent(&message));
    std::unique_lock<std::mutex> guard(messageLock_);
    messageShown_.wait(guard, [&message] { return message.shown; });
}

void LongWorkDialog::customEvent(QEvent* event)
{
    const QEvent::Type type = event->type();
    if (type == ProgressEventType()) {
        if (!running_)
            return;
        applyProgress();
        // The next event may come once the interval is over; what came meanwhile is shown then.
        QTimer::singleShot(UpdateIntervalMs, this, [this] {
            progressPosted_ = false;
            if (running_)
                applyProgress();
        });
    } else if (type == MessageEventType()) {
        auto& message = *static_cast<Message*>(static_cast<MessageEvent*>(event)->message());
        if (message.aboutFile)
            messages_.showFileError(message.text, message.path);
        else
            messages_.showError(message.text);
        {
            std::lock_guard<std::mutex> guard(messageLock_);
            message.shown = true;
        }
        messageShown_.notify_all();
    } else if (type == FinishedEventType()) {
        if (loop_ && finished_)
            loop_->quit();
    }
}

} // namespace skyvane
