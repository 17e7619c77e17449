#include "image/ImageGrid.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

#include <unistd.h>

namespace skyvane {

namespace {

std::atomic<std::uint64_t> gridMemoryLimit{0};

std::uint64_t PhysicalMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return UINT64_MAX; // unknown: let the allocator decide
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

// A zeroed block for width x height doubles, or nullptr when it is refused or cannot be
// had. calloc hands out fresh pages for large blocks without writing them, so a big grid
// costs nothing until its values are written. A block larger than the limit is refused
// before asking, so that a corrupt header declaring a gigantic image fails the same way
// on every machine instead of depending on overcommit.
double* AllocateBlock(int width, int height)
{
    const std::uint64_t bytes = GridBytes(width, height);
    if (bytes == 0 || bytes > GridMemoryLimit() || bytes > SIZE_MAX)
        return nullptr;
    return static_cast<double*>(std::calloc(static_cast<std::size_t>(bytes / sizeof(double)), sizeof(double)));
}

} // namespace

std::uint64_t GridBytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * sizeof(double);
}

std::uint64_t GridMemoryLimit()
{
    const std::uint64_t limit = gridMemoryLimit.load(std::memory_order_relaxed);
    if (limit != 0)
        return limit;
    static const std::uint64_t physical = PhysicalMemoryBytes();
    return physical;
}

void SetGridMemoryLimit(std::uint64_t bytes)
{
    gridMemoryLimit.store(bytes, std::memory_order_relaxed);
}

ImageGrid::ImageGrid(ImageGrid&& other) noexcept
{
    swap(other);
}

ImageGrid& ImageGrid::operator=(ImageGrid&& other) noexcept
{
    if (this != &other) {
        ImageGrid gone(std::move(*this));
        swap(other);
    }
    return *this;
}

ImageGrid::~ImageGrid()
{
    std::free(data_);
}

void ImageGrid::swap(ImageGrid& other) noexcept
{
    std::swap(data_, other.data_);
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
}

void ImageGrid::resize(int width, int height)
{
    if (width < 0)
        width = 0;
    if (height < 0)
        height = 0;
    if (!tryResize(width, height))
        throw std::bad_alloc();
}

bool ImageGrid::tryResize(int width, int height)
{
    if (width < 0 || height < 0)
        return false;
    double* block = nullptr;
    if (GridBytes(width, height) != 0) {
        block = AllocateBlock(width, height);
        if (block == nullptr)
            return false;
    }
    // The old block goes only once the new one is had, so a failure changes nothing.
    std::free(data_);
    data_ = block;
    width_ = width;
    height_ = height;
    return true;
}

} // namespace skyvane
