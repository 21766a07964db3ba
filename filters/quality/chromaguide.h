#pragma once

#include "filters/quality/qualityplanes.h"

namespace nocta::quality {

// The colour differences at full resolution, led by the luma: around each
// half-resolution cell (3x3 cells) each colour difference is fitted as a
// linear function of the luma, c = a * luma + b, and a and b are averaged
// over 3x3 cells, so that colour edges follow the luma's edges instead of
// spreading over the two pixels of a cell.
struct ChromaGuide
{
    PlaneF a[2], b[2];   // u, v; half resolution, border of 8
    PlaneF guide, work[4];
};

// y: filtered luma (full resolution, border of at least 1); u, v: filtered
// colour differences (half resolution, border of at least 1). epsilon
// keeps the fit flat where the luma varies by less than its square root.
void guideChroma(const PlaneF &y, const PlaneF &u, const PlaneF &v, float epsilon, ChromaGuide &guide);

} // namespace nocta::quality
