#include "filters/quality/noisemodel.h"
#include "filters/quality/noisefit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace nocta::quality {

namespace {

// Luma noise of a grey pixel whose three channels carry independent noise
// of one deviation: sqrt(0.299^2 + 0.587^2 + 0.114^2).
constexpr double LumaOfChannel = 0.6712;

// The bins of a colour channel's histogram, all near black.
constexpr int DarkColourBins = NoiseHistogram::ColourLevels / NoiseHistogram::ColourBinWidth;

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


// The mean of noisy bytes by clean byte for a channel of variance shot * L
// + read, then its inverse in quarter steps.
void buildUnbias(double shot, double read, UnbiasTable &unbias)
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
        const double sd = std::sqrt(std::max(0.0, shot * l + read));
        double sum = 0;
        for (int i = 0; i < Points; ++i)
            sum += weights[i] * linearToSrgb(std::clamp(l + sd * z[i], 0.0, 1.0));
        mean[c] = std::max(255.0 * sum / total, c ? mean[c - 1] : 0.0);
    }
    int c = 0;
    for (int t = 0; t < UnbiasSize; ++t) {
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
        unbias[std::size_t(t)] = std::uint8_t(std::clamp(int(std::lround(clean)), 0, 255));
    }
}

// The variance of a channel's noisy byte by its mean level.
void buildChannelVariance(NoiseModel &model)
{
    std::array<Moments, 256> moments;
    for (int c = 0; c < 256; ++c)
        moments[std::size_t(c)] = noisyMoments(c, model.shot, model.read);
    int c = 0;
    for (int level = 0; level < 256; ++level) {
        while (c < 255 && moments[std::size_t(c) + 1].mean <= level)
            ++c;
        const Moments &a = moments[std::size_t(c)], &b = moments[std::size_t(std::min(c + 1, 255))];
        double f = b.mean > a.mean ? (level - a.mean) / (b.mean - a.mean) : 0.0;
        f = std::clamp(f, 0.0, 1.0);
        const double deviation = (1 - f) * a.deviation + f * b.deviation;
        model.channelVariance[std::size_t(level)] = float(deviation * deviation);
    }
}

// Beyond how many medians a difference counts as a miss of the motion
// compensation rather than noise (5.4 deviations of Gaussian noise).
constexpr double TailCutoff = 8.0;

// The mean square of a standard normal variable within TailCutoff medians
// of 0.
double gaussianTruncatedSquare()
{
    const double a = TailCutoff * 0.6744898;
    constexpr int Steps = 4096;
    double sum = 0, mass = 0;
    for (int i = 0; i < Steps; ++i) {
        const double z = (i + 0.5) * a / Steps, p = std::exp(-0.5 * z * z);
        sum += z * z * p;
        mass += p;
    }
    return sum / mass;
}

// The noise deviation of one bin of a channel's differences, from their
// median (robust to the pixels that motion compensation misses, which the
// luma, carrying the detail, shows most; right for Gaussian noise alone).
double medianDeviation(const NoiseHistogram &histogram, int channel, int bin)
{
    return histogram.median(channel, bin) * MedianToSigma;
}

// The noise deviation of one bin of a channel's differences: the mean
// square of the differences within TailCutoff medians. Night noise is not
// Gaussian (shot noise bent by the gamma curve, blotches of colour, and
// once an encoder has quantised it coarse, blocky and heavy-tailed), so
// that the median shows less of it than there is; the mean square within
// the cutoff equals the median's for Gaussian noise. Where differences of
// adjacent pixels were counted, the edges of the picture lie in their
// tails: there the median's.
double binDeviation(const NoiseHistogram &histogram, int channel, int bin)
{
    const double median = histogram.median(channel, bin);
    if (histogram.spatial())
        return median * MedianToSigma;
    static const double gaussian = gaussianTruncatedSquare();
    const int *counts = histogram.counts(channel, bin);
    double sum = 0, n = 0;
    for (int s = 0; s < NoiseHistogram::Steps && (s + 0.5) / 4.0 <= TailCutoff * median; ++s) {
        const double d = (s + 0.5) / 4.0;
        sum += counts[s] * d * d;
        n += counts[s];
    }
    // Differences of two views: twice the variance of one.
    return n > 0 ? std::sqrt(sum / (2.0 * n * gaussian)) : 0.0;
}

