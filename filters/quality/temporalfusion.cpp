#include "filters/quality/temporalfusion.h"

#include "filters/quality/fusionbands.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

using namespace fusion;

// A neighbour counts fully while its mean normalised difference stays
// below AcceptUpTo (1 is noise alone) and not at all above AcceptUpTo +
// RejectSpan.
constexpr float AcceptUpTo = 1.6f;
constexpr float RejectSpan = 1.4f;
// The distance of a cell that has no counterpart in a neighbour.
constexpr float Outside = 1e6f;
struct FusionInput
{
    const FramePlanes *current;
    const Neighbour *neighbours;
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

// A running average (see Neighbour::counts) holds at most MaxCount
// frames' worth of averaging, in steps of 1 / CountScale.
constexpr float MaxCount = 32.0f;
constexpr float CountScale = 256.0f;
// A mismatch between the running average and the current frame that the
// distances cannot tell from noise would come back as many times as the
// frames it holds; so it counts
// n / (1 + MismatchWeight * n * max(0, m - 1 - MismatchSlack)) frames, m its
// mean distance over 3x3 cells in units of its own noise (1 for noise alone,
// on average), times the weight that distance gives. The slack keeps noise's
// own scatter of m from capping what a still noisy picture averages: about
// six frames' worth without it, twelve with it after forty frames.
constexpr float MismatchWeight = 0.5f;
constexpr float MismatchSlack = 0.3f;
// Its drift test takes the noise's variance as this many times lower: a
// running average's noise is a fraction of a frame's, and a slow drift (of
// light, or of how an encoder drew the picture) lags behind in it.
constexpr float RunningDriftStrictness = 6.0f;

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

// Where runningRow reads the current frame along a half row and writes the
// running average.
struct RunningRows
{
    const std::int16_t *cy0, *cy1, *cu, *cv;
    std::int16_t *y0, *y1, *u, *v, *n;
};

// The current frame along half row h, from its fixed-point planes.
struct CurrentRow
{
    const std::int16_t *y0, *y1, *u, *v;
};

#define NOCTA_KERNELS "filters/quality/temporalfusion_kernels.inc"
#include "filters/kernelcopies.h"

// The running average after the current frame along half row h where
// there was none before: the frame itself, counting for one frame.
void firstRunningRow(const FramePlanes &c, int h, RunningAverage &next)
{
    const std::size_t width = std::size_t(c.u16.width);
    for (int y = 2 * h; y < 2 * h + 2; ++y)
        std::copy_n(c.y16.row(y), 2 * width, next.planes.y16.row(y));
    std::copy_n(c.u16.row(h), width, next.planes.u16.row(h));
    std::copy_n(c.v16.row(h), width, next.planes.v16.row(h));
    std::fill_n(next.counts.row(h), width, std::int16_t(CountScale));
}

// What a band does for a running average among the neighbours (the first,
// if any) and for the one it makes (into next, unless null), keeping the
// first neighbour's counts along the latest two half rows.
class BandRunning
{
public:
    BandRunning(const std::vector<Neighbour> &neighbours, RunningAverage *next, int width)
        : m_neighbours(neighbours), m_next(next), m_width(width), m_has(!neighbours.empty() && neighbours[0].counts),
          m_line(std::size_t(width) + 2), m_counts(m_has ? 2 * m_line : 0), m_total(m_has ? m_line : 0)
    {
    }

    // How much stricter neighbour k's drift test is.
    float strictness(int k) const { return k == 0 && m_has ? RunningDriftStrictness : 1.0f; }

    // After the first neighbour's distances along half row h (d, cells -1
    // .. width, and their sums), moved onto it as moved.
    void distances(const WarpedRow &moved, int h, float *d, float *sums)
    {
        if (!m_has)
            return;
        m_distanceRow(m_neighbours[0], moved, m_width, counts(h), d, sums);
    }

    // Before the neighbours are averaged along half row h, from the first
    // one's distance sums along it and the rows above and below.
    void weigh(int h, const float *s0, const float *s1, const float *s2, float *weights)
    {
        if (m_has)
            m_weightRow(m_neighbours.data(), int(m_neighbours.size()), s0, s1, s2, counts(h), weights, m_width);
    }

    // After the neighbours are averaged along half row h (first: the first
    // neighbour moved onto it, null for none).
    void fused(const FramePlanes &current, int h, const WarpedRow *first, const float *weights, FusedFrame &out)
    {
        if (m_has)
            m_residualRow(weights, int(m_neighbours.size()), counts(h), m_total.data(), out.residual.row(h),
                          m_width);
        if (!m_next)
            return;
        if (m_has)
            m_runningRow(current, h, first->taps.data(), weights, counts(h), *m_next);
        else
            firstRunningRow(current, h, *m_next);
        for (int y = 2 * h; y < 2 * h + 2; ++y) {
            m_next->planes.y16.fillSides(y);
            if (y < m_next->planes.y8.height) {
                m_bytesRow(m_next->planes.y16.row(y), m_next->planes.y8.row(y), m_next->planes.y8.width);
                m_next->planes.y8.fillSides(y);
            }
        }
        for (Plane16 *p : {&m_next->planes.u16, &m_next->planes.v16, &m_next->counts})
            p->fillSides(h);
    }

