#include "processing/ListOutput.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Paths.h"

namespace skyvane {

namespace {

// Room left in a 255-byte name for a "-NNNN" suffix.
constexpr std::size_t MaxBaseNameBytes = 240;
constexpr int MaxAttempts = 100000;

// The hidden folder results are written into: ".skyvane-result-" + 8 letters or digits +
// ".tmp", 28 bytes whatever the result folder's name.
constexpr std::string_view WorkingPrefix = ".skyvane-result-";
constexpr std::string_view WorkingSuffix = ".tmp";
constexpr std::size_t RandomLength = 8;

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

std::string Numbered(std::string_view base, int attempt)
{
    std::string name(base);
    if (attempt > 1) {
        name.push_back('-');
        name.append(std::to_string(attempt));
    }
    return name;
}

bool Exists(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 || errno != ENOENT;
}

std::string WorkingName()
{
    static std::atomic<std::uint64_t> counter{0};
    constexpr char Letters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::uint64_t x = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull; // splitmix64 finaliser
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    std::string name(WorkingPrefix);
    for (std::size_t i = 0; i < RandomLength; ++i) {
        name += Letters[x % 62];
        x /= 62;
    }
    name += WorkingSuffix;
    return name;
}

bool IsWorkingName(std::string_view name)
{
    return name.size() == WorkingPrefix.size() + RandomLength + WorkingSuffix.size() && name.substr(0, WorkingPrefix.size()) == WorkingPrefix &&
           name.substr(name.size() - WorkingSuffix.size()) == WorkingSuffix;
}

// Removes the files in the folder open as fd (results, and what an interrupted file
// replacement left), then the folder itself, when name in parent still is that folder.
void RemoveWorkingFolder(const std::string& parent, const std::string& name, int fd)
{
    const int listing = ::dup(fd);
    if (listing < 0)
        return;
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return;
    }
    ::rewinddir(dir);
    std::vector<std::string> files;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view entryName = entry->d_name;
        if (entryName != "." && entryName != "..")
            files.emplace_back(entryName);
    }
    ::closedir(dir);
    for (const std::string& file : files)
        ::unlinkat(fd, file.c_str(), 0); // a folder inside (never ours) stays, and with it this one
    const std::string path = JoinPath(parent, name);
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino && named.st_dev == opened.st_dev)
        ::rmdir(path.c_str());
}

// Removes the hidden folders of jobs that are gone: a living job holds a lock on its own.
void RemoveAbandonedFolders(const std::string& parent)
{
    DIR* dir = ::opendir(parent.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> found;
    while (const dirent* entry = ::readdir(dir)) {
        if (IsWorkingName(entry->d_name))
            found.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : found) {
        const int fd = ::open(JoinPath(parent, name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            RemoveWorkingFolder(parent, name, fd);
        ::close(fd);
    }
}

// Gives the folder at from the name to, unless something has that name already (EEXIST).
int RenameWithoutReplacing(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno == ENOTEMPTY ? EEXIST : errno;
    // A file system that cannot refuse to replace: a rename would replace an empty folder
    // of that name, so a name that is there is left alone.
    if (Exists(to))
        return EEXIST;
    if (::rename(from.c_str(), to.c_str()) == 0)
        return 0;
    return errno == ENOTEMPTY ? EEXIST : errno;
}

bool IsCompressionSuffix(std::string_view suffix)
{
    return suffix.size() == 3 && suffix[0] == '.' && (suffix[1] == 'g' || suffix[1] == 'G' || suffix[1] == 'f' || suffix[1] == 'F') &&
           (suffix[2] == 'z' || suffix[2] == 'Z');
}

} // namespace

std::vector<std::string> ResultFileNames(const std::vector<std::string>& sources)
{
    constexpr std::size_t MaxNameBytes = 255;
    std::vector<std::string> names;
    names.reserve(sources.size());
    std::unordered_set<std::string> taken;
    for (const std::string& source : sources) {
        std::string name = PathFileName(source);
        if (name.size() > 3 && IsCompressionSuffix(std::string_view(name).substr(name.size() - 3))) {
            const bool tiled = name[name.size() - 2] == 'f' || name[name.size() - 2] == 'F';
            name.resize(name.size() - 3);
            if (tiled && name.find('.') == std::string::npos)
                name.append(".fit"); // "m31.fz": a FITS name all the same
        }
        if (taken.count(name) != 0) {
            const std::size_t dot = name.rfind('.');
            const std::string extension = dot != std::string::npos && dot > 0 ? name.substr(dot) : std::string();
            const std::string stem = name.substr(0, name.size() - extension.size());
            for (int n = 2;; ++n) {
                std::string number(1, '-');
                number.append(std::to_string(n));
                const std::size_t room = MaxNameBytes > extension.size() + number.size() ? MaxNameBytes - extension.size() - number.size() : 0;
                std::string candidate = CutName(stem, room);
                candidate.append(number);
                candidate.append(extension);
                if (taken.count(candidate) == 0) {
                    name = std::move(candidate);
                    break;
                }
            }
        }
        taken.insert(name);
        names.push_back(std::move(name));
    }
    return names;
}

void AppendHistory(HeaderCards& cards, std::string_view text)
{
    constexpr std::size_t Room = HeaderCards::CardLength - 8; // after "HISTORY "
    std::string printable;
    printable.reserve(text.size());
    for (const char c : text)
        printable += (c >= 32 && c <= 126) ? c : '?';
    std::string_view rest = printable;
    do {
        std::size_t take = std::min(Room, rest.size());
        if (take < rest.size()) {
            // Broken after the last word that ends within the card, when there is one.
            const std::size_t blank = rest.substr(0, take + 1).rfind(' ');
            if (blank != std::string_view::npos && blank > 0)
                take = blank;
        }
        cards.append("HISTORY " + std::string(rest.substr(0, take)));
        rest.remove_prefix(take);
        if (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1); // the blank the line was broken at
    } while (!rest.empty());
}

ListOutput::ListOutput(ListOutput&& other) noexcept
{
    *this = std::move(other);
}

ListOutput& ListOutput::operator=(ListOutput&& other) noexcept
{
    if (this != &other) {
        discard();
        const std::lock_guard<std::mutex> lock(other.lock_);
        parent_ = std::move(other.parent_);
        base_ = std::move(other.base_);
        folder_ = std::move(other.folder_);
        working_ = std::move(other.working_);
        workingLock_ = other.workingLock_;
        names_ = std::move(other.names_);
        written_ = std::move(other.written_);
        other.parent_.clear();
        other.base_.clear();
        other.folder_.clear();
        other.working_.clear();
        other.workingLock_ = -1;
        other.names_.clear();
        other.written_.clear();
    }
    return *this;
}

ListOutput::~ListOutput()
{
    discard();
}

int ListOutput::create(const std::string& parent, std::string_view name, const std::vector<std::string>& sources)
{
    discard();
    if (parent.empty())
        return ENOENT; // a list without a folder: never the root of the file system
    RemoveAbandonedFolders(parent);
    std::string working;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        working = WorkingName();
        const std::string path = JoinPath(parent, working);
        if (::mkdir(path.c_str(), 0777) != 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            ::rmdir(path.c_str());
            return error;
        }
        ::flock(fd, LOCK_EX);
        // Another job's clean-up may have taken the folder between mkdir and the lock.
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) != 0 || ::lstat(path.c_str(), &named) != 0 || named.st_ino != opened.st_ino || named.st_dev != opened.st_dev) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0)
        return EEXIST;
    parent_ = parent;
    base_ = CutName(name, MaxBaseNameBytes);
    working_ = JoinPath(parent, working);
    workingLock_ = fd;
    names_ = ResultFileNames(sources);
    written_.clear();
    folder_ = JoinPath(parent_, base_);
    for (int attempt = 1; attempt <= MaxAttempts; ++attempt) {
        std::string candidate = JoinPath(parent_, Numbered(base_, attempt));
        if (!Exists(candidate)) {
            folder_ = std::move(candidate);
            break;
        }
    }
    return 0;
}

