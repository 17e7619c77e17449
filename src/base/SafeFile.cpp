#include "base/SafeFile.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skyvane {

namespace {

std::atomic<bool> unnamedAllowed{true};

// Temporary files are named ".skyvane-" + 16 hex digits of a hash of the target's name +
// "-" + 8 random letters or digits + ".tmp": 38 bytes whatever the target's name, and
// recognisably ours and the target's.
constexpr std::string_view TempPrefix = ".skyvane-";
constexpr std::string_view TempSuffix = ".tmp";
constexpr std::size_t HashDigits = 16;
constexpr std::size_t RandomLength = 8;
constexpr int MaxLinkHops = 40;

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Keeps the errno of a failed step through the clean-up that follows it.
struct SavedErrno {
    int value = errno != 0 ? errno : EIO;
};

std::uint64_t NameHash(std::string_view name)
{
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string TemporaryPrefix(std::string_view target)
{
    constexpr char Hex[] = "0123456789abcdef";
    std::string prefix(TempPrefix);
    const std::uint64_t hash = NameHash(target);
    for (int shift = 60; shift >= 0; shift -= 4)
        prefix += Hex[(hash >> shift) & 0xF];
    prefix += '-';
    return prefix;
}

bool IsAlphanumeric(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string TemporaryName(std::string_view target)
{
    static std::atomic<std::uint64_t> counter{0};
    constexpr char Letters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::uint64_t x = (static_cast<std::uint64_t>(::getpid()) << 32) ^
                      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    // splitmix64 finaliser: neighbouring inputs give unrelated names.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    std::string name = TemporaryPrefix(target);
    for (std::size_t i = 0; i < RandomLength; ++i) {
        name += Letters[x % 62];
        x /= 62;
    }
    name += TempSuffix;
    return name;
}

bool UnnamedFilesUsable()
{
    // Linking an unnamed file into its folder goes through its /proc entry.
    static const bool proc = ::access("/proc/self/fd", X_OK) == 0;
    return proc && unnamedAllowed.load();
}

// Removes what earlier replacements of target left behind, unless a living writer still
// holds it: every writer keeps a lock on its temporary file while it exists.
void RemoveLeftovers(int folder, std::string_view target)
{
    const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return;
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return;
    }
    std::vector<std::string> found;
    while (const dirent* entry = ::readdir(dir)) {
        if (IsTemporaryNameFor(entry->d_name, target))
            found.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const std::string& name : found) {
        const Descriptor fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat opened {};
        if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
            continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
            continue; // its writer is alive
        struct stat named {};
        if (::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == opened.st_ino &&
            named.st_dev == opened.st_dev)
            ::unlinkat(folder, name.c_str(), 0);
    }
}

// A new empty file in folder, locked, open for reading and writing. Unnamed where the file
// system has them (temporaryName stays empty), otherwise under a fresh temporary name.
int CreateTemporary(int folder, std::string_view target, std::string& temporaryName)
{
    temporaryName.clear();
    if (UnnamedFilesUsable()) {
        const int fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::flock(fd, LOCK_EX);
            return fd;
        }
        // Not offered here (old kernel, file system without them): named files instead.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT)
            return -1;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryName = TemporaryName(target);
        const int fd = ::openat(folder, temporaryName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::flock(fd, LOCK_EX);
            return fd;
        }
        if (errno != EEXIST)
            break;
    }
    temporaryName.clear();
    return -1;
}

// Gives the finished file its final name. The unnamed file of a new target is linked in
// under that name directly (which never replaces anything); otherwise it goes through a
// temporary name and one rename.
bool PlaceFile(int folder, int fd, std::string& temporaryName, const std::string& name, bool targetExists)
{
    if (temporaryName.empty()) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (!targetExists && ::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (!targetExists && errno != EEXIST)
            return false;
        bool linked = false;
        for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
            temporaryName = TemporaryName(name);
            linked = ::linkat(AT_FDCWD, self.c_str(), folder, temporaryName.c_str(), AT_SYMLINK_FOLLOW) == 0;
            if (!linked && errno != EEXIST)
                break;
        }
        if (!linked) {
            temporaryName.clear();
            return false;
        }
    }
    if (::renameat(folder, temporaryName.c_str(), folder, name.c_str()) != 0)
        return false;
    temporaryName.clear();
    return true;
}

} // namespace

