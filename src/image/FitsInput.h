#pragma once

#include <cstddef>
#include <string>

#include <fitsio.h>

// The one way a FITS file is opened for reading. For the image folder's own files only.

namespace skyvane::fits {

// How much of a gzipped file is inflated to read it: up to the header of the image alone
// (size, header cards), or up to the header and the data it declares (pixels).
enum class FitsExtent { Header, Image };

// A FITS file opened for reading by its name taken literally, never as the library's
// file-name syntax (brackets, parentheses, "-", "stdin", "mem://", "http://"...). Only
// regular files are opened; gzipped ones are inflated within the bounds their header sets
// and read from memory; other compressed formats are refused. An open file stands at its
// image: the first unit, primary or extension, that holds an image of two axes (or of
// three with three planes), tile-compressed ones included, which the library expands; at
// the primary unit when there is none. Not copyable, not movable (the library keeps the
// address of the memory block).
class FitsInput {
public:
    FitsInput() = default;
    FitsInput(const FitsInput&) = delete;
    FitsInput& operator=(const FitsInput&) = delete;
    ~FitsInput();

    // Opens path read-only; returns 0 or the library status (refusals are said on standard
    // error).
    int open(const std::string& path, FitsExtent extent);
    // Closes the file if open, keeping the first non-zero status (the library closes even
    // when the status is already set).
    void close(int& status);
    // Closes the library's handle of a file on disk, keeping the file itself open
    // (descriptor()); nothing for a gzipped file.
    void closeLibrary(int& status);
    fitsfile* file() const { return file_; }
    int descriptor() const { return fd_; }
    bool isOpen() const { return file_ != nullptr; }
    bool inMemory() const { return memory_ != nullptr; }
    // The unit the file stands at (1 for the primary one), and whether it is a
    // tile-compressed image (its stored values are then no pixels).
    int unit() const { return unit_; }
    bool tileCompressed() const { return tileCompressed_; }

private:
    fitsfile* file_ = nullptr;
    int fd_ = -1;
    void* memory_ = nullptr; // the inflated bytes of a gzipped file
    std::size_t memorySize_ = 0;
    int unit_ = 1;
    bool tileCompressed_ = false;
};

} // namespace skyvane::fits
