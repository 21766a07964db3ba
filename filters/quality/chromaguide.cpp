#include "filters/quality/chromaguide.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <vector>

namespace nocta::quality {

namespace {

#define NOCTA_KERNELS "filters/quality/chromaguide_kernels.inc"
#include "filters/kernelcopies.h"

void fit(PlaneF &plane, int width, int height)
{
    if (plane.width != width || plane.height != height)
        plane.reset(width, height, 8);
}

} // namespace

void guideChroma(const PlaneF &y, const PlaneF &u, const PlaneF &v, float epsilon, ChromaGuide &guide)
{
    const int w = u.width, h = u.height;
    for (PlaneF *p : {&guide.a[0], &guide.a[1], &guide.b[0], &guide.b[1], &guide.guide, &guide.work[0],
                      &guide.work[1], &guide.work[2], &guide.work[3]})
        fit(*p, w, h);
    const auto half = NOCTA_KERNEL(guideRow);
    const auto fitRows = NOCTA_KERNEL(fitRow);
    const auto mean = NOCTA_KERNEL(meanRow);
    parallelRows(h, [&](int begin, int end) {
        for (int r = begin; r < end; ++r)
            half(y.row(2 * r), y.row(2 * r + 1), guide.guide.row(r), w);
    });
    guide.guide.fillBorder();
    const auto triple = NOCTA_KERNEL(tripleRow);
    parallelRows(h, [&](int begin, int end) {
        // The column sums of the latest three rows, in turn.
        const std::size_t line = std::size_t(w);
        std::vector<float> ring(18 * line);
        auto sums = [&](int r, float **t) {
            for (int k = 0; k < 6; ++k)
                t[k] = ring.data() + (std::size_t((r + 3) % 3) * 6 + std::size_t(k)) * line;
        };
        for (int r = begin - 1; r <= end; ++r) {
            float *t[6];
            sums(r, t);
            triple(guide.guide, u, v, r, t, w);
            if (r - 1 < begin)
                continue;
            float *t0[6], *t1[6], *t2[6];
            sums(r - 2, t0);
            sums(r - 1, t1);
            sums(r, t2);
            float *const rows[4] = {guide.work[0].row(r - 1), guide.work[1].row(r - 1), guide.work[2].row(r - 1),
                                    guide.work[3].row(r - 1)};
            fitRows(t0, t1, t2, epsilon, rows, w);
        }
    });
    for (PlaneF &p : guide.work)
        p.fillBorder();
    parallelRows(h, [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            mean(guide.work[0], r, guide.a[0].row(r), w);
            mean(guide.work[1], r, guide.b[0].row(r), w);
            mean(guide.work[2], r, guide.a[1].row(r), w);
            mean(guide.work[3], r, guide.b[1].row(r), w);
        }
    });
    for (PlaneF *p : {&guide.a[0], &guide.a[1], &guide.b[0], &guide.b[1]})
        p->fillBorder();
}

} // namespace nocta::quality
