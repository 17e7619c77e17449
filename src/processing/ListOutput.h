#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageRecord.h"
#include "lists/ImageListTree.h"

namespace skyvane {

// Where a job over the frames of an image list (list arithmetic, registration) puts its
// results: a new folder inside the list's folder, named after the operation and its
// operand ("sub-dark", "div-flat", "mult-1.5", "starreg"), never one that exists already
// ("sub-dark-2", "sub-dark-3", ...). Each result frame keeps its input's file name and
// header cards, gains one HISTORY card naming the operation, and is written as 32-bit
// floating point (BITPIX -32), so no value is clipped.
//
// Typical use, the frames possibly written by several threads at once:
//   ListOutput output;
//   if (output.create(listFolder, ListOutputName("sub", OperandName(darkPath))) != 0) ...
//   for each frame i: output.writeFrame(i, inputPath, result, "Skyvane: sub dark.fit");
//   on cancel or a fatal error: output.discard();  otherwise: output.keep();
//   then, where the image lists live: AddOutputList(lists, output.folder(), output.fileNames());
// A ListOutput neither kept nor discarded discards itself when destroyed, so an
// interrupted job leaves nothing behind.
class ListOutput {
public:
    ListOutput() = default;
    ListOutput(const ListOutput&) = delete;
    ListOutput& operator=(const ListOutput&) = delete;
    ListOutput(ListOutput&& other) noexcept;
    ListOutput& operator=(ListOutput&& other) noexcept;
    ~ListOutput();

    // Makes the folder parent + "/" + name, or the first of name + "-2", "-3", ... that does
    // not exist yet (created in one step, so two jobs never share one). A name too long
    // for the file system is shortened first. Returns 0, or the errno of the failure
    // (the parent is empty, missing or not writable...), with nothing created.
    [[nodiscard]] int create(const std::string& parent, std::string_view name);

    // The folder made by create (empty before).
    const std::string& folder() const { return folder_; }

    // Writes one result: the file name of inputPath in the folder, the record's cards, to
    // which "HISTORY " + history (printable, cut to one card) is appended first, and its
    // pixels as BITPIX -32, through the safe file replacement (a failed write leaves no
    // file; a killed job leaves whole files or none), without waiting for the disk
    // (Durability::Unsynced: results can be made again from their inputs). position orders the files (the
    // frame's place in the list). May be called from several threads at once. None, or
    // Unwritable (the disk is full, say: the reason has gone to standard error), which a
    // job treats as fatal.
    [[nodiscard]] FitsError writeFrame(std::size_t position, const std::string& inputPath, ImageRecord& result,
                                       std::string_view history);
    // The same for a result that is never held whole: its rows come from rows a band at a
    // time (saveFloat32Rows), its cards are cards + the HISTORY card. Also Unreadable when
    // rows failed: nothing is written, and the frame is the job's to leave out.
    [[nodiscard]] FitsError writeFrame(std::size_t position, const std::string& inputPath, HeaderCards cards, ImageSize size,
                                       const RowSource& rows, std::string_view history);

    // The file names written, ordered by position.
    std::vector<std::string> fileNames() const;
    int fileCount() const;

    // Keeps what was written: the folder stays when this object goes.
    void keep() { kept_ = true; }
    // Removes the files this object wrote and then the folder, when nothing else is in it
    // (something another program put there stays, with the folder). Nothing when kept.
    void discard();

private:
    FitsError write(std::size_t position, const std::string& inputPath, const HeaderCards& cards, ImageSize size,
                    const RowSource& rows);

    std::string folder_;
    bool kept_ = false;
    mutable std::mutex lock_;
    std::vector<std::pair<std::size_t, std::string>> written_;
};

// operation + "-" + operand ("sub", "dark" gives "sub-dark"); the operation alone when the
// operand is empty. A "/" in the operand becomes "_".
std::string ListOutputName(std::string_view operation, std::string_view operand);

// The operand part of an output folder's name for an image file: its file name without
// the last extension ("/data/flat.fit" gives "flat").
std::string OperandName(std::string_view path);

// Adds folder as a new list (the next "[PATHn] = folder", even when a list of that
// folder exists) with the files in the order given, each selected, and opens it. Returns
// the list item.
TreeItem AddOutputList(ImageListTree& lists, const std::string& folder, const std::vector<std::string>& names);

} // namespace skyvane
