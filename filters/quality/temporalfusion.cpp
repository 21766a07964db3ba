#include "filters/quality/temporalfusion.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <array>
#include <cstring>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

// A neighbour counts fully while its mean normalised difference stays
// below AcceptUpTo (1 is noise alone) and not at all above AcceptUpTo +
// RejectSpan.
constexpr float AcceptUpTo = 1.6f;
constexpr float RejectSpan = 1.4f;
// The distance of a cell that has no counterpart in a neighbour.
constexpr float Outside = 1e6f;
// A neighbour whose content has drifted from the current frame's by more
// than noise explains (a slow change of light, or of how an encoder drew
// the picture, which hides in the noise of the few pixels that the
// distances compare) counts less: the mean of the signed luma differences
// over three runs of 8 cells along three half rows (48x6 pixels) is
// weighed against the deviation that noise gives such a mean. A
// neighbour counts fully while the squared ratio (1 is noise alone) stays
// below DriftUpTo, and not at all above DriftUpTo + DriftSpan.
constexpr float DriftUpTo = 12.0f;
constexpr float DriftSpan = 12.0f;

struct FusionInput
{
    const FramePlanes *current;
    const Neighbour *neighbours;
};

// The noise map along one half row (cells -1 .. width).
struct NoiseRow
{
    const float *y, *u, *v;
};

// Per-cell normalisation of the squared differences of one half row
// (index -1 .. width). The differences are squared in fixed point (luma)
// and in four times fixed point (colour, a sum of four taps), so the norms
// hold those units' squares: a power of two apart from the levels', which
// changes no rounding.
struct RowNorms
{
    float *y, *u, *v;
};

// One step of the fixed-point planes.
constexpr float Unit = FixedUnit;

constexpr int floorDiv(int a, int b) { return a >= 0 ? a / b : -((b - 1 - a) / b); }

// Whether a neighbour's taps along half row h follow from those along the
// row above: both rows in one row of blocks, and every vector (within
// MaxVector) keeping both luma rows of each inside the picture of height
// lumaHeight on both.
constexpr bool canFollow(int h, int lumaHeight)
{
    return h % 8 != 0 && 2 * (h - 1) - MaxVector >= 0 && 2 * h + 1 + MaxVector < lumaHeight;
}

// Where a neighbour moved by one block's vector is read along a half row:
// cell x takes its luma from columns 2x, 2x + 1 of y0 and y1, and its
// colour differences from the taps u0[x], u0[x + fx], u1[x], u1[x + fx]
// (v alike; a full-resolution vector's odd components fall between
// cells: the mean of the two, from the integer sum of the four taps,
// exactly). Cells outside [from, to) have no counterpart inside the
// neighbour's picture.
struct BlockTap
{
    const std::int16_t *y0, *y1, *u0, *u1, *v0, *v1;
    int fx, from, to;
};

// A neighbour moved onto one half row (see warpRow): the taps of each run
// of 8 cells (cells 8b .. 8b + 7 read taps[b]; cell -1 the first, cell
// width the last).
struct WarpedRow
{
    std::vector<BlockTap> taps;

    explicit WarpedRow(int halfWidth) : taps(std::size_t(halfWidth + 7) / 8) {}
};

// The current frame along half row h, from its fixed-point planes.
struct CurrentRow
{
    const std::int16_t *y0, *y1, *u, *v;
};

#define NOCTA_KERNELS "filters/quality/temporalfusion_kernels.inc"
#include "filters/kernelcopies.h"

template <typename F>
void forEachPlane(FusedFrame &out, F f)
{
    for (PlaneF *p : {&out.y, &out.u, &out.v, &out.residual})
        f(*p);
}

// The side borders of the rows that half row h writes (the luma row below
// the picture included when its height is odd: fillBottom writes it again).
void fillSides(FusedFrame &out, int h)
{
    out.y.fillSides(2 * h);
    out.y.fillSides(2 * h + 1);
    out.u.fillSides(h);
    out.v.fillSides(h);
    out.residual.fillSides(h);
}

// Makes the noise map's rows for a band of half rows [begin, end): its own
// rows into the map, and the rows just above and below it, which other
// bands write, into rows of its own.
class BandNoise
{
public:
    BandNoise(const NoiseMapInput &input, NoiseMap &map, int begin, int end)
        : m_input(input), m_map(map), m_begin(begin), m_end(end), m_line(std::size_t(map.y.width) + 2),
          m_edge(3 * m_line)
    {
    }

