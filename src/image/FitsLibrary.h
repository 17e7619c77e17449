#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "image/ImageGrid.h"

// What the FITS reader and the FITS writer share about the library they both use. For
// the image folder's own files only.

namespace skyvane::fits {

// Where the library's memory-file table is touched (opening and closing a file in memory):
// the library searches and frees its slots without a lock of its own.
extern std::mutex memoryFileTable;

// FITS files are made of 2880-byte blocks of 80-character cards.
inline constexpr std::size_t BlockBytes = 2880;
inline constexpr std::size_t CardBytes = 80;

// Rows are read and written in bands of about this many values: small enough that the
// band stays in the core's cache while it is transposed to or from the columns, large
// enough that the library's per-call cost does not show.
inline constexpr long BandValues = 32768;

inline std::uint64_t RoundUpToBlock(std::uint64_t bytes)
{
    return (bytes + BlockBytes - 1) / BlockBytes * BlockBytes;
}

// Rows per band for a given width: a multiple of 8 (so that each column receives whole
// 64-byte lines when it is aligned), at least 8, at most the image height.
int BandRows(int width, int height);

// A buffer of count values, or nullptr when it cannot be had (never throws, never asks
// for more than the grid limit).
template <typename T>
std::unique_ptr<T[]> TryBuffer(std::int64_t count)
{
    if (count <= 0 || static_cast<std::uint64_t>(count) * sizeof(T) > GridMemoryLimit())
        return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]);
}

// The library reports files by the names it was given; a name given for a path (a
// /proc/self/fd link, a memory file) is remembered here, per thread, so that its reports
// name the path the user knows.
void RememberOpenedName(const std::string& name, const std::string& path);

// Prints the library's error report for status (its message stack) to standard error,
// escaped for the terminal, with the remembered names replaced by their paths. Nothing
// for status 0.
void ReportFitsError(int status);

} // namespace skyvane::fits
