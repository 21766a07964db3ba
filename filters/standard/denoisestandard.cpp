#include "filters/standard/denoisestandard.h"

#include "filters/gray.h"
#include "filters/imageaccess.h"
#include "filters/parallel.h"
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

// Phase 1 for one row: the reference pixel averaged with its similar
// neighbours.
NOCTA_ROW_KERNEL void temporalRow(const std::uint32_t *p0, const std::uint32_t *p1, const std::uint32_t *p2,
                 const std::uint32_t *p3, const std::uint32_t *p4,
                 std::uint32_t *out, int width)
{
    for (int x = 0; x < width; ++x) {
        const std::uint32_t a = p0[x], b = p1[x], c = p2[x], d = p3[x], e = p4[x];
        const int r2 = red(c), g2 = green(c), b2 = blue(c);
        const int w0 = similarWeight(a, r2, g2, b2, Weight0);
        const int w1 = similarWeight(b, r2, g2, b2, Weight1);
        const int w3 = similarWeight(d, r2, g2, b2, Weight3);
        const int w4 = similarWeight(e, r2, g2, b2, Weight4);
        const int total = 4 + w0 + w1 + w3 + w4;
        const int r = roundedQuotient(4 * r2 + w0 * red(a) + w1 * red(b) + w3 * red(d) + w4 * red(e), total);
        const int g = roundedQuotient(4 * g2 + w0 * green(a) + w1 * green(b) + w3 * green(d) + w4 * green(e), total);
        const int bl = roundedQuotient(4 * b2 + w0 * blue(a) + w1 * blue(b) + w3 * blue(d) + w4 * blue(e), total);
        out[x] = detail::opaque(std::uint32_t(r), std::uint32_t(g), std::uint32_t(bl));
    }
}

NOCTA_ROW_KERNEL void grayRow(const std::uint32_t *pixels, std::uint8_t *gray, int width)
{
    for (int x = 0; x < width; ++x)
        gray[x] = std::uint8_t(grayLevel(pixels[x]));
}

// Phase 2 for columns 2 .. width-3 of one row y (2 <= y <= height-3):
// sharpen edge pixels with the cross kernel, smooth the others again.
NOCTA_ROW_KERNEL void spatialRow(const std::uint32_t *above, const std::uint32_t *centre, const std::uint32_t *below,
                const std::uint8_t *la, const std::uint8_t *lb, const std::uint8_t *lc,
                std::uint32_t *out, int width)
{
    for (int x = 2; x < width - 2; ++x) {
        const int gx = (la[x + 1] + 2 * lb[x + 1] + lc[x + 1]) - (la[x - 1] + 2 * lb[x - 1] + lc[x - 1]);
        const int gy = (lc[x - 1] + 2 * lc[x] + lc[x + 1]) - (la[x - 1] + 2 * la[x] + la[x + 1]);
        const bool edge = gx * gx + gy * gy >= 400;

        const std::uint32_t ul = above[x - 1], u = above[x], ur = above[x + 1];
        const std::uint32_t l = centre[x - 1], m = centre[x], r = centre[x + 1];
        const std::uint32_t dl = below[x - 1], dn = below[x], dr = below[x + 1];

        auto channel = [&](int shift) {
            auto v = [shift](std::uint32_t p) { return int((p >> shift) & 0xFF); };
            const int cross = v(u) + v(l) + v(r) + v(dn);
            const int sharp = std::clamp(5 * v(m) - cross, 0, 255);
            const int smooth = unsigned(2 * (v(ul) + v(ur) + v(dl) + v(dr)) + 4 * cross + 6 * v(m)) / 30u;
            return std::uint32_t(edge ? sharp : smooth);
        };
        out[x] = detail::opaque(channel(16), channel(8), channel(0));
    }
}

} // namespace

QImage denoiseStandard(const QImage &f0, const QImage &f1, const QImage &f2,
                       const QImage &f3, const QImage &f4)
{
    const QImage frames[5] = {detail::asArgbWords(f0), detail::asArgbWords(f1), detail::asArgbWords(f2),
                              detail::asArgbWords(f3), detail::asArgbWords(f4)};
    const int width = f0.width();
    const int height = f0.height();
    QImage result(width, height, detail::resultFormat(f0));
    if (result.isNull() || width <= 0 || height <= 0)
        return result;

    // Frames are expected to share one size. Should they not, only the area
    // they have in common is filtered and the rest of the result is black,
    // so that no pixel is ever read outside a frame.
    int commonWidth = width, commonHeight = height;
    for (const QImage &f : frames) {
        commonWidth = std::min(commonWidth, f.width());
        commonHeight = std::min(commonHeight, f.height());
    }
    // The spatial phase leaves a band two pixels wide along every border;
    // frames smaller than 5x5 are all band.
    const bool spatial = commonWidth >= 5 && commonHeight >= 5;

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
    parallelRows(height, [&](int begin, int end) {
        const int first = std::max(0, begin - 1);
        const int last = std::min(commonHeight, end + 1);
        const std::size_t values = std::size_t(std::max(0, last - first)) * width;
        // Every value is written below before it is read: no clearing.
        const std::unique_ptr<std::uint32_t[]> phase1(new std::uint32_t[values]);
        const std::unique_ptr<std::uint8_t[]> gray(spatial ? new std::uint8_t[values] : nullptr);
        auto phase1Row = [&](int y) { return phase1.get() + std::size_t(y - first) * width; };
        auto grayRowAt = [&](int y) { return gray.get() + std::size_t(y - first) * width; };

        for (int y = first; y < last; ++y) {
            auto at = [&](int k) { return reinterpret_cast<const std::uint32_t *>(in[k] + y * inStride[k]); };
            std::uint32_t *row = phase1Row(y);
            temporalRow(at(0), at(1), at(2), at(3), at(4), row, commonWidth);
            std::fill(row + commonWidth, row + width, 0xFF000000u);
            if (spatial)
                grayRow(row, grayRowAt(y), commonWidth);
        }

        for (int y = begin; y < end; ++y) {
            auto *dst = reinterpret_cast<std::uint32_t *>(d + y * dStride);
            if (y >= commonHeight) {
                std::fill(dst, dst + width, 0xFF000000u);
                continue;
            }
            const std::uint32_t *src = phase1Row(y);
            if (!spatial || y < 2 || y > commonHeight - 3) {
                std::memcpy(dst, src, rowBytes);
                continue;
            }
            // The two-pixel band keeps its phase-1 values.
            dst[0] = src[0];
            dst[1] = src[1];
            std::memcpy(dst + commonWidth - 2, src + commonWidth - 2, rowBytes - 4 * std::size_t(commonWidth - 2));
            spatialRow(phase1Row(y - 1), src, phase1Row(y + 1),
                       grayRowAt(y - 1), grayRowAt(y), grayRowAt(y + 1), dst, commonWidth);
        }
    });
    return result;
}

} // namespace nocta
