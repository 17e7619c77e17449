#pragma once

#include "processing/Mosaic.h"

namespace skyvane {

// Demosaicing: the one plane of a colour mosaic made into three (red, green, blue), each
// pixel given the two colours its filter did not see.
//
// The method interpolates green first, from the green pixels alone, then red and blue by
// colour differences (the difference of a colour and green changes more slowly than the
// colour itself, so green's detail, sampled twice as densely, carries into red and blue):
//  1. green where red or blue was seen: the green pixels form a square lattice turned by
//     45 degrees, with red and blue pixels at the centres of its cells, so green there is
//     cubic convolution (Keys, a = -1/2) over the 4 x 4 nearest green pixels along the two
//     axes of that lattice. Edge-aware: where a row or a column runs along a straight edge
//     (the picture changes 16 times more across than along it), the estimate follows the
//     edge instead: the mean of the two green neighbours along it, corrected by half the
//     second difference of the pixel's own colour along it;
//  2. red and blue everywhere they were not seen: balance times green there plus the
//     difference of the colour and balance times green, interpolated from the pixels that
//     saw the colour by cubic convolution (Keys, a = -1/2) on their lattice two pixels apart:
//     along the column (4 pixels) where the column saw the colour, along the row where the
//     row did, and along both (4 x 4 pixels) on the diagonal sites. The balance of red
//     (blue) is what it is to green on most of the frame: the median over the pattern's
//     cells of its pixel over their green mean (a sample of cells on large frames), 1 where
//     that is no sensible colour (no sky above zero).
// Why this for stars: a star is a few pixels wide, and red and blue are sampled two pixels
// apart, so each colour interpolated by itself (bilinear) cuts the peaks and changes a
// star's colour with where it falls on the filter cell. Methods that choose a direction at
// every pixel by its gradients take every flank of a star for an edge; on round stars that
// costs more than it gains and biases the flux of one colour against another. The cubic
// lattice estimate follows a round peak in every direction alike, its weights sum to 1 and
// keep the flux, and the colour differences give the three planes one shape; only a
// straight, strong edge (a satellite trail, the limb of a planet) is followed along its
// direction. What is left of a star in the colour differences is what changes its shape
// with its place on the cell, and a median of registered frames, which picks each pixel
// from another frame, then no longer keeps its flux: balanced differences leave only the
// star's colour against the sky's in them (a star of the sky's colour leaves nothing), and
// the cubic kernel, unlike a linear one, keeps the rest nearly the same shape wherever the
// star falls.
// Near the border the missing neighbours are mirrored across the edge pixel.
// Plain IEEE arithmetic; each pixel depends only on its neighbours and the two balances.

// mosaic holds width x height values column-major (column x starts at x * height; row 0 the
// first stored row); red, green and blue receive the planes in the same layout. pattern is
// the mosaic as it lies on the stored rows (MosaicOfCards). None of the four may overlap.
// Frames narrower or lower than 2 pixels are copied into all three planes.
void DemosaicPlane(const double* mosaic, int width, int height, const Mosaic& pattern, double* red, double* green, double* blue);

} // namespace skyvane
