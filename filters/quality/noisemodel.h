#pragma once

#include "filters/quality/motionsearch.h"
#include "filters/quality/qualityplanes.h"

#include <array>
#include <cstdint>
#include <vector>

namespace nocta::quality {

// Histograms of absolute differences between two noisy views of the same
// content (in quarter steps, 0 .. 63.75) in 16 bins by brightness: of luma
// and both colour differences on grey cells, by the half-resolution luma of
// the current frame (bins of 16 levels); and of each colour channel of a
// half-resolution cell (red, green, blue: the mean of 2x2 pixels) on cells
// of any colour, by the channel's mean level over the cell's 3x3
// neighbourhood in the current frame (near black only, where the read noise
// rules).
class NoiseHistogram
{
public:
    static constexpr int Channels = 6;
    static constexpr int FirstColour = 3;   // channels 3, 4, 5: red, green, blue
    static constexpr int LevelBins = 16;
    // The colour channels are counted below ColourLevels only, in bins of
    // ColourBinWidth levels.
    static constexpr int ColourLevels = 8;
    static constexpr int ColourBinWidth = 2;
    static constexpr int Steps = 256;
    // The spectrum of the differences: their squared orthonormal 8x8 DCT
    // coefficients by frequency (vertical * 8 + horizontal) in the luma
    // (plane 0) and both colour differences (planes 1, 2, at half
    // resolution), in bins of an eighth of an octave from 2^-10
    // (PowerBins: what lies above).
    static constexpr int Planes = 3;
    static constexpr int Frequencies = 64;
    static constexpr int PowerBins = 192;

    NoiseHistogram()
        : m_counts(std::size_t(Channels * LevelBins * Steps), 0),
          m_power(std::size_t(Planes * Frequencies * PowerBins), 0)
    {
    }
    void clear()
    {
        std::fill(m_counts.begin(), m_counts.end(), 0);
        std::fill(m_power.begin(), m_power.end(), 0);
        m_levelSums.fill(0);
        m_spatial = false;
    }
    void add(const NoiseHistogram &other);
    // Whether differences of adjacent pixels were counted (their tails hold
    // the picture's edges, not only noise).
    bool spatial() const { return m_spatial; }
    void setSpatial() { m_spatial = true; }
    long long total(int channel, int bin) const;
    // The samples of the luma of grey cells.
    long long total() const;
    // The median absolute difference of one bin.
    double median(int channel, int bin) const;

    int *counts(int channel, int bin) { return m_counts.data() + std::size_t((channel * LevelBins + bin) * Steps); }
    const int *counts(int channel, int bin) const
    {
        return m_counts.data() + std::size_t((channel * LevelBins + bin) * Steps);
    }
    // The sum of the levels of a bin's samples, in sixteenths of a level
    // (channel 0 stands for the luma and colour differences of grey cells).
    long long &levelSum(int channel, int bin) { return m_levelSums[std::size_t(channel * LevelBins + bin)]; }
    long long levelSum(int channel, int bin) const { return m_levelSums[std::size_t(channel * LevelBins + bin)]; }
    double meanLevel(int channel, int bin) const;

