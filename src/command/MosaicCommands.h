#pragma once

#include "command/CommandFamily.h"

namespace skyvane {

// The commands of one-shot colour nights, rows of the interpreter's command table. A pattern
// typed after a command (RGGB, BGGR, GRBG or GBRG, in any case) names the filters of the
// first two stored pixels of the first two stored rows and takes the place of what the
// cards say (MosaicOfCards).

// "calibrate [LIST] (DARK) (FLAT)" and "calibrate [LIST] (DARK)": the list's selected frames
// calibrated (Calibration.h) into a new folder "calibrated" of the list's folder, the next
// list; dark and flat resolved as the Image commands resolve a file. Replies as list
// arithmetic does ("     3 images have been calibrated, 12 hot pixels replaced; new list
// [PATH2]; 1 left out"), "     dark image not recognized !" without "(DARK)".
Started calibrateList(AppContext& context, const CommandLine& command);

// "debayer" and "debayer PATTERN": Image A, a colour mosaic, becomes the colour image of
// its three planes (DemosaicPlane), with its cards less the mosaic's; "     image has been
// debayered (RGGB)". A grey image without a pattern, a colour image or another word change
// nothing and are answered as such.
Started debayerImage(AppContext& context, const CommandLine& command);

// "listdebayer [LIST]" and "listdebayer [LIST] PATTERN": the list's selected mosaics
// demosaiced (ListDemosaic.h) into a new folder "debayer", the next list. A frame that is no
// mosaic is named on a line of the reply ("     frame_003.fit  no colour mosaic, left
// out"), before "     2 images have been debayered; new list [PATH3]; 1 left out".
Started debayerList(AppContext& context, const CommandLine& command);

} // namespace skyvane
