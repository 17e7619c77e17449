#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "command/CommandRecall.h"

namespace skyvane {
namespace {

using Line = std::optional<std::string>;

TEST(CommandRecall, UpStepsBackDownForwardAndPastTheNewestGivesTheTypedLine)
{
    CommandRecall recall;
    EXPECT_EQ(recall.previous("st"), Line{}) << "nothing to recall yet";
    for (const char* command : {"stat", "", "add 2.5", "size"})
        recall.add(command);
    EXPECT_EQ(recall.size(), 3u) << "empty commands are not kept";

    EXPECT_EQ(recall.previous("me"), Line{"size"});
    EXPECT_EQ(recall.previous("size"), Line{"add 2.5"});
    EXPECT_EQ(recall.previous("add 2.5"), Line{"stat"});
    EXPECT_EQ(recall.previous("stat"), Line{}) << "the oldest stays";
    EXPECT_EQ(recall.next(), Line{"add 2.5"});
    EXPECT_EQ(recall.next(), Line{"size"});
    EXPECT_EQ(recall.next(), Line{"me"}) << "the line typed before the first Up";
    EXPECT_EQ(recall.next(), Line{});
    // The typed line is taken anew whenever the stepping leaves it.
    EXPECT_EQ(recall.previous("med"), Line{"size"});
    EXPECT_EQ(recall.next(), Line{"med"});
    // A command run ends the stepping: Up starts from the newest again.
    EXPECT_EQ(recall.previous("med"), Line{"size"});
    EXPECT_EQ(recall.previous("size"), Line{"add 2.5"});
    recall.add("add 2.5");
    EXPECT_EQ(recall.next(), Line{});
    EXPECT_EQ(recall.previous(""), Line{"add 2.5"});
}

} // namespace
} // namespace skyvane
