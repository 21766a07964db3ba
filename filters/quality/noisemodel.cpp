#include "filters/quality/noisemodel.h"

#include "filters/parallel.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace nocta::quality {

namespace {

// Differences of two views with independent noise of deviation s have a
// median absolute value of 0.6745 * sqrt(2) * s.
constexpr double MedianToSigma = 1.0 / (0.6744898 * 1.4142136);

// Luma noise of a grey pixel whose three channels carry independent noise
// of one deviation: sqrt(0.299^2 + 0.587^2 + 0.114^2).
constexpr double LumaOfChannel = 0.6712;

// The largest read noise variance considered (deviation 0.17 of white).
constexpr double MaxRead = 0.03;

// Least samples for a bin to count: a share of all, and not too few.
constexpr long long MinSamples = 64;
constexpr long long ShareOfSamples = 200;

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

double srgbToLinear(double v)
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

double linearToSrgb(double l)
{
    return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
}

double srgbSlope(double l)
{
    return l <= 0.0031308 ? 12.92 : 1.055 / 2.4 * std::pow(l, 1.0 / 2.4 - 1.0);
}

// Fits variance = shot * L + read (one channel, linear light) to the luma
// deviations of the bins away from black and white, relative errors
// weighed alike.
void fitLinearNoise(const std::array<double, NoiseHistogram::LevelBins> &sigma,
                    const std::array<bool, NoiseHistogram::LevelBins> &valid, NoiseModel &model)
{
    double s11 = 0, s12 = 0, s22 = 0, t1 = 0, t2 = 0;
    for (int b = 1; b < NoiseHistogram::LevelBins - 1; ++b) {
        if (!valid[b] || sigma[b] <= 0)
            continue;
        const double l = srgbToLinear((16 * b + 8) / 255.0);
        const double s = sigma[b] / LumaOfChannel / (255.0 * srgbSlope(l));
        const double f1 = l / (s * s), f2 = 1.0 / (s * s);
        s11 += f1 * f1; s12 += f1 * f2; s22 += f2 * f2; t1 += f1; t2 += f2;
    }
    const double det = s11 * s22 - s12 * s12;
    double shot = det > 0 ? (t1 * s22 - t2 * s12) / det : 0;
    double read = det > 0 ? (t2 * s11 - t1 * s12) / det : (s22 > 0 ? t2 / s22 : 0);
    if (shot < 0) {
        shot = 0;
        read = s22 > 0 ? t2 / s22 : 0;
    } else if (read < 0) {
        read = 0;
        shot = s11 > 0 ? t1 / s11 : 0;
    }
    model.shot = shot;
    model.read = read;
}

// Mean and deviation of the noisy byte of one channel whose clean byte is
// c, for a model: the noise is clipped at black and white in linear light,
// then goes through the transfer curve.
struct Moments
{
    double mean, deviation;
};

Moments noisyMoments(double c, double shot, double read)
{
    constexpr int Points = 17;
    double sum = 0, squares = 0, total = 0;
    const double l = srgbToLinear(c / 255.0);
    const double sd = std::sqrt(std::max(0.0, shot * l + read));
    for (int i = 0; i < Points; ++i) {
        const double z = -4.0 + 8.0 * i / (Points - 1), w = std::exp(-0.5 * z * z);
        const double v = 255.0 * linearToSrgb(std::clamp(l + sd * z, 0.0, 1.0));
        sum += w * v;
        squares += w * v * v;
        total += w;
    }
    const double mean = sum / total;
    return {mean, std::sqrt(std::max(0.0, squares / total - mean * mean))};
}

// The luma deviation that a model predicts where the mean noisy level is
// level (near black: clipping both lifts the mean and narrows the spread).
double predictedLumaSigma(double level, double shot, double read)
{
    Moments previous = noisyMoments(0, shot, read);
    if (level <= previous.mean)
        return LumaOfChannel * previous.deviation;
    for (int c = 2; c <= 96; c += 2) {
        const Moments m = noisyMoments(c, shot, read);
        if (m.mean >= level) {
            const double f = (level - previous.mean) / std::max(1e-9, m.mean - previous.mean);
            return LumaOfChannel * ((1 - f) * previous.deviation + f * m.deviation);
        }
        previous = m;
    }
    return LumaOfChannel * previous.deviation;
}

// Sets the read noise (the part that rules near black) so that the model
// predicts the deviation measured in the darkest bin, clipping included.
void fitReadNoise(double level, double sigma, NoiseModel &model)
{
    double lo = 0, hi = MaxRead;
    if (predictedLumaSigma(level, model.shot, lo) >= sigma) {
        model.read = 0;
        return;
    }
    for (int i = 0; i < 24; ++i) {
        const double mid = 0.5 * (lo + hi);
        (predictedLumaSigma(level, model.shot, mid) < sigma ? lo : hi) = mid;
    }
    model.read = 0.5 * (lo + hi);
}

// The mean of noisy bytes by clean byte, then its inverse in quarter steps.
void buildUnbias(NoiseModel &model)
{
    constexpr int Points = 33;
    double weights[Points], z[Points], total = 0;
    for (int i = 0; i < Points; ++i) {
        z[i] = -4.0 + 8.0 * i / (Points - 1);
        weights[i] = std::exp(-0.5 * z[i] * z[i]);
        total += weights[i];
    }
    std::array<double, 256> mean{};
    for (int c = 0; c < 256; ++c) {
        const double l = srgbToLinear(c / 255.0);
        const double sd = std::sqrt(std::max(0.0, model.shot * l + model.read));
        double sum = 0;
        for (int i = 0; i < Points; ++i)
            sum += weights[i] * linearToSrgb(std::clamp(l + sd * z[i], 0.0, 1.0));
        mean[c] = std::max(255.0 * sum / total, c ? mean[c - 1] : 0.0);
    }
    int c = 0;
    for (int t = 0; t < 1024; ++t) {
        const double target = t / 4.0;
        while (c < 255 && mean[c + 1] <= target)
            ++c;
        double clean = c;
        if (target <= mean[0])
            clean = 0;
        else if (c < 255 && mean[c + 1] > mean[c])
            clean = c + (target - mean[c]) / (mean[c + 1] - mean[c]);
        else if (c == 255)
            clean = 255 + (target - mean[255]);
        model.unbias[std::size_t(t)] = std::uint8_t(std::clamp(int(std::lround(clean)), 0, 255));
    }
}

// Deviations of the bins as a table by level, interpolated between bin
// centres; bins without enough samples take the nearest bin that has them.
void fillTable(const std::array<double, NoiseHistogram::LevelBins> &sigma,
               const std::array<bool, NoiseHistogram::LevelBins> &valid, double strength,
               std::array<float, 256> &table)
{
    std::array<double, NoiseHistogram::LevelBins> filled{};
    for (int b = 0; b < NoiseHistogram::LevelBins; ++b) {
        int best = -1;
        for (int o = 0; o < NoiseHistogram::LevelBins && best < 0; ++o) {
            if (b - o >= 0 && valid[b - o])
                best = b - o;
            else if (b + o < NoiseHistogram::LevelBins && valid[b + o])
                best = b + o;
        }
        filled[b] = best < 0 ? 1.0 : sigma[best];
    }
    for (int level = 0; level < 256; ++level) {
        const double p = std::clamp((level - 8) / 16.0, 0.0, NoiseHistogram::LevelBins - 1.0);
        const int b = std::min(int(p), NoiseHistogram::LevelBins - 2);
        const double f = p - b;
        table[std::size_t(level)] = float(strength * ((1 - f) * filled[b] + f * filled[b + 1]));
    }
}

} // namespace

