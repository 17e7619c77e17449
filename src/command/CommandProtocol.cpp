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
