#include "filters/standard/denoisestandard.h"

#include "filters/gray.h"
#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/precondition.h"
#include "filters/simd.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace nocta {

namespace {

using detail::blue;
using detail::green;
using detail::red;

constexpr int Tolerance = 34;

// Temporal weights by window position, in quarters: 0.25 0.5 (1) 0.25 0.5.
// They are not mirrored around the reference frame.
constexpr int Weight0 = 1, Weight1 = 2, Weight3 = 1, Weight4 = 2;

NOCTA_INLINE int similarWeight(std::uint32_t p, int r, int g, int b, int weight)
{
    // Similar when every channel differs by at most 34; written without
    // branches so that the loop runs many pixels at once.
    const int dr = red(p) - r, dg = green(p) - g, db = blue(p) - b;
    const int far = (dr > Tolerance) | (dr < -Tolerance) | (dg > Tolerance) | (dg < -Tolerance)
                  | (db > Tolerance) | (db < -Tolerance);
    return weight & (far - 1);
}

// value = numerator / total rounded to nearest, halves up, for the exact
// quotient of two quarter-unit integers. floor((2n + t) / 2t) in single
// precision is exact here: the operands are small integers, an integer
// quotient is represented exactly, and any other quotient lies at least
// 1/20 below the next integer, far beyond the rounding error.
NOCTA_INLINE int roundedQuotient(int numerator, int total)
{
    return int(float(2 * numerator + total) / float(2 * total));
}

#define NOCTA_KERNELS "filters/standard/denoisestandard_kernels.inc"
#include "filters/kernelcopies.h"

} // namespace

QImage denoiseStandard(const QImage &f0, const QImage &f1, const QImage &f2,
                       const QImage &f3, const QImage &f4)
{
    const QImage *inputs[5] = {&f0, &f1, &f2, &f3, &f4};
    const bool oneSize = std::all_of(inputs, inputs + 5, [&](const QImage *f) { return f->size() == f0.size(); });
    if (!detail::precondition(oneSize, Q_FUNC_INFO, "the five frames have one size"))
        return QImage();

    const QImage frames[5] = {detail::asArgbWords(f0), detail::asArgbWords(f1), detail::asArgbWords(f2),
                              detail::asArgbWords(f3), detail::asArgbWords(f4)};
    const int width = f0.width();
    const int height = f0.height();
    QImage result(width, height, detail::resultFormat(f0));
    if (result.isNull() || width <= 0 || height <= 0)
        return result;

    // The spatial phase leaves a band two pixels wide along every border;
    // frames smaller than 5x5 are all band.
    const bool spatial = width >= 5 && height >= 5;

    const std::uint8_t *in[5];
    qsizetype inStride[5];
    for (int k = 0; k < 5; ++k) {
        in[k] = frames[k].constBits();
        inStride[k] = frames[k].bytesPerLine();
    }
    std::uint8_t *d = result.bits();
    const qsizetype dStride = result.bytesPerLine();
    const std::size_t rowBytes = std::size_t(width) * 4;

    // Each band of result rows computes the phase-1 rows it reads (its own
    // and one more above and below) into a buffer of its own, so the
    // phase-1 image is never held whole, and what a band reads is still in
    // the cache.
    const auto temporalRow = NOCTA_KERNEL(temporalRow);
    const auto spatialRow = NOCTA_KERNEL(spatialRow);
    parallelRows(height, [&](int begin, int end) {
        const int first = std::max(0, begin - 1);
        const int last = std::min(height, end + 1);
        const std::size_t values = std::size_t(std::max(0, last - first)) * width;
        // Every value is written below before it is read: no clearing.
        const std::unique_ptr<std::uint32_t[]> phase1(new std::uint32_t[values]);
        const std::unique_ptr<std::uint8_t[]> gray(spatial ? new std::uint8_t[values] : nullptr);
        auto phase1Row = [&](int y) { return phase1.get() + std::size_t(y - first) * width; };
        auto grayRowAt = [&](int y) { return gray.get() + std::size_t(y - first) * width; };

        for (int y = first; y < last; ++y) {
            auto at = [&](int k) { return reinterpret_cast<const std::uint32_t *>(in[k] + y * inStride[k]); };
            std::uint32_t *row = phase1Row(y);
            temporalRow(at(0), at(1), at(2), at(3), at(4), row, width);
            if (spatial)
                grayRow(row, grayRowAt(y), width);
        }

        for (int y = begin; y < end; ++y) {
            auto *dst = reinterpret_cast<std::uint32_t *>(d + y * dStride);
            const std::uint32_t *src = phase1Row(y);
            if (!spatial || y < 2 || y > height - 3) {
                std::memcpy(dst, src, rowBytes);
                continue;
            }
            // The two-pixel band keeps its phase-1 values.
            dst[0] = src[0];
            dst[1] = src[1];
            dst[width - 2] = src[width - 2];
            dst[width - 1] = src[width - 1];
            spatialRow(phase1Row(y - 1), src, phase1Row(y + 1),
                       grayRowAt(y - 1), grayRowAt(y), grayRowAt(y + 1), dst, width);
        }
    });
    return result;
}

} // namespace nocta
