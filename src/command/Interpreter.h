#pragma once

#include <string>
#include <string_view>

namespace skyvane {

struct AppContext;
class ImageListTree;

// Runs one command line and returns its reply (five leading blanks; several lines joined
// with CR LF, none at the end). Recognition is case-sensitive and nothing is trimmed.
// Failures come back as reply text or through the message sink; there is no other result.
// A command whose memory cannot be had shows "Not enough memory for an image of W x H
// pixels." (Image A's size) and replies "     not enough memory !".
std::string ExecuteCommand(AppContext& context, const std::string& command);

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
