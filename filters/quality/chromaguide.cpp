#include "filters/quality/chromaguide.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <vector>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

// How far (squared, in levels) a pixel's luma may stray from a
// half-resolution cell's before the cell's colour counts half as much for it.
constexpr float GuideSpread = 4.0f;

#define NOCTA_KERNELS "filters/quality/chromaguide_kernels.inc"
#include "filters/kernelcopies.h"

// Rows of half-resolution values kept in turn (row r in slot r mod count),
// each with Border copies of its edge values on both sides.
class RowRing
{
public:
    static constexpr int Border = 8;

    RowRing(int count, int width)
        : m_count(count), m_width(width), m_stride(std::size_t(width + 2 * Border)),
          m_data(std::size_t(count) * m_stride)
    {
    }
    float *operator()(int r) { return m_data.data() + std::size_t(r % m_count) * m_stride + Border; }
    void fillSides(int r)
    {
        float *line = (*this)(r);
        std::fill(line - Border, line, line[0]);
        std::fill(line + m_width, line + m_width + Border, line[m_width - 1]);
    }

private:
    int m_count, m_width;
    std::size_t m_stride;
    std::vector<float> m_data;
};

// One band's pass. At step s it makes the guide and the column sums of
// half row s, the fits of row s - 1, their means on row s - 2 and the
// output rows of half row s - 3; rows beyond the picture repeat its edge
// rows at every step.
class GuidedBand
{
public:
    GuidedBand(const PlaneF &y, const PlaneF &u, const PlaneF &v, const ColourNoise &noise, QImage &image)
        : m_y(y), m_u(u), m_v(v), m_noise(noise), m_image(image), m_w(u.width), m_h(u.height), m_guide(5, m_w),
          m_sums(3 * 6, m_w), m_fits(3 * 4, m_w), m_means(3 * 4, m_w), m_spread(3 * 5, y.width + 2),
          m_full(4 * std::size_t(y.width))
    {
    }

