#include "pipeline/frameio.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <png.h>

#include <csetjmp>
#include <filesystem>
#include <cstring>

namespace nocta {

namespace {

quint32 le32(const uchar *p) { return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24; }
quint16 le16(const uchar *p) { return quint16(p[0] | p[1] << 8); }

// One row of B G R byte triples to opaque 0xAARRGGBB words.
void bgrRow(const uchar *src, QRgb *dst, int width)
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

// Uncompressed 24-bit BMP, the decoder's format, read straight into an RGB32
// image. Anything else returns a null image and is left to QImage.
QImage readBmp24(const QByteArray &data)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    const qint64 size = data.size();
    if (size < 54 || bytes[0] != 'B' || bytes[1] != 'M')
        return QImage();
    const quint32 offset = le32(bytes + 10);
    const quint32 headerSize = le32(bytes + 14);
    if (headerSize < 40 || qint64(14) + headerSize > size)
        return QImage();
    const qint32 width = qint32(le32(bytes + 18));
    const qint32 rawHeight = qint32(le32(bytes + 22));
    const quint16 planes = le16(bytes + 26);
    const quint16 bits = le16(bytes + 28);
    const quint32 compression = le32(bytes + 30);
    if (planes != 1 || bits != 24 || compression != 0 || width <= 0 || width > 65535
        || rawHeight == 0 || rawHeight < -65535 || rawHeight > 65535)
        return QImage();
    const bool topDown = rawHeight < 0;
    const int height = topDown ? -rawHeight : rawHeight;
    const qint64 stride = (qint64(width) * 3 + 3) & ~qint64(3);
    if (offset < 14 + headerSize || qint64(offset) + stride * height > size)
        return QImage();

    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    uchar *pixels = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    for (int y = 0; y < height; ++y) {
        const uchar *src = bytes + offset + stride * (topDown ? y : height - 1 - y);
        auto *dst = reinterpret_cast<QRgb *>(pixels + y * bytesPerLine);
        bgrRow(src, dst, width);
    }
    return image;
}

void writeToDevice(png_structp png, png_bytep data, png_size_t length)
{
    auto *file = static_cast<QIODevice *>(png_get_io_ptr(png));
    if (file->write(reinterpret_cast<const char *>(data), qint64(length)) != qint64(length))
        png_error(png, "write failed");
}

void flushDevice(png_structp) {}

void pngError(png_structp png, png_const_charp message)
{
    auto *reason = static_cast<QString *>(png_get_error_ptr(png));
    if (reason)
        *reason = QString::fromUtf8(message);
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

bool hasTransparentPixel(const QImage &image)
{
    if (!image.hasAlphaChannel())
        return false;
    const int width = image.width(), height = image.height();
    for (int y = 0; y < height; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        QRgb all = 0xFFFFFFFFu;
        for (int x = 0; x < width; ++x)
            all &= line[x];
        if (qAlpha(all) != 255)
            return true;
    }
    return false;
}

// libpng reports errors by longjmp: nothing with a destructor lives in this
// function's frame.
bool encodePng(const QImage &image, bool withAlpha, QIODevice *device, QString *reason)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, reason, pngError, pngWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, device, writeToDevice, flushDevice);
    // No compression, as quality 100 asks, and no row filters: the bytes of
    // the pixels are stored as they are.
    png_set_compression_level(png, 0);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_buffer_size(png, 1 << 20);
    png_set_IHDR(png, info, png_uint_32(image.width()), png_uint_32(image.height()), 8,
                 withAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    // Rows are 0xAARRGGBB words, in memory B G R A on every platform Qt
    // runs on little-endian; big-endian machines see A R G B.
    if (QSysInfo::ByteOrder == QSysInfo::LittleEndian) {
        png_set_bgr(png);
        if (!withAlpha)
            png_set_filler(png, 0, PNG_FILLER_AFTER);
    } else {
        png_set_swap_alpha(png);
        if (!withAlpha)
            png_set_filler(png, 0, PNG_FILLER_BEFORE);
    }
    const int height = image.height();
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(image.constScanLine(y)));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

QImage loadFrame(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    const QByteArray data = file.readAll();
    QImage image = readBmp24(data);
    if (image.isNull())
        image = QImage::fromData(data);
    if (image.isNull())
        return image;
    if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32)
        image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    return image;
}

bool savePng(const QImage &image, const QString &path, QString *error)
{
    if (image.isNull()) {
        if (error)
            *error = QStringLiteral("no image to save");
        return false;
    }
    QImage words = image;
    if (words.format() != QImage::Format_RGB32 && words.format() != QImage::Format_ARGB32)
        words = words.convertToFormat(words.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const bool withAlpha = hasTransparentPixel(words);

    // Written under a temporary name beside the target and renamed over it
    // when complete: the rename is atomic, so a crash or a full disk never
    // leaves half a PNG under the frame's name.
    const QFileInfo target(path);
    QTemporaryFile file(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QString reason;
    if (!encodePng(words, withAlpha, &file, &reason) || !file.flush()) {
        if (error)
            *error = file.error() != QFileDevice::NoError ? file.errorString()
                                                          : (reason.isEmpty() ? QStringLiteral("PNG encoding failed") : reason);
        return false;
    }
    // A temporary file is private to its owner; a frame is not.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    file.close();
    std::error_code code;
    std::filesystem::rename(QFile::encodeName(file.fileName()).toStdString(),
                            QFile::encodeName(target.absoluteFilePath()).toStdString(), code);
    if (code) {
        if (error)
            *error = QString::fromStdString(code.message());
        return false;
    }
    file.setAutoRemove(false);
    return true;
}

} // namespace nocta
