#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "image/ImageGrid.h"

namespace skyvane {

class Feedback;

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

// An image grid with the header cards of the file it came from. Holds no file path.
class ImageRecord {
public:
    ImageGrid grid;
    HeaderCards cards;

    // No header cards, grid of 0 x 0.
    void clear();

    // Reads a 2-D FITS image into this record (size, pixels, header cards), reporting
    // failures through messages, each naming path:
    //  "Loaded image is not 2-D.\nOnly 2-D images are supported." then
    //  "Error while reading image size" -> 1, record unchanged;
    //  "Not enough memory for an image of W x H pixels." -> 1, record unchanged;
    //  "Error while reading image data" -> 1, grid has the new size and the rows read,
    //  cards are still the previous ones (the same with "Not enough memory ..." when the
    //  data of a gzipped file do not fit in memory besides the grid);
    //  "Error while reading image headers" -> 1.
    // The path is taken literally (see FitsFile.h): only a regular file is read.
    // Returns 0 on success. Callers may carry on after a failure.
    int loadFits(const std::string& path, Feedback& messages);

    // Writes the stored header cards, then the pixels truncated toward zero and limited to
    // 0..32767 as unsigned 16-bit values (not-a-number as 0). The library writes the file
    // in memory, and ReplaceFile puts it in place of the target only when everything was
    // written: a failed or killed save never destroys an existing file and leaves nothing
    // behind; a symbolic link is followed; permissions are kept. The cards alone define the output's data type and scaling; cards that do
    // not describe a 2-D image of the grid's size fail the save (the rows would be
    // scrambled), as does an empty record (no cards). On failure prints the library's
    // report to standard error, shows "Error while writing image file" naming path and
    // returns 1; returns 0 on success.
    int saveFits(const std::string& path, Feedback& messages) const;
};

} // namespace skyvane