    void run(int begin, int end, float epsilon, const std::uint32_t *table)
    {
        for (int s = begin - 3; s <= end + 2; ++s) {
            if (s >= 0 && s < m_h)
                sumRow(s);
            if (const int r = s - 1; r >= std::max(0, begin - 2) && r < m_h)
                fitRows(r, epsilon);
            if (const int r = s - 2; r >= std::max(0, begin - 1) && r < m_h)
                meanRows(r);
            if (const int r = s - 3; r >= begin && r < end)
                outputRows(r, table);
        }
    }

private:
    int clamp(int r) const { return std::clamp(r, 0, m_h - 1); }
    void sums(int r, float **t)
    {
        for (int k = 0; k < 6; ++k)
            t[k] = m_sums((clamp(r) % 3) * 6 + k);
    }
    void sumRow(int r)
    {
        float *g = m_guide(r);
        guideRow(m_y.row(2 * r), m_y.row(2 * r + 1), g, m_w);
        m_guide.fillSides(r);
        float *t[6];
        sums(r, t);
        tripleRow(g, m_u.row(r), m_v.row(r), t, m_w);
    }
    void fitRows(int r, float epsilon)
    {
        float *t0[6], *t1[6], *t2[6], *out[4];
        sums(r - 1, t0);
        sums(r, t1);
        sums(r + 1, t2);
        for (int k = 0; k < 4; ++k)
            out[k] = m_fits((r % 3) * 4 + k);
        fitRow(t0, t1, t2, epsilon, out, m_w);
        for (int k = 0; k < 4; ++k)
            m_fits.fillSides((r % 3) * 4 + k);
    }
    // The means of row r, with what they leave out of each cell's colour
    // kept as far as it stands out of the noise, and them and the guide
    // spread to full resolution (slots 5 (r mod 3) + k, the guide in k = 4).
    void meanRows(int r)
    {
        const int above = clamp(r - 1) % 3, below = clamp(r + 1) % 3;
        for (int k = 0; k < 4; ++k) {
            const int slot = (r % 3) * 4 + k;
            meanRow(m_fits(above * 4 + k), m_fits(slot), m_fits(below * 4 + k), m_means(slot), m_w);
        }
        const PlaneF *colours[2] = {&m_u, &m_v}, *variances[2] = {m_noise.u, m_noise.v};
        for (int c = 0; c < 2; ++c) {
            const int slot = (r % 3) * 4 + 2 * c;
            keepLeftoverRow(colours[c]->row(r), m_guide(r), m_means(slot), variances[c]->row(r),
                            m_noise.residual->row(r), m_means(slot + 1), m_w);
        }
        for (int k = 0; k < 4; ++k) {
            const int slot = (r % 3) * 4 + k;
            m_means.fillSides(slot);
            spreadRow(m_means(slot), m_spread((r % 3) * 5 + k), m_y.width + 2);
        }
        spreadRow(m_guide(r), m_spread((r % 3) * 5 + 4), m_y.width + 2);
    }
    // Full rows 2r and 2r + 1 (half-resolution samples sit between them).
    void outputRows(int r, const std::uint32_t *table)
    {
        const int width = m_y.width;
        float *full[4];
        for (std::size_t i = 0; i < 4; ++i)
            full[i] = m_full.data() + i * std::size_t(width);
        for (int row = 2 * r; row < std::min(2 * r + 2, m_y.height); ++row) {
            const int other = clamp(row % 2 ? r + 1 : r - 1);
            const float *nearRows[5], *farRows[5];
            for (int k = 0; k < 5; ++k) {
                nearRows[k] = m_spread((r % 3) * 5 + k);
                farRows[k] = m_spread((other % 3) * 5 + k);
            }
            upsampleFitsRow(m_y.row(row), nearRows[4], farRows[4], nearRows, farRows, GuideSpread, full, width);
            planesToRgbRow(m_y.row(row), full[0], full[1], full[2], full[3], table,
                           reinterpret_cast<std::uint32_t *>(m_image.scanLine(row)), width);
        }
    }

    const PlaneF &m_y, &m_u, &m_v;
    const ColourNoise &m_noise;
    QImage &m_image;
    const int m_w, m_h;
    RowRing m_guide, m_sums, m_fits, m_means, m_spread;
    std::vector<float> m_full;
    decltype(&baseline::guideRow) guideRow = NOCTA_KERNEL(guideRow);
    decltype(&baseline::tripleRow) tripleRow = NOCTA_KERNEL(tripleRow);
    decltype(&baseline::fitRow) fitRow = NOCTA_KERNEL(fitRow);
    decltype(&baseline::meanRow) meanRow = NOCTA_KERNEL(meanRow);
    decltype(&baseline::keepLeftoverRow) keepLeftoverRow = NOCTA_KERNEL(keepLeftoverRow);
    decltype(&baseline::spreadRow) spreadRow = NOCTA_KERNEL(spreadRow);
    decltype(&baseline::upsampleFitsRow) upsampleFitsRow = NOCTA_KERNEL(upsampleFitsRow);
    decltype(&baseline::planesToRgbRow) planesToRgbRow = NOCTA_KERNEL(planesToRgbRow);
};

} // namespace

QImage guidedFrame(const PlaneF &y, const PlaneF &u, const PlaneF &v, const ColourNoise &noise, float epsilon,
                   const std::array<UnbiasTable, 3> &unbias)
{
    QImage image(y.width, y.height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    // The tables in words, which vector code can gather from.
    std::array<std::uint32_t, 3 * UnbiasSize> table;
    for (std::size_t c = 0; c < 3; ++c)
        std::copy(unbias[c].begin(), unbias[c].end(), table.begin() + std::ptrdiff_t(c * UnbiasSize));
    parallelRows(u.height, [&](int begin, int end) {
        GuidedBand band(y, u, v, noise, image);
        band.run(begin, end, epsilon, table.data());
    });
    return image;
}

} // namespace nocta::quality
