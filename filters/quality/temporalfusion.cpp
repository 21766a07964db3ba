#include "filters/quality/temporalfusion.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <array>
#include <cstring>

#ifdef __x86_64__
#include <immintrin.h>
#endif

namespace nocta::quality {

namespace {

// A neighbour counts fully while its mean normalised difference stays
// below AcceptUpTo (1 is noise alone) and not at all above AcceptUpTo +
// RejectSpan.
constexpr float AcceptUpTo = 1.6f;
constexpr float RejectSpan = 1.4f;
// The distance of a cell that has no counterpart in a neighbour.
constexpr float Outside = 1e6f;

struct FusionInput
{
    const FramePlanes *current;
    const Neighbour *neighbours;
    const NoiseMap *noise;
};

// Per-cell normalisation of the squared differences of one half row
// (index -1 .. width).
struct RowNorms
{
    float *y, *u, *v;
};

// Cells [start, end) of a half row whose luma a neighbour gives from the
// same place: y0[x], y1[x] are its luma at columns x of rows 2h, 2h + 1.
struct LumaRun
{
    int start, end;
    const std::int16_t *y0, *y1;
};

// A neighbour moved onto one half row (see warpRow): its luma read in
// place, run by run; colour differences and whether the cell has a
// counterpart in one buffer (cells -1 .. width).
struct WarpedRow
{
    std::vector<float> buffer;
    std::vector<LumaRun> runs;   // the first runCount in use
    int runCount = 0;
    // The luma rows of each run of 8 cells (cells 8b .. 8b + 7 read
    // block0[b][x], block1[b][x] at column x).
    std::vector<const std::int16_t *> block0, block1;
    float *u, *v, *inside;

    WarpedRow(const WarpedRow &) = delete;
    WarpedRow &operator=(const WarpedRow &) = delete;
    WarpedRow(WarpedRow &&) = default;
    explicit WarpedRow(int halfWidth)
    {
        const std::size_t cells = std::size_t(halfWidth) + 2;
        buffer.resize(3 * cells);
        u = buffer.data() + 1;
        v = u + cells;
        inside = v + cells;
        runs.resize(cells);
        block0.resize(std::size_t(halfWidth + 7) / 8);
        block1.resize(block0.size());
    }
};

// One step of the fixed-point planes.
constexpr float Unit = 1.0f / FixedScale;

constexpr int floorDiv(int a, int b) { return a >= 0 ? a / b : -((b - 1 - a) / b); }

// A neighbour's colour differences at a half-resolution cell moved by a
// full-resolution vector: odd components fall between cells and take the
// mean of the two. The four taps (repeated where a component is even) are
// added as integers: a quarter of their sum is the mean, exactly.
struct ChromaTap
{
    const std::int16_t *u0, *u1, *v0, *v1;
    int fx;

    ChromaTap(const FramePlanes &n, int h, Vec v)
    {
        const int ox = floorDiv(v.x, 2), oy = floorDiv(v.y, 2);
        fx = v.x & 1;
        const int fy = v.y & 1;
        u0 = n.u16.row(h + oy) + ox;
        u1 = n.u16.row(h + oy + fy) + ox;
        v0 = n.v16.row(h + oy) + ox;
        v1 = n.v16.row(h + oy + fy) + ox;
    }
};

#define NOCTA_KERNELS "filters/quality/temporalfusion_kernels.inc"
#include "filters/kernelcopies.h"

} // namespace

void fuseTemporal(const FramePlanes &current, const std::vector<Neighbour> &neighbours, const NoiseMap &noise,
                  FusedFrame &out)
{
    const int hw = current.u.width, hh = current.u.height;
    if (out.y.width != current.y.width || out.y.height != current.y.height) {
        out.y.reset(current.y.width, current.y.height, 8);
        out.u.reset(hw, hh, 8);
        out.v.reset(hw, hh, 8);
        out.residual.reset(hw, hh, 8);
    }
    const int count = int(neighbours.size());
    const FusionInput input{&current, neighbours.data(), &noise};

    const auto norm = NOCTA_KERNEL(normRow);
    const auto warp = NOCTA_KERNEL(warpRow);
    const auto distance = NOCTA_KERNEL(distanceRow);
    const auto weight = NOCTA_KERNEL(weightRow);
    const auto fuse = NOCTA_KERNEL(fuseRow);
    // Each band moves its rows of every neighbour, and one row above and
    // below, into place, keeping the latest two of them and the latest
    // three rows of distances.
    parallelRows(hh, [&](int begin, int end) {
        const std::size_t line = std::size_t(hw) + 2;
        std::vector<float> norms(3 * line), ring(3 * line * std::size_t(count)), square(2 * line);
        RowNorms rowNorms{norms.data() + 1, norms.data() + line + 1, norms.data() + 2 * line + 1};
        std::vector<WarpedRow> warped;
        warped.reserve(2 * std::size_t(count));
        for (int i = 0; i < 2 * count; ++i)
            warped.emplace_back(hw);
        auto distances = [&](int k, int h) {
            return ring.data() + (std::size_t(k) * 3 + std::size_t((h + 3) % 3)) * line + 1;
        };
        auto moved = [&](int k, int h) -> WarpedRow & { return warped[std::size_t(k) * 2 + std::size_t((h + 2) % 2)]; };
        std::vector<float> weights(std::size_t(count) * std::size_t(hw));
        std::vector<const WarpedRow *> rows(static_cast<std::size_t>(count));
        for (int h = begin - 1; h <= end; ++h) {
            norm(input, h, rowNorms);
            for (int k = 0; k < count; ++k) {
                warp(input, k, h, moved(k, h));
                distance(input, h, moved(k, h), rowNorms, square.data() + 2, distances(k, h));
            }
            const int row = h - 1;
            if (row < begin)
                continue;
            for (int k = 0; k < count; ++k) {
                weight(distances(k, row - 1), distances(k, row), distances(k, row + 1),
                       weights.data() + std::size_t(k) * std::size_t(hw), hw);
                rows[std::size_t(k)] = &moved(k, row);
            }
            fuse(current, row, rows.data(), weights.data(), count, out);
        }
    });
    out.y.fillBorder();
    out.u.fillBorder();
    out.v.fillBorder();
    out.residual.fillBorder();
}

} // namespace nocta::quality
