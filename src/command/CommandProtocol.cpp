#include "command/CommandProtocol.h"

#include "command/Interpreter.h"
#include "context/AppContext.h"

namespace skyvane {

void HandleExecuteMessage(AppContext& context, int code, CommandWindowLink& commandWindow)
{
    if ((code & 0xFFFF) != CodeExecute)
        return;
    if (context.CommandSlot.empty()) {
        commandWindow.sendReply(CodeEmpty);
        return;
    }
    // The interpreter gets its own copy: CommandSlot may be written again while a message
    // box of the command is open, and the running command must not change under it.
    const std::string command = context.CommandSlot;
    context.ReplySlot = ExecuteCommand(context, command);
    commandWindow.sendReply(CodeReplied);
}

void SubmitCommand(AppContext& context, const std::string& text, CommandWindowLink& commandWindow)
{
    SubmitCommand(context, text, commandWindow, [&context, &commandWindow] { HandleExecuteMessage(context, CodeExecute, commandWindow); });
}

void SubmitCommand(AppContext& context, const std::string& text, CommandWindowLink& commandWindow, const std::function<void()>& execute)
{
    context.CommandSlot = text;
    commandWindow.sendReply(CodeEcho);
    if (execute)
        execute();
}

std::string TypedCommand(const std::string& history)
{
    const std::size_t lastBreak = history.rfind('\n');
    const std::size_t promptStart = lastBreak == std::string::npos ? 0 : lastBreak + 1;
    if (promptStart + 1 >= history.size())
        return {};
    return history.substr(promptStart + 1);
}

std::string HistoryAfterReply(const std::string& history, int code, const std::string& commandSlot, const std::string& replySlot)
{
    switch (code & 0xFFFF) {
    case CodeReplied:
        return history + "\r\n" + replySlot + "\r\n>";
    case CodeEmpty:
        return history + "\r\n>";
    case CodeEcho:
        return history + commandSlot;
    default:
        return history;
    }
}

} // namespace skyvane
