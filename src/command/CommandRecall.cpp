#include "command/CommandRecall.h"

namespace skyvane {

void CommandRecall::add(const std::string& command)
{
    if (!command.empty())
        commands_.push_back(command);
    stepping_ = false;
    typed_.clear();
}

std::optional<std::string> CommandRecall::previous(const std::string& typed)
{
    // Starting, or leaving the typed line again: that line, as it stands now, is kept.
    if (!stepping_ || shown_ == commands_.size()) {
        stepping_ = true;
        shown_ = commands_.size();
        typed_ = typed;
    }
    if (shown_ == 0)
        return std::nullopt;
    --shown_;
    return commands_[shown_];
}

std::optional<std::string> CommandRecall::next()
{
    if (!stepping_ || shown_ >= commands_.size())
        return std::nullopt;
    ++shown_;
    if (shown_ == commands_.size())
        return typed_;
    return commands_[shown_];
}

} // namespace skyvane
