#include "pipeline/frames/bmpread.h"

#include "pipeline/frames/pixelrows.h"

#include "filters/imageaccess.h"

#include <QImageReader>
#include <QIODevice>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace nocta::detail {

namespace {

quint32 le32(const uchar *p) { return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24; }
quint16 le16(const uchar *p) { return quint16(p[0] | p[1] << 8); }

enum Compression { Rgb = 0, Rle8 = 1, Rle4 = 2, BitFields = 3 };

// What the headers say, once checked for sense.
struct BmpHeader
{
    qint64 pixelOffset = 0;
    int headerSize = 0;
    int width = 0;
    int height = 0;
    bool topDown = false;
    int bits = 0;
    int compression = Rgb;
    qint64 pixelBytes = 0;            // the size of the pixel data (0: unknown, RLE)
    QVector<QRgb> palette;            // for 8 bits or fewer
};

FrameLoad damaged(const QString &reason)
{
    return frameFailure(FrameLoad::Damaged, reason);
}

FrameLoad unreadable(const QIODevice &device)
{
    return frameFailure(FrameLoad::Unreadable, device.errorString());
}

// Reads the palette (after the bit masks of a 40-byte header) and checks
// that the pixels start past it and within the file.
FrameLoad readPalette(const uchar *b, qint64 have, qint64 size, BmpHeader &h)
{
    qint64 tableAt = 14 + h.headerSize + (h.compression == BitFields && h.headerSize == 40 ? 12 : 0);
    if (h.bits <= 8) {
        const qint64 used = h.headerSize >= 40 ? le32(b + 46) : 0;
        const qint64 colours = used ? used : (qint64(1) << h.bits);
        if (colours > 256)
            return damaged(QStringLiteral("BMP palette of %1 colours").arg(colours));
        const int entry = h.headerSize == 12 ? 3 : 4;
        if (tableAt + colours * entry > have)
            return damaged(QStringLiteral("truncated: the BMP palette ends past the end of the file"));
        for (qint64 i = 0; i < colours; ++i) {
            const uchar *c = b + tableAt + i * entry;
            h.palette << qRgb(c[2], c[1], c[0]);
        }
        tableAt += colours * entry;
    } else if (tableAt > have) {
        return damaged(QStringLiteral("truncated: the BMP bit masks end past the end of the file"));
    }
    if (h.pixelOffset < tableAt || h.pixelOffset > size)
        return damaged(QStringLiteral("BMP pixel data at %1, outside the file's %2 bytes past its headers")
                           .arg(h.pixelOffset).arg(size));
    return FrameLoad{FrameLoad::Ok, QImage(), Fault()};
}

// Checks that the file holds the pixel data the header claims.
FrameLoad checkPixelExtent(const uchar *b, qint64 size, BmpHeader &h)
{
    const qint64 available = size - h.pixelOffset;
    if (h.compression == Rle8 || h.compression == Rle4) {
        const qint64 claimed = h.headerSize >= 40 ? le32(b + 34) : 0;
        if (claimed > available)
            return damaged(QStringLiteral("truncated: header says %1 bytes of pixels, file has %2")
                               .arg(claimed).arg(available));
    } else {
        const qint64 stride = (qint64(h.width) * h.bits + 31) / 32 * 4;
        h.pixelBytes = stride * h.height;
        if (h.pixelBytes > available)
            return damaged(QStringLiteral("truncated: header says %1 bytes of pixels, file has %2")
                               .arg(h.pixelBytes).arg(available));
    }
    return FrameLoad{FrameLoad::Ok, QImage(), Fault()};
}

// Parses and checks the headers (and the palette) from the first bytes of
// the file. Returns Ok with *header filled, or the failure.
FrameLoad parseHeader(const QByteArray &head, qint64 size, QSize expectedSize, BmpHeader *header)
{
    const auto *b = reinterpret_cast<const uchar *>(head.constData());
    const qint64 have = head.size();
    if (have < 18)
        return damaged(QStringLiteral("truncated: %1 bytes, shorter than a BMP header").arg(size));
    BmpHeader h;
    h.pixelOffset = le32(b + 10);
    h.headerSize = int(le32(b + 14));
    const int sizes[] = {12, 40, 52, 56, 64, 108, 124};
    if (std::find(std::begin(sizes), std::end(sizes), h.headerSize) == std::end(sizes))
        return damaged(QStringLiteral("unknown BMP header size %1").arg(quint32(le32(b + 14))));
    if (have < 14 + h.headerSize)
        return damaged(QStringLiteral("truncated: %1 bytes, shorter than its BMP header").arg(size));

    qint64 rawWidth, rawHeight;
    int planes;
    if (h.headerSize == 12) {
        rawWidth = le16(b + 18);
        rawHeight = le16(b + 20);
        planes = le16(b + 22);
        h.bits = le16(b + 24);
    } else {
        rawWidth = qint32(le32(b + 18));
        rawHeight = qint32(le32(b + 22));
        planes = le16(b + 26);
        h.bits = le16(b + 28);
        h.compression = int(le32(b + 30));
    }
    if (planes != 1)
        return damaged(QStringLiteral("BMP with %1 planes").arg(planes));
    const bool depthKnown = h.bits == 1 || h.bits == 4 || h.bits == 8 || h.bits == 16 || h.bits == 24 || h.bits == 32;
    const bool codingKnown = h.compression == Rgb || (h.compression == Rle8 && h.bits == 8)
                          || (h.compression == Rle4 && h.bits == 4)
                          || (h.compression == BitFields && (h.bits == 16 || h.bits == 32));
    if (!depthKnown || !codingKnown)
        return damaged(QStringLiteral("unsupported BMP: %1 bits per pixel, compression %2")
                           .arg(h.bits).arg(quint32(h.compression)));
    if (rawWidth <= 0 || rawHeight == 0)
        return damaged(QStringLiteral("BMP of %1 x %2 pixels").arg(rawWidth).arg(rawHeight));
    h.topDown = rawHeight < 0;
    const qint64 height = h.topDown ? -rawHeight : rawHeight;
    if (h.topDown && (h.compression == Rle8 || h.compression == Rle4))
        return damaged(QStringLiteral("run-length coded BMP stored top-down"));
    FrameLoad sized = checkFrameSize(rawWidth, height, expectedSize);
    if (!sized.ok())
        return sized;
    h.width = int(rawWidth);
    h.height = int(height);

    FrameLoad checked = readPalette(b, have, size, h);
    if (checked.ok())
        checked = checkPixelExtent(b, size, h);
    if (!checked.ok())
        return checked;
    *header = h;
    return FrameLoad{FrameLoad::Ok, QImage(), Fault()};
}


FrameLoad outOfMemory(const BmpHeader &h)
{
    return frameFailure(FrameLoad::OutOfMemory,
                        QStringLiteral("no memory for a frame of %1x%2").arg(h.width).arg(h.height));
}

// Uncompressed 24-bit pixels, read straight into an RGB32 image a band of
// rows at a time.
FrameLoad readBgr24(QIODevice &device, const BmpHeader &h)
{
    if (!device.seek(h.pixelOffset))
        return unreadable(device);
    QImage image(h.width, h.height, QImage::Format_RGB32);
    if (image.isNull())
        return outOfMemory(h);
    const qint64 stride = h.pixelBytes / h.height;
    uchar *pixels = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    const int bandRows = int(std::max<qint64>(1, (qint64(1) << 20) / stride));
    std::vector<uchar> band(std::size_t(stride) * std::size_t(bandRows));
    for (int first = 0; first < h.height; first += bandRows) {
        const int rows = std::min(bandRows, h.height - first);
        const qint64 want = stride * rows;
        const qint64 got = device.read(reinterpret_cast<char *>(band.data()), want);
        if (got < 0)
            return unreadable(device);
        if (got != want)
            return damaged(QStringLiteral("truncated: the file ended while its pixels were read"));
        for (int r = 0; r < rows; ++r) {
            const int fileRow = first + r;   // rows in file order
            const int y = h.topDown ? fileRow : h.height - 1 - fileRow;
            bgr24ToWords(band.data() + stride * r, reinterpret_cast<QRgb *>(pixels + y * bytesPerLine), h.width);
        }
    }
    return FrameLoad{FrameLoad::Ok, image, Fault()};
}

// The image of palette indices, bottom row first, through the palette
// (indices past its end are black).
FrameLoad paletteImage(const std::vector<uchar> &index, const BmpHeader &h)
{
    const int w = h.width, rows = h.height;
    QRgb colours[256];
    std::fill(std::begin(colours), std::end(colours), qRgb(0, 0, 0));
    std::copy(h.palette.begin(), h.palette.end(), colours);
    QImage image(w, rows, QImage::Format_RGB32);
    if (image.isNull())
        return outOfMemory(h);
    for (int r = 0; r < rows; ++r) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(rows - 1 - r));
        const uchar *in = index.data() + std::size_t(r) * w;
        for (int i = 0; i < w; ++i)
            line[i] = colours[in[i]];
    }
    return FrameLoad{FrameLoad::Ok, image, Fault()};
}

