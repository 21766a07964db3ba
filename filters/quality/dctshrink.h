#pragma once

#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"

#include <array>
#include <vector>

namespace nocta::quality {

// Work buffers of the spatial stage, kept between frames.
struct ShrinkBuffers
{
    std::vector<float> strips;
};

// Shrinks the noise left in a plane (border of at least 8) in overlapping
// 8x8 DCT blocks, four apart, each coefficient but the mean by the
// non-negative garrote with threshold gain * s^2, where s is the deviation
// of the block: sigma at the block's brightness (level, a byte plane whose
// scale is levelScale times that of the plane) times the square root of
// the block's residual variance factor (at the same scale as level).
// Writes the result into out (same size).
void shrinkPlane(const PlaneF &plane, const Plane8 &level, const PlaneF &residual, int levelScale,
                 const std::array<float, 256> &sigma, float gain, ShrinkBuffers &buffers, PlaneF &out);

} // namespace nocta::quality
