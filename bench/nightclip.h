#pragma once

#include <QImage>

#include <random>

namespace nocta::bench {

// Turns daylight frames into night frames with known clean versions: the
// scene darkened in linear light (dark), and the same with sensor noise
// (noisy): shot noise (variance proportional to the light) and read noise
// per channel, a little blotchy colour noise (smooth over about 8 pixels),
// clipped at black and white and brought back to 8-bit sRGB.
class NightNoise
{
public:
    NightNoise(unsigned seed, double darken, double shot = 0.0032, double read = 0.0017, double blotch = 0.0012);
    void apply(const QImage &day, QImage &dark, QImage &noisy);

private:
    std::mt19937 m_random;
    double m_darken, m_shot, m_read, m_blotch;
};

// PSNR over the RGB channels of all frames (from their total squared
// error) and the mean SSIM of the luma (8x8 windows, 4 apart).
struct Score
{
    double squaredError = 0;
    double samples = 0;
    double ssimSum = 0;
    double windows = 0;
    int frames = 0;

    void add(const QImage &clean, const QImage &test);
    double psnr() const;
    double ssim() const { return windows > 0 ? ssimSum / windows : 0; }
};

} // namespace nocta::bench
