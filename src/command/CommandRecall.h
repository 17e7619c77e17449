#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace skyvane {

// The commands of one run, recalled at the Command window's prompt with Up and Down as a
// shell recalls them. Up steps back from the newest command, Down forward again; one step
// past the newest gives back the line that was being typed when the stepping began.
class CommandRecall {
public:
    // A command was run. Empty ones are not kept. Any stepping ends.
    void add(const std::string& command);

    // Up: the command before the one shown, starting with the newest; typed is the input
    // line as it stands, kept for when Down comes back past the newest. Nothing when no
    // command lies further back.
    std::optional<std::string> previous(const std::string& typed);
    // Down: the command after the one shown, then the kept line. Nothing when Up has not
    // been used since the last command.
    std::optional<std::string> next();

    std::size_t size() const { return commands_.size(); }

private:
    std::vector<std::string> commands_;
    std::size_t shown_ = 0;    // index of the command shown; commands_.size() when none is
    bool stepping_ = false;
    std::string typed_;        // the input line when the stepping began
};

} // namespace skyvane
