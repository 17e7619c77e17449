#include "display/BitmapExport.h"

#include <cstddef>
#include <cstdio>
#include <string>

#include "base/PrintableText.h"
#include "base/SafeFile.h"

namespace skyvane {

bool exportBitmap(const DisplayBitmap& bitmap, const std::string& path)
{
    // Rows that do not match the headers (released by clearDisplay) would make a file that
    // lies about its contents.
    const int width = bitmap.width();
    const int height = bitmap.height();
    const std::size_t rowsBytes =
        width > 0 && height > 0 ? static_cast<std::size_t>(DisplayBitmap::Stride(width)) * static_cast<std::size_t>(height) : 0;
    if (bitmap.rows.size() != rowsBytes)
        return false;

    // The picture goes to a new file that replaces the target only when every byte is on
    // disk: a full disk leaves neither a truncated bitmap nor a destroyed older file, and a
    // read-only file, a folder or a missing folder are refused without touching anything.
    const ReplaceOutcome outcome = ReplaceFile(path, [&bitmap](int fd) {
        // The rows are one block, row 0 first, exactly as the file holds them.
        return WriteAll(fd, bitmap.headers.data(), bitmap.headers.size()) && WriteAll(fd, bitmap.rows.data(), bitmap.rows.size());
    });
    if (!outcome.replaced())
        return false;
    if (outcome.otherNames > 0)
        std::fprintf(stderr, "%s had %d other name(s) (hard links); they keep the previous contents\n",
                     PrintableText(path).c_str(), outcome.otherNames);
    return true;
}

} // namespace skyvane