    // Half row h of the map (begin - 1 <= h <= end; beyond the picture, the
    // nearest row, as the map's borders repeat it).
    NoiseRow row(int h)
    {
        const int width = m_map.y.width;
        if (h >= m_begin && h < m_end) {
            noiseMapRow(m_input, h, m_map.y.row(h), m_map.u.row(h), m_map.v.row(h));
            for (PlaneF *p : {&m_map.y, &m_map.u, &m_map.v})
                p->fillSides(h);
            return {m_map.y.row(h), m_map.u.row(h), m_map.v.row(h)};
        }
        float *rows[3] = {m_edge.data() + 1, m_edge.data() + m_line + 1, m_edge.data() + 2 * m_line + 1};
        noiseMapRow(m_input, std::clamp(h, 0, m_map.y.height - 1), rows[0], rows[1], rows[2]);
        for (float *r : rows) {
            r[-1] = r[0];
            r[width] = r[width - 1];
        }
        return {rows[0], rows[1], rows[2]};
    }

    // The borders above and below the map, by the bands that hold its first
    // and last rows.
    void finish()
    {
        for (PlaneF *p : {&m_map.y, &m_map.u, &m_map.v}) {
            if (m_begin == 0)
                p->fillTop();
            if (m_end == p->height)
                p->fillBottom();
        }
    }

private:
    const NoiseMapInput &m_input;
    NoiseMap &m_map;
    int m_begin, m_end;
    std::size_t m_line;
    std::vector<float> m_edge;
};

// The drift test (see DriftUpTo) along a band's rows: the signed luma
// differences of each run of 8 cells, added to those of the runs on
// either side, of every neighbour along the latest three half rows, and
// the luma noise variances of the same cells.
class BandDrift
{
public:
    BandDrift(int width, int count, float meanShare)
        : m_width(width), m_tiles(std::size_t((width + 7) / 8)), m_meanShare(meanShare), m_runs(m_tiles),
          m_drift(3 * m_tiles * std::size_t(count)), m_noise(3 * m_tiles), m_scale(m_tiles), m_limit(m_tiles), m_sums(m_tiles)
    {
    }

    // Where distanceRow writes a neighbour's runs of one half row.
    int *runs() { return m_runs.data(); }
    // Keeps the runs just written as neighbour k's along half row h.
    void keep(int k, int h) { spread(m_runs.data(), drift(k, h)); }

    // The noise variances along half row h (cells 0 .. width - 1).
    void addNoise(int h, const float *noise)
    {
        const std::size_t whole = std::size_t(m_width / 8);
        for (std::size_t b = 0; b < whole; ++b) {
            const float *n = noise + 8 * b;
            m_sums[b] = ((n[0] + n[1]) + (n[2] + n[3])) + ((n[4] + n[5]) + (n[6] + n[7]));
        }
        if (whole < m_tiles) {
            float sum = 0;
            for (int x = 8 * int(whole); x < m_width; ++x)
                sum += noise[x];
            m_sums[whole] = sum;
        }
        spread(m_sums.data(), noise3(h));
    }

    // Makes ready to limit the weights along half row h: one over the
    // variance that noise gives each run's sums over three rows.
    void prepare(int h)
    {
        const float *a = noise3(h - 1), *b = noise3(h), *c = noise3(h + 1);
        // Four pixels a cell; the difference of two noisy frames has twice
        // the noise variance.
        for (std::size_t t = 0; t < m_tiles; ++t)
            m_scale[t] = (Unit * Unit / DriftSpan) / std::max(8.0f * m_meanShare * ((a[t] + b[t]) + c[t]), 1e-20f);
    }

    // The highest weights of neighbour k along half row h (one a run of 8
    // cells), after prepare(h).
    const float *limits(int k, int h)
    {
        const int *a = drift(k, h - 1), *b = drift(k, h), *c = drift(k, h + 1);
        for (std::size_t t = 0; t < m_tiles; ++t) {
            const float sum = float((a[t] + b[t]) + c[t]);
            const float limit = (DriftUpTo + DriftSpan) / DriftSpan - sum * sum * m_scale[t];
            m_limit[t] = limit > 0.0f ? limit : 0.0f;
        }
        return m_limit.data();
    }

private:
    int *drift(int k, int h) { return m_drift.data() + (std::size_t(k) * 3 + std::size_t((h + 3) % 3)) * m_tiles; }
    float *noise3(int h) { return m_noise.data() + std::size_t((h + 3) % 3) * m_tiles; }

