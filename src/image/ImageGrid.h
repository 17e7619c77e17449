#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace skyvane {

// A rectangular grid of double pixel values: width columns (FITS NAXIS1) by height rows
// (FITS NAXIS2), in one plane (a grey image) or three (a colour image: red, green, blue,
// in that order, FITS NAXIS3). Addressed grid[x][y], column first; row 0 is the first row
// of the FITS data array. The pixels live in one block: the planes one after the other,
// each column-major (column x of plane p starts at p x width x height + x x height), so
// every column is contiguous and "columns outer, rows inner" walks memory in order. grid[x][y] and data() address plane 0, so one-plane
// code reads any grid's first plane; an operation on every plane loops over planes.
// A grid is never copied; operations write into an existing grid.
//
// A plane view (planeView) is a one-plane grid that borrows one plane of another grid:
// every one-plane operation works on it as on a grid of its own. It never owns, frees or
// resizes its pixels (resizing it to another size fails), and must not outlive the grid
// it borrows from, nor that grid's next resize.
class ImageGrid {
public:
    ImageGrid() = default;
    ImageGrid(const ImageGrid&) = delete;
    ImageGrid& operator=(const ImageGrid&) = delete;
    ImageGrid(ImageGrid&& other) noexcept;
    ImageGrid& operator=(ImageGrid&& other) noexcept;
    ~ImageGrid();

    // Releases the old pixels and makes a width x height grid of 0.0 in `planes` planes
    // (1 or 3; anything else counts as 1). resize(0, 0) gives the empty image. Throws
    // std::bad_alloc when the block cannot be had; negative extents are treated as 0.
    void resize(int width, int height, int planes = 1);

    // As resize, but reports failure instead of throwing: returns false, and leaves the
    // grid exactly as it was, when the extents are negative or the block (width x height
    // x planes x 8 bytes, counted in 64 bits) cannot be allocated or exceeds the machine's
    // memory.
    [[nodiscard]] bool tryResize(int width, int height, int planes = 1);

    // As tryResize, except that a grid that already has this size and plane count keeps
    // its block and values untouched. For callers that overwrite every value (loading a
    // file), so that reloading an image of the same size costs no new block.
    [[nodiscard]] bool tryResizeForOverwrite(int width, int height, int planes = 1);

    // For a grid about to be written whole: its pages made now, in one call, rather than
    // one page fault at a time as they are first written. Nothing for small grids, views,
    // or where the kernel cannot (the pages then come by page faults as before). Not for a
    // grid that may stay mostly unwritten (a file that may end early): it commits every page.
    void commitPages();

    int width() const { return width_; }
    int height() const { return height_; }
    // 1 (grey) or 3 (red, green, blue).
    int planes() const { return planes_; }
    bool colour() const { return planes_ == 3; }
    // width x height (the pixels of one plane), counted in 64 bits.
    std::int64_t pixelCount() const { return static_cast<std::int64_t>(width_) * height_; }
    // Every value of every plane: pixelCount() x planes().
    std::int64_t valueCount() const { return pixelCount() * planes_; }
    bool empty() const { return width_ <= 0 || height_ <= 0; }

    // Column x of plane 0: an array of height doubles. grid[x][y] is pixel (x, y).
    double* operator[](int x) { return data_ + static_cast<std::ptrdiff_t>(x) * height_; }
    const double* operator[](int x) const { return data_ + static_cast<std::ptrdiff_t>(x) * height_; }

    // The whole block: the planes one after the other, each column-major, valueCount()
    // values; plane 0 first.
    double* data() { return data_; }
    const double* data() const { return data_; }
    // Plane p's column-major block of pixelCount() values (plane 0 is data()).
    double* plane(int p) { return data_ + static_cast<std::ptrdiff_t>(p) * pixelCount(); }
    const double* plane(int p) const { return data_ + static_cast<std::ptrdiff_t>(p) * pixelCount(); }

    // Plane p as a one-plane grid of its own (see above).
    ImageGrid planeView(int p);
    const ImageGrid planeView(int p) const;
    bool isView() const { return !owned_; }

    void swap(ImageGrid& other) noexcept;

private:
    double* data_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    int planes_ = 1;
    bool owned_ = true;
};

// Bytes a grid of width x height doubles in `planes` planes needs, in 64 bits (never
// overflows for int extents); 0 when either extent is 0 or negative.
std::uint64_t GridBytes(int width, int height, int planes = 1);

// The largest block a grid may take, in bytes: the machine's physical memory unless set
// lower. Larger grids are refused (tryResize returns false, resize throws) without asking
// the allocator, so a gigantic declared size fails the same way everywhere.
std::uint64_t GridMemoryLimit();
// Sets that limit (0 restores the physical memory). For tests and the fuzzer.
void SetGridMemoryLimit(std::uint64_t bytes);

} // namespace skyvane
