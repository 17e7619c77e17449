#pragma once

#include <QCoreApplication>
#include <QEvent>

namespace skyvane {

// The three private messages between the main window and the Command window, registered
// with Qt by name once per process. Each carries one code (its receivers look at the low
// 16 bits only). Sending (QCoreApplication::sendEvent) runs the receiver at once;
// posting (postEvent) runs it after the current handler has returned.
struct PrivateMessages {
    static QEvent::Type execute();  // "WM_PRIVATE_CMD_EXE", to the main window
    static QEvent::Type reply();    // "WM_PRIVATE_CMD_REPLY", to the Command window
    static QEvent::Type problem();  // "WM_PRIVATE_CMD_PROBLEM", the Command window to itself
};

class CodeEvent final : public QEvent {
public:
    CodeEvent(QEvent::Type type, int code) : QEvent(type), code_(code) {}
    int code() const { return code_; }
    int lowCode() const { return code_ & 0xFFFF; }

private:
    int code_;
};

// Sends (synchronously) or posts a private message with its code.
inline void SendCode(QObject* receiver, QEvent::Type type, int code)
{
    CodeEvent event(type, code);
    QCoreApplication::sendEvent(receiver, &event);
}
inline void PostCode(QObject* receiver, QEvent::Type type, int code)
{
    QCoreApplication::postEvent(receiver, new CodeEvent(type, code));
}

} // namespace skyvane
