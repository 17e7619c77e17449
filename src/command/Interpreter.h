#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace skyvane {

struct AppContext;
class Feedback;
class ImageListTree;

// Runs one command line and returns its reply (five leading blanks; several lines joined
// with CR LF, none at the end). Recognition is case-sensitive and nothing is trimmed.
// Failures come back as reply text or through the context's feedback; there is no other
// result. A command whose memory cannot be had shows "Not enough memory for an image of
// W x H pixels." (Image A's size) and replies "     not enough memory !".
// The three steps of CommandRun, one after the other; the long part through the context's
// LongWorkRunner when it has one.
std::string ExecuteCommand(AppContext& context, const std::string& command);

// One command from its text to its reply, in three steps, so that the long part of a
// command can run away from the thread that owns the context:
//  - start reads the context and does everything the command does at once: all of most
//    commands, and for a co-addition the resolution of the list into frame paths;
//  - run is the long part (a co-addition reads and combines its frames there): it works
//    on what start took from the context and reports through feedback, and touches
//    nothing else, so it may run on any thread; commands without a long part have none;
//  - finish applies the long part's result to the context (Image A and its cards), does
//    the redraw the command calls for, and returns the reply. Short.
// start and finish must run where the context is used. Each step may throw
// std::bad_alloc, with whatever the command had not yet changed left as it was.
class CommandRun {
public:
    CommandRun(CommandRun&& other) noexcept;
    CommandRun& operator=(CommandRun&& other) noexcept;
    ~CommandRun();

    static CommandRun start(AppContext& context, const std::string& command);
    bool hasLongPart() const;
    // What the long part is called ("co-addition"), from the command's row; it names the
    // work in the progress dialog and in the reply when the user stops it
    // ("     co-addition cancelled").
    std::string_view longWork() const;
    void run(Feedback& feedback);
    std::string finish(AppContext& context);

private:
    struct State;
    explicit CommandRun(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// Text after the first "(" (everything when none), cut before the next ")" (kept whole
// when none). Blanks stay.
std::string ParenthesisArgument(std::string_view text);
// The same with "[" and "]".
std::string BracketArgument(std::string_view text);
// Token n (from 0) of blank-separated text; the last token when there are fewer.
std::string CommandToken(std::string_view text, int n);
// The argument unchanged when it holds "/" or "\"; otherwise ".fit" is appended when it
// has no ".", and the result is workingDirectory + "/" + argument.
std::string ResolveImagePath(std::string_view argument, std::string_view workingDirectory);
// The position of the last list whose bracketed name equals name, 0 when none does.
int FindListByName(const ImageListTree& lists, std::string_view name);

} // namespace skyvane
