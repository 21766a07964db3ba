// The camera's motion to the pixel: the displacement of a whole picture
// against another (see cameraMotion in motionsearch.h).

#include "filters/quality/motionsearch.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <vector>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

// Each search step weighs nine candidates: a centre and the eight around it.
constexpr int Candidates = 9;

#define NOCTA_KERNELS "filters/quality/cameramotion_kernels.inc"
#include "filters/kernelcopies.h"

using Ring = std::array<Vec, Candidates>;

// centre, then the eight vectors step away from it.
Ring around(Vec centre, int step)
{
    Ring ring{centre};
    int i = 1;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (dx != 0 || dy != 0)
                ring[std::size_t(i++)] = {std::clamp(centre.x + step * dx, -MaxVector, MaxVector),
                                          std::clamp(centre.y + step * dy, -MaxVector, MaxVector)};
    return ring;
}

} // namespace

Vec cameraMotion(const Plane8 &current, const Plane8 &reference, Vec guess)
{
    const int w = current.width, h = current.height;
    const int mx = std::min(16, w / 4), my = std::min(16, h / 4);
    const auto sads = NOCTA_KERNEL(rowSads);
    // The candidate with the least sum over every rowStep-th row (the first
    // on a tie). Row by row, every candidate's sum taken in one pass over
    // the row; the bands' sums added in any order: integers, exactly.
    auto best = [&](const Ring &candidates, int rowStep) {
        const int samples = (h - 2 * my + rowStep - 1) / rowStep;
        std::array<std::atomic<std::int64_t>, Candidates> totals{};
        parallelRows(samples, [&](int begin, int end) {
            std::array<std::int64_t, Candidates> band{};
            const std::uint8_t *rows[Candidates];
            for (int y = my + begin * rowStep; y < std::min(h - my, my + end * rowStep); y += rowStep) {
                for (int i = 0; i < Candidates; ++i)
                    rows[i] = reference.row(y + candidates[std::size_t(i)].y) + mx + candidates[std::size_t(i)].x;
                sads(current.row(y) + mx, rows, w - 2 * mx, band.data());
            }
            for (int i = 0; i < Candidates; ++i)
                totals[std::size_t(i)] += band[std::size_t(i)];
        });
        std::size_t k = 0;
        for (std::size_t i = 1; i < Candidates; ++i)
            if (totals[i] < totals[k])
                k = i;
        return candidates[k];
    };
    return best(around(best(around(guess, 2), 4), 1), 2);
}

} // namespace nocta::quality
