// The settling of a field to the camera's motion where noise hides the
// picture (see settleField in motionsearch.h).

#include "filters/quality/motionsearch.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <cstdlib>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

// A block's vector that matches less than this many noise deviations times
// the block's side better than the camera's motion (in the sum of absolute
// differences over its 16x16 pixels) gives way to the camera's motion.
constexpr float SettleMargin = 1.5f;

struct SettleInput
{
    const FramePlanes *current;
    const FramePlanes *reference;
    Vec camera;
    const float *sigma;
};

#define NOCTA_KERNELS "filters/quality/motionsettle_kernels.inc"
#include "filters/kernelcopies.h"

} // namespace

void settleField(const FramePlanes &current, const FramePlanes &reference, Vec camera, const float *sigma,
                 MotionField &field)
{
    const SettleInput in{&current, &reference, camera, sigma};
    const auto settleRow = NOCTA_KERNEL(settleBlockRow);
    const int wide = field.blocksWide;
    parallelRows(field.blocksHigh, [&](int begin, int end) {
        for (int by = begin; by < end; ++by)
            settleRow(in, by, field.vectors.data() + std::size_t(by) * std::size_t(wide), wide);
    });
}

} // namespace nocta::quality
