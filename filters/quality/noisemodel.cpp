#include "filters/quality/noisemodel.h"

#include "filters/parallel.h"
#include "filters/quality/noisefit.h"
#include "filters/simd.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

inline void count(int *bins, float difference)
{
    ++bins[std::min(NoiseHistogram::Steps - 1, int(std::fabs(difference) * 4.0f))];
}

// Runs rows of half-resolution cells in parallel, each band into a
// histogram of its own, added up at the end (integer sums: the same for any
// split).
template <typename RowWork>
void collect(int rows, NoiseHistogram &histogram, const RowWork &work)
{
    std::mutex lock;
    parallelRows(rows, [&](int begin, int end) {
        NoiseHistogram local;
        for (int h = begin; h < end; ++h)
            work(h, local);
        const std::lock_guard<std::mutex> guard(lock);
        histogram.add(local);
    });
}

// A cell counts as grey while the sum of its colour differences' sizes
// stays within GreyTolerance + GreyShare * luma level.
constexpr float GreyTolerance = 6.0f;
constexpr float GreyShare = 0.1f;

// One step of the fixed-point planes (every frame is read from them).
constexpr float Unit = FixedUnit;

// The least variance a cell is given.
constexpr float MinVariance = 0.01f;

#define NOCTA_KERNELS "filters/quality/noisemodel_kernels.inc"
#include "filters/kernelcopies.h"

// The sums over a half-resolution cell's 3x3 neighbourhood of its luma
// bytes and colour differences: its colour, which noise hardly moves.
struct Surround
{
    float y, u, v;
};

Surround surround(const FramePlanes &frame, int x, int h)
{
    int y = 0, u = 0, v = 0;
    for (int j = -1; j <= 1; ++j) {
        const std::uint8_t *yr = frame.h8.row(h + j) + x;
        const std::int16_t *ur = frame.u16.row(h + j) + x, *vr = frame.v16.row(h + j) + x;
        y += (int(yr[-1]) + yr[0]) + yr[1];
        u += (int(ur[-1]) + ur[0]) + ur[1];
        v += (int(vr[-1]) + vr[0]) + vr[1];
    }
    return {float(y), Unit * float(u), Unit * float(v)};
}

// Whether a cell's colour is close to grey: the model's luma and
// colour-difference noise are measured on grey, where each channel sits at
// the luma's level.
bool isGrey(const Surround &around, int level)
{
    return std::fabs(around.u) + std::fabs(around.v) <= 9.0f * (GreyTolerance + GreyShare * float(level));
}

// Every how many half-resolution rows a frame is sampled: every second,
// or fewer on large frames (about 64k cells a frame are plenty).
int sampleStep(const FramePlanes &frame)
{
    return std::max(2, int(std::int64_t(frame.u16.width) * frame.u16.height / 65536));
}

// Counts the differences of the colour channels of cell (x, h) against the
// reference cell that vector v (even in both directions: whole cells)
// points to, each by its level around the cell, where it is dark.
void countCellChannels(const FramePlanes &current, const FramePlanes &reference, int x, int h, Vec v,
                       const Surround &around, NoiseHistogram &histogram)
{
    const float y3 = around.y / 9.0f, u3 = around.u / 9.0f, v3 = around.v / 9.0f;
    const float levels[3] = {y3 + RFromCr * v3, (y3 - GFromCb * u3) - GFromCr * v3, y3 + BFromCb * u3};
    if (std::min(std::min(levels[0], levels[1]), levels[2]) >= NoiseHistogram::ColourLevels)
        return;
    const std::int16_t *c0 = current.y16.row(2 * h) + 2 * x, *c1 = current.y16.row(2 * h + 1) + 2 * x;
    const std::int16_t *r0 = reference.y16.row(2 * h + v.y) + 2 * x + v.x;
    const std::int16_t *r1 = reference.y16.row(2 * h + 1 + v.y) + 2 * x + v.x;
    const int rx = x + v.x / 2, ry = h + v.y / 2;
    // The difference of luma and colour differences, then of each channel.
    const float dy = 0.25f * Unit
                   * float(((int(c0[0]) + c0[1]) + (int(c1[0]) + c1[1])) - ((int(r0[0]) + r0[1]) + (int(r1[0]) + r1[1])));
    const float du = Unit * float(current.u16.row(h)[x] - reference.u16.row(ry)[rx]);
    const float dv = Unit * float(current.v16.row(h)[x] - reference.v16.row(ry)[rx]);
    const float differences[3] = {dy + RFromCr * dv, (dy - GFromCb * du) - GFromCr * dv, dy + BFromCb * du};
    for (int c = 0; c < 3; ++c) {
        if (levels[c] >= NoiseHistogram::ColourLevels)
            continue;
        const float level = std::max(0.0f, levels[c]);
        const int bin = int(level) / NoiseHistogram::ColourBinWidth;
        histogram.levelSum(NoiseHistogram::FirstColour + c, bin) += int(level * 16.0f + 0.5f);
        count(histogram.counts(NoiseHistogram::FirstColour + c, bin), differences[c]);
    }
}

