#include "filters/fuzzy/denoisefuzzy.h"

#include "filters/imageaccess.h"
#include "filters/parallel.h"

#include <algorithm>
#include <cstdint>

namespace nocta {

namespace {

using Value = FramePlanes::Value;
constexpr int Tolerance = 20;
constexpr int Planes = FramePlanes::PlaneCount;

// The nine planes of the five sets, each advanced to the start of a row.
struct Window
{
    const Value *s[5][Planes];
};

// Weight of a neighbour set at a pixel: its weight when, in every channel,
// its dark-to-bright range and that of s2 overlap once both are widened
// upward by the tolerance; 0 otherwise.
inline float agreement(const Value *const *n, const Value *const *mid, int i, float weight)
{
    const int ok = (mid[0][i] <= n[2][i] + Tolerance) & (n[0][i] <= mid[2][i] + Tolerance)
                 & (mid[3][i] <= n[5][i] + Tolerance) & (n[3][i] <= mid[5][i] + Tolerance)
                 & (mid[6][i] <= n[8][i] + Tolerance) & (n[6][i] <= mid[8][i] + Tolerance);
    return ok ? weight : 0.0f;
}

// A flat pixel takes the middle of its averaged range; a detail pixel has
// its centre pushed away from that middle. Truncated toward zero, then
// clamped to 0..255.
inline std::uint32_t channelValue(float dark, float centre, float bright, bool detail)
{
    const float m = (dark + bright) * 0.5f;
    const float boosted = centre + 2.0f * (centre - m);
    const float v = detail ? boosted : m;
    int t = int(v);
    t = t < 0 ? 0 : t;
    t = t > 255 ? 255 : t;
    return std::uint32_t(t);
}

// Pixels are handled in strips: each step below is a plain loop over the
// strip with one data type, which the compiler turns into vector code.
constexpr int Strip = 64;

// One strip of a row. All arithmetic of the temporal step is single
// precision, literals included: evaluating any of it in double changes
// results.
void fuzzyStrip(const Window &w, int begin, int n, std::uint32_t *out)
{
    float w0[Strip], w1[Strip], w3[Strip], w4[Strip], total[Strip];
    for (int j = 0; j < n; ++j) {
        const int i = begin + j;
        w0[j] = agreement(w.s[0], w.s[2], i, 0.25f);
        w1[j] = agreement(w.s[1], w.s[2], i, 0.5f);
        w3[j] = agreement(w.s[3], w.s[2], i, 0.5f);
        w4[j] = agreement(w.s[4], w.s[2], i, 0.25f);
        total[j] = 1.0f + w0[j] + w1[j] + w3[j] + w4[j];
    }

    // The numerators are sums of quarter units below 1024, exact in single
    // precision; only the division rounds.
    float a[Planes][Strip];
    for (int k = 0; k < Planes; ++k) {
        const Value *q0 = w.s[0][k] + begin, *q1 = w.s[1][k] + begin, *q2 = w.s[2][k] + begin;
        const Value *q3 = w.s[3][k] + begin, *q4 = w.s[4][k] + begin;
        float *ak = a[k];
        for (int j = 0; j < n; ++j)
            ak[j] = (float(q2[j]) + w0[j] * float(q0[j]) + w1[j] * float(q1[j])
                     + w3[j] * float(q3[j]) + w4[j] * float(q4[j])) / total[j];
    }

    for (int j = 0; j < n; ++j) {
        const bool detail = (a[2][j] - a[0][j] > 30.0f) | (a[5][j] - a[3][j] > 40.0f)
                          | (a[8][j] - a[6][j] > 80.0f);
        const std::uint32_t r = channelValue(a[0][j], a[1][j], a[2][j], detail);
        const std::uint32_t g = channelValue(a[3][j], a[4][j], a[5][j], detail);
        const std::uint32_t b = channelValue(a[6][j], a[7][j], a[8][j], detail);
        out[begin + j] = 0xFF000000u | r << 16 | g << 8 | b;
    }
}

void fuzzyRow(const Window &w, std::uint32_t *out, int width)
{
    for (int begin = 0; begin < width; begin += Strip)
        fuzzyStrip(w, begin, std::min(Strip, width - begin), out);
}

} // namespace

QImage denoiseFuzzy(const FramePlanes &s0, const FramePlanes &s1, const FramePlanes &s2,
                    const FramePlanes &s3, const FramePlanes &s4, int width, int height)
{
    if (width <= 0 || height <= 0)
        return QImage();
    QImage result(width, height, QImage::Format_ARGB32);
    if (result.isNull())
        return result;

    const FramePlanes *sets[5] = {&s0, &s1, &s2, &s3, &s4};
    for (const FramePlanes *set : sets)
        if (set->width() != width || set->height() < height) {
            // Not a window of this frame size: nothing may be read from it.
            result.fill(0xFF000000u);
            return result;
        }

    std::uint8_t *bits = result.bits();
    const qsizetype stride = result.bytesPerLine();
#pragma omp parallel for schedule(static) num_threads(filterThreads())
    for (int y = 0; y < height; ++y) {
        Window w;
        const std::size_t offset = std::size_t(y) * width;
        for (int k = 0; k < 5; ++k)
            for (int p = 0; p < Planes; ++p)
                w.s[k][p] = sets[k]->plane(p) + offset;
        fuzzyRow(w, reinterpret_cast<std::uint32_t *>(bits + y * stride), width);
    }
    return result;
}

} // namespace nocta
