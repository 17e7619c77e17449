#include "processing/ColourPlanes.h"

#include <algorithm>
#include <cstdint>

namespace skyvane {

void ChannelOf(const ImageGrid& colour, ColourChannel channel, ImageGrid& out)
{
    ImageGrid grey;
    grey.resize(colour.width(), colour.height());
    const std::int64_t n = colour.pixelCount();
    const auto planeOf = [&colour](int p) { return colour.plane(colour.planes() == 3 ? p : 0); };
    if (n > 0) {
        switch (channel) {
        case ColourChannel::Red:
        case ColourChannel::Green:
        case ColourChannel::Blue: {
            const double* source = planeOf(static_cast<int>(channel));
            std::copy(source, source + n, grey.data());
            break;
        }
        case ColourChannel::Luminance: {
            const double* r = planeOf(0);
            const double* g = planeOf(1);
            const double* b = planeOf(2);
            double* y = grey.data();
            for (std::int64_t i = 0; i < n; ++i)
                y[i] = LuminanceRed * r[i] + LuminanceGreen * g[i] + LuminanceBlue * b[i];
            break;
        }
        }
    }
    out.swap(grey);
}

const ImageGrid MeasurePlane(const ImageGrid& grid)
{
    return grid.planeView(grid.colour() ? 1 : 0);
}

void SetPlane(ImageGrid& colour, int p, const ImageGrid& grey)
{
    if (p < 0 || p >= colour.planes() || grey.width() != colour.width() || grey.height() != colour.height())
        return;
    std::copy(grey.data(), grey.data() + grey.pixelCount(), colour.plane(p));
}

} // namespace skyvane
