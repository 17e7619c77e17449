#include "image/ImageGrid.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

namespace skyvane {

namespace {

std::atomic<std::uint64_t> gridMemoryLimit{0};

// The plane counts a grid has: 1 or 3.
int PlaneCount(int planes)
{
    return planes == 3 ? 3 : 1;
}

std::uint64_t PhysicalMemoryBytes()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return UINT64_MAX; // unknown: let the allocator decide
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

// A zeroed block for width x height doubles, or nullptr when it is refused or cannot be
// had. A block larger than the limit is refused before asking, so that a corrupt header
// declaring a gigantic image fails the same way on every machine instead of depending on
// overcommit. Large blocks come straight from mmap: fresh zero pages that cost nothing
// until written (a read that fails early commits little). They are never marked for
// transparent huge pages: where the system gives huge pages only to marked memory, it
// may compact memory inside the page fault to find one, which on a machine with
// fragmented memory has stalled a first load for seconds, far more than the page faults
// it saves. Whether a block was mapped follows from its size alone, so the grid needs no
// extra field to release it.
constexpr std::uint64_t MappedBytes = std::uint64_t{4} << 20;

bool IsMapped(std::uint64_t bytes)
{
    return bytes >= MappedBytes;
}

double* AllocateBlock(int width, int height, int planes)
{
    const std::uint64_t bytes = GridBytes(width, height, planes);
    if (bytes == 0 || bytes > GridMemoryLimit() || bytes > SIZE_MAX)
        return nullptr;
    if (IsMapped(bytes)) {
        void* block = ::mmap(nullptr, static_cast<std::size_t>(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (block == MAP_FAILED)
            return nullptr;
        return static_cast<double*>(block);
    }
    return static_cast<double*>(std::calloc(static_cast<std::size_t>(bytes / sizeof(double)), sizeof(double)));
}

void ReleaseBlock(double* block, int width, int height, int planes)
{
    if (block == nullptr)
        return;
    const std::uint64_t bytes = GridBytes(width, height, planes);
    if (IsMapped(bytes))
        ::munmap(block, static_cast<std::size_t>(bytes));
    else
        std::free(block);
}

} // namespace

std::uint64_t GridBytes(int width, int height, int planes)
{
    if (width <= 0 || height <= 0)
        return 0;
    return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * static_cast<std::uint64_t>(PlaneCount(planes)) *
           sizeof(double);
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

void ImageGrid::commitPages()
{
#if defined(MADV_POPULATE_WRITE)
    const std::uint64_t bytes = GridBytes(width_, height_, planes_);
    if (owned_ && data_ != nullptr && IsMapped(bytes))
        (void)::madvise(data_, static_cast<std::size_t>(bytes), MADV_POPULATE_WRITE);
#endif
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
    if (owned_)
        ReleaseBlock(data_, width_, height_, planes_);
}

void ImageGrid::swap(ImageGrid& other) noexcept
{
    std::swap(data_, other.data_);
    std::swap(width_, other.width_);
    std::swap(height_, other.height_);
    std::swap(planes_, other.planes_);
    std::swap(owned_, other.owned_);
}

ImageGrid ImageGrid::planeView(int p)
{
    ImageGrid view;
    view.data_ = plane(p);
    view.width_ = width_;
    view.height_ = height_;
    view.owned_ = false;
    return view;
}

const ImageGrid ImageGrid::planeView(int p) const
{
    return const_cast<ImageGrid*>(this)->planeView(p);
}

void ImageGrid::resize(int width, int height, int planes)
{
    if (width < 0)
        width = 0;
    if (height < 0)
        height = 0;
    if (!tryResize(width, height, planes))
        throw std::bad_alloc();
}

bool ImageGrid::tryResize(int width, int height, int planes)
{
    planes = PlaneCount(planes);
    if (width < 0 || height < 0 || !owned_)
        return false;
    double* block = nullptr;
    if (GridBytes(width, height, planes) != 0) {
        block = AllocateBlock(width, height, planes);
        if (block == nullptr)
            return false;
    }
    // The old block goes only once the new one is had, so a failure changes nothing.
    ReleaseBlock(data_, width_, height_, planes_);
    data_ = block;
    width_ = width;
    height_ = height;
    planes_ = planes;
    return true;
}

bool ImageGrid::tryResizeForOverwrite(int width, int height, int planes)
{
    if (width == width_ && height == height_ && PlaneCount(planes) == planes_)
        return true;
    return tryResize(width, height, planes);
}

} // namespace skyvane
