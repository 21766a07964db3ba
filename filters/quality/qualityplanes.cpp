#include "filters/quality/qualityplanes.h"

#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <array>
#include <cmath>

#ifdef __x86_64__
#include <immintrin.h>
#endif
#include <cstring>

namespace nocta::quality {

namespace {

using detail::blue;
using detail::green;
using detail::red;

NOCTA_INLINE float luma(std::uint32_t p)
{
    return (KR * float(red(p)) + KG * float(green(p))) + KB * float(blue(p));
}

// How far (squared, in levels) a pixel's luma may stray from a
// half-resolution cell's before the cell's colour counts half as much for it.
constexpr float GuideSpread = 4.0f;

// The rows that one pair of input rows fills.
struct PlaneRows
{
    float *y0, *y1, *u, *v;
    std::int16_t *f0, *f1, *fu, *fv;
    std::uint8_t *b0, *b1;
};

#define NOCTA_KERNELS "filters/quality/qualityplanes_kernels.inc"
#include "filters/kernelcopies.h"

template <typename T>
void halvePlane(const Plane<T> &source, Plane8 &target,
                void (*kernel)(const T *, const T *, std::uint8_t *, int))
{
    parallelRows(target.height, [&](int begin, int end) {
        for (int y = begin; y < end; ++y)
            kernel(source.row(2 * y), source.row(2 * y + 1), target.row(y), target.width);
    });
    target.fillBorder();
}

} // namespace

template <typename T>
void Plane<T>::fillBorder()
{
    for (int y = 0; y < height; ++y) {
        T *line = row(y);
        std::fill(line - pad, line, line[0]);
        std::fill(line + width, line + width + pad, line[width - 1]);
    }
    const std::size_t bytes = std::size_t(stride) * sizeof(T);
    for (int y = 1; y <= pad; ++y) {
        std::memcpy(row(-y) - pad, row(0) - pad, bytes);
        std::memcpy(row(height - 1 + y) - pad, row(height - 1) - pad, bytes);
    }
}

template struct Plane<float>;
template struct Plane<std::uint8_t>;
template struct Plane<std::int16_t>;

void FramePlanes::reset(int width, int height)
{
    const int hw = halfSize(width), hh = halfSize(height);
    y.reset(width, height, FullBorder);
    y8.reset(width, height, FullBorder);
    u.reset(hw, hh, FullBorder / 2);
    v.reset(hw, hh, FullBorder / 2);
    h8.reset(hw, hh, FullBorder / 2);
    q8.reset(quarterSize(width), quarterSize(height), FullBorder / 4);
}

void loadFramePlanes(const QImage &frame, FramePlanes &planes)
{
    const QImage words = detail::asArgbWords(frame);
    const int width = words.width(), height = words.height();
    // (The float planes may come from another frame of the same size.)
    if (planes.y.width != width || planes.y.height != height || planes.y8.width != width
        || planes.y8.height != height)
        planes.reset(width, height);
    for (auto [floats, fixed] : {std::pair{&planes.y, &planes.y16}, {&planes.u, &planes.u16}, {&planes.v, &planes.v16}})
        if (fixed->width != floats->width || fixed->height != floats->height || fixed->pad != floats->pad)
            fixed->reset(floats->width, floats->height, floats->pad);
    const auto convert = NOCTA_KERNEL(rgbRowsToPlanes);
    parallelRows(planes.u.height, [&](int begin, int end) {
        for (int h = begin; h < end; ++h) {
            const int y0 = 2 * h, last = std::min(2 * h + 1, height - 1);
            const int y1 = 2 * h + 1;   // the border row below an odd height
            const PlaneRows rows{planes.y.row(y0),   planes.y.row(y1),   planes.u.row(h),   planes.v.row(h),
                                 planes.y16.row(y0), planes.y16.row(y1), planes.u16.row(h), planes.v16.row(h),
                                 planes.y8.row(y0),  planes.y8.row(y1)};
            convert(detail::row(words, y0), detail::row(words, last), rows, width);
        }
    });
    planes.y.fillBorder();
    planes.y8.fillBorder();
    planes.u.fillBorder();
    planes.v.fillBorder();
    halvePlane(planes.y, planes.h8, NOCTA_KERNEL(halveFloatRow));
    halvePlane(planes.h8, planes.q8, NOCTA_KERNEL(halveByteRow));
    planes.y16.fillBorder();
    planes.u16.fillBorder();
    planes.v16.fillBorder();
}

QImage framePlanesToImage(const PlaneF &y, const PlaneF &guide, const PlaneF *const fits[4],
                          const std::array<UnbiasTable, 3> &unbias)
{
    const int width = y.width, height = y.height;
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    // The tables in words, which vector code can gather from.
    std::array<std::uint32_t, 3 * UnbiasSize> table;
    for (std::size_t c = 0; c < 3; ++c)
        std::copy(unbias[c].begin(), unbias[c].end(), table.begin() + std::ptrdiff_t(c * UnbiasSize));
    const auto upsample = NOCTA_KERNEL(upsampleFitsRow);
    const auto toRgb = NOCTA_KERNEL(planesToRgbRow);
    parallelRows(height, [&](int begin, int end) {
        std::vector<float> rows(4 * static_cast<std::size_t>(width));
        float *full[4];
        for (std::size_t i = 0; i < 4; ++i)
            full[i] = rows.data() + i * std::size_t(width);
        for (int row = begin; row < end; ++row) {
            // Half-resolution samples sit between full rows 2h and 2h+1.
            const int h = row / 2, other = row % 2 ? h + 1 : h - 1;
            const float *nearRows[4], *farRows[4];
            for (int i = 0; i < 4; ++i) {
                nearRows[i] = fits[i]->row(h);
                farRows[i] = fits[i]->row(other);
            }
            upsample(y.row(row), guide.row(h), guide.row(other), nearRows, farRows, GuideSpread, full, width);
            toRgb(y.row(row), full[0], full[1], full[2], full[3], table.data(),
                  reinterpret_cast<std::uint32_t *>(image.scanLine(row)), width);
        }
    });
    return image;
}

} // namespace nocta::quality
