#pragma once

#include <string>

namespace skyvane {

struct AppContext;

// Codes carried by the three private messages (wParam; receivers look at the low 16 bits).
enum CommandCode : int {
    CodeExecute = 101,    // WM_PRIVATE_CMD_EXE: execute CommandSlot
    CodeReplied = 102,    // WM_PRIVATE_CMD_REPLY: a command ran, its reply is in ReplySlot
    CodeEmpty = 103,      // WM_PRIVATE_CMD_REPLY: the command was empty, nothing ran
    CodeEcho = 104,       // WM_PRIVATE_CMD_REPLY: echo the command in CommandSlot
    CodeRestore = 201,    // WM_PRIVATE_CMD_PROBLEM: restore the saved history text
};

inline constexpr const char* ExecuteMessageName = "WM_PRIVATE_CMD_EXE";
inline constexpr const char* ReplyMessageName = "WM_PRIVATE_CMD_REPLY";
inline constexpr const char* ProblemMessageName = "WM_PRIVATE_CMD_PROBLEM";

// The Command window as the main window sees it: WM_PRIVATE_CMD_REPLY sent with a code.
class CommandWindowLink {
public:
    virtual ~CommandWindowLink() = default;
    virtual void sendReply(int code) = 0;
};

// The main window's handling of WM_PRIVATE_CMD_EXE: codes other than 101 (low 16 bits)
// are ignored. An empty CommandSlot sends 103 without calling the interpreter; otherwise
// the reply goes to ReplySlot and 102 is sent.
void HandleExecuteMessage(AppContext& context, int code, CommandWindowLink& commandWindow);

// The Command window's new history text for a reply code (102, 103, 104), given the
// current text; other codes leave the text unchanged.
std::string HistoryAfterReply(const std::string& history, int code, const std::string& commandSlot, const std::string& replySlot);

} // namespace skyvane
