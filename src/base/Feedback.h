#pragma once

#include <string>

namespace skyvane {

// How the program reaches the user while it works. Messages now: the desktop program
// shows each as a modal box owned by its main window (title "Error", warning icon, OK
// button); the batch tool writes "Error: " + text to standard error; tests record the
// texts. Long steps (co-addition over many frames, later list arithmetic and
// registration) are handed the feedback of the run; this is where their progress (a text
// and the fraction done) and the user's wish to stop will be told too.
class Feedback {
public:
    virtual ~Feedback() = default;
    // Returns when the user has acknowledged the message.
    virtual void showError(const std::string& text) = 0;
    // A message about one file: the exact text, and the path of the file it concerns, which
    // the desktop program shows under the text and the batch tool on a line of its own.
    // A feedback that has no place for the path shows the text alone.
    virtual void showFileError(const std::string& text, const std::string& path)
    {
        (void)path;
        showError(text);
    }
};

} // namespace skyvane
