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

#define NOCTA_KERNELS "filters/standard/smoothframe_kernels.inc"
#include "filters/kernelcopies.h"

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

    const auto smoothRow = NOCTA_KERNEL(smoothRow);
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
