#pragma once

#include <QImage>

#include <cstdint>

namespace nocta::detail {

// The filters read pixels as 0xAARRGGBB words, the values QImage::pixel
// gives. The 32-bit formats hold such words (QImage::pixel returns the
// stored word of a premultiplied ARGB32 image as it is, too); any other
// format is converted to ARGB32 first.
constexpr bool holdsArgbWords(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32
        || format == QImage::Format_ARGB32_Premultiplied;
}

inline QImage asArgbWords(const QImage &image)
{
    return holdsArgbWords(image.format()) ? image : image.convertToFormat(QImage::Format_ARGB32);
}

// Format of a filter result: that of the source when it is one of the
// 32-bit formats (every written pixel is opaque, so premultiplication
// changes nothing), ARGB32 otherwise.
inline QImage::Format resultFormat(const QImage &source)
{
    return holdsArgbWords(source.format()) ? source.format() : QImage::Format_ARGB32;
}

// A frame as loaded and saved: RGB32, or ARGB32 when the image has an
// alpha channel (a premultiplied image is unpremultiplied).
inline QImage asFrameFormat(const QImage &image)
{
    const QImage::Format format = image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    return image.format() == format ? image : image.convertToFormat(format);
}

inline const std::uint32_t *row(const QImage &image, int y)
{
    return reinterpret_cast<const std::uint32_t *>(image.constScanLine(y));
}

constexpr int red(std::uint32_t p) { return int((p >> 16) & 0xFF); }
constexpr int green(std::uint32_t p) { return int((p >> 8) & 0xFF); }
constexpr int blue(std::uint32_t p) { return int(p & 0xFF); }
constexpr std::uint32_t opaque(std::uint32_t r, std::uint32_t g, std::uint32_t b)
{
    return 0xFF000000u | (r << 16) | (g << 8) | b;
}

} // namespace nocta::detail
