#pragma once

#include <cstdint>
#include <string>

#include "display/DisplayBitmap.h"
#include "display/TransferFunction.h"
#include "image/ImageGrid.h"

namespace skyvane {

// The files the picture can be exported to.
enum class PictureFormat {
    Bitmap, // the DisplayBitmap byte for byte (BitmapExport.h)
    Png,    // the picture's pixels, losslessly
    Jpeg,   // the picture, compressed (quality 95, no colour subsampling)
    Tiff16, // 16 bits per sample of the same mapping, before it is cut to 256 levels
};

// The format a name asks for by its suffix, in any case: .png; .jpg, .jpeg; .tif, .tiff;
// anything else (.bmp, no suffix, another one) is a bitmap.
PictureFormat PictureFormatOfName(const std::string& path);

// Every export creates or replaces its file as ReplaceFile does (a link is followed, the
// permissions are kept, nothing is left behind on failure) and returns true when every
// byte was written; false when the file cannot be created or written (the library's or the
// system's reason on standard error) and when the bitmap's rows do not match its headers.
//
// PNG and JPEG hold exactly the picture the bitmap holds, row y of the bitmap as the
// picture's row height - 1 - y (the bitmap is stored bottom-up, the files top-down): one
// grey sample per pixel when every pixel is grey, red, green and blue otherwise.
[[nodiscard]] bool exportPng(const DisplayBitmap& bitmap, const std::string& path);
[[nodiscard]] bool exportJpeg(const DisplayBitmap& bitmap, const std::string& path);

// The mapping of the picture: the two thresholds and the transfer function, as the
// display renders the picture through them.
struct PictureMapping {
    int low = 0;
    int high = 0;
    TransferFunction transfer;
};

// The 16-bit level of value v: 65535 x F(p / 255) rounded half up, for the mapping's product p
// (GreyMapping), 65535 less that for inverted thresholds. Missing values (NaN) give the
// level of p = 0, as in the picture.
std::uint16_t GreyLevel16(double v, const GreyMapping& mapping, const TransferFunction& transfer);

// A TIFF of the image through the mapping: one 16-bit grey sample per pixel (GreyLevel16),
// rows top-down as the picture shows them, uncompressed. An empty image is refused.
[[nodiscard]] bool exportTiff16(const ImageGrid& image, const PictureMapping& mapping, const std::string& path);

} // namespace skyvane
