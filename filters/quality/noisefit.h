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

} // namespace nocta::quality
