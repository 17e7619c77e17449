#pragma once

#include <string>

namespace skyvane {

// How the program reaches the user while it works. Messages now: the desktop program
// shows each as a modal box owned by its main window (title "Error", warning icon, OK
// button); the batch tool writes "Error: " + text to standard error; tests record the
// texts. Long steps (co-addition over many frames, later list arithmetic and
// registration) are handed the feedback of the run, through which they also tell their
// progress and learn of the user's wish to stop. A text's line breaks ("\n") are the
// program's own; a piece from outside put into a text (a name, a card, a library's
// report) must not bring one of its own (PrintableText makes it one line).
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

    // Long steps report what they do now ("Reading frame 37 of 300") and the fraction of
    // the step done, 0 to 1, and look between frames or bands whether the user has asked
    // them to stop; a step that stops leaves everything as it was. Both may be called from
    // the thread the long step runs on; a feedback without a place for progress ignores it,
    // and one without a way to stop never asks.
    // A notice that is no failure (the desktop program: a box with the information icon;
    // the batch tool: a "Warning: " line on standard error, which does not change its exit
    // status). A feedback without a place of its own for notices shows it as a message.
    virtual void showNotice(const std::string& text) { showError(text); }

    virtual void showProgress(const std::string& text, double fraction)
    {
        (void)text;
        (void)fraction;
    }
    virtual bool cancelRequested() const { return false; }
};

} // namespace skyvane