bool FollowLinks(std::string& path)
{
    for (int hop = 0; hop < MaxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0)
            return true; // nothing there (yet): the open of its folder tells the rest
        if (!S_ISLNK(info.st_mode))
            return true;
        std::vector<char> buffer(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1);
        const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0)
            return false;
        if (static_cast<std::size_t>(length) >= buffer.size())
            continue; // grew meanwhile: look again
        std::string link(buffer.data(), static_cast<std::size_t>(length));
        if (link.empty()) {
            errno = ENOENT;
            return false;
        }
        if (link.front() != '/') {
            const std::size_t slash = path.rfind('/');
            if (slash != std::string::npos)
                link = path.substr(0, slash + 1) + link;
        }
        path = std::move(link);
    }
    errno = ELOOP;
    return false;
}

bool WriteAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool IsTemporaryNameFor(std::string_view name, std::string_view target)
{
    const std::string prefix = TemporaryPrefix(target);
    if (name.size() != prefix.size() + RandomLength + TempSuffix.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - TempSuffix.size()) != TempSuffix)
        return false;
    for (const char c : name.substr(prefix.size(), RandomLength))
        if (!IsAlphanumeric(c))
            return false;
    return true;
}

void SetUnnamedTemporaryFiles(bool allowed)
{
    unnamedAllowed.store(allowed);
}

ReplaceOutcome ReplaceFile(const std::string& path, const std::function<bool(int fd)>& write, bool sync)
{
    ReplaceOutcome outcome;
    const auto fail = [&outcome](int error) {
        outcome.error = error != 0 ? error : EIO;
        return outcome;
    };

    std::string target = path;
    if (!FollowLinks(target))
        return fail(errno);
    const std::size_t slash = target.rfind('/');
    const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    if (name.empty() || name == "." || name == "..")
        return fail(EISDIR);

    const Descriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0)
        return fail(errno);

    struct stat old {};
    const bool exists = ::fstatat(folder.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT)
        return fail(errno);
    if (exists) {
        if (S_ISDIR(old.st_mode))
            return fail(EISDIR);
        if (S_ISLNK(old.st_mode))
            return fail(ELOOP); // made a link since it was followed
        if (!S_ISREG(old.st_mode))
            return fail(EINVAL);
        // A file its owner made read-only stays as it is, although the folder would let a
        // rename replace it.
        if (::faccessat(folder.get(), name.c_str(), W_OK, AT_EACCESS) != 0)
            return fail(errno);
    }

    RemoveLeftovers(folder.get(), name);

    std::string temporaryName;
    const Descriptor file(CreateTemporary(folder.get(), name, temporaryName));
    if (file.get() < 0)
        return fail(errno);
    const auto discard = [&](int error) {
        if (!temporaryName.empty())
            ::unlinkat(folder.get(), temporaryName.c_str(), 0);
        return fail(error);
    };

    // Created with 0666, the umask applied: the mode a new file gets. A named file is
    // private while it is written.
    struct stat created {};
    if (::fstat(file.get(), &created) != 0)
        return discard(errno);
    if (!temporaryName.empty() && ::fchmod(file.get(), 0600) != 0)
        return discard(errno);

    errno = 0;
    if (!write(file.get()))
        return discard(errno);

    if (exists) {
        // Owner and group as before where allowed (the superuser, or a group of ours); the
        // permission bits after that, since a change of owner clears some of them.
        if (::fchown(file.get(), old.st_uid, old.st_gid) != 0)
            (void)::fchown(file.get(), static_cast<uid_t>(-1), old.st_gid);
        if (::fchmod(file.get(), old.st_mode & 07777) != 0)
            return discard(errno);
    } else if (::fchmod(file.get(), created.st_mode & 07777) != 0) {
        return discard(errno);
    }
    if (sync && ::fsync(file.get()) != 0)
        return discard(errno);
    if (!PlaceFile(folder.get(), file.get(), temporaryName, name, exists)) {
        const SavedErrno saved;
        return discard(saved.value);
    }
    if (sync)
        (void)::fsync(folder.get()); // the rename is done; this only hastens it to the disk
    outcome.otherNames = exists && old.st_nlink > 1 ? static_cast<int>(old.st_nlink - 1) : 0;
    return outcome;
}

} // namespace skyvane