    // Each run's value added to those on either side (inside the row).
    template <typename T>
    void spread(const T *in, T *out) const
    {
        const std::size_t last = m_tiles - 1;
        if (last == 0) {
            out[0] = in[0];
            return;
        }
        out[0] = in[0] + in[1];
        for (std::size_t t = 1; t < last; ++t)
            out[t] = (in[t - 1] + in[t]) + in[t + 1];
        out[last] = in[last - 1] + in[last];
    }

    int m_width;
    std::size_t m_tiles;
    float m_meanShare;
    std::vector<int> m_runs, m_drift;
    std::vector<float> m_noise, m_scale, m_limit, m_sums;
};

} // namespace

void fuseTemporal(const FramePlanes &current, const std::vector<Neighbour> &neighbours,
                  const NoiseMapInput &noiseInput, NoiseMap &noise, FusedFrame &out)
{
    const int hw = current.u16.width, hh = current.u16.height;
    if (out.y.width != current.y16.width || out.y.height != current.y16.height) {
        out.y.reset(current.y16.width, current.y16.height, 8);
        out.u.reset(hw, hh, 8);
        out.v.reset(hw, hh, 8);
        out.residual.reset(hw, hh, 8);
    }
    if (noise.y.width != hw || noise.y.height != hh)
        for (PlaneF *p : {&noise.y, &noise.u, &noise.v})
            p->reset(hw, hh, 8);
    const int count = int(neighbours.size());
    const FusionInput input{&current, neighbours.data()};

    const auto norm = NOCTA_KERNEL(normRow);
    const auto warp = NOCTA_KERNEL(warpRow);
    const auto distance = NOCTA_KERNEL(distanceRow);
    const auto weight = NOCTA_KERNEL(weightRow);
    const auto fuse = NOCTA_KERNEL(fuseRow);
    // Each band maps the noise along its rows and moves its rows of every
    // neighbour, and one row above and below, into place, keeping the
    // latest two of them and the sums of three neighbouring distances along
    // the latest three rows.
    parallelRows(hh, [&](int begin, int end) {
        BandNoise bandNoise(noiseInput, noise, begin, end);
        const std::size_t line = std::size_t(hw) + 2;
        std::vector<float> norms(3 * line), ring(3 * line * std::size_t(count)), scratch(line);
        BandDrift bandDrift(hw, count, noiseInput.meanShare);
        RowNorms rowNorms{norms.data() + 1, norms.data() + line + 1, norms.data() + 2 * line + 1};
        std::vector<WarpedRow> warped;
        warped.reserve(2 * std::size_t(count));
        for (int i = 0; i < 2 * count; ++i)
            warped.emplace_back(hw);
        auto sums = [&](int k, int h) {
            return ring.data() + (std::size_t(k) * 3 + std::size_t((h + 3) % 3)) * line + 1;
        };
        auto moved = [&](int k, int h) -> WarpedRow & { return warped[std::size_t(k) * 2 + std::size_t((h + 2) % 2)]; };
        std::vector<float> weights(std::size_t(count) * std::size_t(hw));
        std::vector<const BlockTap *> rows(static_cast<std::size_t>(count));
        for (int h = begin - 1; h <= end; ++h) {
            const NoiseRow noiseRow = bandNoise.row(h);
            norm(noiseRow, hw, rowNorms);
            bandDrift.addNoise(h, noiseRow.y);
            for (int k = 0; k < count; ++k) {
                warp(input, k, h, h > begin - 1 ? &moved(k, h - 1) : nullptr, moved(k, h));
                distance(input, h, moved(k, h), rowNorms, scratch.data() + 1, sums(k, h), bandDrift.runs());
                bandDrift.keep(k, h);
            }
            const int row = h - 1;
            if (row < begin)
                continue;
            bandDrift.prepare(row);
            for (int k = 0; k < count; ++k) {
                float *w = weights.data() + std::size_t(k) * std::size_t(hw);
                weight(sums(k, row - 1), sums(k, row), sums(k, row + 1), bandDrift.limits(k, row), w, hw);
                rows[std::size_t(k)] = moved(k, row).taps.data();
            }
            fuse(current, row, rows.data(), weights.data(), count, out);
            fillSides(out, row);
        }
        bandNoise.finish();
        if (begin == 0)
            forEachPlane(out, [](PlaneF &p) { p.fillTop(); });
        if (end == hh)
            forEachPlane(out, [](PlaneF &p) { p.fillBottom(); });
    });
}

} // namespace nocta::quality
