#pragma once

#include "processing/Coaddition.h"

namespace skyvane {

// What a co-added result says of how it was made, added to its cards (the first frame's):
//  - NCOMBINE: the number of frames combined (the card replaced where the first frame has one);
//  - EXPTIME: when every frame combined has one, their mean. Every method gives a pixel on
//    the scale of one frame (median, mean, min-max rejection, sigma clipping and winsorised
//    sigma clipping all average), so the result's exposure is the mean one, for every
//    method; the total is told in a HISTORY card. Otherwise the first frame's card stays;
//  - DATE-OBS: the first frame's, as all its cards (nothing to add);
//  - HISTORY cards: the number of frames and the method with its parameters, normalisation
//    and weights, the frames left out, the exposures, and with normalisation or weights
//    each frame's sky level, noise, scale and weight.
// Reads the frames' cards; a frame whose cards cannot be read counts as one without EXPTIME.
void AddCoaddProvenance(CoaddResult& result, const CoaddOptions& options);

} // namespace skyvane
