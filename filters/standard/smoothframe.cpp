#include "filters/standard/smoothframe.h"

#include "filters/imageaccess.h"
#include "filters/parallel.h"
#include "filters/simd.h"

#include <cstdint>
#include <vector>

namespace nocta {

namespace {

// The kernel 2 4 2 / 4 6 4 / 2 4 2 is 2 (1 2 1)^T (1 2 1) with the centre
// lowered by 2. Leaving out the neighbours outside the image keeps it
// separable, so a pixel's sum is 2 H - 2 c, where H is the (1 2 1) sum
// across of the (1 2 1) sums down, and its weight total is
// 2 Ax Ay - 2 with Ax, Ay the in-image sums of (1 2 1) across and down.
//
// Rows are handled as bytes: each of the four bytes of a pixel is filtered
// on its own (the alpha byte too, then overwritten), which lets the
// compiler run the loops over many bytes at once.

template <unsigned Total>
NOCTA_INLINE void smoothInner(const std::uint16_t *down, const std::uint8_t *centre, std::uint8_t *out, int bytes)
{
    // Columns 1 .. width-2: both horizontal neighbours are inside.
    for (int j = 4; j < bytes - 4; ++j) {
        const unsigned h = unsigned(down[j - 4]) + 2u * down[j] + down[j + 4];
        out[j] = std::uint8_t((2u * h - 2u * centre[j]) / Total);
    }
}

NOCTA_ROW_KERNEL void smoothRow(const std::uint8_t *above, const std::uint8_t *centre, const std::uint8_t *below,
               std::uint8_t *out, int width, std::uint16_t *down)
{
    const int bytes = 4 * width;
    int ay = 2;
    if (above && below) {
        ay = 4;
        for (int j = 0; j < bytes; ++j)
            down[j] = std::uint16_t(above[j] + 2 * centre[j] + below[j]);
    } else if (above || below) {
        ay = 3;
        const std::uint8_t *other = above ? above : below;
        for (int j = 0; j < bytes; ++j)
            down[j] = std::uint16_t(other[j] + 2 * centre[j]);
    } else {
        for (int j = 0; j < bytes; ++j)
            down[j] = std::uint16_t(2 * centre[j]);
    }

    switch (ay) {
    case 4: smoothInner<30>(down, centre, out, bytes); break;
    case 3: smoothInner<22>(down, centre, out, bytes); break;
    default: smoothInner<14>(down, centre, out, bytes); break;
    }

    // First and last column: one horizontal neighbour, or none in a
    // one-pixel-wide image.
    auto edge = [&](int x) {
        const bool left = x > 0, right = x < width - 1;
        const unsigned ax = 2u + (left ? 1u : 0u) + (right ? 1u : 0u);
        const unsigned total = 2u * ax * unsigned(ay) - 2u;
        for (int c = 0; c < 4; ++c) {
            const int j = 4 * x + c;
            unsigned h = 2u * down[j];
            if (left)
                h += down[j - 4];
            if (right)
                h += down[j + 4];
            out[j] = std::uint8_t((2u * h - 2u * centre[j]) / total);
        }
    };
    edge(0);
    if (width > 1)
        edge(width - 1);

    auto *pixels = reinterpret_cast<std::uint32_t *>(out);
    for (int x = 0; x < width; ++x)
        pixels[x] |= 0xFF000000u;
}

} // namespace

QImage smoothFrame(const QImage &frame)
{
    const QImage source = detail::asArgbWords(frame);
    const int width = source.width();
    const int height = source.height();
    QImage result(width, height, detail::resultFormat(frame));
    if (result.isNull() || width <= 0 || height <= 0)
        return result;

    // Scan lines are looked up once: QImage::scanLine() must not be called
    // from several threads at a time.
    const std::uint8_t *in = source.constBits();
    const qsizetype inStride = source.bytesPerLine();
    std::uint8_t *outBits = result.bits();
    const qsizetype outStride = result.bytesPerLine();

    parallelRows(height, [&](int begin, int end) {
        std::vector<std::uint16_t> down(std::size_t(4) * width);
        for (int y = begin; y < end; ++y) {
            const std::uint8_t *centre = in + y * inStride;
            smoothRow(y > 0 ? centre - inStride : nullptr, centre,
                      y + 1 < height ? centre + inStride : nullptr,
                      outBits + y * outStride, width, down.data());
        }
    });
    return result;
}

} // namespace nocta