// The orthonormal 8-point DCT-II: at[k][n] = c(k) cos((2n + 1) k pi / 16),
// and its transpose.
struct DctBasis
{
    float at[8][8], transposed[8][8];
    DctBasis()
    {
        for (int k = 0; k < 8; ++k)
            for (int n = 0; n < 8; ++n) {
                at[k][n] = float((k ? 0.5 : std::sqrt(0.125)) * std::cos((2 * n + 1) * k * 3.14159265358979 / 16));
                transposed[n][k] = at[k][n];
            }
    }
};
const DctBasis Basis;

// Counts the squared DCT coefficients of an 8x8 block of differences
// (rows of 8) into a plane's bins.
void countSpectrum(const float block[8][8], NoiseHistogram &histogram, int plane)
{
    static const auto power = NOCTA_KERNEL(blockPower);
    float squares[64];
    power(block, Basis.at, Basis.transposed, squares);
    for (int f = 0; f < 64; ++f)
        ++histogram.power(plane, f)[NoiseHistogram::powerBin(squares[f])];
}

// About how many blocks of a frame the spectrum is counted on.
constexpr int SpectrumBlocks = 2048;

// Adds the spectrum of the differences of the blocks of the field (see
// measureTemporalNoise). Each block follows the vector of the block to its
// left (the right one in the first column), as the colour channels do.
void measureSpectrum(const FramePlanes &current, const FramePlanes &reference, const MotionField &field,
                     NoiseHistogram &histogram)
{
    // Whole blocks only.
    const int wide = current.y16.width / BlockSize, high = current.y16.height / BlockSize;
    if (wide < 2 || high < 1)
        return;
    const int step = std::max(1, wide * high / SpectrumBlocks);
    collect((high + step - 1) / step, histogram, [&](int r, NoiseHistogram &local) {
        const int by = step * r;
        float block[8][8];
        for (int bx = 0; bx < wide; ++bx) {
            const Vec v = field.at(bx > 0 ? bx - 1 : 1, by);
            const int x0 = BlockSize * bx + 4, y0 = BlockSize * by + 4;
            for (int i = 0; i < 8; ++i) {
                const std::int16_t *c = current.y16.row(y0 + i) + x0;
                const std::int16_t *p = reference.y16.row(y0 + i + v.y) + x0 + v.x;
                for (int j = 0; j < 8; ++j)
                    block[i][j] = Unit * float(c[j] - p[j]);
            }
            countSpectrum(block, local, 0);
            if ((v.x & 1) || (v.y & 1))
                continue;
            const Plane16 *planes[2] = {&current.u16, &current.v16};
            const Plane16 *references[2] = {&reference.u16, &reference.v16};
            for (int k = 0; k < 2; ++k) {
                for (int i = 0; i < 8; ++i) {
                    const std::int16_t *c = planes[k]->row(8 * by + i) + 8 * bx;
                    const std::int16_t *p = references[k]->row(8 * by + i + v.y / 2) + 8 * bx + v.x / 2;
                    for (int j = 0; j < 8; ++j)
                        block[i][j] = Unit * float(c[j] - p[j]);
                }
                countSpectrum(block, local, 1 + k);
            }
        }
    });
}

} // namespace

