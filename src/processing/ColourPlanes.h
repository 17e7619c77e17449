#pragma once

#include "image/ImageGrid.h"

namespace skyvane {

// The planes of colour images: one taken out as a grey image, grey images put together.

enum class ColourChannel { Red, Green, Blue, Luminance };

// The weights of the luminance: 0.2126 R + 0.7152 G + 0.0722 B.
inline constexpr double LuminanceRed = 0.2126;
inline constexpr double LuminanceGreen = 0.7152;
inline constexpr double LuminanceBlue = 0.0722;

// One channel of a colour grid into out, which becomes a grey grid of its size: the
// plane's values, or per pixel LuminanceRed x r + LuminanceGreen x g + LuminanceBlue x b,
// summed in that order. A grey grid's one plane serves as each of its colours. Throws
// std::bad_alloc, out unchanged, when out's memory cannot be had.
void ChannelOf(const ImageGrid& colour, ColourChannel channel, ImageGrid& out);

// The plane a measure of the image's positions is taken on: the green plane of a colour
// grid (view), the grid itself when it is grey. Valid while the grid is.
const ImageGrid MeasurePlane(const ImageGrid& grid);

// Copies a grey grid of the colour grid's size into its plane p (0 red, 1 green, 2 blue).
// Nothing when the sizes differ.
void SetPlane(ImageGrid& colour, int p, const ImageGrid& grey);

} // namespace skyvane
