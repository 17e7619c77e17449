#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/ImageGrid.h"

namespace skyvane {

// The header records of a FITS file, END excluded, in file order. Record i occupies bytes
// 81 * i to 81 * i + 80 of one block: the 80-character card and a NUL. Cards are raw text;
// nothing is parsed or kept in step with the pixels.
class HeaderCards {
public:
    static constexpr int RecordBytes = 81;
    static constexpr int CardLength = 80;

    int count() const { return static_cast<int>(block_.size() / RecordBytes); }
    bool empty() const { return block_.empty(); }
    // The 80 characters of card i (0-based).
    std::string_view card(int i) const { return {block_.data() + static_cast<std::size_t>(i) * RecordBytes, CardLength}; }
    // Appends one card: text cut or padded with blanks to 80 characters, then a NUL.
    void append(std::string_view card);
    void clear() { block_.clear(); }
    // The whole block, count() x 81 bytes.
    const std::vector<char>& block() const { return block_; }
    std::vector<char>& block() { return block_; }

private:
    std::vector<char> block_;
};

// An image grid with the header cards of the file it came from. Holds no file path;
// FitsReader.h loads one, FitsWriter.h saves one.
class ImageRecord {
public:
    ImageGrid grid;
    HeaderCards cards;

    // No header cards, grid of 0 x 0.
    void clear();
};

} // namespace skyvane