// Measured against predicted variance of grey pixels, over the bins.
float calibration(const NoiseHistogram &histogram, int channel, const std::array<double, 3> &weights,
                  const NoiseModel &model)
{
    double measured = 0, predicted = 0;
    for (int b = 0; b < NoiseHistogram::LevelBins; ++b) {
        const double n = double(histogram.total(channel, b));
        if (n < MinSamples)
            continue;
        const double sigma = binDeviation(histogram, channel, b);
        const int level = std::clamp(int(histogram.meanLevel(0, b) + 0.5), 0, 255);
        measured += n * sigma * sigma;
        predicted += n * (weights[0] + weights[1] + weights[2]) * model.channelVariance[std::size_t(level)];
    }
    return predicted > 1e-9 ? float(measured / predicted) : 1.0f;
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

// The read noise of one colour channel, fitted to its bins near black
// together; the grey cells' where they have too few samples or where that
// is more (the grey cells' noise is a mix of the channels').
double channelReadNoise(const NoiseHistogram &histogram, int channel, const NoiseModel &model)
{
    std::array<int, NoiseHistogram::Steps> counts{};
    long long n = 0, levels = 0;
    for (int b = 0; b < DarkColourBins; ++b) {
        const int *from = histogram.counts(channel, b);
        for (int s = 0; s < NoiseHistogram::Steps; ++s)
            counts[std::size_t(s)] += from[s];
        n += histogram.total(channel, b);
        levels += histogram.levelSum(channel, b);
    }
    if (n < std::max(MinSamples, histogram.total() / ShareOfSamples))
        return model.read;
    const double level = double(levels) / (16.0 * double(n));
    const double sigma = medianStep(counts.data()) * MedianToSigma;
    return std::max(model.read, fitReadNoise(NearBlack::CellChannel, level, sigma, model.shot));
}

// Least blocks of a plane for its spectrum to count: fewer keep it white.
constexpr long long MinSpectrumBlocks = 256;

// The share of the noise variance at each frequency: its median squared
// coefficient over the mean of those of the 63 frequencies but the mean's
// (the median is the same multiple of the variance at every frequency,
// whatever mix of noise levels the blocks have, and keeps clear of the few
// blocks that motion compensation misses; the mean, which the shrinkage
// keeps, is left out of the sum, so that the thresholds of the others add
// up to what they were for white noise).
void fitSpectrum(const NoiseHistogram &histogram, int plane, NoiseModel::Spectrum &spectrum)
{
    if (histogram.powerBlocks(plane) < MinSpectrumBlocks)
        return;
    std::array<double, NoiseHistogram::Frequencies> median{};
    double sum = 0;
    for (int f = 0; f < NoiseHistogram::Frequencies; ++f) {
        median[std::size_t(f)] = histogram.medianPower(plane, f);
        sum += f ? median[std::size_t(f)] : 0.0;
    }
    if (!(sum > 0))
        return;
    for (int f = 0; f < NoiseHistogram::Frequencies; ++f)
        spectrum[std::size_t(f)] = float(median[std::size_t(f)] * (NoiseHistogram::Frequencies - 1) / sum);
}

} // namespace

std::array<double, 3> lumaWeights() { return {KR * KR, KG * KG, KB * KB}; }

std::array<double, 3> cbWeights()
{
    const double s = CbScale * CbScale / 4.0;
    return {s * KR * KR, s * KG * KG, s * (1 - KB) * (1 - KB)};
}

std::array<double, 3> crWeights()
{
    const double s = CrScale * CrScale / 4.0;
    return {s * (1 - KR) * (1 - KR), s * KG * KG, s * KB * KB};
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
            sigma[b] = valid[b] ? binDeviation(histogram, channel, b) : 0.0;
        }
        fillTable(sigma, valid, strength, *tables[channel]);
        if (channel == 0) {
            // The sensor's shot and read noise from the medians: the tails
            // that the mean square adds (the motion compensation's misses,
            // an encoder's blocks) are no part of the light's noise, and
            // the unbias tables and the colour channels' noise by level
            // follow from these two; the calibration below brings the
            // model to the mean square's level.
            for (int b = 0; b < NoiseHistogram::LevelBins; ++b)
                sigma[b] = valid[b] ? medianDeviation(histogram, 0, b) : 0.0;
            fitLinearNoise(sigma, valid, model);
            for (int b = 0; b < 2; ++b) {
                if (valid[b]) {
                    model.read = fitReadNoise(NearBlack::Luma, histogram.meanLevel(0, b), sigma[b], model.shot);
                    break;
                }
            }
        }
    }
    for (int c = 0; c < 3; ++c)
        model.channelRead[std::size_t(c)] = channelReadNoise(histogram, NoiseHistogram::FirstColour + c, model);
    for (std::size_t c = 0; c < 3; ++c)
        buildUnbias(model.shot, model.channelRead[c], model.unbias[c]);
    buildChannelVariance(model);
    model.scaleY = calibration(histogram, 0, lumaWeights(), model);
    model.scaleU = calibration(histogram, 1, cbWeights(), model);
    model.scaleV = calibration(histogram, 2, crWeights(), model);
    for (int p = 0; p < NoiseHistogram::Planes; ++p)
        fitSpectrum(histogram, p, model.spectrum[std::size_t(p)]);
    return model;
}

} // namespace nocta::quality
