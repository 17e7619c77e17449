#pragma once

#include <string>

#include "display/DisplayBitmap.h"

namespace skyvane {

class MessageSink;

// Writes the bitmap (54 bytes of headers, then the rows, row 0 first) to path, creating or
// truncating the file. When it cannot be opened: "Failed to create bitmap file." and 1,
// nothing written. Returns 0 when written.
int exportBitmap(const DisplayBitmap& bitmap, const std::string& path, MessageSink& messages);

} // namespace skyvane
