#include "pipeline/frames/pixelrows.h"

#include "filters/simd.h"

#include <cstring>

namespace nocta {

namespace {

#define NOCTA_KERNELS "pipeline/frames/pixelrows_kernels.inc"
#include "filters/kernelcopies.h"

} // namespace

// One row of B G R byte triples to opaque 0xAARRGGBB words.
void bgr24ToWords(const uchar *src, QRgb *dst, int width)
{
    int x = 0;
    if (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
        // Four bytes at a time hold B G R and the next pixel's B: the word
        // read in one go is the colour once its top byte is set.
        for (; x < width - 1; ++x) {
            quint32 word;
            std::memcpy(&word, src + 3 * x, 4);
            dst[x] = word | 0xFF000000u;
        }
    }
    for (; x < width; ++x) {
        const uchar *p = src + 3 * x;
        dst[x] = 0xFF000000u | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0];
    }
}

void wordsToRgb24(const QRgb *line, uchar *out, int width)
{
    NOCTA_KERNEL(rgbRow)(line, out, width);
}

void wordsToRgba(const QRgb *line, uchar *out, int width)
{
    NOCTA_KERNEL(rgbaRow)(line, out, width);
}

QImage imageFromBgr24(const uchar *bytes, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    for (int y = 0; y < height; ++y)
        bgr24ToWords(bytes + std::size_t(y) * std::size_t(width) * 3, reinterpret_cast<QRgb *>(image.scanLine(y)), width);
    return image;
}

void imageToRgb24(const QImage &image, uchar *out)
{
    const auto row = NOCTA_KERNEL(rgbRow);
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y)
        row(reinterpret_cast<const QRgb *>(image.constScanLine(y)), out + std::size_t(y) * std::size_t(width) * 3, width);
}

} // namespace nocta
