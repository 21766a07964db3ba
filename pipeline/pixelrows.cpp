#include "pipeline/pixelrows.h"

#include <cstring>

namespace nocta {

QImage imageFromBgr24(const uchar *bytes, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    for (int y = 0; y < height; ++y) {
        const uchar *src = bytes + std::size_t(y) * std::size_t(width) * 3;
        auto *dst = reinterpret_cast<QRgb *>(image.scanLine(y));
        int x = 0;
        if (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
            // Four bytes at a time hold B G R and the next pixel's B: the
            // word read in one go is the colour once its top byte is set.
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
    return image;
}

void imageToRgb24(const QImage &image, uchar *out)
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        uchar *row = out + std::size_t(y) * std::size_t(width) * 3;
        for (int x = 0; x < width; ++x) {
            row[3 * x] = uchar(line[x] >> 16);
            row[3 * x + 1] = uchar(line[x] >> 8);
            row[3 * x + 2] = uchar(line[x]);
        }
    }
}

} // namespace nocta