std::string ListOutput::filePath(std::size_t position) const
{
    return position < names_.size() ? JoinPath(folder_, names_[position]) : folder_;
}

FitsError ListOutput::writeFrame(std::size_t position, ImageRecord& result, std::string_view history)
{
    AppendHistory(result.cards, history);
    return write(position, [&](const std::string& path) { return saveFloat32Grid(result.cards, result.grid, path, Durability::Unsynced); });
}

FitsError ListOutput::writeFrame(std::size_t position, HeaderCards cards, ImageSize size, const RowSource& rows,
                                 std::string_view history)
{
    AppendHistory(cards, history);
    return write(position, [&](const std::string& path) { return saveFloat32Rows(cards, size, rows, path, Durability::Unsynced); });
}

FitsError ListOutput::write(std::size_t position, const std::function<FitsError(const std::string&)>& save)
{
    if (working_.empty() || position >= names_.size())
        return FitsError::Unwritable;
    if (const FitsError error = save(JoinPath(working_, names_[position])); error != FitsError::None)
        return error;
    const std::lock_guard<std::mutex> lock(lock_);
    written_.push_back(position);
    return FitsError::None;
}

std::vector<std::string> ListOutput::fileNames() const
{
    std::vector<std::size_t> written;
    {
        const std::lock_guard<std::mutex> lock(lock_);
        written = written_;
    }
    std::sort(written.begin(), written.end());
    std::vector<std::string> names;
    names.reserve(written.size());
    for (const std::size_t position : written)
        names.push_back(names_[position]);
    return names;
}

int ListOutput::fileCount() const
{
    const std::lock_guard<std::mutex> lock(lock_);
    return static_cast<int>(written_.size());
}

int ListOutput::keep()
{
    if (working_.empty())
        return 0;
    int error = EEXIST;
    for (int attempt = 1; attempt <= MaxAttempts && error == EEXIST; ++attempt) {
        std::string candidate = JoinPath(parent_, Numbered(base_, attempt));
        error = RenameWithoutReplacing(working_, candidate);
        if (error == 0)
            folder_ = std::move(candidate);
    }
    if (error != 0) {
        discard();
        return error;
    }
    working_.clear();
    release();
    return 0;
}

void ListOutput::discard()
{
    if (working_.empty())
        return;
    RemoveWorkingFolder(parent_, PathFileName(working_), workingLock_);
    working_.clear();
    release();
    const std::lock_guard<std::mutex> lock(lock_);
    written_.clear();
}

void ListOutput::release()
{
    if (workingLock_ >= 0)
        ::close(workingLock_);
    workingLock_ = -1;
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
