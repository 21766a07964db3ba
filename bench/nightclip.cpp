#include "nightclip.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace nocta::bench {

namespace {

double toLinear(double v)
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

int toByte(double l)
{
    l = std::clamp(l, 0.0, 1.0);
    const double v = l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055;
    return int(std::lround(255.0 * v));
}

// A smooth random field: normal values on a grid 8 pixels apart,
// interpolated bilinearly.
std::vector<double> blotches(int w, int h, double sigma, std::mt19937 &random)
{
    const int gw = w / 8 + 2, gh = h / 8 + 2;
    std::normal_distribution<double> normal(0.0, sigma);
    std::vector<double> grid(std::size_t(gw * gh));
    for (double &g : grid)
        g = normal(random);
    std::vector<double> field(std::size_t(w * h));
    for (int y = 0; y < h; ++y) {
        const int gy = y / 8;
        const double fy = (y % 8) / 8.0;
        for (int x = 0; x < w; ++x) {
            const int gx = x / 8;
            const double fx = (x % 8) / 8.0;
            auto at = [&](int i, int j) { return grid[std::size_t(j * gw + i)]; };
            field[std::size_t(y * w + x)] = (1 - fy) * ((1 - fx) * at(gx, gy) + fx * at(gx + 1, gy))
                                          + fy * ((1 - fx) * at(gx, gy + 1) + fx * at(gx + 1, gy + 1));
        }
    }
    return field;
}

} // namespace

NightNoise::NightNoise(unsigned seed, double darken, double shot, double read, double blotch)
    : m_random(seed), m_darken(darken), m_shot(shot), m_read(read), m_blotch(blotch)
{
}

void NightNoise::apply(const QImage &day, QImage &dark, QImage &noisy)
{
    const QImage source = day.convertToFormat(QImage::Format_RGB888);
    const int w = source.width(), h = source.height();
    dark = QImage(w, h, QImage::Format_RGB888);
    noisy = QImage(w, h, QImage::Format_RGB888);
    const std::vector<double> blotchR = blotches(w, h, m_blotch, m_random);
    const std::vector<double> blotchB = blotches(w, h, m_blotch, m_random);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int y = 0; y < h; ++y) {
        const uchar *in = source.constScanLine(y);
        uchar *clean = dark.scanLine(y), *out = noisy.scanLine(y);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double l = toLinear(in[3 * x + c] / 255.0) * m_darken;
                double n = std::sqrt(m_shot * l) * normal(m_random) + m_read * normal(m_random);
                if (c == 0)
                    n += blotchR[std::size_t(y * w + x)];
                else if (c == 2)
                    n += blotchB[std::size_t(y * w + x)];
                clean[3 * x + c] = uchar(toByte(l));
                out[3 * x + c] = uchar(toByte(l + n));
            }
        }
    }
}

void Score::add(const QImage &clean, const QImage &test)
{
    const QImage a = clean.convertToFormat(QImage::Format_RGB888), b = test.convertToFormat(QImage::Format_RGB888);
    const int w = a.width(), h = a.height();
    std::vector<double> la(std::size_t(w * h)), lb(la.size());
    for (int y = 0; y < h; ++y) {
        const uchar *pa = a.constScanLine(y), *pb = b.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                const double d = double(pa[3 * x + c]) - pb[3 * x + c];
                squaredError += d * d;
            }
            la[std::size_t(y * w + x)] = 0.299 * pa[3 * x] + 0.587 * pa[3 * x + 1] + 0.114 * pa[3 * x + 2];
            lb[std::size_t(y * w + x)] = 0.299 * pb[3 * x] + 0.587 * pb[3 * x + 1] + 0.114 * pb[3 * x + 2];
        }
    }
    samples += 3.0 * w * h;
    const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
    for (int y = 0; y + 8 <= h; y += 4) {
        for (int x = 0; x + 8 <= w; x += 4) {
            double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
            for (int j = 0; j < 8; ++j) {
                for (int i = 0; i < 8; ++i) {
                    const double p = la[std::size_t((y + j) * w + x + i)], q = lb[std::size_t((y + j) * w + x + i)];
                    sa += p; sb += q; saa += p * p; sbb += q * q; sab += p * q;
                }
            }
            const double ma = sa / 64, mb = sb / 64;
            const double va = saa / 64 - ma * ma, vb = sbb / 64 - mb * mb, cov = sab / 64 - ma * mb;
            ssimSum += (2 * ma * mb + c1) * (2 * cov + c2) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            windows += 1;
        }
    }
    ++frames;
}

double Score::psnr() const
{
    if (samples <= 0)
        return 0;
    const double mse = squaredError / samples;
    return mse > 0 ? 10.0 * std::log10(255.0 * 255.0 / mse) : 99.0;
}

} // namespace nocta::bench
