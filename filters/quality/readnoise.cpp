#include "filters/quality/noisefit.h"
#include "filters/quality/qualityplanes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// The read noise fits: what deviation a model predicts for a measurement
// near black, where clipping and the transfer curve rule, simulated.
namespace nocta::quality {

namespace {

// Draws of the simulation that predicts a measured deviation near black.
constexpr std::size_t MedianDraws = 1024;

// The largest read noise variance considered (deviation 0.17 of white).
constexpr double MaxRead = 0.03;
// The least one fitted on a colour channel (a deviation of a third of a
// level at black); less counts as none.
constexpr double MinRead = 1e-8;

// Fixed standard normal samples (a linear congruential generator through
// Box-Muller): eight per draw, enough for the values of two frames.
const std::vector<double> &normalSamples()
{
    static const std::vector<double> samples = [] {
        std::vector<double> z(8 * MedianDraws);
        std::uint64_t state = 0x2545F4914F6CDD1DULL;
        auto uniform = [&state] {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return (double(state >> 11) + 0.5) / 9007199254740992.0;
        };
        for (std::size_t i = 0; i < z.size(); i += 2) {
            const double r = std::sqrt(-2.0 * std::log(uniform())), a = 6.283185307179586 * uniform();
            z[i] = r * std::cos(a);
            z[i + 1] = r * std::sin(a);
        }
        return z;
    }();
    return samples;
}

// linearToSrgb by a table with linear interpolation (fast enough for the
// simulation below; off by less than 1e-4 of white).
double srgbFromTable(double l)
{
    constexpr int Size = 8192;
    static const std::vector<double> table = [] {
        std::vector<double> t(Size + 2);
        for (int i = 0; i <= Size + 1; ++i)
            t[std::size_t(i)] = linearToSrgb(std::min(1.0, double(i) / Size));
        return t;
    }();
    const double p = std::clamp(l, 0.0, 1.0) * Size;
    const int i = int(p);
    return table[std::size_t(i)] + (p - i) * (table[std::size_t(i) + 1] - table[std::size_t(i)]);
}

// The luma deviation, as measured (from the median absolute difference of
// two frames), of a grey pixel whose channels' clean byte is c: near black,
// clipping gives many equal values and a median far below what the
// variance suggests.
double measuredLumaSigma(double c, double shot, double read)
{
    const std::vector<double> &z = normalSamples();
    const double l = srgbToLinear(c / 255.0);
    const double sd = std::sqrt(std::max(0.0, shot * l + read));
    const double weights[3] = {KR, KG, KB};
    std::vector<double> differences(MedianDraws);
    for (std::size_t i = 0; i < MedianDraws; ++i) {
        double d = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            const double a = srgbFromTable(l + sd * z[6 * i + k]);
            const double b = srgbFromTable(l + sd * z[6 * i + 3 + k]);
            d += weights[k] * (a - b);
        }
        differences[i] = std::fabs(255.0 * d);
    }
    std::nth_element(differences.begin(), differences.begin() + MedianDraws / 2, differences.end());
    return differences[MedianDraws / 2] * MedianToSigma;
}

// The same for one colour channel of a half-resolution cell whose clean
// byte is c: the mean of four pixels, each clipped on its own.
double measuredCellSigma(double c, double shot, double read)
{
    const std::vector<double> &z = normalSamples();
    const double l = srgbToLinear(c / 255.0);
    const double sd = std::sqrt(std::max(0.0, shot * l + read));
    std::vector<double> differences(MedianDraws);
    for (std::size_t i = 0; i < MedianDraws; ++i) {
        double d = 0;
        for (std::size_t k = 0; k < 4; ++k)
            d += srgbFromTable(l + sd * z[8 * i + k]) - srgbFromTable(l + sd * z[8 * i + 4 + k]);
        differences[i] = std::fabs(255.0 / 4.0 * d);
    }
    std::nth_element(differences.begin(), differences.begin() + MedianDraws / 2, differences.end());
    return differences[MedianDraws / 2] * MedianToSigma;
}

// The deviation, as measured, that a model predicts where the mean noisy
// level is level.
double predictedSigma(NearBlack what, double level, double shot, double read)
{
    double c = 0, previous = noisyMoments(0, shot, read).mean;
    if (level > previous) {
        for (c = 1; c < 96; ++c) {
            const double mean = noisyMoments(c, shot, read).mean;
            if (mean >= level) {
                c -= 1 - (level - previous) / std::max(1e-9, mean - previous);
                break;
            }
            previous = mean;
        }
    }
    return what == NearBlack::Luma ? measuredLumaSigma(c, shot, read) : measuredCellSigma(c, shot, read);
}

// The read noise of a colour channel, halving the range of its logarithm
// (3 per mille apart at the end: the simulation is the costly part).
double fitCellReadNoise(double level, double sigma, double shot)
{
    double lo = MinRead, hi = MaxRead;
    if (predictedSigma(NearBlack::CellChannel, level, shot, lo) >= sigma)
        return 0;
    for (int i = 0; i < 12; ++i) {
        const double mid = std::sqrt(lo * hi);
        (predictedSigma(NearBlack::CellChannel, level, shot, mid) < sigma ? lo : hi) = mid;
    }
    return std::sqrt(lo * hi);
}

} // namespace

// Mean and deviation of the noisy byte of one channel whose clean byte is
// c, for a model: the noise is clipped at black and white in linear light,
// then goes through the transfer curve.
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

// The read noise (the part that rules near black) with which the model
// predicts the deviation measured at a level, clipping included.
double fitReadNoise(NearBlack what, double level, double sigma, double shot)
{
    if (what == NearBlack::CellChannel)
        return fitCellReadNoise(level, sigma, shot);
    double lo = 0, hi = MaxRead;
    if (predictedSigma(what, level, shot, lo) >= sigma)
        return 0;
    for (int i = 0; i < 24; ++i) {
        const double mid = 0.5 * (lo + hi);
        (predictedSigma(what, level, shot, mid) < sigma ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
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

} // namespace nocta::quality
