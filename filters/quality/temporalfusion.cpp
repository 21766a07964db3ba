#include "filters/quality/temporalfusion.h"

#include "filters/parallel.h"
#include "filters/simd.h"

#include <algorithm>
#include <array>

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
    const float *invY;
    const float *invU;
    const float *invV;
};

// Running sums of one half row: weights, their squares and the weighed
// neighbour values.
struct FusionSums
{
    std::vector<float> sum, sum2, u, v, y0, y1, wFull, w;

    explicit FusionSums(int halfWidth)
        : sum(std::size_t(halfWidth)), sum2(sum.size()), u(sum.size()), v(sum.size()), y0(2 * sum.size()),
          y1(y0.size()), wFull(y0.size()), w(sum.size())
    {
    }
    void clear()
    {
        for (auto *a : {&sum, &sum2, &u, &v, &y0, &y1})
            std::fill(a->begin(), a->end(), 0.0f);
    }
};

constexpr int floorDiv(int a, int b) { return a >= 0 ? a / b : -((b - 1 - a) / b); }

// A neighbour's colour differences at a half-resolution cell moved by a
// full-resolution vector: odd components fall between cells and take the
// mean of the two.
struct ChromaTap
{
    const float *u0, *u1, *v0, *v1;
    float fx, fy;

    ChromaTap(const FramePlanes &n, int h, Vec v)
    {
        const int ox = floorDiv(v.x, 2), oy = floorDiv(v.y, 2);
        fx = (v.x & 1) ? 0.5f : 0.0f;
        fy = (v.y & 1) ? 0.5f : 0.0f;
        u0 = n.u.row(h + oy) + ox;
        u1 = n.u.row(h + oy + 1) + ox;
        v0 = n.v.row(h + oy) + ox;
        v1 = n.v.row(h + oy + 1) + ox;
    }
    NOCTA_INLINE float at(const float *r0, const float *r1, int x) const
    {
        return (1.0f - fy) * ((1.0f - fx) * r0[x] + fx * r0[x + 1]) + fy * ((1.0f - fx) * r1[x] + fx * r1[x + 1]);
    }
    NOCTA_INLINE float u(int x) const { return at(u0, u1, x); }
    NOCTA_INLINE float v(int x) const { return at(v0, v1, x); }
};

#define NOCTA_KERNELS "filters/quality/temporalfusion_kernels.inc"
#include "filters/kernelcopies.h"

// 1 / (2 s^2): the normalisation of a squared difference of two views.
std::array<float, 256> inverseVariance(const std::array<float, 256> &sigma)
{
    std::array<float, 256> inverse{};
    for (std::size_t i = 0; i < inverse.size(); ++i)
        inverse[i] = 1.0f / (2.0f * std::max(sigma[i] * sigma[i], 0.01f));
    return inverse;
}

} // namespace

void fuseTemporal(const FramePlanes &current, const std::vector<Neighbour> &neighbours, const NoiseModel &model,
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
    out.distances.resize(neighbours.size());
    for (PlaneF &d : out.distances) {
        if (d.width != hw || d.height != hh)
            d.reset(hw, hh, 1);
    }
    const std::array<float, 256> invY = inverseVariance(model.sigmaY), invU = inverseVariance(model.sigmaU),
                                 invV = inverseVariance(model.sigmaV);
    const FusionInput input{&current, neighbours.data(), invY.data(), invU.data(), invV.data()};

    const auto distance = NOCTA_KERNEL(distanceRow);
    parallelRows(hh + 2, [&](int begin, int end) {
        for (int h = begin - 1; h < end - 1; ++h)
            for (int k = 0; k < count; ++k)
                distance(input, k, h, out.distances[std::size_t(k)].row(h) - 0);
    });

    const auto weight = NOCTA_KERNEL(weightRow);
    const auto accumulate = NOCTA_KERNEL(accumulateRow);
    const auto finish = NOCTA_KERNEL(finishRow);
    parallelRows(hh, [&](int begin, int end) {
        FusionSums sums(hw);
        for (int h = begin; h < end; ++h) {
            sums.clear();
            for (int k = 0; k < count; ++k) {
                weight(out.distances[std::size_t(k)], h, sums.w.data(), hw);
                accumulate(input, k, h, sums.w.data(), sums);
            }
            finish(current, h, sums, out);
        }
    });
    out.y.fillBorder();
    out.u.fillBorder();
    out.v.fillBorder();
    out.residual.fillBorder();
}

} // namespace nocta::quality
