#pragma once

#include <string>
#include <string_view>

#include "Version.h"

namespace skyvane {

inline constexpr std::string_view ApplicationTitle = "Skyvane v" SKYVANE_VERSION;

// The text after the last "/" or "\"; the whole path when it has neither.
std::string PathFileName(std::string_view path);
// The text before the last "/" or "\"; the whole path when it has neither.
std::string PathFolder(std::string_view path);
// "Skyvane v1.7 - [" + path + "]", or "Skyvane v1.7" for an empty path.
std::string MainWindowTitle(std::string_view path);
// folder + "/" + name, the way every folder and file name is joined.
std::string JoinPath(std::string_view folder, std::string_view name);

} // namespace skyvane
