#pragma once

#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"

#include <array>
#include <memory>
#include <vector>

namespace nocta::quality {

// Work buffers of the spatial stage, kept between frames.
struct ShrinkBuffers
{
    std::unique_ptr<float[]> strips;   // left uninitialised
    std::size_t size = 0;
    std::vector<char> pending;         // by strip: rows not yet written
};

// Shrinks the noise left in a plane (border of at least 8) in overlapping
// 8x8 DCT blocks, four apart, each coefficient but the mean by the
// non-negative garrote with threshold gain * v, where v is the block's mean
// of noise variance times residual variance factor (both planes at half
// the resolution of the plane when scale is 2, at its resolution when 1,
// with borders of at least 8). Writes the result into out (same size).
void shrinkPlane(const PlaneF &plane, const PlaneF &variance, const PlaneF &residual, int scale, float gain,
                 ShrinkBuffers &buffers, PlaneF &out);

} // namespace nocta::quality
