#include "filters/fuzzy/denoisefuzzy.h"

#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/precondition.h"
#include "filters/simd.h"

#include <algorithm>
#include <cstdint>

namespace nocta {

namespace {

constexpr int Tolerance = 20;
constexpr int Planes = FramePlanes::PlaneCount;

// The nine planes of the five sets, each pointing at the first pixel of a
// strip of at most one tile.
template <typename Value>
struct Window
{
    const Value *s[5][Planes];
};

// 1 when, in every channel, the dark-to-bright range of neighbour set n and
// that of s2 overlap once both are widened upward by the tolerance.
template <typename Value>
NOCTA_INLINE std::int32_t agrees(const Value *const *n, const Value *const *mid, int i)
{
    const int ok = (int(mid[0][i]) <= int(n[2][i]) + Tolerance) & (int(n[0][i]) <= int(mid[2][i]) + Tolerance)
                 & (int(mid[3][i]) <= int(n[5][i]) + Tolerance) & (int(n[3][i]) <= int(mid[5][i]) + Tolerance)
                 & (int(mid[6][i]) <= int(n[8][i]) + Tolerance) & (int(n[6][i]) <= int(mid[8][i]) + Tolerance);
    return ok;
}

// A flat pixel takes the middle of its averaged range; a detail pixel has
// its centre pushed away from that middle. Truncated toward zero, then
// clamped to 0..255.
NOCTA_INLINE std::uint32_t channelValue(float dark, float centre, float bright, bool detail)
{
    const float m = (dark + bright) * 0.5f;
    const float boosted = centre + 2.0f * (centre - m);
    const float v = detail ? boosted : m;
    int t = int(v);
    t = t < 0 ? 0 : t;
    t = t > 255 ? 255 : t;
    return std::uint32_t(t);
}

// Pixels are handled in strips of one tile of the planes: each step below
// is a plain loop over the strip with one data type, which the compiler
// turns into vector code.
constexpr int Strip = FramePlanes::TileWidth;

// One strip of a row. All floating-point arithmetic of the temporal step is
// single precision, literals included: evaluating any of it in double
// changes results.
template <typename Value>
NOCTA_INLINE void fuzzyStrip(const Window<Value> &w, int n, std::uint32_t *out)
{
    // Weights in quarter units: 1 for s0 and s4, 2 for s1 and s3, 4 for s2.
    // An average (s2 + 0.25 s0 + 0.5 s1 + ...) / W is then the quotient of
    // two integers, 4 s2 + s0 + 2 s1 + ... over 4 W, and one correctly
    // rounded single-precision division of those gives exactly the value
    // that the same division of the quarter-unit sums would.
    std::int32_t m0[Strip], m1[Strip], m3[Strip], m4[Strip];
    float total[Strip];
    for (int j = 0; j < n; ++j) {
        m0[j] = -agrees(w.s[0], w.s[2], j);
        m1[j] = -agrees(w.s[1], w.s[2], j);
        m3[j] = -agrees(w.s[3], w.s[2], j);
        m4[j] = -agrees(w.s[4], w.s[2], j);
        total[j] = float(4 + (m0[j] & 1) + (m1[j] & 2) + (m3[j] & 2) + (m4[j] & 1));
    }

    float a[Planes][Strip];
    for (int k = 0; k < Planes; ++k) {
        const Value *q0 = w.s[0][k], *q1 = w.s[1][k], *q2 = w.s[2][k];
        const Value *q3 = w.s[3][k], *q4 = w.s[4][k];
        float *ak = a[k];
        for (int j = 0; j < n; ++j) {
            const std::int32_t sum = 4 * std::int32_t(q2[j]) + (std::int32_t(q0[j]) & m0[j])
                                   + 2 * (std::int32_t(q1[j]) & m1[j]) + 2 * (std::int32_t(q3[j]) & m3[j])
                                   + (std::int32_t(q4[j]) & m4[j]);
            ak[j] = float(sum) / total[j];
        }
    }

    for (int j = 0; j < n; ++j) {
        const bool detail = (a[2][j] - a[0][j] > 30.0f) | (a[5][j] - a[3][j] > 40.0f)
                          | (a[8][j] - a[6][j] > 80.0f);
        const std::uint32_t r = channelValue(a[0][j], a[1][j], a[2][j], detail);
        const std::uint32_t g = channelValue(a[3][j], a[4][j], a[5][j], detail);
        const std::uint32_t b = channelValue(a[6][j], a[7][j], a[8][j], detail);
        out[j] = 0xFF000000u | r << 16 | g << 8 | b;
    }
}

// Row y of the result, tile by tile.
template <typename Set>
NOCTA_INLINE void fuzzyRowOf(const Set *const *sets, int y, int width, std::uint32_t *out)
{
    using Value = typename Set::Value;
    for (int x = 0; x < width; x += Strip) {
        Window<Value> w;
        for (int k = 0; k < 5; ++k) {
            const Value *first = sets[k]->span(0, x, y);
            for (int p = 0; p < Planes; ++p)
                w.s[k][p] = first + p * sets[k]->planeStride();
        }
        fuzzyStrip(w, std::min(Strip, width - x), out + x);
    }
}

#define NOCTA_KERNELS "filters/fuzzy/denoisefuzzy_kernels.inc"
#include "filters/kernelcopies.h"

template <typename Set>
QImage denoise(const Set &s0, const Set &s1, const Set &s2, const Set &s3, const Set &s4, int width, int height)
{
    if (width <= 0 || height <= 0)
        return QImage();
    const Set *sets[5] = {&s0, &s1, &s2, &s3, &s4};
    const bool oneSize = std::all_of(sets, sets + 5, [&](const Set *set) {
        return set->width() == width && set->height() == height;
    });
    if (!detail::precondition(oneSize, Q_FUNC_INFO, "every plane set is width x height"))
        return QImage();
    QImage result(width, height, QImage::Format_ARGB32);
    if (result.isNull())
        return result;

    std::uint8_t *bits = result.bits();
    const qsizetype stride = result.bytesPerLine();
    const auto fuzzyRow = NOCTA_KERNEL_OF(void(const Set *const *, int, int, std::uint32_t *), fuzzyRow);
    parallelRows(height, [&](int begin, int end) {
        for (int y = begin; y < end; ++y)
            fuzzyRow(sets, y, width, reinterpret_cast<std::uint32_t *>(bits + y * stride));
    });
    return result;
}

} // namespace

QImage denoiseFuzzy(const FramePlanes &s0, const FramePlanes &s1, const FramePlanes &s2,
                    const FramePlanes &s3, const FramePlanes &s4, int width, int height)
{
    return denoise(s0, s1, s2, s3, s4, width, height);
}

QImage denoiseFuzzy(const CompactFramePlanes &s0, const CompactFramePlanes &s1, const CompactFramePlanes &s2,
                    const CompactFramePlanes &s3, const CompactFramePlanes &s4, int width, int height)
{
    return denoise(s0, s1, s2, s3, s4, width, height);
}

} // namespace nocta
