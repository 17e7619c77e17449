#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace skyvane {

// A rectangular grid of double pixel values: width columns (FITS NAXIS1) by height rows
// (FITS NAXIS2). Addressed grid[x][y], column first; row 0 is the first row of the FITS
// data array. The pixels live in one column-major block (column x starts at x * height),
// so every column is contiguous and "columns outer, rows inner" walks memory in order.
// A grid is never copied; operations write into an existing grid.
class ImageGrid {
public:
    ImageGrid() = default;
    ImageGrid(const ImageGrid&) = delete;
    ImageGrid& operator=(const ImageGrid&) = delete;
    ImageGrid(ImageGrid&& other) noexcept;
    ImageGrid& operator=(ImageGrid&& other) noexcept;
    ~ImageGrid();

    // Releases the old pixels and makes a width x height grid of 0.0. resize(0, 0) gives
    // the empty image. Throws std::bad_alloc when the block cannot be had; negative
    // extents are treated as 0.
    void resize(int width, int height);

    // As resize, but reports failure instead of throwing: returns false, and leaves the
    // grid exactly as it was, when the extents are negative or the block (width x height
    // x 8 bytes, counted in 64 bits) cannot be allocated or exceeds the machine's memory.
    [[nodiscard]] bool tryResize(int width, int height);

    // As tryResize, except that a grid that already has this size keeps its block and
    // values untouched. For callers that overwrite every value (loading a file), so that
    // reloading an image of the same size costs no new block.
    [[nodiscard]] bool tryResizeForOverwrite(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    // width x height, counted in 64 bits.
    std::int64_t pixelCount() const { return static_cast<std::int64_t>(width_) * height_; }
    bool empty() const { return width_ <= 0 || height_ <= 0; }

    // Column x: an array of height doubles. grid[x][y] is pixel (x, y).
    double* operator[](int x) { return data_ + static_cast<std::ptrdiff_t>(x) * height_; }
    const double* operator[](int x) const { return data_ + static_cast<std::ptrdiff_t>(x) * height_; }

    // The whole block, column-major, pixelCount() values.
    double* data() { return data_; }
    const double* data() const { return data_; }

    void swap(ImageGrid& other) noexcept;

private:
    double* data_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};

// Bytes a grid of width x height doubles needs, in 64 bits (never overflows for int extents);
// 0 when either extent is 0 or negative.
std::uint64_t GridBytes(int width, int height);

// The largest block a grid may take, in bytes: the machine's physical memory unless set
// lower. Larger grids are refused (tryResize returns false, resize throws) without asking
// the allocator, so a gigantic declared size fails the same way everywhere.
std::uint64_t GridMemoryLimit();
// Sets that limit (0 restores the physical memory). For tests and the fuzzer.
void SetGridMemoryLimit(std::uint64_t bytes);

} // namespace skyvane