void NoiseHistogram::add(const NoiseHistogram &other)
{
    for (std::size_t i = 0; i < m_counts.size(); ++i)
        m_counts[i] += other.m_counts[i];
    for (std::size_t i = 0; i < m_levelSums.size(); ++i)
        m_levelSums[i] += other.m_levelSums[i];
}

double NoiseHistogram::meanLevel(int bin) const
{
    const long long n = total(0, bin);
    return n > 0 ? double(m_levelSums[std::size_t(bin)]) / double(n) : 16.0 * bin + 8.0;
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
    const int *c = counts(channel, bin);
    const double half = total(channel, bin) / 2.0;
    double below = 0;
    for (int s = 0; s < Steps; ++s) {
        if (below + c[s] >= half && c[s] > 0)
            return (s + (half - below) / c[s]) / 4.0;
        below += c[s];
    }
    return Steps / 4.0;
}

void measureTemporalNoise(const FramePlanes &current, const FramePlanes &reference, const MotionField &field,
                          NoiseHistogram &histogram)
{
    const int rows = (current.u.height + 1) / 2;
    collect(rows, histogram, [&](int r, NoiseHistogram &local) {
        const int h = 2 * r;
        const int by = std::min(2 * h / BlockSize, field.blocksHigh - 1);
        const std::uint8_t *level = current.h8.row(h);
        for (int x = 0; x < current.u.width; ++x) {
            const Vec v = field.at(std::min(2 * x / BlockSize, field.blocksWide - 1), by);
            const int bin = level[x] >> 4;
            local.levelSum(bin) += level[x];
            count(local.counts(0, bin), current.y.row(2 * h)[2 * x] - reference.y.row(2 * h + v.y)[2 * x + v.x]);
            // Between cells the reference is the mean of two or four, with
            // less noise: its differences are scaled to those of one cell.
            const int ox = v.x >> 1, oy = v.y >> 1, fx = v.x & 1, fy = v.y & 1;
            const float scale = fx && fy ? 1.2649111f : (fx || fy ? 1.1547005f : 1.0f);
            auto tap = [&](const PlaneF &p) {
                const float *r0 = p.row(h + oy) + x + ox, *r1 = p.row(h + oy + fy) + x + ox;
                return 0.25f * ((r0[0] + r0[fx]) + (r1[0] + r1[fx]));
            };
            count(local.counts(1, bin), (current.u.row(h)[x] - tap(reference.u)) * scale);
            count(local.counts(2, bin), (current.v.row(h)[x] - tap(reference.v)) * scale);
        }
    });
}

