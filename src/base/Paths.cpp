#include "base/Paths.h"

namespace skyvane {

namespace {

// Index of the last "/" or "\", or npos.
std::size_t lastSeparator(std::string_view path)
{
    return path.find_last_of("/\\");
}

} // namespace

std::string PathFileName(std::string_view path)
{
    const std::size_t at = lastSeparator(path);
    return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::string PathFolder(std::string_view path)
{
    const std::size_t at = lastSeparator(path);
    return std::string(at == std::string_view::npos ? path : path.substr(0, at));
}

std::string MainWindowTitle(std::string_view path)
{
    std::string title(ApplicationTitle);
    if (!path.empty()) {
        title += " - [";
        title += path;
        title += "]";
    }
    return title;
}

std::string JoinPath(std::string_view folder, std::string_view name)
{
    std::string path(folder);
    path += '/';
    path += name;
    return path;
}

} // namespace skyvane