int NoiseHistogram::powerBin(float square)
{
    std::uint32_t bits;
    std::memcpy(&bits, &square, sizeof bits);
    // Exponent and the top three bits of the mantissa: eighths of an octave.
    return std::clamp(int(bits >> 20) - ((127 - 10) << 3), 0, PowerBins - 1);
}

double NoiseHistogram::binPower(int bin)
{
    return std::ldexp(1.0 + (bin & 7) / 8.0, (bin >> 3) - 10);
}

long long NoiseHistogram::powerBlocks(int plane) const
{
    const int *c = power(plane, 0);
    long long sum = 0;
    for (int b = 0; b < PowerBins; ++b)
        sum += c[b];
    return sum;
}

double NoiseHistogram::medianPower(int plane, int frequency) const
{
    const int *c = power(plane, frequency);
    const double half = powerBlocks(plane) / 2.0;
    double below = 0;
    for (int b = 0; b < PowerBins; ++b) {
        if (below + c[b] >= half && c[b] > 0) {
            const double low = b ? binPower(b) : 0.0;
            return low + (binPower(b + 1) - low) * (half - below) / c[b];
        }
        below += c[b];
    }
    return binPower(PowerBins);
}

void NoiseHistogram::add(const NoiseHistogram &other)
{
    for (std::size_t i = 0; i < m_counts.size(); ++i)
        m_counts[i] += other.m_counts[i];
    for (std::size_t i = 0; i < m_power.size(); ++i)
        m_power[i] += other.m_power[i];
    for (std::size_t i = 0; i < m_levelSums.size(); ++i)
        m_levelSums[i] += other.m_levelSums[i];
    m_spatial = m_spatial || other.m_spatial;
}

double NoiseHistogram::meanLevel(int channel, int bin) const
{
    const long long n = total(channel, bin);
    return n > 0 ? double(m_levelSums[std::size_t(channel * LevelBins + bin)]) / (16.0 * double(n))
                 : 16.0 * bin + 8.0;
}

long long NoiseHistogram::total(int channel, int bin) const
{
    const int *c = counts(channel, bin);
    long long sum = 0;
    for (int s = 0; s < Steps; ++s)
        sum += c[s];
    return sum;
}

long long NoiseHistogram::total() const
{
    long long sum = 0;
    for (int b = 0; b < LevelBins; ++b)
        sum += total(0, b);
    return sum;
}

double NoiseHistogram::median(int channel, int bin) const
{
    return medianStep(counts(channel, bin));
}

double medianStep(const int *c)
{
    long long n = 0;
    for (int s = 0; s < NoiseHistogram::Steps; ++s)
        n += c[s];
    const double half = n / 2.0;
    double below = 0;
    for (int s = 0; s < NoiseHistogram::Steps; ++s) {
        if (below + c[s] >= half && c[s] > 0)
            return (s + (half - below) / c[s]) / 4.0;
        below += c[s];
    }
    return NoiseHistogram::Steps / 4.0;
}