void measureSpatialNoise(const FramePlanes &frame, NoiseHistogram &histogram)
{
    const int rows = (frame.u.height + 1) / 2;
    collect(rows, histogram, [&](int r, NoiseHistogram &local) {
        const int h = 2 * r;
        const std::uint8_t *level = frame.h8.row(h);
        const float *y = frame.y.row(2 * h), *u = frame.u.row(h), *v = frame.v.row(h);
        for (int x = 0; x + 1 < frame.u.width; ++x) {
            const int bin = level[x] >> 4;
            local.levelSum(bin) += level[x];
            count(local.counts(0, bin), y[2 * x] - y[2 * x + 1]);
            count(local.counts(1, bin), u[x] - u[x + 1]);
            count(local.counts(2, bin), v[x] - v[x + 1]);
        }
    });
}

NoiseModel estimateNoise(const NoiseHistogram &histogram, double strength)
{
    NoiseModel model;
    std::array<float, 256> *tables[3] = {&model.sigmaY, &model.sigmaU, &model.sigmaV};
    for (int channel = 0; channel < 3; ++channel) {
        std::array<double, NoiseHistogram::LevelBins> sigma{};
        std::array<bool, NoiseHistogram::LevelBins> valid{};
        for (int b = 0; b < NoiseHistogram::LevelBins; ++b) {
            valid[b] = histogram.total(channel, b) >= std::max(MinSamples, histogram.total() / ShareOfSamples);
            sigma[b] = valid[b] ? histogram.median(channel, b) * MedianToSigma : 0.0;
        }
        fillTable(sigma, valid, strength, *tables[channel]);
        if (channel == 0) {
            fitLinearNoise(sigma, valid, model);
            for (int b = 0; b < 2; ++b) {
                if (valid[b]) {
                    fitReadNoise(histogram.meanLevel(b), sigma[b], model);
                    break;
                }
            }
        }
    }
    buildUnbias(model);
    return model;
}

} // namespace nocta::quality
