#include "reference/plainfilters.h"

#include "filters/precondition.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace nocta::reference {

namespace {

// The smoothing kernel, indexed [dy + 1][dx + 1]. Centre 6, total 30.
const int kernel[3][3] = {
    {2, 4, 2},
    {4, 6, 4},
    {2, 4, 2},
};

// Temporal weights of the Standard chain by window position. Positions 3
// and 4 repeat 0 and 1 in the same order (not mirrored).
const double standardWeights[5] = {0.25, 0.5, 1.0, 0.25, 0.5};

// Temporal weights of the fuzzy chain: symmetric around s2.
const float fuzzyWeights[5] = {0.25f, 0.5f, 1.0f, 0.5f, 0.25f};

const int similarityTolerance = 34;
const int agreementTolerance = 20;

int red(QRgb c) { return (c >> 16) & 0xFF; }
int green(QRgb c) { return (c >> 8) & 0xFF; }
int blue(QRgb c) { return c & 0xFF; }

QRgb opaque(int r, int g, int b)
{
    return 0xFF000000u | (QRgb(r) << 16) | (QRgb(g) << 8) | QRgb(b);
}

// Written out here rather than taken from the library's helper, so that the
// yardstick does not share code with what it measures.
int grayOf(QRgb c)
{
    return (11 * red(c) + 16 * green(c) + 5 * blue(c)) >> 5;
}

QImage::Format resultFormat(const QImage &source)
{
    switch (source.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return source.format();
    default:
        return QImage::Format_ARGB32;
    }
}

int channel(QRgb c, int which)
{
    if (which == 0)
        return red(c);
    if (which == 1)
        return green(c);
    return blue(c);
}

} // namespace

QImage smoothFrame(const QImage &frame)
{
    const int width = frame.width();
    const int height = frame.height();
    QImage result(width, height, resultFormat(frame));

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int total = 0;
            int sumR = 0;
            int sumG = 0;
            int sumB = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx < 0 || nx >= width || ny < 0 || ny >= height)
                        continue;
                    const int w = kernel[dy + 1][dx + 1];
                    const QRgb c = frame.pixel(nx, ny);
                    total += w;
                    sumR += w * red(c);
                    sumG += w * green(c);
                    sumB += w * blue(c);
                }
            }
            result.setPixel(x, y, opaque(sumR / total, sumG / total, sumB / total));
        }
    }
    return result;
}

QImage denoiseStandard(const QImage &f0, const QImage &f1, const QImage &f2,
                       const QImage &f3, const QImage &f4)
{
    const QImage *frames[5] = {&f0, &f1, &f2, &f3, &f4};
    bool oneSize = true;
    for (const QImage *f : frames)
        oneSize = oneSize && f->size() == f0.size();
    if (!nocta::detail::precondition(oneSize, Q_FUNC_INFO, "the five frames have one size"))
        return QImage();

    const int width = f0.width();
    const int height = f0.height();

    // Phase 1: temporal averaging of similar pixels.
    QImage a(width, height, resultFormat(f0));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            QRgb c[5];
            for (int k = 0; k < 5; ++k)
                c[k] = frames[k]->pixel(x, y);

            bool accepted[5] = {false, false, true, false, false};
            for (int k = 0; k < 5; ++k) {
                if (k == 2)
                    continue;
                accepted[k] = std::abs(red(c[k]) - red(c[2])) <= similarityTolerance
                    && std::abs(green(c[k]) - green(c[2])) <= similarityTolerance
                    && std::abs(blue(c[k]) - blue(c[2])) <= similarityTolerance;
            }

            double w = 1.0;
            for (int k = 0; k < 5; ++k)
                if (k != 2 && accepted[k])
                    w += standardWeights[k];

            int out[3];
            for (int ch = 0; ch < 3; ++ch) {
                double sum = channel(c[2], ch);
                for (int k = 0; k < 5; ++k)
                    if (k != 2 && accepted[k])
                        sum += standardWeights[k] * channel(c[k], ch);
                const double v = sum / w;
                // Nearest integer, a half going to the larger one.
                out[ch] = int(std::floor(v + 0.5));
            }
            a.setPixel(x, y, opaque(out[0], out[1], out[2]));
        }
    }

    // Phase 2: edge test on A, sharpen or smooth; everything read from A.
    QImage d = a.copy();
    for (int y = 2; y <= height - 3; ++y) {
        for (int x = 2; x <= width - 3; ++x) {
            auto L = [&a](int i, int j) { return grayOf(a.pixel(i, j)); };
            const int gx = (L(x + 1, y - 1) + 2 * L(x + 1, y) + L(x + 1, y + 1))
                - (L(x - 1, y - 1) + 2 * L(x - 1, y) + L(x - 1, y + 1));
            const int gy = (L(x - 1, y + 1) + 2 * L(x, y + 1) + L(x + 1, y + 1))
                - (L(x - 1, y - 1) + 2 * L(x, y - 1) + L(x + 1, y - 1));
            const int magnitude = int(std::sqrt(double(gx * gx + gy * gy)));
            const bool edge = magnitude > 19;

            int out[3];
            for (int ch = 0; ch < 3; ++ch) {
                if (edge) {
                    int s = 5 * channel(a.pixel(x, y), ch)
                        - channel(a.pixel(x - 1, y), ch)
                        - channel(a.pixel(x + 1, y), ch)
                        - channel(a.pixel(x, y - 1), ch)
                        - channel(a.pixel(x, y + 1), ch);
                    if (s > 255)
                        s = 255;
                    if (s < 0)
                        s = 0;
                    out[ch] = s;
                } else {
                    int sum = 0;
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx)
                            sum += kernel[dy + 1][dx + 1] * channel(a.pixel(x + dx, y + dy), ch);
                    out[ch] = sum / 30;
                }
            }
            d.setPixel(x, y, opaque(out[0], out[1], out[2]));
        }
    }
    return d;
}

