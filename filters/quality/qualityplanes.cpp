#include "filters/quality/qualityplanes.h"

#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

using detail::blue;
using detail::green;
using detail::red;

NOCTA_INLINE float luma(std::uint32_t p)
{
    return (KR * float(red(p)) + KG * float(green(p))) + KB * float(blue(p));
}

// The rows that one pair of input rows fills (h: the half-resolution
// luma bytes).
struct PlaneRows
{
    float *y0, *y1, *u, *v;
    std::int16_t *f0, *f1, *fu, *fv;
    std::uint8_t *b0, *b1, *h;
};

#define NOCTA_KERNELS "filters/quality/qualityplanes_kernels.inc"
#include "filters/kernelcopies.h"

// Plane p sized w x h with a border of pad, kept as it is when it already
// is (a plane set is reused from frame to frame).
template <typename T>
void fit(Plane<T> &p, int w, int h, int pad)
{
    if (p.width != w || p.height != h || p.pad != pad)
        p.reset(w, h, pad);
}

// The planes of one frame's rows as loadFramePlanes fills them, by
// quarter-resolution row: each band of quarter rows converts its input
// rows, replicates their edge pixels into the side borders, and halves
// them twice while they are in cache; the bands holding the first and the
// last row fill the borders above and below.
class Loader
{
public:
    Loader(const QImage &words, FramePlanes &planes) : m_words(words), m_planes(planes) {}

    void run(int qb, int qe, LumaCounts &counts)
    {
        FramePlanes &p = m_planes;
        const int hh = p.h8.height, width = m_words.width();
        // The luma and colour rows as floats, on their way to fixed point.
        std::vector<float> scratch(std::size_t(2 * (width + 2) + 2 * p.h8.width));
        for (int q = qb; q < qe; ++q) {
            for (int h = 2 * q; h < std::min(2 * q + 2, hh); ++h)
                halfRow(h, scratch);
            if (2 * q + 1 == hh)   // the row below an odd height: a copy of the last
                p.h8.fillBottom();
            halveByte(p.h8.row(2 * q), p.h8.row(2 * q + 1), p.q8.row(q), p.q8.width);
            p.q8.fillSides(q);
            const std::uint8_t *line = p.q8.row(q);
            for (int x = 0; x < p.q8.width; ++x)
                ++counts[std::size_t(line[x] >> 2)];
        }
        if (qb == 0)
            forEachPlane([](auto &plane) { plane.fillTop(); });
        if (qe == p.q8.height)
            forEachPlane([](auto &plane) { plane.fillBottom(); });
    }

private:
    // Input rows 2h and 2h + 1 into every plane (the row below an odd
    // height repeats the last).
    void halfRow(int h, std::vector<float> &scratch)
    {
        FramePlanes &p = m_planes;
        const int width = m_words.width(), y0 = 2 * h, y1 = 2 * h + 1;
        float *fy0 = scratch.data() + 1, *fy1 = fy0 + width + 2;
        float *fu = fy1 + width + 1, *fv = fu + p.h8.width;
        const PlaneRows rows{fy0, fy1, fu, fv, p.y16.row(y0), p.y16.row(y1), p.u16.row(h), p.v16.row(h),
                             p.y8.row(y0), p.y8.row(y1), p.h8.row(h)};
        convert(detail::row(m_words, y0), detail::row(m_words, std::min(y1, m_words.height() - 1)), rows, width);
        for (int y : {y0, y1}) {
            p.y8.fillSides(y);
            p.y16.fillSides(y);
        }
        p.u16.fillSides(h);
        p.v16.fillSides(h);
        p.h8.fillSides(h);
    }

    template <typename F>
    void forEachPlane(const F &f)
    {
        FramePlanes &p = m_planes;
        for (Plane16 *plane : {&p.y16, &p.u16, &p.v16})
            f(*plane);
        for (Plane8 *plane : {&p.y8, &p.h8, &p.q8})
            f(*plane);
    }

    const QImage &m_words;
    FramePlanes &m_planes;
    decltype(&baseline::rgbRowsToPlanes) convert = NOCTA_KERNEL(rgbRowsToPlanes);
    decltype(&baseline::halveByteRow) halveByte = NOCTA_KERNEL(halveByteRow);
};

} // namespace

template <typename T>
void Plane<T>::fillSides(int y)
{
    T *line = row(y);
    std::fill(line - pad, line, line[0]);
    std::fill(line + width, line + width + pad, line[width - 1]);
}

template <typename T>
void Plane<T>::fillTop()
{
    const std::size_t bytes = std::size_t(stride) * sizeof(T);
    for (int y = 1; y <= pad; ++y)
        std::memcpy(row(-y) - pad, row(0) - pad, bytes);
}

template <typename T>
void Plane<T>::fillBottom()
{
    const std::size_t bytes = std::size_t(stride) * sizeof(T);
    for (int y = 1; y <= pad; ++y)
        std::memcpy(row(height - 1 + y) - pad, row(height - 1) - pad, bytes);
}

template <typename T>
void Plane<T>::fillBorder()
{
    for (int y = 0; y < height; ++y)
        fillSides(y);
    fillTop();
    fillBottom();
}

template struct Plane<float>;
template struct Plane<std::uint8_t>;
template struct Plane<std::int16_t>;

void FramePlanes::reset(int width, int height)
{
    const int hw = halfSize(width), hh = halfSize(height);
    y8.reset(width, height, FullBorder);
    y16.reset(width, height, FullBorder);
    u16.reset(hw, hh, FullBorder / 2);
    v16.reset(hw, hh, FullBorder / 2);
    h8.reset(hw, hh, FullBorder / 2);
    q8.reset(quarterSize(width), quarterSize(height), FullBorder / 4);
}

void loadFramePlanes(const QImage &frame, FramePlanes &planes, LumaCounts *counts)
{
    const QImage words = detail::asArgbWords(frame);
    const int width = words.width(), height = words.height();
    const int hw = halfSize(width), hh = halfSize(height);
    fit(planes.y8, width, height, FullBorder);
    fit(planes.y16, width, height, FullBorder);
    for (Plane16 *p : {&planes.u16, &planes.v16})
        fit(*p, hw, hh, FullBorder / 2);
    fit(planes.h8, hw, hh, FullBorder / 2);
    fit(planes.q8, quarterSize(width), quarterSize(height), FullBorder / 4);
    Loader loader(words, planes);
    LumaCounts total{};
    std::mutex lock;
    parallelRows(planes.q8.height, [&](int begin, int end) {
        LumaCounts band{};
        loader.run(begin, end, band);
        const std::lock_guard<std::mutex> guard(lock);
        for (std::size_t i = 0; i < total.size(); ++i)
            total[i] += band[i];
    });
    if (counts)
        *counts = total;
}

} // namespace nocta::quality
