#pragma once

#include "command/CommandFamily.h"

namespace skyvane {

// The commands of one-shot colour nights, rows of the interpreter's command table.

// "calibrate [LIST] (DARK) (FLAT)" and "calibrate [LIST] (DARK)": the list's selected frames
// calibrated (Calibration.h) into a new folder "calibrated" of the list's folder, the next
// list; dark and flat resolved as the Image commands resolve a file. Replies as list
// arithmetic does ("     3 images have been calibrated, 12 hot pixels replaced; new list
// [PATH2]; 1 left out"), "     dark image not recognized !" without "(DARK)".
Started calibrateList(AppContext& context, const CommandLine& command);

} // namespace skyvane
