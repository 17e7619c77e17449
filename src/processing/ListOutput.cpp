#include "processing/ListOutput.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "base/Paths.h"

namespace skyvane {

namespace {

// Room left in a 255-byte name for a "-NNNN" suffix.
constexpr std::size_t MaxBaseNameBytes = 240;
constexpr int MaxAttempts = 100000;

// One card of text: printable ASCII only (a file name may hold anything), at most 80
// characters.
std::string HistoryCard(std::string_view history)
{
    std::string card = "HISTORY ";
    for (const char c : history) {
        if (card.size() >= static_cast<std::size_t>(HeaderCards::CardLength))
            break;
        card += (c >= 32 && c <= 126) ? c : '?';
    }
    return card;
}

// The name without a trailing part of a cut UTF-8 character.
std::string CutName(std::string_view name, std::size_t bytes)
{
    if (name.size() <= bytes)
        return std::string(name);
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return std::string(name.substr(0, end));
}

} // namespace

ListOutput::ListOutput(ListOutput&& other) noexcept
{
    *this = std::move(other);
}

ListOutput& ListOutput::operator=(ListOutput&& other) noexcept
{
    if (this != &other) {
        discard();
        const std::lock_guard<std::mutex> lock(other.lock_);
        folder_ = std::move(other.folder_);
        kept_ = other.kept_;
        written_ = std::move(other.written_);
        other.folder_.clear();
        other.written_.clear();
    }
    return *this;
}

ListOutput::~ListOutput()
{
    discard();
}

int ListOutput::create(const std::string& parent, std::string_view name)
{
    if (parent.empty())
        return ENOENT; // a list without a folder: never the root of the file system
    const std::string base = CutName(name, MaxBaseNameBytes);
    for (int attempt = 1; attempt <= MaxAttempts; ++attempt) {
        std::string candidate = base;
        if (attempt > 1) {
            candidate.push_back('-');
            candidate.append(std::to_string(attempt));
        }
        const std::string path = JoinPath(parent, candidate);
        if (::mkdir(path.c_str(), 0777) == 0) {
            discard();
            folder_ = path;
            kept_ = false;
            written_.clear();
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

FitsError ListOutput::writeFrame(std::size_t position, const std::string& inputPath, ImageRecord& result,
                                 std::string_view history)
{
    result.cards.append(HistoryCard(history));
    return write(position, inputPath, result.cards, GridSize(result.grid), GridRows(result.grid));
}

FitsError ListOutput::writeFrame(std::size_t position, const std::string& inputPath, HeaderCards cards, ImageSize size,
                                 const RowSource& rows, std::string_view history)
{
    cards.append(HistoryCard(history));
    return write(position, inputPath, cards, size, rows);
}

FitsError ListOutput::write(std::size_t position, const std::string& inputPath, const HeaderCards& cards, ImageSize size,
                            const RowSource& rows)
{
    const std::string name = PathFileName(inputPath);
    if (const FitsError error = saveFloat32Rows(cards, size, rows, JoinPath(folder_, name), Durability::Unsynced);
        error != FitsError::None)
        return error;
    const std::lock_guard<std::mutex> lock(lock_);
    written_.emplace_back(position, name);
    return FitsError::None;
}

std::vector<std::string> ListOutput::fileNames() const
{
    std::vector<std::pair<std::size_t, std::string>> written;
    {
        const std::lock_guard<std::mutex> lock(lock_);
        written = written_;
    }
    std::stable_sort(written.begin(), written.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> names;
    names.reserve(written.size());
    for (auto& entry : written)
        names.push_back(std::move(entry.second));
    return names;
}

int ListOutput::fileCount() const
{
    const std::lock_guard<std::mutex> lock(lock_);
    return static_cast<int>(written_.size());
}

void ListOutput::discard()
{
    if (kept_ || folder_.empty())
        return;
    const std::lock_guard<std::mutex> lock(lock_);
    for (const auto& entry : written_)
        ::unlink(JoinPath(folder_, entry.second).c_str());
    written_.clear();
    ::rmdir(folder_.c_str()); // fails, keeping it, when someone else put something there
    folder_.clear();
}

std::string ListOutputName(std::string_view operation, std::string_view operand)
{
    std::string name(operation);
    if (!operand.empty()) {
        name += '-';
        for (const char c : operand)
            name += c == '/' ? '_' : c;
    }
    return name;
}

std::string OperandName(std::string_view path)
{
    std::string name = PathFileName(path);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

TreeItem AddOutputList(ImageListTree& lists, const std::string& folder, const std::vector<std::string>& names)
{
    const TreeItem list = lists.NewFolderList(folder);
    for (const std::string& name : names)
        (void)lists.InsertFile(list, name);
    lists.Expand(list);
    return list;
}

} // namespace skyvane
