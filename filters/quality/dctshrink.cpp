#include "filters/quality/dctshrink.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <vector>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

// The orthonormal 8-point DCT-II split into its even and odd rows (first
// four columns; the others mirror them).
constexpr float Even[4][4] = {
    {0.353553391f, 0.353553391f, 0.353553391f, 0.353553391f},
    {0.461939766f, 0.191341716f, -0.191341716f, -0.461939766f},
    {0.353553391f, -0.353553391f, -0.353553391f, 0.353553391f},
    {0.191341716f, -0.461939766f, 0.461939766f, -0.191341716f},
};
constexpr float Odd[4][4] = {
    {0.490392640f, 0.415734806f, 0.277785117f, 0.097545161f},
    {0.415734806f, -0.097545161f, -0.490392640f, -0.277785117f},
    {0.277785117f, -0.490392640f, 0.097545161f, 0.415734806f},
    {0.097545161f, -0.277785117f, 0.415734806f, -0.490392640f},
};

struct DctWork
{
    Scratch vertical, phased, inverse;

    explicit DctWork(int count)
        : vertical(std::size_t(8 * 4 * (count + 1))), phased(std::size_t(8 * 4 * (count + 1))),
          inverse(std::size_t(64 * count))
    {
    }
};

#define NOCTA_KERNELS "filters/quality/dctshrink_kernels.inc"
#include "filters/kernelcopies.h"

// The threshold of each block of strip t (pairs: count + 1 values of work
// space).
void stripThresholds(int t, int count, const PlaneF &variance, const PlaneF &residual, int scale, float gain,
                     float *pairs, float *threshold)
{
    const int step = 2 / scale;
    const int y0 = (4 * t - 4) / scale, x0 = -4 / scale;
    const float *v[4], *r[4];
    for (int i = 0; i < 4; ++i) {
        v[i] = variance.row(y0 + i * step) + x0;
        r[i] = residual.row(y0 + i * step) + x0;
    }
    const auto kernel = step == 1 ? NOCTA_KERNEL(blockThresholds<1>) : NOCTA_KERNEL(blockThresholds<2>);
    kernel(v, r, count, gain, pairs, threshold);
}

} // namespace

void shrinkPlane(const PlaneF &plane, const PlaneF &variance, const PlaneF &residual, int scale, float gain,
                 const NoiseModel::Spectrum &spectrum, ShrinkBuffers &buffers, PlaneF &out)
{
    const int width = plane.width, height = plane.height;
    const int count = (width + 3) / 4 + 1, span = count + 1;
    const int strips = (height - 1) / 4 + 2;
    const std::size_t stripSize = std::size_t(32 * span);
    // Only the first and last strip of each band are kept here (their rows
    // need a strip of the next band); the others stay in a band's own pair
    // of strips, in cache, until their rows are written.
    buffers.strips.reserve(stripSize * std::size_t(strips));
    float *const kept = buffers.strips.data();
    buffers.pending.assign(std::size_t(strips), 1);
    if (out.width != width || out.height != height)
        out.reset(width, height, 8);

    // The mean is kept as it is.
    NoiseModel::Spectrum factors = spectrum;
    factors[0] = 0.0f;
    const auto shrink = NOCTA_KERNEL(shrinkStrip);
    const auto gather = NOCTA_KERNEL(gatherRow);
    // Rows 4t .. 4t + 3 lie in strips t and t + 1.
    auto gatherRows = [&](int t, const float *lower, const float *upper) {
        for (int y = 4 * t; y < std::min(height, 4 * t + 4); ++y)
            gather(lower, upper, y % 4, span, out.row(y), width);
    };
    parallelRows(strips, [&](int begin, int end) {
        DctWork work(count);
        Scratch pair(2 * stripSize);
        std::vector<float> threshold(static_cast<std::size_t>(count)), pairs(threshold.size() + 1);
        const float *previous = nullptr;
        for (int t = begin; t < end; ++t) {
            const float *rows[8];
            for (int i = 0; i < 8; ++i)
                rows[i] = plane.row(4 * t - 4 + i) - 4;
            float *strip = t == begin || t == end - 1 ? kept + stripSize * std::size_t(t)
                                                      : pair.data() + stripSize * std::size_t(t % 2);
            stripThresholds(t, count, variance, residual, scale, gain, pairs.data(), threshold.data());
            shrink(rows, count, threshold.data(), factors.data(), work, strip);
            if (t > begin) {
                gatherRows(t - 1, previous, strip);
                buffers.pending[std::size_t(t - 1)] = 0;
            }
            previous = strip;
        }
    });
    // The rows between two bands, from the strips kept.
    parallelRows(strips - 1, [&](int begin, int end) {
        for (int t = begin; t < end; ++t)
            if (buffers.pending[std::size_t(t)])
                gatherRows(t, kept + stripSize * std::size_t(t), kept + stripSize * std::size_t(t + 1));
    });
    out.fillBorder();
}

} // namespace nocta::quality