    // The borders above and below the running average made, by the bands
    // that hold its first and last rows (begin, end).
    void finish(int begin, int end)
    {
        if (!m_next)
            return;
        for (Plane16 *p : {&m_next->planes.y16, &m_next->planes.u16, &m_next->planes.v16, &m_next->counts}) {
            if (begin == 0)
                p->fillTop();
            if (end == m_next->counts.height)
                p->fillBottom();
        }
        if (begin == 0)
            m_next->planes.y8.fillTop();
        if (end == m_next->counts.height)
            m_next->planes.y8.fillBottom();
    }

private:
    float *counts(int h) { return m_counts.data() + std::size_t((h + 2) % 2) * m_line + 1; }

    const std::vector<Neighbour> &m_neighbours;
    RunningAverage *m_next;
    decltype(&baseline::runningDistanceRow) m_distanceRow = NOCTA_KERNEL(runningDistanceRow);
    decltype(&baseline::runningWeightRow) m_weightRow = NOCTA_KERNEL(runningWeightRow);
    decltype(&baseline::runningResidualRow) m_residualRow = NOCTA_KERNEL(runningResidualRow);
    decltype(&baseline::runningRow) m_runningRow = NOCTA_KERNEL(runningRow);
    decltype(&baseline::lumaBytesRow) m_bytesRow = NOCTA_KERNEL(lumaBytesRow);
    int m_width;
    bool m_has;
    std::size_t m_line;
    std::vector<float> m_counts, m_total;
};

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

} // namespace

namespace {

// The planes that a fusion writes, sized for current.
void sizeOutputs(const FramePlanes &current, NoiseMap &noise, FusedFrame &out, RunningAverage *running)
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
    if (running && (running->counts.width != hw || running->counts.height != hh)) {
        running->planes.y16.reset(current.y16.width, current.y16.height, FullBorder);
        running->planes.y8.reset(current.y16.width, current.y16.height, FullBorder);
        running->planes.u16.reset(hw, hh, FullBorder / 2);
        running->planes.v16.reset(hw, hh, FullBorder / 2);
        running->counts.reset(hw, hh, FullBorder / 2);
    }
}

// One fusion's inputs and outputs (see fuseTemporal).
struct FusionJob
{
    const FramePlanes &current;
    const std::vector<Neighbour> &neighbours;
    const NoiseMapInput &noiseInput;
    NoiseMap &noise;
    FusedFrame &out;
    RunningAverage *running;
};

// The fusion of half rows [begin, end): the band maps the noise along its
// rows and moves its rows of every neighbour, and one row above and below,
// into place, keeping the latest two of them and the sums of three
// neighbouring distances along the latest three rows.
void fuseBand(const FusionJob &job, int begin, int end)
{
    const FramePlanes &current = job.current;
    const int hw = current.u16.width, hh = current.u16.height, count = int(job.neighbours.size());
    const FusionInput input{&current, job.neighbours.data()};
    const auto norm = NOCTA_KERNEL(normRow);
    const auto warp = NOCTA_KERNEL(warpRow);
    const auto distance = NOCTA_KERNEL(distanceRow);
    const auto weight = NOCTA_KERNEL(weightRow);
    const auto fuse = NOCTA_KERNEL(fuseRow);
    BandNoise bandNoise(job.noiseInput, job.noise, begin, end);
    BandDrift bandDrift(hw, count, job.noiseInput.meanShare);
    BandRunning bandRunning(job.neighbours, job.running, hw);
    const std::size_t line = std::size_t(hw) + 2;
    std::vector<float> norms(3 * line), ring(3 * line * std::size_t(count)), scratch(line);
    RowNorms rowNorms{norms.data() + 1, norms.data() + line + 1, norms.data() + 2 * line + 1};
    std::vector<WarpedRow> warped(2 * std::size_t(count), WarpedRow(hw));
    auto sums = [&](int k, int h) { return ring.data() + (std::size_t(k) * 3 + std::size_t((h + 3) % 3)) * line + 1; };
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
            if (k == 0)
                bandRunning.distances(moved(k, h), h, scratch.data() + 1, sums(k, h));
            bandDrift.keep(k, h);
        }
        const int row = h - 1;
        if (row < begin)
            continue;
        bandDrift.prepare(row);
        for (int k = 0; k < count; ++k) {
            float *w = weights.data() + std::size_t(k) * std::size_t(hw);
            weight(sums(k, row - 1), sums(k, row), sums(k, row + 1),
                   bandDrift.limits(k, row, bandRunning.strictness(k)), w, hw);
            rows[std::size_t(k)] = moved(k, row).taps.data();
        }
        if (count > 0)
            bandRunning.weigh(row, sums(0, row - 1), sums(0, row), sums(0, row + 1), weights.data());
        fuse(current, row, rows.data(), weights.data(), count, job.out);
        bandRunning.fused(current, row, count > 0 ? &moved(0, row) : nullptr, weights.data(), job.out);
        fillSides(job.out, row);
    }
    bandNoise.finish();
    bandRunning.finish(begin, end);
    if (begin == 0)
        forEachPlane(job.out, [](PlaneF &p) { p.fillTop(); });
    if (end == hh)
        forEachPlane(job.out, [](PlaneF &p) { p.fillBottom(); });
}

} // namespace

void fuseTemporal(const FramePlanes &current, const std::vector<Neighbour> &neighbours,
                  const NoiseMapInput &noiseInput, NoiseMap &noise, FusedFrame &out, RunningAverage *running)
{
    sizeOutputs(current, noise, out, running);
    const FusionJob job{current, neighbours, noiseInput, noise, out, running};
    parallelRows(current.u16.height, [&](int begin, int end) { fuseBand(job, begin, end); });
}

} // namespace nocta::quality
