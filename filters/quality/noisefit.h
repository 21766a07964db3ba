#pragma once

#include <array>

// Shared by the noise measurement and the fit of the noise model.
namespace nocta::quality {

// Differences of two views with independent noise of deviation s have a
// median absolute value of 0.6745 * sqrt(2) * s.
constexpr double MedianToSigma = 1.0 / (0.6744898 * 1.4142136);

// Least samples for a bin to count: a share of all, and not too few.
constexpr long long MinSamples = 64;
constexpr long long ShareOfSamples = 200;

// Weights of the channel variances in the variance of a luma pixel and of
// a half-resolution colour difference (the mean of four pixels).
std::array<double, 3> lumaWeights();
std::array<double, 3> cbWeights();
std::array<double, 3> crWeights();

// The sRGB transfer curve (0..1 both ways) and its slope in linear light.
double srgbToLinear(double v);
double linearToSrgb(double l);
double srgbSlope(double l);

// Mean and deviation of the noisy byte of one channel whose clean byte is
// c, for a channel of variance shot * L + read in linear light: the noise is
// clipped at black and white, then goes through the transfer curve.
struct Moments
{
    double mean, deviation;
};
Moments noisyMoments(double c, double shot, double read);

// What a deviation measured near black is of: the luma of one grey pixel,
// or one colour channel of a half-resolution cell (the mean of 2x2 pixels).
enum class NearBlack { Luma, CellChannel };

// The read noise variance with which the model predicts the deviation
// sigma measured where the mean noisy level is level, clipping included.
double fitReadNoise(NearBlack what, double level, double sigma, double shot);

} // namespace nocta::quality