// Run-length coded 8- or 4-bit pixels. Pixels that the data skips (end of
// line, end of bitmap, a delta) take palette entry 0, as if the image had
// been cleared to it first; data that ends before its end-of-bitmap mark,
// or a run or delta that leaves the image, makes the file Damaged.
FrameLoad decodeRle(QIODevice &device, qint64 size, const BmpHeader &h)
{
    if (!device.seek(h.pixelOffset))
        return unreadable(device);
    QByteArray data(int(std::min<qint64>(size - h.pixelOffset, INT_MAX)), Qt::Uninitialized);
    const qint64 got = device.read(data.data(), data.size());
    if (got < 0)
        return unreadable(device);
    data.truncate(int(got));
    const auto *d = reinterpret_cast<const uchar *>(data.constData());
    const qint64 n = data.size();
    const bool four = h.compression == Rle4;
    const int w = h.width, rows = h.height;
    std::vector<uchar> index(std::size_t(w) * std::size_t(rows), 0);

    const QString cutShort = QStringLiteral("truncated: run-length data ends before its end-of-bitmap mark");
    const QString leaves = QStringLiteral("run-length data reaches outside the %1x%2 image").arg(w).arg(rows);
    qint64 pos = 0;
    qint64 x = 0, y = 0;   // y counts rows in file order, bottom row first
    while (true) {
        if (pos + 2 > n)
            return damaged(cutShort);
        const int count = d[pos], code = d[pos + 1];
        pos += 2;
        if (count > 0) {
            if (y >= rows || x + count > w)
                return damaged(leaves);
            uchar *out = index.data() + std::size_t(y) * w + x;
            for (int i = 0; i < count; ++i)
                out[i] = four ? uchar((i & 1) ? code & 0x0F : code >> 4) : uchar(code);
            x += count;
        } else if (code == 0) {
            x = 0;
            ++y;
        } else if (code == 1) {
            break;
        } else if (code == 2) {
            if (pos + 2 > n)
                return damaged(cutShort);
            x += d[pos];
            y += d[pos + 1];
            pos += 2;
            if (x > w || y > rows)
                return damaged(leaves);
        } else {
            const int bytes = four ? (code + 1) / 2 : code;
            const int padded = (bytes + 1) & ~1;
            if (pos + padded > n)
                return damaged(cutShort);
            if (y >= rows || x + code > w)
                return damaged(leaves);
            uchar *out = index.data() + std::size_t(y) * w + x;
            for (int i = 0; i < code; ++i)
                out[i] = four ? uchar((i & 1) ? d[pos + i / 2] & 0x0F : d[pos + i / 2] >> 4) : d[pos + i];
            x += code;
            pos += padded;
        }
    }

    return paletteImage(index, h);
}

