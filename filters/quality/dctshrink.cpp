#include "filters/quality/dctshrink.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <vector>

#ifdef __x86_64__
#include <immintrin.h>
#endif

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
    Scratch vertical, phased, inverse;

    explicit DctWork(int count)
        : vertical(std::size_t(8 * 4 * (count + 1))), phased(std::size_t(8 * 4 * (count + 1))),
          inverse(std::size_t(64 * count))
    {
    }
};

#define NOCTA_KERNELS "filters/quality/dctshrink_kernels.inc"
#include "filters/kernelcopies.h"

// How far a grid's blocks lie right and down of the usual ones.
int shiftOf(const ShrinkJob &job)
{
    return job.grid == ShrinkGrid::Usual ? 0 : 2;
}

// The thresholds of a band's strips, strip by strip. Strip t reads the
// sample rows 2t - 2 .. 2t + 1 (sample s: variance and residual row s at
// half the plane's resolution, row 2s at its own, two rows apart); each
// row's share is made once and kept while the next strip needs it.
class BandThresholds
{
public:
    BandThresholds(const ShrinkJob &job, int count)
        : m_job(job), m_count(count), m_terms(4 * std::size_t(count)), m_pairs(std::size_t(count) + 1),
          m_threshold(std::size_t(count))
    {
    }

    const float *strip(int t)
    {
        const float *terms[4];
        for (int i = 0; i < 4; ++i)
            terms[i] = sampleRow(2 * t - 2 + i);
        NOCTA_KERNEL(sumThresholds)(terms, m_count, m_job.gain, m_threshold.data());
        return m_threshold.data();
    }

private:
    const float *sampleRow(int s)
    {
        const std::size_t slot = std::size_t(s & 3);
        float *terms = m_terms.data() + slot * std::size_t(m_count);
        if (m_held[slot] == s)
            return terms;
        m_held[slot] = s;
        // The first sample of block 0 (column -4 - shift of the plane).
        const int step = 2 / m_job.scale, lead = shiftOf(m_job) / m_job.scale;
        const int y = s * step - lead, x0 = -4 / m_job.scale - lead;
        const float *v = m_job.variance->row(y) + x0, *r = m_job.residual->row(y) + x0;
        const auto kernel = step == 1 ? NOCTA_KERNEL(thresholdRow<1>) : NOCTA_KERNEL(thresholdRow<2>);
        kernel(v, r, m_count, m_pairs.data(), terms);
        return terms;
    }

    const ShrinkJob &m_job;
    int m_count;
    std::vector<float> m_terms, m_pairs, m_threshold;
    int m_held[4] = {INT_MIN, INT_MIN, INT_MIN, INT_MIN};
};

// Where one plane's strips lie among all the planes' (see shrinkPlanes).
struct StripLayout
{
    int count = 0, span = 0, strips = 0;
    std::size_t stripSize = 0;
    int first = 0;   // its first strip's index among all
};

struct ShrinkContext
{
    const ShrinkJob *job;
    StripLayout layout;
    float *kept;                    // this plane's strips at band ends
    std::atomic<int> *arrivals;     // by strip: bands done beside it
    NoiseModel::Spectrum factors;
};

// Rows 4t .. 4t + 3 lie in strips t and t + 1.
void gatherRows(const ShrinkContext &c, int t, const float *lower, const float *upper)
{
    PlaneF &out = *c.job->out;
    const auto gather = NOCTA_KERNEL(gatherRow);
    for (int y = 4 * t; y < std::min(out.height, 4 * t + 4); ++y) {
        gather(lower, upper, y % 4, c.layout.span, out.row(y), out.width);
        out.fillSides(y);
    }
}

// The rows between a band and the next, from the strips kept at their
// ends: written by whichever of the two bands is done last.
void meetAt(const ShrinkContext &c, int t)
{
    if (c.arrivals[t].fetch_add(1, std::memory_order_acq_rel) != 1)
        return;
    const std::size_t size = c.layout.stripSize;
    gatherRows(c, t - 1, c.kept + size * std::size_t(t - 1), c.kept + size * std::size_t(t));
}

// A strip's eight plane rows from row first, column left on, and the four
// after them (the next strip's, on their way to the cache; within the
// plane).
void stripRows(const PlaneF &plane, int first, int left, const float *rows[12])
{
    for (int i = 0; i < 12; ++i)
        rows[i] = plane.row(i < 8 ? first + i : std::min(first + i, plane.height - 1)) + left;
}

// Strips begin .. end - 1 of one plane and the rows they finish.
void shrinkBand(const ShrinkContext &c, int begin, int end)
{
    const ShrinkJob &job = *c.job;
    const StripLayout &l = c.layout;
    DctWork work(l.count);
    Scratch pair(2 * l.stripSize);
    BandThresholds thresholds(job, l.count);
    const auto shrink = NOCTA_KERNEL(shrinkStrip);
    const float *previous = nullptr;
    for (int t = begin; t < end; ++t) {
        const float *rows[12];
        stripRows(*job.plane, 4 * t - 4, -4, rows);
        // Only the first and last strip of a band are kept (their rows
        // need a strip of the next band); the others stay in the band's
        // own pair of strips, in cache, until their rows are written.
        float *strip = t == begin || t == end - 1 ? c.kept + l.stripSize * std::size_t(t)
                                                  : pair.data() + l.stripSize * std::size_t(t % 2);
        shrink(rows, l.count, thresholds.strip(t), c.factors.data(), work, strip);
        if (t > begin)
            gatherRows(c, t - 1, previous, strip);
        previous = strip;
    }
    if (begin > 0)
        meetAt(c, begin);
    if (end < l.strips)
        meetAt(c, end);
}

