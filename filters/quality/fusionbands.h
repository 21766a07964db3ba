#pragma once

// The parts of the temporal fusion (temporalfusion.cpp) that each band of
// rows keeps for itself: the noise map along its rows and the drift test.

#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace nocta::quality::fusion {

// A neighbour whose content has drifted from the current frame's by more
// than noise explains (a slow change of light, or of how an encoder drew
// the picture, which hides in the noise of the few pixels that the
// distances compare) counts less: the mean of the signed luma differences
// over three runs of 8 cells along three half rows (48x6 pixels) is
// weighed against the deviation that noise gives such a mean. A
// neighbour counts fully while the squared ratio (1 is noise alone) stays
// below DriftUpTo, and not at all above DriftUpTo + DriftSpan.
constexpr float DriftUpTo = 12.0f;
constexpr float DriftSpan = 12.0f;

// The noise map along one half row (cells -1 .. width).
struct NoiseRow
{
    const float *y, *u, *v;
};

// Makes the noise map's rows for a band of half rows [begin, end): its own
// rows into the map, and the rows just above and below it, which other
// bands write, into rows of its own.
class BandNoise
{
public:
    BandNoise(const NoiseMapInput &input, NoiseMap &map, int begin, int end)
        : m_input(input), m_map(map), m_begin(begin), m_end(end), m_line(std::size_t(map.y.width) + 2),
          m_edge(3 * m_line)
    {
    }

    // Half row h of the map (begin - 1 <= h <= end; beyond the picture, the
    // nearest row, as the map's borders repeat it).
    NoiseRow row(int h)
    {
        const int width = m_map.y.width;
        if (h >= m_begin && h < m_end) {
            noiseMapRow(m_input, h, m_map.y.row(h), m_map.u.row(h), m_map.v.row(h));
            for (PlaneF *p : {&m_map.y, &m_map.u, &m_map.v})
                p->fillSides(h);
            return {m_map.y.row(h), m_map.u.row(h), m_map.v.row(h)};
        }
        float *rows[3] = {m_edge.data() + 1, m_edge.data() + m_line + 1, m_edge.data() + 2 * m_line + 1};
        noiseMapRow(m_input, std::clamp(h, 0, m_map.y.height - 1), rows[0], rows[1], rows[2]);
        for (float *r : rows) {
            r[-1] = r[0];
            r[width] = r[width - 1];
        }
        return {rows[0], rows[1], rows[2]};
    }

    // The borders above and below the map, by the bands that hold its first
    // and last rows.
    void finish()
    {
        for (PlaneF *p : {&m_map.y, &m_map.u, &m_map.v}) {
            if (m_begin == 0)
                p->fillTop();
            if (m_end == p->height)
                p->fillBottom();
        }
    }

private:
    const NoiseMapInput &m_input;
    NoiseMap &m_map;
    int m_begin, m_end;
    std::size_t m_line;
    std::vector<float> m_edge;
};

// The drift test (see DriftUpTo) along a band's rows: the signed luma
// differences of each run of 8 cells, added to those of the runs on
// either side, of every neighbour along the latest three half rows, and
// the luma noise variances of the same cells.
class BandDrift
{
public:
    BandDrift(int width, int count, float meanShare)
        : m_width(width), m_tiles(std::size_t((width + 7) / 8)), m_meanShare(meanShare), m_runs(m_tiles),
          m_drift(3 * m_tiles * std::size_t(count)), m_noise(3 * m_tiles), m_scale(m_tiles), m_limit(m_tiles), m_sums(m_tiles)
    {
    }

    // Where distanceRow writes a neighbour's runs of one half row.
    int *runs() { return m_runs.data(); }
    // Keeps the runs just written as neighbour k's along half row h.
    void keep(int k, int h) { spread(m_runs.data(), drift(k, h)); }

    // The noise variances along half row h (cells 0 .. width - 1).
    void addNoise(int h, const float *noise)
    {
        const std::size_t whole = std::size_t(m_width / 8);
        for (std::size_t b = 0; b < whole; ++b) {
            const float *n = noise + 8 * b;
            m_sums[b] = ((n[0] + n[1]) + (n[2] + n[3])) + ((n[4] + n[5]) + (n[6] + n[7]));
        }
        if (whole < m_tiles) {
            float sum = 0;
            for (int x = 8 * int(whole); x < m_width; ++x)
                sum += noise[x];
            m_sums[whole] = sum;
        }
        spread(m_sums.data(), noise3(h));
    }

    // Makes ready to limit the weights along half row h: one over the
    // variance that noise gives each run's sums over three rows.
    void prepare(int h)
    {
        const float *a = noise3(h - 1), *b = noise3(h), *c = noise3(h + 1);
        // Four pixels a cell; the difference of two noisy frames has twice
        // the noise variance.
        for (std::size_t t = 0; t < m_tiles; ++t)
            m_scale[t] = (FixedUnit * FixedUnit / DriftSpan) / std::max(8.0f * m_meanShare * ((a[t] + b[t]) + c[t]), 1e-20f);
    }

    // The highest weights of neighbour k along half row h (one a run of 8
    // cells), after prepare(h), with the noise's variance taken as
    // strictness times lower.
    const float *limits(int k, int h, float strictness = 1.0f)
    {
        const int *a = drift(k, h - 1), *b = drift(k, h), *c = drift(k, h + 1);
        for (std::size_t t = 0; t < m_tiles; ++t) {
            const float sum = float((a[t] + b[t]) + c[t]);
            const float limit = (DriftUpTo + DriftSpan) / DriftSpan - sum * sum * (m_scale[t] * strictness);
            m_limit[t] = limit > 0.0f ? limit : 0.0f;
        }
        return m_limit.data();
    }

private:
    int *drift(int k, int h) { return m_drift.data() + (std::size_t(k) * 3 + std::size_t((h + 3) % 3)) * m_tiles; }
    float *noise3(int h) { return m_noise.data() + std::size_t((h + 3) % 3) * m_tiles; }

    // Each run's value added to those on either side (inside the row).
    template <typename T>
    void spread(const T *in, T *out) const
    {
        const std::size_t last = m_tiles - 1;
        if (last == 0) {
            out[0] = in[0];
            return;
        }
        out[0] = in[0] + in[1];
        for (std::size_t t = 1; t < last; ++t)
            out[t] = (in[t - 1] + in[t]) + in[t + 1];
        out[last] = in[last - 1] + in[last];
    }

    int m_width;
    std::size_t m_tiles;
    float m_meanShare;
    std::vector<int> m_runs, m_drift;
    std::vector<float> m_noise, m_scale, m_limit, m_sums;
};

} // namespace nocta::quality::fusion
