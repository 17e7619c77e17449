#pragma once

#include <cstddef>
#include <functional>
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

// Where a job over the frames of an image list (list arithmetic, registration, and any
// later job that makes one result per frame) puts its results: a new folder inside the
// list's folder, named after the operation and its operand ("sub-dark", "div-flat",
// "mult-1.5", "starreg"), never one that exists already ("sub-dark-2", "sub-dark-3", ...).
// Each result is named after its frame (ResultFileNames), keeps the frame's header cards,
// gains HISTORY cards naming the operation, and is written as 32-bit floating point
// (BITPIX -32), so no value is clipped.
//
// A result folder exists under its name only whole: the results are written into a hidden
// folder beside it (".skyvane-result-XXXXXXXX.tmp"), which keep() renames when the job is
// done. A job that is stopped, fails, or is killed never leaves a folder under the final
// name; what a killed job leaves hidden is removed by the next create() in that folder
// (every living job holds a lock on its hidden folder, so only abandoned ones go).
//
// Typical use, the frames possibly written by several threads at once:
//   ListOutput output;
//   if (output.create(listFolder, ListOutputName("sub", OperandName(darkPath)), framePaths) != 0) ...
//   for each frame i: output.writeFrame(i, result, "Skyvane: sub dark.fit");
//   on cancel or a fatal error: output.discard();  otherwise: if (output.keep() != 0) ...
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

    // Prepares the results of the files sources (result i is the result of sources[i], named
    // as ResultFileNames names it) for the folder parent + "/" + name, or the first of
    // name + "-2", "-3", ... that is free when they are kept. A name too long for the file
    // system is shortened first. Makes the hidden folder the results are written into, after
    // removing the hidden folders that killed jobs left in parent. Returns 0, or the errno of
    // the failure (the parent is empty, missing or not writable...), with nothing created.
    [[nodiscard]] int create(const std::string& parent, std::string_view name, const std::vector<std::string>& sources);

    // The result folder: until keep(), the name it is to have (the first free one when
    // create() looked); after keep(), the name it has. Empty before create().
    const std::string& folder() const { return folder_; }
    // Where the result of sources[position] is to be found: folder() + its file name.
    std::string filePath(std::size_t position) const;

    // Writes the result of sources[position]: the record's cards, to which the history text
    // is appended first as HISTORY cards (AppendHistory), and its pixels as BITPIX -32,
    // through the safe file replacement (a failed write leaves no file; a killed job leaves
    // whole files or none), without waiting for the disk (Durability::Unsynced: results can
    // be made again from their inputs). May be called from several threads at once. None,
    // or Unwritable (the disk is full, say: the reason has gone to standard error), which a
    // job treats as fatal.
    [[nodiscard]] FitsError writeFrame(std::size_t position, ImageRecord& result, std::string_view history);
    // The same for a result that is never held whole: its rows come from rows a band at a
    // time (saveFloat32Rows), its cards are cards + the HISTORY cards. Also Unreadable when
    // rows failed: nothing is written, and the frame is the job's to leave out.
    [[nodiscard]] FitsError writeFrame(std::size_t position, HeaderCards cards, ImageSize size, const RowSource& rows,
                                       std::string_view history);

    // The file names written, ordered by position.
    std::vector<std::string> fileNames() const;
    int fileCount() const;

    // Puts the results in place: the hidden folder takes the final name, the first of name,
    // name-2, ... free now (folder() then says which), in one rename. Returns 0, or the errno
    // of the failure, after which everything is discarded. Nothing to do when already kept.
    [[nodiscard]] int keep();
    // Removes the hidden folder and everything in it. Nothing when kept.
    void discard();

private:
    // Frame position written by save(path), the path of its hidden name.
    FitsError write(std::size_t position, const std::function<FitsError(const std::string&)>& save);
    void release();

    std::string parent_;
    std::string base_;       // the folder's name before any "-N"
    std::string folder_;     // see folder()
    std::string working_;    // the hidden folder, until kept or discarded
    int workingLock_ = -1;   // a descriptor of working_ holding its lock
    std::vector<std::string> names_; // the result file name of each position
    mutable std::mutex lock_;
    std::vector<std::size_t> written_;
};

// The file names of the results of sources, in their order: each source's file name
// without a compression suffix (".gz" or the tile compression's ".fz", in any case: results
// are written uncompressed, so "m31.fits.gz" gives "m31.fits", "m31.fz" gives "m31.fit"). A name an earlier source has taken gets "-2", "-3", ...
// before its extension ("a.fit" and "a.fit.gz" give "a.fit" and "a-2.fit").
std::vector<std::string> ResultFileNames(const std::vector<std::string>& sources);

// Appends "HISTORY " + text: printable ASCII (other bytes become "?"), continued on as many
// further HISTORY cards as it takes, each line broken after a word where one ends in the
// card, never cut off.
void AppendHistory(HeaderCards& cards, std::string_view text);

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
