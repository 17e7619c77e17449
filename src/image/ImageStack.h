#pragma once

#include <cstdint>
#include <vector>

namespace skyvane {

// width x height x depth doubles: stack(x, y, k) is pixel (x, y) of image k of a list.
// One contiguous block, the depth values of a pixel side by side, pixels column-major.
// Co-addition reads frames in bands of rows, so it normally allocates a stack for one
// band (height = band rows) rather than for the whole image.
class ImageStack {
public:
    // Releases what the stack held and allocates width x height x depth values (not
    // initialised). Throws std::bad_alloc when the block cannot be had.
    void allocate(int width, int height, int depth);
    void release();

    double& operator()(int x, int y, int k) { return values_[index(x, y, k)]; }
    double operator()(int x, int y, int k) const { return values_[index(x, y, k)]; }
    // The depth values of pixel (x, y), contiguous.
    double* pixel(int x, int y) { return values_.data() + index(x, y, 0); }
    const double* pixel(int x, int y) const { return values_.data() + index(x, y, 0); }

    int width() const { return width_; }
    int height() const { return height_; }
    int depth() const { return depth_; }

private:
    std::size_t index(int x, int y, int k) const
    {
        return (static_cast<std::size_t>(x) * static_cast<std::size_t>(height_) + static_cast<std::size_t>(y)) * static_cast<std::size_t>(depth_) + static_cast<std::size_t>(k);
    }
    std::vector<double> values_;
    int width_ = 0;
    int height_ = 0;
    int depth_ = 0;
};

} // namespace skyvane
