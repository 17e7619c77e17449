#pragma once

#include <string>

namespace skyvane {

// The one way the core tells the user about a failure. The desktop program shows a
// modal box owned by its main window (title "Error", warning icon, OK button); the batch
// tool writes "Error: " + text to standard error; tests record the texts.
class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Returns when the user has acknowledged the message.
    virtual void showError(const std::string& text) = 0;
    // A message about one file: the exact text, and the path of the file it concerns, which
    // the desktop program shows under the text and the batch tool on a line of its own.
    // A sink that has no place for the path shows the text alone.
    virtual void showFileError(const std::string& text, const std::string& path)
    {
        (void)path;
        showError(text);
    }
};

// The three parts of the main window's status bar (0, 1, 2).
class StatusSink {
public:
    virtual ~StatusSink() = default;
    virtual void setStatusText(int part, const std::string& text) = 0;
};

// A status bar nobody looks at (batch tool, most tests).
class NullStatusSink final : public StatusSink {
public:
    void setStatusText(int, const std::string&) override {}
};

} // namespace skyvane
