#pragma once

#include "command/CommandFamily.h"

namespace skyvane {

// The colour commands, rows of the interpreter's command table.

// "rgbcompose (R) (G) (B)": Image A becomes the colour image of three grey files of one
// size (each resolved as the Image commands resolve a file), with the first file's header
// cards (NAXIS 3, NAXIS3 = 3); Image B stays. A file that cannot be read is reported by the
// loader, one of another size or a colour file as "Image size mismatch."; Image A then
// stays as it was and the reply says the image was not composed.
Started composeColour(AppContext& context, const CommandLine& command);

// "channel red|green|blue|luminance": a colour Image A becomes that plane, or its luminance
// (0.2126 R + 0.7152 G + 0.0722 B), a grey image with the cards of one plane; the reply
// names it ("     image is the red plane"). A grey Image A, or another word, changes
// nothing and is answered as such.
Started extractChannel(AppContext& context, const CommandLine& command);

} // namespace skyvane
