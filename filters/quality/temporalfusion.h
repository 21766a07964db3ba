#pragma once

#include "filters/quality/motionsearch.h"
#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"

#include <vector>

namespace nocta::quality {

// A neighbouring frame of the same scene and the motion of the current
// frame's blocks into it.
struct Neighbour
{
    const FramePlanes *frame = nullptr;
    const MotionField *field = nullptr;
    // Set for a running average of the frames before the current one (see
    // RunningAverage), which must be the first neighbour: how many frames'
    // worth of averaging each half-resolution cell of it holds.
    const Plane16 *counts = nullptr;
    // Whether the running average holds this frame: it then counts only
    // where the running average does not.
    bool inRunning = false;
};

// The running average of a scene's frames up to one frame: that frame
// averaged with the running average before it, as far as the two match,
// and per half-resolution cell how many frames' worth of averaging it
// holds (in 1 / 256). Only y16, u16, v16 and, for finding the camera's
// motion against it, y8 of planes are kept.
struct RunningAverage
{
    FramePlanes planes;
    Plane16 counts;
};

// The temporal stage's result: luma (full resolution) and colour
// differences (half resolution), and per half-resolution cell the factor
// by which the averaging lowered the noise variance (1: nothing averaged).
struct FusedFrame
{
    PlaneF y, u, v, residual;
};

// Averages each pixel of current with its aligned neighbours, all read
// from their fixed-point planes. A neighbour's weight falls from 1 to 0 as
// its difference to the current frame around the pixel (over 6x6 pixels,
// luma and colour, measured against the noise variance that noise gives)
// grows beyond what noise explains, and as the mean of its luma
// differences over 48x6 pixels drifts further from 0 than noise explains
// (the noise of such a mean from noiseInput's meanShare). The noise map of
// current (made from noiseInput) is written into noise on the way, borders
// included. A running average among the neighbours counts as many frames
// as it holds, as far as its distance shows no mismatch beyond its own
// lower noise. The running average after current goes to running, unless
// that is null.
void fuseTemporal(const FramePlanes &current, const std::vector<Neighbour> &neighbours,
                  const NoiseMapInput &noiseInput, NoiseMap &noise, FusedFrame &out,
                  RunningAverage *running = nullptr);

} // namespace nocta::quality
