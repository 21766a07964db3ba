#pragma once

#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"

#include <array>
#include <atomic>
#include <memory>
#include <vector>

namespace nocta::quality {

// Work space that every use writes before it reads (left uninitialised).
struct Scratch
{
    std::unique_ptr<float[]> values;
    std::size_t size = 0;

    Scratch() = default;
    explicit Scratch(std::size_t n) { reserve(n); }
    // At least n values; what was there is lost when it grows.
    void reserve(std::size_t n)
    {
        if (size < n) {
            values.reset(new float[n]);
            size = n;
        }
    }
    float *data() { return values.get(); }
    const float *data() const { return values.get(); }
    float &operator[](std::size_t i) { return values[i]; }
    float operator[](std::size_t i) const { return values[i]; }
};

// Work buffers of the spatial stage, kept between frames.
struct ShrinkBuffers
{
    Scratch strips;
    std::unique_ptr<std::atomic<int>[]> arrivals;
    std::size_t arrivalCount = 0;
};

// Shrinks the noise left in a plane (border of at least 8) in overlapping
// 8x8 DCT blocks, four apart, each coefficient but the mean by the
// non-negative garrote with threshold gain * v * spectrum[frequency], where
// v is the block's mean of noise variance times r^(9/8) of the residual
// variance factor r (both planes at half the resolution of the plane when
// scale is 2, at its resolution when 1, with borders of at least 8) and
// spectrum the noise's share at each frequency (vertical * 8 + horizontal;
// see NoiseModel). The thresholds fall a little faster than the noise
// left: where many frames were averaged, lower thresholds keep the fine
// detail that stands out of what is left; where none were, they are as
// high as the noise.
// Writes the result into out (same size).
void shrinkPlane(const PlaneF &plane, const PlaneF &variance, const PlaneF &residual, int scale, float gain,
                 const NoiseModel::Spectrum &spectrum, ShrinkBuffers &buffers, PlaneF &out);

// One plane for shrinkPlanes: shrinkPlane's arguments, and its grid.
// The usual grid has blocks four apart both ways, four over each pixel.
// The halfway grid has them 2 pixels right and down of those, four apart
// across and eight down: two over each pixel. Its result is blended into
// what out holds, each block weighing the same: run after the usual grid
// of the same plane, it brings six blocks over each pixel for half as much
// work again. The lower halfway grid is the halfway grid 4 rows further
// down: run after both, it brings eight (the usual grid and the one 2
// pixels right and down of it, whole).
enum class ShrinkGrid { Usual, Halfway, HalfwayLower };

struct ShrinkJob
{
    const PlaneF *plane, *variance, *residual;
    int scale;
    float gain;
    const NoiseModel::Spectrum *spectrum;
    PlaneF *out;
    ShrinkGrid grid = ShrinkGrid::Usual;
};

// shrinkPlane on several planes at once, in one parallel pass. A halfway
// grid's out must have been filled by the earlier passes named above.
void shrinkPlanes(const std::vector<ShrinkJob> &jobs, ShrinkBuffers &buffers);

} // namespace nocta::quality
