#pragma once

#include "filters/quality/qualityplanes.h"

#include <QImage>

#include <array>

namespace nocta::quality {

// The noise left in the colour differences, per half-resolution cell: each
// one's noise variance (u, v) times the factor by which averaging lowered
// it (residual), all at half resolution.
struct ColourNoise
{
    const PlaneF *u, *v, *residual;
};

// The output frame (RGB32) from filtered luma y (full resolution) and
// colour differences u, v (half resolution); borders of at least one pixel.
//
// The colour differences follow the luma: around each half-resolution cell
// (3x3 cells) each is fitted as a linear function of the cells' mean luma
// (the guide), c = a * guide + b, where epsilon keeps the fit flat where
// the luma varies by less than its square root, and a and b are averaged
// over 3x3 cells, so that colour edges follow the luma's edges instead of
// spreading over the two pixels of a cell. What the fits leave out of a
// cell's colour (its value less its fit at the cell's mean luma: colour
// that the luma does not explain, and noise) is added back to the cell's
// fit as far as it stands out of the noise left there, by the
// non-negative garrote with the noise's variance as threshold (see
// ColourNoise). The fits are spread to full resolution led by the luma
// (a pixel follows the cells of its own brightness), and each colour
// channel (red, green, blue) is mapped through its table in unbias:
// UnbiasSize entries indexed by the value in quarter steps.
//
// Each band of rows makes its fits and its output in one pass, the rows of
// each step kept in turn while the later steps need them.
QImage guidedFrame(const PlaneF &y, const PlaneF &u, const PlaneF &v, const ColourNoise &noise, float epsilon,
                   const std::array<UnbiasTable, 3> &unbias);

} // namespace nocta::quality
