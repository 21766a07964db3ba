#include "filters/quality/dctshrink.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>

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
    std::vector<float> vertical, phased, inverse;

    explicit DctWork(int count)
        : vertical(std::size_t(8 * 4 * (count + 1))), phased(vertical.size()),
          inverse(std::size_t(64 * count))
    {
    }
};

#define NOCTA_KERNELS "filters/quality/dctshrink_kernels.inc"
#include "filters/kernelcopies.h"

// The threshold of each block of strip t.
void stripThresholds(int t, int count, const PlaneF &variance, const PlaneF &residual, int scale, float gain,
                     float *threshold)
{
    const int step = 2 / scale;
    const int y0 = (4 * t - 4) / scale;
    for (int c = 0; c < count; ++c) {
        const int x0 = (4 * c - 4) / scale;
        float sum = 0;
        for (int i = 0; i < 4; ++i) {
            const float *v = variance.row(y0 + i * step) + x0, *r = residual.row(y0 + i * step) + x0;
            sum += (v[0] * r[0] + v[step] * r[step]) + (v[2 * step] * r[2 * step] + v[3 * step] * r[3 * step]);
        }
        threshold[c] = gain * sum * (1.0f / 16.0f);
    }
}

} // namespace

void shrinkPlane(const PlaneF &plane, const PlaneF &variance, const PlaneF &residual, int scale, float gain,
                 ShrinkBuffers &buffers, PlaneF &out)
{
    const int width = plane.width, height = plane.height;
    const int count = (width + 3) / 4 + 1, span = count + 1;
    const int strips = (height - 1) / 4 + 2;
    const std::size_t stripSize = std::size_t(32 * span);
    buffers.strips.resize(stripSize * std::size_t(strips));   // every strip writes all of its own
    if (out.width != width || out.height != height)
        out.reset(width, height, 8);

    const auto shrink = NOCTA_KERNEL(shrinkStrip);
    parallelRows(strips, [&](int begin, int end) {
        DctWork work(count);
        std::vector<float> threshold(static_cast<std::size_t>(count));
        for (int t = begin; t < end; ++t) {
            const float *rows[8];
            for (int i = 0; i < 8; ++i)
                rows[i] = plane.row(4 * t - 4 + i) - 4;
            stripThresholds(t, count, variance, residual, scale, gain, threshold.data());
            shrink(rows, count, threshold.data(), work, buffers.strips.data() + stripSize * std::size_t(t));
        }
    });
    const auto gather = NOCTA_KERNEL(gatherRow);
    parallelRows(height, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            const float *lower = buffers.strips.data() + stripSize * std::size_t(y / 4);
            gather(lower, lower + stripSize, y % 4, span, out.row(y), width);
        }
    });
    out.fillBorder();
}

} // namespace nocta::quality