// Other depths: Qt's reader, now that the file holds every byte it reads.
FrameLoad readWithQt(QIODevice &device, const BmpHeader &h)
{
    if (!device.seek(0))
        return unreadable(device);
    QImageReader reader(&device, "bmp");
    QImage image;
    if (!reader.read(&image)) {
        if (QImage(h.width, h.height, QImage::Format_ARGB32).isNull())
            return outOfMemory(h);
        return damaged(reader.errorString());
    }
    if (image.size() != QSize(h.width, h.height))
        return damaged(QStringLiteral("BMP decoded as %1x%2, its header says %3x%4")
                           .arg(image.width()).arg(image.height()).arg(h.width).arg(h.height));
    return FrameLoad{FrameLoad::Ok, image, Fault()};
}

} // namespace

FrameLoad frameFailure(FrameLoad::Status status, const QString &reason)
{
    return FrameLoad{status, QImage(), Fault::because(reason)};
}

FrameLoad checkFrameSize(qint64 width, qint64 height, QSize expectedSize)
{
    if (width > MaxFrameSide || height > MaxFrameSide)
        return frameFailure(FrameLoad::TooLarge, QStringLiteral("%1x%2 is larger than %3 pixels a side")
                                                     .arg(width).arg(height).arg(MaxFrameSide));
    if (expectedSize.isValid() && QSize(int(width), int(height)) != expectedSize)
        return frameFailure(FrameLoad::WrongSize, QStringLiteral("%1x%2, not %3x%4")
                                                      .arg(width).arg(height)
                                                      .arg(expectedSize.width()).arg(expectedSize.height()));
    return FrameLoad{FrameLoad::Ok, QImage(), Fault()};
}

FrameLoad readBmp(QIODevice &device, qint64 size, QSize expectedSize)
{
    // Headers, bit masks and a palette of 256 colours fit in this.
    QByteArray head(14 + 124 + 12 + 256 * 4, Qt::Uninitialized);
    const qint64 got = device.read(head.data(), head.size());
    if (got < 0)
        return unreadable(device);
    head.truncate(int(got));
    BmpHeader h;
    FrameLoad checked = parseHeader(head, size, expectedSize, &h);
    if (!checked.ok())
        return checked;
    if (h.compression == Rle8 || h.compression == Rle4)
        return decodeRle(device, size, h);
    if (h.bits == 24)
        return readBgr24(device, h);
    return readWithQt(device, h);
}

} // namespace nocta::detail
