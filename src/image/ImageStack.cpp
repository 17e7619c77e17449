#include "image/ImageStack.h"

#include <limits>
#include <new>

#include "image/ImageGrid.h"

namespace skyvane {

void ImageStack::allocate(int width, int height, int depth)
{
    release();
    if (width <= 0 || height <= 0 || depth <= 0)
        return;
    // Counted in 64 bits and checked against the same limit as a grid, so that absurd
    // extents give bad_alloc rather than a wrapped size or an overcommitted block.
    const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (pixels > std::numeric_limits<std::uint64_t>::max() / sizeof(double) / static_cast<std::uint64_t>(depth))
        throw std::bad_alloc();
    const std::uint64_t count = pixels * static_cast<std::uint64_t>(depth);
    if (count * sizeof(double) > GridMemoryLimit() || count > values_.max_size())
        throw std::bad_alloc();
    values_.resize(static_cast<std::size_t>(count));
    width_ = width;
    height_ = height;
    depth_ = depth;
}

void ImageStack::release()
{
    values_.clear();
    values_.shrink_to_fit();
    width_ = 0;
    height_ = 0;
    depth_ = 0;
}

} // namespace skyvane