void prefilterFrame(int radius, const QImage &frame, nocta::FramePlanes &planes)
{
    if (!nocta::detail::precondition(frame.size() == QSize(planes.width(), planes.height()), Q_FUNC_INFO,
                                     "the planes have the frame's size"))
        return;
    const int width = frame.width();
    const int height = frame.height();

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb p = frame.pixel(x, y);
            QRgb darkest = p;
            int darkestGray = 255;
            QRgb brightest = p;
            int brightestGray = 0;

            for (int wx = x - radius; wx <= x + radius; ++wx) {
                for (int wy = y - radius; wy <= y + radius; ++wy) {
                    if (wx < 0 || wx >= width || wy < 0 || wy >= height)
                        continue;
                    const QRgb c = frame.pixel(wx, wy);
                    const int g = grayOf(c);
                    if (g < darkestGray) {
                        darkest = c;
                        darkestGray = g;
                    }
                    if (g > brightestGray) {
                        brightest = c;
                        brightestGray = g;
                    }
                }
            }

            const int index = y * width + x;
            for (int ch = 0; ch < 3; ++ch) {
                const int dark = channel(darkest, ch);
                const int bright = channel(brightest, ch);
                const int centre = channel(p, ch);
                const int mid = (dark + bright) >> 1;
                const int newCentre = int(centre - (centre - mid) * 0.5);
                planes.plane(3 * ch + 0)[index] = dark;
                planes.plane(3 * ch + 1)[index] = newCentre;
                planes.plane(3 * ch + 2)[index] = bright;
            }
        }
    }
}

QImage denoiseFuzzy(const nocta::FramePlanes &s0, const nocta::FramePlanes &s1,
                    const nocta::FramePlanes &s2, const nocta::FramePlanes &s3,
                    const nocta::FramePlanes &s4, int width, int height)
{
    if (width <= 0 || height <= 0)
        return QImage(width, height, QImage::Format_ARGB32);

    const nocta::FramePlanes *sets[5] = {&s0, &s1, &s2, &s3, &s4};
    bool oneSize = true;
    for (const nocta::FramePlanes *s : sets)
        oneSize = oneSize && s->width() == width && s->height() == height;
    if (!nocta::detail::precondition(oneSize, Q_FUNC_INFO, "every plane set is width x height"))
        return QImage();

    QImage result(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int i = y * width + x;

            bool agrees[5] = {false, false, true, false, false};
            for (int n = 0; n < 5; ++n) {
                if (n == 2)
                    continue;
                bool all = true;
                for (int ch = 0; ch < 3; ++ch) {
                    const int darkPlane = 3 * ch;
                    const int brightPlane = 3 * ch + 2;
                    const int refDark = sets[2]->plane(darkPlane)[i];
                    const int refBright = sets[2]->plane(brightPlane)[i];
                    const int nDark = sets[n]->plane(darkPlane)[i];
                    const int nBright = sets[n]->plane(brightPlane)[i];
                    if (!(refDark <= nBright + agreementTolerance && nDark <= refBright + agreementTolerance))
                        all = false;
                }
                agrees[n] = all;
            }

            float w = 1.0f;
            for (int n = 0; n < 5; ++n)
                if (n != 2 && agrees[n])
                    w += fuzzyWeights[n];

            float averaged[9];
            for (int k = 0; k < 9; ++k) {
                float sum = float(sets[2]->plane(k)[i]);
                for (int n = 0; n < 5; ++n)
                    if (n != 2 && agrees[n])
                        sum += fuzzyWeights[n] * float(sets[n]->plane(k)[i]);
                averaged[k] = sum / w;
            }

            const bool detail = averaged[2] - averaged[0] > 30.0f
                || averaged[5] - averaged[3] > 40.0f
                || averaged[8] - averaged[6] > 80.0f;

            int out[3];
            for (int ch = 0; ch < 3; ++ch) {
                const float dark = averaged[3 * ch];
                const float centre = averaged[3 * ch + 1];
                const float bright = averaged[3 * ch + 2];
                const float m = (dark + bright) * 0.5f;
                const float v = detail ? centre + 2.0f * (centre - m) : m;
                int value = int(v);   // toward zero
                if (value > 255)
                    value = 255;
                if (value < 0)
                    value = 0;
                out[ch] = value;
            }
            result.setPixel(x, y, opaque(out[0], out[1], out[2]));
        }
    }
    return result;
}

} // namespace nocta::reference
