#include "filters/fuzzy/prefilterframe.h"

#include "filters/gray.h"
#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/precondition.h"
#include "filters/simd.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace nocta {

namespace {

constexpr int Planes = FramePlanes::PlaneCount;
constexpr int Tile = FramePlanes::TileWidth;

// The frame as the kernels see it: pixel words and gray levels by row.
struct Source
{
    std::vector<const std::uint32_t *> lines;
    std::vector<const std::uint8_t *> grays;
    int width = 0;
    int height = 0;
};

// Any pixel, any radius: the window is clipped to the frame and scanned
// column by column; the first strictly darker (brighter) pixel wins,
// starting from the pixel itself with darkest level 255 and brightest 0.
// Stores, per channel, the darkest pixel's value, the pixel's own value
// pulled halfway toward the middle of the two, and the brightest's.
template <typename Set>
void prefilterPixel(const Source &src, int radius, int x, int y, Set &planes)
{
    using Value = typename Set::Value;
    const std::uint32_t centre = src.lines[y][x];
    std::uint32_t dark = centre, bright = centre;
    int darkGray = 255, brightGray = 0;
    if (radius > 0) {
        const int x0 = std::max(0, x - radius), x1 = std::min(src.width - 1, x + radius);
        const int y0 = std::max(0, y - radius), y1 = std::min(src.height - 1, y + radius);
        for (int wx = x0; wx <= x1; ++wx)
            for (int wy = y0; wy <= y1; ++wy) {
                const int g = src.grays[wy][wx];
                if (g < darkGray) {
                    darkGray = g;
                    dark = src.lines[wy][wx];
                }
                if (g > brightGray) {
                    brightGray = g;
                    bright = src.lines[wy][wx];
                }
            }
    }
    Value *out = planes.span(0, x, y);
    const std::size_t stride = planes.planeStride();
    for (int c = 0; c < 3; ++c) {
        const int shift = 16 - 8 * c;
        const int d = int((dark >> shift) & 0xFF);
        const int b = int((bright >> shift) & 0xFF);
        const int v = int((centre >> shift) & 0xFF);
        const int mid = (d + b) >> 1;
        // v - (v - mid) * 0.5, truncated: for these non-negative values
        // exactly floor((v + mid) / 2).
        out[(3 * c) * stride] = Value(d);
        out[(3 * c + 1) * stride] = Value((v + mid) >> 1);
        out[(3 * c + 2) * stride] = Value(b);
    }
}

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

// Radius 1 for n pixels from column x of a row with rows above and below
// and both horizontal neighbours inside: the nine pixels in scan order,
// with compares and selects only. Each step is a plain loop with one data
// type, which the compiler turns into vector code. out[k] points at the
// value of column x in plane k.
template <typename Value>
NOCTA_INLINE void innerStrip(const std::uint32_t *a, const std::uint32_t *m, const std::uint32_t *b,
                             const std::uint8_t *ga8, const std::uint8_t *gm8, const std::uint8_t *gb8,
                             int x, int n, Value *const *out)
{
    int ga[Tile + 2], gm[Tile + 2], gb[Tile + 2];
    for (int j = 0; j < n + 2; ++j) {
        ga[j] = ga8[x - 1 + j];
        gm[j] = gm8[x - 1 + j];
        gb[j] = gb8[x - 1 + j];
    }
    const std::uint32_t *pa = a + x - 1, *pm = m + x - 1, *pb = b + x - 1;

    std::uint32_t darkest[Tile], brightest[Tile];
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
    const std::uint32_t *centre = m + x;
    for (int c = 0; c < 3; ++c) {
        const int shift = 16 - 8 * c;
        Value *dk = out[3 * c], *ct = out[3 * c + 1], *bt = out[3 * c + 2];
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

// Columns 1 .. end-1 of an inner row, tile by tile.
template <typename Set>
NOCTA_INLINE void innerRowOf(const Source &src, int y, int end, Set &planes)
{
    using Value = typename Set::Value;
    for (int tile = 0; tile * Tile < end; ++tile) {
        const int x0 = std::max(1, tile * Tile);
        const int x1 = std::min(tile * Tile + Tile, end);
        if (x0 >= x1)
            continue;
        Value *out[Planes];
        out[0] = planes.span(0, x0, y);
        for (int k = 1; k < Planes; ++k)
            out[k] = out[0] + k * planes.planeStride();
        innerStrip(src.lines[y - 1], src.lines[y], src.lines[y + 1],
                   src.grays[y - 1], src.grays[y], src.grays[y + 1], x0, x1 - x0, out);
    }
}

#define NOCTA_KERNELS "filters/fuzzy/prefilterframe_kernels.inc"
#include "filters/kernelcopies.h"

template <typename Set>
void prefilter(int radius, const QImage &frame, Set &planes)
{
    if (!detail::precondition(frame.size() == QSize(planes.width(), planes.height()), Q_FUNC_INFO,
                              "the planes have the frame's size"))
        return;
    const QImage image = detail::asArgbWords(frame);
    Source src;
    src.width = image.width();
    src.height = image.height();
    if (src.width <= 0 || src.height <= 0)
        return;

    // Gray levels once per pixel, and the row pointers of the frame.
    // Every gray level is written before it is read: no clearing.
    const std::unique_ptr<std::uint8_t[]> grayPlane(new std::uint8_t[std::size_t(src.width) * src.height]);
    src.lines.resize(src.height);
    src.grays.resize(src.height);
    for (int y = 0; y < src.height; ++y) {
        src.lines[y] = detail::row(image, y);
        src.grays[y] = grayPlane.get() + std::size_t(y) * src.width;
    }
    parallelRows(src.height, [&](int begin, int end) {
        for (int y = begin; y < end; ++y)
            grayRow(src.lines[y], grayPlane.get() + std::size_t(y) * src.width, src.width);
    });

    // Columns 1 .. innerEnd-1 have both horizontal neighbours in the frame.
    const int innerEnd = src.width - 1;
    const auto innerRow = NOCTA_KERNEL_OF(void(const Source &, int, int, Set &), innerRow);
    parallelRows(src.height, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            int x = 0;
            if (radius == 1 && y > 0 && y < src.height - 1 && innerEnd > 1) {
                innerRow(src, y, innerEnd, planes);
                prefilterPixel(src, radius, 0, y, planes);
                x = innerEnd;
            }
            for (; x < src.width; ++x)
                prefilterPixel(src, radius, x, y, planes);
        }
    });
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
