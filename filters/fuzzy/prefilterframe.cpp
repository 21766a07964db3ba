#include "filters/fuzzy/prefilterframe.h"

#include "filters/gray.h"
#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace nocta {

namespace {

constexpr int Planes = FramePlanes::PlaneCount;

template <typename Value>
struct PlaneRows
{
    Value *p[Planes];
};

// Stores the three planes of each channel for one pixel, given the pixel
// itself and the chosen darkest and brightest pixels.
template <typename Value>
inline void store(const PlaneRows<Value> &rows, int x, std::uint32_t centre, std::uint32_t dark, std::uint32_t bright)
{
    for (int c = 0; c < 3; ++c) {
        const int shift = 16 - 8 * c;
        const int d = int((dark >> shift) & 0xFF);
        const int b = int((bright >> shift) & 0xFF);
        const int v = int((centre >> shift) & 0xFF);
        const int mid = (d + b) >> 1;
        // v - (v - mid) * 0.5, truncated: for these non-negative values
        // exactly floor((v + mid) / 2).
        rows.p[3 * c][x] = Value(d);
        rows.p[3 * c + 1][x] = Value((v + mid) >> 1);
        rows.p[3 * c + 2][x] = Value(b);
    }
}

// Any pixel, any radius: the window is clipped to the frame and scanned
// column by column; the first strictly darker (brighter) pixel wins.
template <typename Value>
void prefilterPixel(const std::uint32_t *const *lines, const std::uint8_t *const *grays,
                    int width, int height, int radius, int x, int y, const PlaneRows<Value> &rows)
{
    const std::uint32_t centre = lines[y][x];
    std::uint32_t dark = centre, bright = centre;
    int darkGray = 255, brightGray = 0;
    if (radius > 0) {
        const int x0 = std::max(0, x - radius), x1 = std::min(width - 1, x + radius);
        const int y0 = std::max(0, y - radius), y1 = std::min(height - 1, y + radius);
        for (int wx = x0; wx <= x1; ++wx)
            for (int wy = y0; wy <= y1; ++wy) {
                const int g = grays[wy][wx];
                if (g < darkGray) {
                    darkGray = g;
                    dark = lines[wy][wx];
                }
                if (g > brightGray) {
                    brightGray = g;
                    bright = lines[wy][wx];
                }
            }
    }
    store(rows, x, centre, dark, bright);
}

// Pixels of the inner loop are handled in strips, each step a plain loop
// with one data type, which the compiler turns into vector code.
constexpr int Strip = 64;

NOCTA_INLINE void visit(std::uint32_t p, int g, std::uint32_t &dark, int &darkGray,
                  std::uint32_t &bright, int &brightGray)
{
    const bool darker = g < darkGray;
    dark = darker ? p : dark;
    darkGray = darker ? g : darkGray;
    const bool brighter = g > brightGray;
    bright = brighter ? p : bright;
    brightGray = brighter ? g : brightGray;
}

// Radius 1, columns begin .. begin+n-1, all with both horizontal neighbours
// inside, of a row with rows above and below: the nine pixels in scan
// order, with compares and selects only.
template <typename Value>
NOCTA_INLINE void prefilterInnerStrip(const std::uint32_t *a, const std::uint32_t *m, const std::uint32_t *b,
                         const std::uint8_t *ga8, const std::uint8_t *gm8, const std::uint8_t *gb8,
                         int begin, int n, const PlaneRows<Value> &rows)
{
    int ga[Strip + 2], gm[Strip + 2], gb[Strip + 2];
    for (int j = 0; j < n + 2; ++j) {
        ga[j] = ga8[begin - 1 + j];
        gm[j] = gm8[begin - 1 + j];
        gb[j] = gb8[begin - 1 + j];
    }
    const std::uint32_t *pa = a + begin - 1, *pm = m + begin - 1, *pb = b + begin - 1;

    std::uint32_t darkest[Strip], brightest[Strip];
    for (int j = 0; j < n; ++j) {
        std::uint32_t dark = pm[j + 1], bright = pm[j + 1];
        int darkGray = 255, brightGray = 0;
        visit(pa[j], ga[j], dark, darkGray, bright, brightGray);
        visit(pm[j], gm[j], dark, darkGray, bright, brightGray);
        visit(pb[j], gb[j], dark, darkGray, bright, brightGray);
        visit(pa[j + 1], ga[j + 1], dark, darkGray, bright, brightGray);
        visit(pm[j + 1], gm[j + 1], dark, darkGray, bright, brightGray);
        visit(pb[j + 1], gb[j + 1], dark, darkGray, bright, brightGray);
        visit(pa[j + 2], ga[j + 2], dark, darkGray, bright, brightGray);
        visit(pm[j + 2], gm[j + 2], dark, darkGray, bright, brightGray);
        visit(pb[j + 2], gb[j + 2], dark, darkGray, bright, brightGray);
        darkest[j] = dark;
        brightest[j] = bright;
    }

    // One loop per plane: a single store stream per loop keeps the
    // compiler's aliasing checks simple, for bytes too.
    const std::uint32_t *centre = m + begin;
    for (int c = 0; c < 3; ++c) {
        const int shift = 16 - 8 * c;
        Value *dk = rows.p[3 * c] + begin, *ct = rows.p[3 * c + 1] + begin, *bt = rows.p[3 * c + 2] + begin;
        for (int j = 0; j < n; ++j)
            dk[j] = Value((darkest[j] >> shift) & 0xFF);
        for (int j = 0; j < n; ++j)
            bt[j] = Value((brightest[j] >> shift) & 0xFF);
        for (int j = 0; j < n; ++j) {
            const int v = int((centre[j] >> shift) & 0xFF);
            const int mid = (int((darkest[j] >> shift) & 0xFF) + int((brightest[j] >> shift) & 0xFF)) >> 1;
            ct[j] = Value((v + mid) >> 1);
        }
    }
}

template <typename Value>
NOCTA_INLINE void prefilterInnerRowOf(const std::uint32_t *a, const std::uint32_t *m, const std::uint32_t *b,
                       const std::uint8_t *ga, const std::uint8_t *gm, const std::uint8_t *gb,
                       int width, const PlaneRows<Value> &rows)
{
    for (int begin = 1; begin < width - 1; begin += Strip)
        prefilterInnerStrip(a, m, b, ga, gm, gb, begin, std::min(Strip, width - 1 - begin), rows);
}

NOCTA_ROW_KERNEL void prefilterInnerRow(const std::uint32_t *a, const std::uint32_t *m, const std::uint32_t *b,
                                        const std::uint8_t *ga, const std::uint8_t *gm, const std::uint8_t *gb,
                                        int width, const PlaneRows<std::int32_t> &rows)
{
    prefilterInnerRowOf(a, m, b, ga, gm, gb, width, rows);
}

NOCTA_ROW_KERNEL void prefilterInnerRow(const std::uint32_t *a, const std::uint32_t *m, const std::uint32_t *b,
                                        const std::uint8_t *ga, const std::uint8_t *gm, const std::uint8_t *gb,
                                        int width, const PlaneRows<std::uint8_t> &rows)
{
    prefilterInnerRowOf(a, m, b, ga, gm, gb, width, rows);
}

template <typename Set>
void prefilter(int radius, const QImage &frame, Set &planes)
{
    using Value = typename Set::Value;
    const QImage source = detail::asArgbWords(frame);
    const int width = std::min(source.width(), planes.width());
    const int height = std::min(source.height(), planes.height());
    if (width <= 0 || height <= 0)
        return;

    // Gray levels once per pixel, and the row pointers of the frame.
    std::vector<std::uint8_t> grayPlane(std::size_t(width) * height);
    std::vector<const std::uint32_t *> lines(height);
    std::vector<const std::uint8_t *> grays(height);
    for (int y = 0; y < height; ++y) {
        lines[y] = detail::row(source, y);
        grays[y] = grayPlane.data() + std::size_t(y) * width;
    }
    const int threads = filterThreads();
#pragma omp parallel num_threads(threads)
    {
#pragma omp for schedule(static)
        for (int y = 0; y < height; ++y) {
            auto *g = const_cast<std::uint8_t *>(grays[y]);
            for (int x = 0; x < width; ++x)
                g[x] = std::uint8_t(grayLevel(lines[y][x]));
        }
        // (the implicit barrier of the loop above: every gray level is ready)
#pragma omp for schedule(static)
        for (int y = 0; y < height; ++y) {
            PlaneRows<Value> rows;
            for (int k = 0; k < FramePlanes::PlaneCount; ++k)
                rows.p[k] = planes.row(k, y);
            const bool inner = radius == 1 && y > 0 && y < height - 1 && width > 2;
            if (inner) {
                prefilterInnerRow(lines[y - 1], lines[y], lines[y + 1],
                                  grays[y - 1], grays[y], grays[y + 1], width, rows);
                prefilterPixel(lines.data(), grays.data(), width, height, radius, 0, y, rows);
                prefilterPixel(lines.data(), grays.data(), width, height, radius, width - 1, y, rows);
            } else {
                for (int x = 0; x < width; ++x)
                    prefilterPixel(lines.data(), grays.data(), width, height, radius, x, y, rows);
            }
        }
    }
}

} // namespace

void prefilterFrame(int radius, const QImage &frame, FramePlanes &planes)
{
    prefilter(radius, frame, planes);
}

void prefilterFrame(int radius, const QImage &frame, CompactFramePlanes &planes)
{
    prefilter(radius, frame, planes);
}

} // namespace nocta
