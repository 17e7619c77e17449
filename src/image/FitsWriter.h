#pragma once

#include <string>

#include "image/FitsReader.h"
#include "image/ImageRecord.h"

namespace skyvane {

// Writes the record's header cards, then its pixels truncated toward zero and limited to
// 0..32767 as unsigned 16-bit values (not-a-number as 0). The library writes the file in
// memory, and ReplaceFile puts it in place of the target only when everything was
// written: a failed or killed save never destroys an existing file and leaves nothing
// behind; a symbolic link is followed; permissions are kept. The cards alone define the
// output's data type and scaling; cards that do not describe a 2-D image of the grid's
// size fail the save (the rows would be scrambled), as does an empty record (no cards).
// Returns None, or Unwritable after printing the reason to standard error. No name
// reaches the library, so none can be read as an instruction.
[[nodiscard]] FitsError saveFits(const ImageRecord& record, const std::string& path);

} // namespace skyvane
