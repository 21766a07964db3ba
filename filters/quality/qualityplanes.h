#pragma once

#include <QImage>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace nocta::quality {

// A plane with a border of replicated edge pixels around it, so that
// shifted and overlapping reads near the edges need no bounds checks.
template <typename T>
struct Plane
{
    int width = 0;
    int height = 0;
    int pad = 0;
    std::ptrdiff_t stride = 0;
    std::vector<T> data;

    void reset(int w, int h, int border)
    {
        width = w;
        height = h;
        pad = border;
        stride = w + 2 * border;
        data.assign(std::size_t(stride) * std::size_t(h + 2 * border), T());
    }
    T *row(int y) { return data.data() + std::ptrdiff_t(y + pad) * stride + pad; }
    const T *row(int y) const { return data.data() + std::ptrdiff_t(y + pad) * stride + pad; }

    // Copies the edge pixels into the border.
    void fillBorder();
    // The same in parts, for bands of rows filled in parallel: row y's side
    // borders (y may be the row just below the picture), then, once the
    // first (last) row has its sides, the rows above (below) the picture.
    void fillSides(int y);
    void fillTop();
    void fillBottom();
};

using PlaneF = Plane<float>;
using Plane8 = Plane<std::uint8_t>;
using Plane16 = Plane<std::int16_t>;

// The fixed-point copies of a frame's planes hold value * FixedScale,
// rounded: neighbours are read from them, at half the memory traffic.
constexpr float FixedScale = 64.0f;
constexpr float FixedUnit = 1.0f / FixedScale;

// Full-range BT.601 luma and colour differences.
constexpr float KR = 0.299f, KG = 0.587f, KB = 0.114f;
constexpr float CbScale = 0.5f / (1.0f - KB);
constexpr float CrScale = 0.5f / (1.0f - KR);
constexpr float RFromCr = 2.0f * (1.0f - KR);
constexpr float BFromCb = 2.0f * (1.0f - KB);
constexpr float GFromCb = 2.0f * (1.0f - KB) * KB / KG;
constexpr float GFromCr = 2.0f * (1.0f - KR) * KR / KG;

// Largest motion vector component, in full-resolution pixels, and the
// border that every plane of a frame keeps (at its own scale) so that any
// block moved by such a vector, with its search margin, reads inside it.
constexpr int MaxVector = 96;
constexpr int FullBorder = 128;

// One movie frame as the quality filter works on it: luma at full
// resolution and colour differences at half resolution in fixed point
// (value * FixedScale, rounded), and the luma as bytes at full, half and
// quarter resolution for motion search.
struct FramePlanes
{
    Plane16 y16, u16, v16;
    Plane8 y8, h8, q8;

    void reset(int width, int height);
};

// How many quarter-resolution luma values fall in each quarter of the
// byte range (value >> 2).
using LumaCounts = std::array<int, 64>;

// Half and quarter sizes of a frame dimension.
constexpr int halfSize(int n) { return (n + 1) / 2; }
constexpr int quarterSize(int n) { return halfSize(halfSize(n)); }

// Fills planes from a frame (any QImage format; alpha is ignored), and
// counts its quarter-resolution luma into counts unless that is null.
void loadFramePlanes(const QImage &frame, FramePlanes &planes, LumaCounts *counts = nullptr);

// The tables that return dark values to their level in the output (see
// chromaguide.h): UnbiasSize entries a channel, indexed by the value in
// quarter steps.
constexpr int UnbiasSize = 1024;
using UnbiasTable = std::array<std::uint8_t, UnbiasSize>;

} // namespace nocta::quality