// Strips begin .. end - 1 of a halfway grid: strip j is the usual
// layout's strip 2j (2j + 1 for the lower grid), shifted; its eight rows
// are blended straight into the output (no two of its strips share a
// row), each block weighing as much as each of those that out holds.
void shrinkHalfwayBand(const ShrinkContext &c, int begin, int end, float *strip)
{
    const ShrinkJob &job = *c.job;
    const StripLayout &l = c.layout;
    PlaneF &out = *job.out;
    DctWork work(l.count);
    BandThresholds thresholds(job, l.count);
    const auto shrink = NOCTA_KERNEL(shrinkStrip);
    const auto blend = NOCTA_KERNEL(blendRow);
    const int lower = job.grid == ShrinkGrid::HalfwayLower ? 1 : 0;
    const int shift = shiftOf(job), left = -4 - shift, top = left + 4 * lower;
    // Blocks over each pixel: four or six held, two added.
    const float held = lower ? 6.0f : 4.0f;
    for (int j = begin; j < end; ++j) {
        const int first = top + 8 * j;
        const float *rows[12];
        stripRows(*job.plane, first, left, rows);
        shrink(rows, l.count, thresholds.strip(2 * j + lower), c.factors.data(), work, strip);
        for (int i = std::max(0, -first); i < std::min(8, out.height - first); ++i) {
            // From column -shift: the border it reaches is filled again.
            blend(strip, i, l.span, held / (held + 2.0f), 1.0f / (held + 2.0f), out.row(first + i) - shift,
                  out.width + shift);
            out.fillSides(first + i);
        }
    }
}

} // namespace

void shrinkPlanes(const std::vector<ShrinkJob> &jobs, ShrinkBuffers &buffers)
{
    std::vector<ShrinkContext> planes;
    std::size_t keptSize = 0;
    int total = 0;
    for (const ShrinkJob &job : jobs) {
        StripLayout l;
        const int shift = shiftOf(job);
        l.count = (job.plane->width + shift + 3) / 4 + 1;
        l.span = l.count + 1;
        // (The last strip's first row lies within the plane.)
        const int top = -4 - shift + (job.grid == ShrinkGrid::HalfwayLower ? 4 : 0);
        l.strips = job.grid == ShrinkGrid::Usual ? (job.plane->height - 1) / 4 + 2
                                                 : (job.plane->height - 1 - top) / 8 + 1;
        l.stripSize = std::size_t(32 * l.span);
        l.first = total;
        PlaneF &out = *job.out;
        if (out.width != job.plane->width || out.height != job.plane->height)
            out.reset(job.plane->width, job.plane->height, 8);
        // The mean is kept as it is.
        NoiseModel::Spectrum factors = *job.spectrum;
        factors[0] = 0.0f;
        planes.push_back({&job, l, nullptr, nullptr, factors});
        keptSize += l.stripSize * std::size_t(l.strips);
        total += l.strips;
    }
    buffers.strips.reserve(keptSize);
    if (buffers.arrivalCount < std::size_t(total)) {
        buffers.arrivals.reset(new std::atomic<int>[std::size_t(total)]);
        buffers.arrivalCount = std::size_t(total);
    }
    std::size_t offset = 0;
    for (ShrinkContext &c : planes) {
        c.kept = buffers.strips.data() + offset;
        c.arrivals = buffers.arrivals.get() + c.layout.first;
        offset += c.layout.stripSize * std::size_t(c.layout.strips);
    }
    for (int i = 0; i < total; ++i)
        buffers.arrivals[std::size_t(i)].store(0, std::memory_order_relaxed);
    // One pass over the strips of every plane, one after the other; a band
    // that spans two planes does its part of each.
    parallelRows(total, [&](int begin, int end) {
        for (const ShrinkContext &c : planes) {
            const int from = std::max(begin, c.layout.first);
            const int to = std::min(end, c.layout.first + c.layout.strips);
            if (from >= to)
                continue;
            if (c.job->grid == ShrinkGrid::Usual)
                shrinkBand(c, from - c.layout.first, to - c.layout.first);
            else   // (work space: the kept place of the band's first strip)
                shrinkHalfwayBand(c, from - c.layout.first, to - c.layout.first,
                                  c.kept + c.layout.stripSize * std::size_t(from - c.layout.first));
        }
    });
    for (const ShrinkJob &job : jobs) {
        job.out->fillTop();
        job.out->fillBottom();
    }
}

void shrinkPlane(const PlaneF &plane, const PlaneF &variance, const PlaneF &residual, int scale, float gain,
                 const NoiseModel::Spectrum &spectrum, ShrinkBuffers &buffers, PlaneF &out)
{
    shrinkPlanes({{&plane, &variance, &residual, scale, gain, &spectrum, &out}}, buffers);
}

} // namespace nocta::quality