    int *power(int plane, int frequency)
    {
        return m_power.data() + std::size_t((plane * Frequencies + frequency) * PowerBins);
    }
    const int *power(int plane, int frequency) const
    {
        return m_power.data() + std::size_t((plane * Frequencies + frequency) * PowerBins);
    }
    // The blocks of a plane whose spectrum was counted.
    long long powerBlocks(int plane) const;
    // The median squared coefficient of a frequency.
    double medianPower(int plane, int frequency) const;
    // The bin of a squared coefficient, and the least value of a bin.
    static int powerBin(float square);
    static double binPower(int bin);

private:
    std::vector<int> m_counts;
    std::vector<int> m_power;
    std::array<long long, Channels * LevelBins> m_levelSums{};
    bool m_spatial = false;
};

// The median absolute difference of a histogram of NoiseHistogram::Steps
// counts.
double medianStep(const int *counts);

// Adds the differences between current and reference moved by field (the
// reference read from its fixed-point planes; a sample of the pixels:
// every second or further row of half-resolution cells), and their
// spectrum in 8x8 blocks (the middle of each 16x16 block of the field in
// the luma, the whole block in the colour differences where its vector is
// even; a sample of the block rows on large frames).
void measureTemporalNoise(const FramePlanes &current, const FramePlanes &reference, const MotionField &field,
                          NoiseHistogram &histogram);

// Adds the differences between horizontally adjacent pixels of one frame:
// the estimate for a frame that has no neighbour of its scene.
void measureSpatialNoise(const FramePlanes &frame, NoiseHistogram &histogram);

// The noise of a movie as a function of brightness.
struct NoiseModel
{
    // Standard deviation of one pixel's noise by half-resolution luma
    // (0..255) in luma and the two colour differences (half resolution).
    std::array<float, 256> sigmaY{}, sigmaU{}, sigmaV{};
    // The noise of one colour channel in linear light (0..1): variance =
    // shot * L + read, fitted to the luma noise.
    double shot = 0;
    double read = 0;
    // The read noise of each colour channel (red, green, blue) on its own:
    // colour noise and noise that differs by channel make it differ from
    // read, which is measured on grey.
    std::array<double, 3> channelRead{};
    // Output byte of each colour channel by its filtered value in quarter
    // steps: undoes the lift that black clipping and the transfer curve give
    // the mean of noisy values, from shot and the channel's read noise.
    std::array<UnbiasTable, 3> unbias{};
    // Variance of a colour channel's noisy byte by its mean level, as the
    // linear-light model predicts it (clipping included), and the factors
    // that bring its predictions for luma and the colour differences of a
    // grey pixel to the variances measured.
    std::array<float, 256> channelVariance{};
    float scaleY = 1, scaleU = 1, scaleV = 1;
    // The share of a pixel's noise variance that each 8x8 DCT frequency
    // carries (vertical * 8 + horizontal; luma, then the colour
    // differences), with a mean of 1 over the 63 frequencies but the mean:
    // 1 everywhere for white noise, less at high frequencies and more at
    // low ones where an encoder has smoothed it.
    using Spectrum = std::array<float, NoiseHistogram::Frequencies>;
    std::array<Spectrum, NoiseHistogram::Planes> spectrum = whiteSpectra();

    static std::array<Spectrum, NoiseHistogram::Planes> whiteSpectra()
    {
        std::array<Spectrum, NoiseHistogram::Planes> white;
        for (Spectrum &s : white)
            s.fill(1.0f);
        return white;
    }
};

// The noise variance of each half-resolution cell of a frame, predicted
// from the cell's colour: of one luma pixel and of the cell's colour
// differences.
struct NoiseMap
{
    PlaneF y, u, v;
};

// What makes the rows of a frame's noise map: the frame, a channel's
// variance by level and the weights of the three channels' variances in
// each plane (strength's square included).
struct NoiseMapInput
{
    const FramePlanes *frame = nullptr;
    const float *variance = nullptr;
    float y[3]{}, u[3]{}, v[3]{};
    // How many times the variance that white noise of the same level gives
    // the mean of the luma noise over an area has: from the noise
    // spectrum's lowest frequency, above 1 where an encoder has smoothed
    // the noise.
    float meanShare = 1.0f;
    void (*kernel)(const NoiseMapInput &, int, float *, float *, float *) = nullptr;
};

// strength scales the deviations.
NoiseMapInput noiseMapInput(const FramePlanes &frame, const NoiseModel &model, double strength);

// Row y of the noise map, into the map's width cells of each plane (no
// borders).
inline void noiseMapRow(const NoiseMapInput &in, int y, float *luma, float *cb, float *cr)
{
    in.kernel(in, y, luma, cb, cr);
}

// strength scales the standard deviations (not the unbiasing).
NoiseModel estimateNoise(const NoiseHistogram &histogram, double strength);

} // namespace nocta::quality
