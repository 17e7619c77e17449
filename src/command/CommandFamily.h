#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/Feedback.h"
#include "context/AppContext.h"
#include "processing/Arithmetic.h"

// What the handlers of a family of commands are made of: the interpreter's command table
// (Interpreter.cpp) names the handlers, the families write them in files of their own
// beside it. For the command folder's own files only.

namespace skyvane {

// Every reply starts with these five blanks; lines of a multi-line reply are joined with
// CR LF and the reply has none at its end.
inline constexpr std::string_view Indent = "     ";
inline constexpr std::string_view LineBreak = "\r\n";

// What a command did to Image A, and so what the display has to do.
enum class Redraw {
    None,
    Picture,  // Image A's values changed, its size did not: the picture is recomputed
    NewImage, // Image A was replaced (the rows of its picture were prepared): built, painted
    Clear,    // Image A is gone, and its picture with it
};

// How a command ended, before finish redraws and replies.
struct Outcome {
    std::string reply;     // empty: the reply of the command's row, then moreLines
    std::string moreLines; // lines after the row's reply, each starting with CR LF
    Redraw redraw = Redraw::None;
    HeaderOptionResult headerOption = HeaderOptionResult::Kept; // told once redrawn
    bool cancelled = false; // the long part stopped at the user's wish: nothing changed
};

// The long part of a command (see CommandRun).
class LongPart {
public:
    virtual ~LongPart() = default;
    virtual void run(Feedback& feedback) = 0;
    virtual Outcome apply(AppContext& context) = 0;
};

// What a handler did at once, and the long part it leaves, if any.
struct Started {
    Outcome outcome;
    std::unique_ptr<LongPart> longPart;
};

inline Started WithReply(std::string reply)
{
    Started started;
    started.outcome.reply = std::move(reply);
    return started;
}

inline Started WithRedraw(Redraw redraw)
{
    Started started;
    started.outcome.redraw = redraw;
    return started;
}

// A recognised command line: the whole text and what follows the literal of its row.
struct CommandLine {
    const std::string& text;
    std::string_view argument;
};

} // namespace skyvane
