#include "pipeline/frames/frameio.h"

#include "filters/imageaccess.h"
#include "pipeline/core/safefile.h"
#include "pipeline/frames/pixelrows.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <libdeflate.h>

#include <algorithm>
#include <vector>

namespace nocta {

namespace {

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

// Writes PNG chunks to a device through a small buffer, keeping the CRC of
// the chunk being written.
class ChunkWriter
{
public:
    explicit ChunkWriter(QIODevice *device) : m_device(device) { m_buffer.reserve(Capacity); }

    void raw(const uchar *data, std::size_t n)
    {
        while (n > 0 && m_ok) {
            const std::size_t take = std::min(n, Capacity - m_buffer.size());
            m_buffer.insert(m_buffer.end(), data, data + take);
            data += take;
            n -= take;
            if (m_buffer.size() == Capacity)
                flush();
        }
    }

    void bigEndian(quint32 v)
    {
        const uchar bytes[4] = {uchar(v >> 24), uchar(v >> 16), uchar(v >> 8), uchar(v)};
        raw(bytes, 4);
    }

    void beginChunk(const char *type, quint32 length)
    {
        bigEndian(length);
        m_crc = 0;
        data(reinterpret_cast<const uchar *>(type), 4);
    }

    // Chunk contents: written and counted into the chunk's CRC.
    void data(const uchar *bytes, std::size_t n)
    {
        m_crc = quint32(libdeflate_crc32(m_crc, bytes, n));
        raw(bytes, n);
    }

    void endChunk() { bigEndian(m_crc); }

    bool finish()
    {
        flush();
        return m_ok;
    }

private:
    static constexpr std::size_t Capacity = std::size_t(1) << 18;

    void flush()
    {
        if (m_ok && !m_buffer.empty())
            m_ok = m_device->write(reinterpret_cast<const char *>(m_buffer.data()), qint64(m_buffer.size()))
                   == qint64(m_buffer.size());
        m_buffer.clear();
    }

    QIODevice *m_device;
    std::vector<uchar> m_buffer;
    quint32 m_crc = 0;
    bool m_ok = true;
};

// The IHDR chunk: the size, 8 bits per channel, RGBA or RGB, no interlacing.
void writeHeaderChunk(ChunkWriter &out, int width, int height, bool withAlpha)
{
    uchar header[13] = {};
    for (int i = 0; i < 4; ++i) {
        header[i] = uchar(quint32(width) >> (24 - 8 * i));
        header[4 + i] = uchar(quint32(height) >> (24 - 8 * i));
    }
    header[8] = 8;                      // bits per channel
    header[9] = withAlpha ? 6 : 2;      // colour type: RGBA or RGB
    out.beginChunk("IHDR", sizeof header);
    out.data(header, sizeof header);
    out.endChunk();
}

// Writes the PNG file of an image: 8 bits per channel, no interlacing,
// every row with filter type 0 (none), and the image data as a zlib stream
// of stored deflate blocks: what a PNG encoder writes at compression level
// 0, the pixels' bytes as they are.
bool writePng(const QImage &image, bool withAlpha, QIODevice *device)
{
    const int width = image.width(), height = image.height();
    const int channels = withAlpha ? 4 : 3;
    const std::size_t rowBytes = 1 + std::size_t(width) * channels;
    const std::size_t rawBytes = rowBytes * std::size_t(height);
    constexpr std::size_t BlockBytes = 65535;
    const std::size_t blocks = std::max<std::size_t>(1, (rawBytes + BlockBytes - 1) / BlockBytes);
    const std::size_t streamBytes = 2 + 5 * blocks + rawBytes + 4;
    if (streamBytes > 0x7FFFFFFFu)
        return false;

    ChunkWriter out(device);
    static const uchar signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out.raw(signature, 8);

    writeHeaderChunk(out, width, height, withAlpha);

    out.beginChunk("IDAT", quint32(streamBytes));
    static const uchar zlibHeader[2] = {0x78, 0x01};
    out.data(zlibHeader, 2);
    std::size_t inBlock = BlockBytes;   // bytes written into the current block
    std::size_t blocksDone = 0;
    auto append = [&](const uchar *bytes, std::size_t n) {
        while (n > 0) {
            if (inBlock == BlockBytes) {
                const std::size_t size = std::min(BlockBytes, rawBytes - blocksDone * BlockBytes);
                const bool last = ++blocksDone == blocks;
                const uchar block[5] = {uchar(last ? 1 : 0), uchar(size), uchar(size >> 8),
                                        uchar(~size), uchar(~size >> 8)};
                out.data(block, 5);
                inBlock = 0;
            }
            const std::size_t take = std::min(n, BlockBytes - inBlock);
            out.data(bytes, take);
            bytes += take;
            n -= take;
            inBlock += take;
        }
    };

    std::vector<uchar> row(rowBytes);
    row[0] = 0;                         // filter type: none
    quint32 adler = 1;
    for (int y = 0; y < height; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        if (withAlpha)
            wordsToRgba(line, row.data() + 1, width);
        else
            wordsToRgb24(line, row.data() + 1, width);
        adler = quint32(libdeflate_adler32(adler, row.data(), rowBytes));
        append(row.data(), rowBytes);
    }
    const uchar checksum[4] = {uchar(adler >> 24), uchar(adler >> 16), uchar(adler >> 8), uchar(adler)};
    out.data(checksum, 4);
    out.endChunk();

    out.beginChunk("IEND", 0);
    out.endChunk();
    return out.finish();
}

} // namespace

Fault savePng(const QImage &image, const QString &path)
{
    if (image.isNull())
        return Fault::because(QStringLiteral("no image to save"));
    const QImage words = detail::asFrameFormat(image);
    const bool withAlpha = hasTransparentPixel(words);

    // Written under a temporary name beside the target and renamed over it
    // when complete: the rename is atomic, so a crash or a full disk never
    // leaves half a PNG under the frame's name.
    const QFileInfo target(path);
    QTemporaryFile file(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
    if (!file.open() || !writePng(words, withAlpha, &file) || !file.flush())
        return Fault::because(file.errorString());
    // A temporary file is private to its owner; a frame is not.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    file.close();
    if (const Fault fault = replaceFile(file.fileName(), target.absoluteFilePath()))
        return fault;
    file.setAutoRemove(false);
    return Fault();
}

} // namespace nocta