void measureTemporalNoise(const FramePlanes &current, const FramePlanes &reference, const MotionField &field,
                          NoiseHistogram &histogram)
{
    const int step = sampleStep(current);
    const int rows = (current.u16.height + step - 1) / step;
    collect(rows, histogram, [&](int r, NoiseHistogram &local) {
        const int h = step * r;
        const int by = std::min(2 * h / BlockSize, field.blocksHigh - 1);
        const std::uint8_t *level = current.h8.row(h);
        for (int x = 0; x < current.u16.width; ++x) {
            const int bx = std::min(2 * x / BlockSize, field.blocksWide - 1);
            const Vec v = field.at(bx, by);
            if (x % 8 == 0) {
                // (sparse full-resolution rows: asked for ahead of use)
                const int ahead = std::min(2 * x + 256, current.y16.width - 1);
                __builtin_prefetch(current.y16.row(2 * h) + ahead);
                __builtin_prefetch(current.y16.row(2 * h + 1) + ahead);
                __builtin_prefetch(reference.y16.row(2 * h + v.y) + ahead);
                __builtin_prefetch(reference.y16.row(2 * h + 1 + v.y) + ahead);
            }
            const Surround around = surround(current, x, h);
            // The colour channels are measured with the vector of the next
            // block to the left (the right one in the first column): the
            // block's own vector, picked where the difference is least,
            // shows less noise than there is on flat areas.
            const Vec w = field.at(bx > 0 ? bx - 1 : std::min(1, field.blocksWide - 1), by);
            if (!(w.x & 1) && !(w.y & 1))
                countCellChannels(current, reference, x, h, w, around, local);
            if (!isGrey(around, level[x]))
                continue;
            const int bin = level[x] >> 4;
            local.levelSum(0, bin) += 16 * level[x];
            count(local.counts(0, bin),
                  Unit * float(current.y16.row(2 * h)[2 * x] - reference.y16.row(2 * h + v.y)[2 * x + v.x]));
            // Between cells the reference is the mean of two or four, with
            // less noise: its differences are scaled to those of one cell.
            const int ox = v.x >> 1, oy = v.y >> 1, fx = v.x & 1, fy = v.y & 1;
            const float scale = fx && fy ? 1.2649111f : (fx || fy ? 1.1547005f : 1.0f);
            auto difference = [&](const Plane16 &c, const Plane16 &p) {
                const std::int16_t *r0 = p.row(h + oy) + x + ox, *r1 = p.row(h + oy + fy) + x + ox;
                const int four = 4 * c.row(h)[x] - ((int(r0[0]) + r0[fx]) + (int(r1[0]) + r1[fx]));
                return 0.25f * Unit * float(four) * scale;
            };
            count(local.counts(1, bin), difference(current.u16, reference.u16));
            count(local.counts(2, bin), difference(current.v16, reference.v16));
        }
    });
    measureSpectrum(current, reference, field, histogram);
}

void measureSpatialNoise(const FramePlanes &frame, NoiseHistogram &histogram)
{
    histogram.setSpatial();
    const int step = sampleStep(frame);
    const int rows = (frame.u16.height + step - 1) / step;
    collect(rows, histogram, [&](int r, NoiseHistogram &local) {
        const int h = step * r;
        const std::uint8_t *level = frame.h8.row(h);
        const std::int16_t *y = frame.y16.row(2 * h), *u = frame.u16.row(h), *v = frame.v16.row(h);
        for (int x = 0; x + 1 < frame.u16.width; ++x) {
            if (!isGrey(surround(frame, x, h), level[x]))
                continue;
            const int bin = level[x] >> 4;
            local.levelSum(0, bin) += 16 * level[x];
            count(local.counts(0, bin), Unit * float(y[2 * x] - y[2 * x + 1]));
            count(local.counts(1, bin), Unit * float(u[x] - u[x + 1]));
            count(local.counts(2, bin), Unit * float(v[x] - v[x + 1]));
        }
    });
}

NoiseMapInput noiseMapInput(const FramePlanes &frame, const NoiseModel &model, double strength)
{
    NoiseMapInput input;
    input.frame = &frame;
    input.variance = model.channelVariance.data();
    const double s2 = strength * strength;
    const std::array<double, 3> weights[3] = {lumaWeights(), cbWeights(), crWeights()};
    const float scales[3] = {model.scaleY, model.scaleU, model.scaleV};
    float *targets[3] = {input.y, input.u, input.v};
    for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c)
            targets[k][c] = float(s2 * scales[k] * weights[k][std::size_t(c)]);
    // The mean's share of an 8x8 block's variance, against white noise's
    // 1/64 (the other 63 frequencies have a mean share of 1); never below
    // white noise's, so that a spectrum measured on too few or too still
    // blocks cannot make every neighbour look drifted.
    constexpr float others = NoiseHistogram::Frequencies - 1;
    const float mean = std::max(1.0f, model.spectrum[0][0]);
    input.meanShare = (others + 1) * mean / (others + mean);
    input.kernel = NOCTA_KERNEL(mapNoiseRow);
    return input;
}

} // namespace nocta::quality
