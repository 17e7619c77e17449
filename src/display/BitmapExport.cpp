#include "display/BitmapExport.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shell/Messages.h"

namespace skyvane {

namespace {

constexpr const char* FailureText = "Failed to create bitmap file.";

// Writes all of size bytes, carrying on after partial writes and interrupts.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (written == 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A new file beside path that nobody else uses; -1 when the folder cannot take one.
int CreateTemporaryBeside(const std::string& path, std::string& tempPath)
{
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tempPath = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        // 0666 less the umask: the permissions an ordinary new file gets.
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

int exportBitmap(const DisplayBitmap& bitmap, const std::string& path, MessageSink& messages)
{
    // Rows that do not match the headers (released by clearDisplay) would make a file that
    // lies about its contents.
    const int width = bitmap.width();
    const int height = bitmap.height();
    const std::size_t rowsBytes =
        width > 0 && height > 0 ? static_cast<std::size_t>(DisplayBitmap::Stride(width)) * static_cast<std::size_t>(height) : 0;
    if (bitmap.rows.size() != rowsBytes) {
        messages.showFileError(FailureText, path);
        return 1;
    }

    // An existing file that could not be opened for writing (read-only, a folder) stays a
    // failure, although renaming over it would succeed.
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && (S_ISDIR(existing.st_mode) || ::access(path.c_str(), W_OK) != 0)) {
        messages.showFileError(FailureText, path);
        return 1;
    }

    // The picture goes to a temporary file beside the target, which replaces the target
    // only when every byte is on disk: a full disk leaves neither a truncated bitmap nor a
    // destroyed older file behind.
    std::string tempPath;
    const int fd = CreateTemporaryBeside(path, tempPath);
    if (fd < 0) {
        messages.showFileError(FailureText, path);
        return 1;
    }
    bool ok = WriteAll(fd, bitmap.headers.data(), bitmap.headers.size());
    // The rows are one block, row 0 first, exactly as the file holds them.
    ok = ok && WriteAll(fd, bitmap.rows.data(), bitmap.rows.size());
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(tempPath.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tempPath.c_str());
        messages.showFileError(FailureText, path);
        return 1;
    }
    return 0;
}

} // namespace skyvane
