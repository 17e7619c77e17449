#include "image/FitsLibrary.h"

#include <fitsio.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/PrintableText.h"

namespace skyvane::fits {

std::mutex memoryFileTable;

int BandRows(int width, int height)
{
    const long rows = std::max<long>(8, BandValues / std::max(1, width) / 8 * 8);
    return static_cast<int>(std::min<long>(rows, std::max(1, height)));
}

namespace {

// The names the library was given for the files this thread opened last, with the paths
// they stand for, newest first: its reports name "/proc/self/fd/7", the user wants the
// path. Reports follow the failing call on the same thread.
struct OpenedName {
    std::string name;
    std::string path;
};
thread_local std::vector<OpenedName> openedNames;

} // namespace

void RememberOpenedName(const std::string& name, const std::string& path)
{
    constexpr std::size_t Kept = 8;
    openedNames.insert(openedNames.begin(), OpenedName{name, path});
    if (openedNames.size() > Kept)
        openedNames.pop_back();
}

namespace {

// A line of the library's report with the names it was given replaced by their paths.
std::string WithPaths(std::string line)
{
    for (const OpenedName& opened : openedNames) {
        const std::size_t at = line.find(opened.name);
        const std::size_t end = at + opened.name.size();
        // Whole names only: "/proc/self/fd/1" must not match the start of ".../fd/12".
        if (at != std::string::npos && (end == line.size() || line[end] < '0' || line[end] > '9')) {
            line.replace(at, opened.name.size(), opened.path);
            break;
        }
    }
    return line;
}

} // namespace

void ReportFitsError(int status)
{
    // The library's report, drained here rather than printed by the library, so that the
    // bytes of hostile files (names, cards) reach the terminal escaped.
    if (status == 0)
        return;
    char text[FLEN_STATUS] = {};
    ffgerr(status, text);
    std::fprintf(stderr, "\nFITSIO status = %d: %s\n", status, PrintableText(text).c_str());
    char message[FLEN_ERRMSG] = {};
    while (ffgmsg(message) > 0)
        std::fprintf(stderr, "%s\n", PrintableText(WithPaths(message)).c_str());
}

} // namespace skyvane::fits
