#pragma once

#include <string>

#include "display/DisplayBitmap.h"

namespace skyvane {

// Writes the bitmap (54 bytes of headers, then the rows, row 0 first) to path, creating or
// replacing the file as ReplaceFile does (a link is followed, the permissions are kept,
// nothing is left behind). Returns true when every byte was written; false when the file
// cannot be created (missing folder, read-only file, a folder of that name: nothing is
// created), when a write fails (full disk: neither a truncated bitmap nor a destroyed
// older file is left), and when the rows do not match the headers (released by
// clearDisplay).
[[nodiscard]] bool exportBitmap(const DisplayBitmap& bitmap, const std::string& path);

} // namespace skyvane
