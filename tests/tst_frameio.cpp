#include "pipeline/core/safefile.h"
#include "pipeline/frames/frameio.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <functional>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using nocta::loadFrame;
using nocta::savePng;
using nocta::test::findFfmpeg;
using nocta::test::randomFrame;
using nocta::test::runProgram;

namespace {

// Full 32-bit pixel values, alpha included; names the first difference.
QString pixelDifference(const QImage &expected, const QImage &actual)
{
    if (expected.size() != actual.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width()).arg(actual.height()).arg(expected.width()).arg(expected.height());
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb e = expected.pixel(x, y);
            const QRgb a = actual.pixel(x, y);
            if (e != a)
                return QStringLiteral("pixel (%1, %2) is %3, expected %4")
                    .arg(x).arg(y).arg(a, 8, 16, QLatin1Char('0')).arg(e, 8, 16, QLatin1Char('0'));
        }
    return QString();
}

bool isFrameFormat(const QImage &image)
{
    return image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32;
}

void putLe16(QByteArray &bytes, int at, quint16 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

void putLe32(QByteArray &bytes, int at, quint32 value)
{
    qToLittleEndian(value, bytes.data() + at);
}

// An uncompressed BMP with a 40-byte info header, written by hand: 24 bits
// (B G R, rows padded to four bytes) or 32 bits (B G R X). Rows are stored
// bottom-up unless topDown, which stores a negative height. gap adds bytes
// between the headers and the pixels (the offset field points past them).
QByteArray bmpBytes(const QImage &image, int bits, bool topDown, int gap = 0)
{
    const int width = image.width();
    const int height = image.height();
    const int bytesPerPixel = bits / 8;
    const int stride = (width * bytesPerPixel + 3) & ~3;
    const int offset = 54 + gap;
    QByteArray bytes(offset + stride * height, '\0');
    bytes[0] = 'B';
    bytes[1] = 'M';
    putLe32(bytes, 2, quint32(bytes.size()));
    putLe32(bytes, 10, quint32(offset));
    putLe32(bytes, 14, 40);
    putLe32(bytes, 18, quint32(width));
    putLe32(bytes, 22, quint32(topDown ? -height : height));
    putLe16(bytes, 26, 1);
    putLe16(bytes, 28, quint16(bits));
    putLe32(bytes, 30, 0);
    putLe32(bytes, 34, quint32(stride * height));
    putLe32(bytes, 38, 2835);
    putLe32(bytes, 42, 2835);
    for (int i = 0; i < gap; ++i)
        bytes[54 + i] = char(0xA5);   // must never show up in the pixels
    for (int y = 0; y < height; ++y) {
        char *row = bytes.data() + offset + stride * (topDown ? y : height - 1 - y);
        for (int x = 0; x < width; ++x) {
            const QRgb c = image.pixel(x, y);
            row[x * bytesPerPixel] = char(qBlue(c));
            row[x * bytesPerPixel + 1] = char(qGreen(c));
            row[x * bytesPerPixel + 2] = char(qRed(c));
            if (bits == 32)
                row[x * bytesPerPixel + 3] = char(0);
        }
        for (int p = width * bytesPerPixel; p < stride; ++p)
            row[p] = char(0x5A);   // padding garbage, must never show up either
    }
    return bytes;
}


[[maybe_unused]] void putBe32(QByteArray &bytes, int at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (24 - 8 * i));
}

// CRC-32 as PNG chunks carry it.
[[maybe_unused]] quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= uchar(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

quint32 be32(const QByteArray &bytes, int at)
{
    return qFromBigEndian<quint32>(bytes.constData() + at);
}

// The colours a plain QImage load gives, as full ARGB values.
QImage opaqueCopy(const QImage &image)
{
    return image.convertToFormat(QImage::Format_RGB32).convertToFormat(QImage::Format_ARGB32);
}

// An RGB32 image whose unused top byte holds random garbage, not 0xFF.
QImage rgb32WithGarbageTopByte(int width, int height, quint32 seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = random.generate() & 0x7FFFFFFFu;
    }
    return image;
}

QImage opaqueArgb(int width, int height, quint32 seed)
{
    QImage image = randomFrame(width, height, seed, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] |= 0xFF000000u;
    }
    return image;
}

QImage indexedImage(int width, int height, quint32 seed, bool withTransparentColour, int colours = 40)
{
    QImage image(width, height, QImage::Format_Indexed8);
    std::memset(image.bits(), 0, std::size_t(image.sizeInBytes()));   // row padding too: Qt writes it
    QVector<QRgb> table;
    QRandomGenerator random(seed);
    for (int i = 0; i < colours; ++i)
        table << (random.generate() | 0xFF000000u);
    if (withTransparentColour)
        table[7] = qRgba(200, 100, 50, 0);
    image.setColorTable(table);
    for (int y = 0; y < height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < width; ++x)
            line[x] = uchar(random.bounded(table.size()));
    }
    if (withTransparentColour)
        image.scanLine(0)[0] = 7;
    return image;
}

QImage grayImage(int width, int height, quint32 seed)
{
    QImage image(width, height, QImage::Format_Grayscale8);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < width; ++x)
            line[x] = uchar(random.bounded(256));
    }
    return image;
}

} // namespace

// A step on files in a folder that fails there.
using FileStep = std::function<nocta::Fault(const QString &folder)>;
Q_DECLARE_METATYPE(FileStep)

class TestFrameIo : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void loadsBmp24_data();
    void loadsBmp24();
    void loadsFfmpegBmp_data();
    void loadsFfmpegBmp();
    void loadsOtherFormats_data();
    void loadsOtherFormats();
    void refusesBrokenFrames_data();
    void refusesBrokenFrames();
    void refusesSpecialFiles_data();
    void refusesSpecialFiles();
    void decodesRunLengthBmp_data();
    void decodesRunLengthBmp();
    void outOfMemoryIsReported_data();
    void outOfMemoryIsReported();
    void replaysFuzzCases_data();
    void replaysFuzzCases();

    void savesPng_data();
    void savesPng();
    void ffmpegReadsSavedPng_data();
    void ffmpegReadsSavedPng();
    void nullImageIsNotSaved();
    void missingDirectoryFails();
    void directoryAsTargetFails();
    void replacesExistingFile();

    void faultsCarryTheSystemsReason_data();
    void faultsCarryTheSystemsReason();

private:
    QScopedPointer<QTemporaryDir> dir;
    QString path(const QString &name) const { return dir->filePath(name); }
};

void TestFrameIo::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

// --- loadFrame --------------------------------------------------------------

void TestFrameIo::loadsBmp24_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("topDown");
    QTest::addColumn<int>("gap");

    const QVector<QSize> sizes = {{1, 1}, {2, 3}, {3, 2}, {5, 1}, {1, 5}, {641, 359}, {1920, 1080}};
    for (const QSize &size : sizes)
        for (const bool topDown : {false, true}) {
            const QByteArray name = QStringLiteral("%1x%2 %3")
                                        .arg(size.width()).arg(size.height())
                                        .arg(QLatin1String(topDown ? "top-down" : "bottom-up")).toLatin1();
            QTest::newRow(name.constData()) << size.width() << size.height() << topDown << 0;
        }
    QTest::newRow("3x2 bottom-up, gap before pixels") << 3 << 2 << false << 17;
    QTest::newRow("7x4 top-down, gap before pixels") << 7 << 4 << true << 1;
}

void TestFrameIo::loadsBmp24()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, topDown);
    QFETCH(int, gap);

    const QImage source = randomFrame(width, height, quint32(width * 7 + height));
    const QString file = path(QStringLiteral("frame.bmp"));
    QVERIFY(nocta::test::writeFile(file, bmpBytes(source, 24, topDown, gap)));

    const QImage loaded = loadFrame(file);
    QVERIFY(!loaded.isNull());
    QVERIFY2(isFrameFormat(loaded), qPrintable(QString::number(loaded.format())));
    QCOMPARE(loaded.size(), QSize(width, height));

    const QString vsSource = pixelDifference(opaqueCopy(source), loaded);
    QVERIFY2(vsSource.isEmpty(), qPrintable(vsSource));
    const QImage qt(file);
    QVERIFY(!qt.isNull());
    const QString vsQt = pixelDifference(qt, loaded);
    QVERIFY2(vsQt.isEmpty(), qPrintable(vsQt));
}

void TestFrameIo::loadsFfmpegBmp_data()
{
    QTest::addColumn<QString>("source");        // lavfi graph
    QTest::addColumn<QString>("pixelFormat");   // empty: ffmpeg's own choice for .bmp
    QTest::addColumn<int>("bits");

    QTest::newRow("37x21") << "testsrc2=size=37x21" << QString() << 24;
    QTest::newRow("1x1") << "testsrc2=size=32x32,scale=1:1" << QString() << 24;
    QTest::newRow("2x3") << "testsrc2=size=32x32,scale=2:3" << QString() << 24;
    QTest::newRow("3x2") << "testsrc2=size=32x32,scale=3:2" << QString() << 24;
    QTest::newRow("641x359") << "testsrc2=size=641x359" << QString() << 24;
    QTest::newRow("1920x1080") << "testsrc2=size=1920x1080" << QString() << 24;
    QTest::newRow("37x21 bgra") << "testsrc2=size=37x21" << "bgra" << 32;
    QTest::newRow("37x21 pal8") << "testsrc2=size=37x21" << "pal8" << 8;
    QTest::newRow("37x21 gray") << "testsrc2=size=37x21" << "gray" << 8;
}

void TestFrameIo::loadsFfmpegBmp()
{
    QFETCH(QString, source);
    QFETCH(QString, pixelFormat);
    QFETCH(int, bits);
    if (findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not on PATH");

    const QString file = path(QStringLiteral("001.bmp"));
    QStringList arguments = {"-y", "-loglevel", "error", "-f", "lavfi", "-i", source,
                             "-frames:v", "1"};
    if (!pixelFormat.isEmpty())
        arguments << "-pix_fmt" << pixelFormat;
    arguments << file;
    QString output;
    QVERIFY2(runProgram(QStringLiteral("ffmpeg"), arguments, &output), qPrintable(output));

    const QByteArray bytes = nocta::test::readFile(file);
    QVERIFY(bytes.size() > 54);
    QCOMPARE(int(qFromLittleEndian<quint16>(bytes.constData() + 28)), bits);

    const QImage qt(file);
    QVERIFY(!qt.isNull());
    const QImage loaded = loadFrame(file);
    QVERIFY(!loaded.isNull());
    QVERIFY2(isFrameFormat(loaded), qPrintable(QString::number(loaded.format())));
    const QString difference = pixelDifference(qt, loaded);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestFrameIo::loadsOtherFormats_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QImage>("source");
    QTest::addColumn<QByteArray>("handWritten");   // written as is when not empty
    QTest::addColumn<bool>("alpha");
    QTest::addColumn<int>("bmpBits");   // 0: not a BMP

    const QImage rgb = randomFrame(33, 17, 3);
    QTest::newRow("png rgb") << "a.png" << rgb << QByteArray() << false << 0;
    QTest::newRow("png rgba") << "a.png" << randomFrame(33, 17, 4, QImage::Format_ARGB32) << QByteArray() << true << 0;
    QTest::newRow("png paletted") << "a.png" << indexedImage(33, 17, 5, false, 40) << QByteArray() << false << 0;
    QTest::newRow("png paletted, transparent colour") << "a.png" << indexedImage(33, 17, 6, true, 40) << QByteArray() << true << 0;
    QTest::newRow("png grayscale") << "a.png" << grayImage(33, 17, 7) << QByteArray() << false << 0;
    QTest::newRow("png 1x1 rgb") << "a.png" << randomFrame(1, 1, 8) << QByteArray() << false << 0;
    QTest::newRow("bmp 8-bit paletted") << "a.bmp" << indexedImage(33, 17, 9, false, 40) << QByteArray() << false << 8;
    QTest::newRow("bmp 4-bit paletted") << "a.bmp" << indexedImage(33, 17, 10, false, 12) << QByteArray() << false << 4;
    QTest::newRow("bmp 32-bit") << "a.bmp" << QImage() << bmpBytes(rgb, 32, false) << false << 32;
    QTest::newRow("bmp 32-bit, top-down") << "a.bmp" << QImage() << bmpBytes(rgb, 32, true) << false << 32;
    QTest::newRow("jpeg") << "a.jpg" << rgb << QByteArray() << false << 0;
    QTest::newRow("ppm") << "a.ppm" << rgb << QByteArray() << false << 0;
}

void TestFrameIo::loadsOtherFormats()
{
    QFETCH(QString, fileName);
    QFETCH(QImage, source);
    QFETCH(QByteArray, handWritten);
    QFETCH(bool, alpha);
    QFETCH(int, bmpBits);

    const QString file = path(fileName);
    if (handWritten.isEmpty())
        QVERIFY(source.save(file));
    else
        QVERIFY(nocta::test::writeFile(file, handWritten));
    if (bmpBits) {
        const QByteArray bytes = nocta::test::readFile(file);
        QVERIFY(bytes.size() > 54);
        QCOMPARE(int(qFromLittleEndian<quint16>(bytes.constData() + 28)), bmpBits);
    }

    const QImage qt(file);
    QVERIFY(!qt.isNull());
    QCOMPARE(qt.hasAlphaChannel(), alpha);
    const QImage loaded = loadFrame(file);
    QVERIFY(!loaded.isNull());
    QCOMPARE(loaded.format(), alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const QString difference = pixelDifference(qt, loaded);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

using Status = nocta::FrameLoad::Status;

void TestFrameIo::refusesBrokenFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("expectedSize");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");   // part of the reason given

    const QImage image = randomFrame(7, 5, 11);
    const QByteArray good = bmpBytes(image, 24, false);
    const QByteArray goodTopDown = bmpBytes(image, 24, true);
    const QByteArray unpadded = bmpBytes(randomFrame(4, 5, 12), 24, false);   // rows of 12 bytes
    auto patched32 = [&](int at, quint32 value) {
        QByteArray bytes = good;
        putLe32(bytes, at, value);
        return bytes;
    };
    auto patched16 = [&](int at, quint16 value) {
        QByteArray bytes = good;
        putLe16(bytes, at, value);
        return bytes;
    };
    auto saved = [](const QImage &source, const char *format) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        source.save(&buffer, format, 90);
        return bytes;
    };
    const QSize any;
    const QByteArray png = saved(randomFrame(64, 48, 13), "png");
    const QByteArray jpeg = saved(randomFrame(64, 48, 14), "jpg");
    const QByteArray bmp8 = saved(indexedImage(33, 17, 15, false), "bmp");

    QTest::newRow("BMP, right size") << good << QSize(7, 5) << int(Status::Ok) << "";
    QTest::newRow("empty file") << QByteArray() << any << int(Status::NotAnImage) << "empty";
    QTest::newRow("text") << QByteArray("this is not an image, just some text\n") << any << int(Status::NotAnImage) << "";
    QTest::newRow("BM alone") << QByteArray("BM") << any << int(Status::Damaged) << "truncated";
    QTest::newRow("BMP file header only") << good.left(14) << any << int(Status::Damaged) << "truncated";
    QTest::newRow("BMP headers, no pixels") << good.left(54) << any << int(Status::Damaged)
                                            << "truncated: header says 120 bytes of pixels, file has 0";
    QTest::newRow("truncated by one byte") << good.left(good.size() - 1) << any << int(Status::Damaged)
                                           << "truncated: header says 120 bytes of pixels, file has 119";
    QTest::newRow("truncated by one byte, top-down") << goodTopDown.left(goodTopDown.size() - 1) << any
                                                     << int(Status::Damaged) << "truncated";
    QTest::newRow("truncated by one byte, no row padding") << unpadded.left(unpadded.size() - 1) << any
                                                           << int(Status::Damaged) << "truncated";
    QTest::newRow("last row missing, no row padding") << unpadded.left(unpadded.size() - 12) << any
                                                      << int(Status::Damaged) << "truncated";
    QTest::newRow("claims 100 rows") << patched32(22, 100) << any << int(Status::Damaged) << "truncated";
    QTest::newRow("claims 100 rows, top-down") << patched32(22, quint32(-100)) << any << int(Status::Damaged) << "truncated";
    QTest::newRow("claims 65535 rows") << patched32(22, 65535) << any << int(Status::TooLarge) << "7x65535";
    QTest::newRow("claims 65535 columns") << patched32(18, 65535) << any << int(Status::TooLarge) << "65535x5";
    QTest::newRow("claims 65535x65535") << [&] { QByteArray b = patched32(18, 65535); putLe32(b, 22, 65535); return b; }()
                                        << any << int(Status::TooLarge) << "";
    QTest::newRow("claims 16384x16384, other size expected")
        << [&] { QByteArray b = patched32(18, 16384); putLe32(b, 22, 16384); return b; }()
        << QSize(1920, 1080) << int(Status::WrongSize) << "16384x16384, not 1920x1080";
    QTest::newRow("width 0x7fffffff") << patched32(18, 0x7FFFFFFFu) << any << int(Status::TooLarge) << "";
    QTest::newRow("width 0x80000000") << patched32(18, 0x80000000u) << any << int(Status::Damaged) << "";
    QTest::newRow("width 0") << patched32(18, 0) << any << int(Status::Damaged) << "";
    QTest::newRow("height 0") << patched32(22, 0) << any << int(Status::Damaged) << "";
    QTest::newRow("height 0x80000000") << patched32(22, 0x80000000u) << any << int(Status::TooLarge) << "";
    QTest::newRow("offset 0xffffffff") << patched32(10, 0xFFFFFFFFu) << any << int(Status::Damaged) << "";
    QTest::newRow("offset one past fit") << patched32(10, 55) << any << int(Status::Damaged) << "truncated";
    QTest::newRow("offset inside header") << patched32(10, 20) << any << int(Status::Damaged) << "";
    QTest::newRow("header size 0xffffffff") << patched32(14, 0xFFFFFFFFu) << any << int(Status::Damaged) << "";
    QTest::newRow("header size 0") << patched32(14, 0) << any << int(Status::Damaged) << "";
    QTest::newRow("RLE8 of 24-bit pixels") << patched32(30, 1) << any << int(Status::Damaged) << "unsupported";
    QTest::newRow("unknown compression") << patched32(30, 0x7FFFFFFFu) << any << int(Status::Damaged) << "unsupported";
    QTest::newRow("0 planes") << patched16(26, 0) << any << int(Status::Damaged) << "";
    QTest::newRow("bit depth 48") << patched16(28, 48) << any << int(Status::Damaged) << "";
    QTest::newRow("BMP, other size expected") << good << QSize(8, 5) << int(Status::WrongSize) << "7x5, not 8x5";
    QTest::newRow("8-bit BMP, truncated") << bmp8.left(bmp8.size() - 1) << any << int(Status::Damaged) << "truncated";
    QTest::newRow("8-bit BMP, palette cut") << bmp8.left(60) << any << int(Status::Damaged) << "palette";
    QTest::newRow("PNG, other size expected") << png << QSize(48, 64) << int(Status::WrongSize) << "64x48, not 48x64";
    QTest::newRow("PNG, truncated") << png.left(png.size() * 3 / 4) << any << int(Status::Damaged) << "";
    QTest::newRow("PNG, header only") << png.left(40) << any << int(Status::Damaged) << "";
    QTest::newRow("PNG, 20000 wide") << [] {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImage wide(20000, 1, QImage::Format_RGB32);
        wide.fill(Qt::black);
        wide.save(&buffer, "png");
        return bytes;
    }() << any << int(Status::TooLarge) << "20000x1 is larger than 16384 pixels a side";
    QTest::newRow("JPEG, truncated") << jpeg.left(jpeg.size() - 100) << any << int(Status::Damaged) << "truncated";
    QTest::newRow("JPEG, end mark missing") << jpeg.left(jpeg.size() - 2) << any << int(Status::Damaged) << "truncated";
    QTest::newRow("JPEG, whole") << jpeg << QSize(64, 48) << int(Status::Ok) << "";
}

void TestFrameIo::refusesBrokenFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, expectedSize);
    QFETCH(int, status);
    QFETCH(QString, reason);

    const QString file = path(QStringLiteral("broken.bmp"));
    QVERIFY(nocta::test::writeFile(file, bytes));
    for (const nocta::FrameLoad &load : {nocta::readFrame(file, expectedSize), nocta::decodeFrame(bytes, expectedSize)}) {
        QVERIFY2(load.status == status, qPrintable(QStringLiteral("status %1 (%2)").arg(load.status).arg(load.fault.reason)));
        QVERIFY2(load.fault.reason.contains(reason), qPrintable(load.fault.reason));
        QCOMPARE(load.image.isNull(), status != Status::Ok);
        QCOMPARE(load.fault.reason.isEmpty(), status == Status::Ok);
        QCOMPARE(bool(load.fault), status != Status::Ok);
    }
    if (!expectedSize.isValid())
        QCOMPARE(loadFrame(file).isNull(), status != Status::Ok);
}

// Only regular files are read; nothing here may block. Reasons carry the
// system's words.
void TestFrameIo::refusesSpecialFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("FIFO") << "fifo.bmp" << "not a regular file";
    QTest::newRow("link to a FIFO") << "fifo-link.bmp" << "not a regular file";
    QTest::newRow("link to a device") << "device-link.bmp" << "not a regular file";
    QTest::newRow("directory") << "dir.bmp" << "not a regular file";
    QTest::newRow("missing") << "nothing.bmp" << QString::fromLocal8Bit(std::strerror(ENOENT));
    QTest::newRow("missing directory") << "no/such/dir/001.bmp" << QString::fromLocal8Bit(std::strerror(ENOENT));
    QTest::newRow("broken link") << "broken-link.bmp" << QString::fromLocal8Bit(std::strerror(ENOENT));
    QTest::newRow("no name") << "" << "no file name";
    QTest::newRow("read error") << "/proc/self/mem" << QString::fromLocal8Bit(std::strerror(EIO));
    QTest::newRow("no permission") << "secret.bmp" << QString::fromLocal8Bit(std::strerror(EACCES));
}

void TestFrameIo::refusesSpecialFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, reason);
    QCOMPARE(mkfifo(QFile::encodeName(path(QStringLiteral("fifo.bmp"))).constData(), 0600), 0);
    QVERIFY(QFile::link(path(QStringLiteral("fifo.bmp")), path(QStringLiteral("fifo-link.bmp"))));
    QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path(QStringLiteral("device-link.bmp"))));
    QVERIFY(QFile::link(path(QStringLiteral("gone.bmp")), path(QStringLiteral("broken-link.bmp"))));
    QVERIFY(QDir(dir->path()).mkdir(QStringLiteral("dir.bmp")));
    const QString secret = path(QStringLiteral("secret.bmp"));
    QVERIFY(nocta::test::writeFile(secret, bmpBytes(randomFrame(3, 2, 1), 24, false)));
    QVERIFY(QFile::setPermissions(secret, QFileDevice::WriteOwner));
    if (name == QLatin1String("secret.bmp") && geteuid() == 0)
        QSKIP("root reads any file");

    const QString file = name.isEmpty() || name.startsWith(QLatin1Char('/')) ? name : path(name);
    const nocta::FrameLoad load = nocta::readFrame(file);
    QCOMPARE(int(load.status), int(Status::Unreadable));
    QCOMPARE(load.fault.reason, reason);
    QVERIFY(load.image.isNull());
}

namespace {

// A BMP of run-length coded pixels (compression 1 for 8 bits, 2 for 4),
// rows bottom-up, with a palette of four colours.
QByteArray rleBmp(int width, int height, int bits, const QByteArray &data, quint32 claimedBytes = 0)
{
    const QVector<QRgb> palette = {qRgb(9, 8, 7), qRgb(200, 10, 20), qRgb(30, 220, 40), qRgb(50, 60, 230)};
    const int offset = 54 + 4 * palette.size();
    QByteArray bytes(offset, '\0');
    bytes[0] = 'B';
    bytes[1] = 'M';
    putLe32(bytes, 10, quint32(offset));
    putLe32(bytes, 14, 40);
    putLe32(bytes, 18, quint32(width));
    putLe32(bytes, 22, quint32(height));
    putLe16(bytes, 26, 1);
    putLe16(bytes, 28, quint16(bits));
    putLe32(bytes, 30, bits == 8 ? 1 : 2);
    putLe32(bytes, 34, claimedBytes ? claimedBytes : quint32(data.size()));
    putLe32(bytes, 46, quint32(palette.size()));
    for (int i = 0; i < palette.size(); ++i) {
        bytes[54 + 4 * i] = char(qBlue(palette[i]));
        bytes[55 + 4 * i] = char(qGreen(palette[i]));
        bytes[56 + 4 * i] = char(qRed(palette[i]));
    }
    putLe32(bytes, 2, quint32(offset + data.size()));
    return bytes + data;
}

QByteArray codes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int v : values)
        bytes.append(char(v));
    return bytes;
}

// Colours of a 5x3 image by palette index, top row first.
QImage indexed5x3(const char *rows)
{
    const QRgb palette[] = {qRgb(9, 8, 7), qRgb(200, 10, 20), qRgb(30, 220, 40), qRgb(50, 60, 230)};
    QImage image(5, 3, QImage::Format_RGB32);
    for (int i = 0; i < 15; ++i)
        image.setPixel(i % 5, i / 5, palette[rows[i] - '0']);
    return image;
}

} // namespace

// Run-length coded BMP is decoded here, into an image whose every pixel is
// defined: pixels that the data skips take palette entry 0, and data that
// leaves the image or ends before its end mark is refused.
void TestFrameIo::decodesRunLengthBmp_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QImage>("expected");   // null: Damaged
    QTest::addColumn<bool>("sameAsQt");     // Qt decodes it completely too

    // Rows bottom-up. RLE8: runs (n, index), absolute runs (0, n >= 3, ...
    // padded to even), end of line (0, 0), delta (0, 2, dx, dy), end (0, 1).
    const QByteArray full8 = codes({2, 1, 0, 3, 2, 3, 1, 0, 0, 0,   5, 3, 0, 0,   1, 2, 4, 1, 0, 0,   0, 1});
    const QImage fullImage = indexed5x3("21111" "33333" "11231");
    QTest::newRow("RLE8, every pixel coded") << rleBmp(5, 3, 8, full8) << fullImage << true;
    const QByteArray full4 = codes({2, 0x11, 0, 3, 0x23, 0x10, 0, 0,   5, 0x33, 0, 0,   1, 0x20, 4, 0x11, 0, 0,   0, 1});
    QTest::newRow("RLE4, every pixel coded") << rleBmp(5, 3, 4, full4) << fullImage << true;
    QTest::newRow("RLE8, delta and early ends")
        << rleBmp(5, 3, 8, codes({5, 1, 0, 0,   1, 2, 0, 2, 2, 1,   2, 3, 0, 1}))
        << indexed5x3("00033" "20000" "11111") << false;
    QTest::newRow("RLE8, end of bitmap at once") << rleBmp(5, 3, 8, codes({0, 1})) << indexed5x3("00000" "00000" "00000") << false;
    QTest::newRow("RLE8, delta past the right edge")
        << rleBmp(5, 3, 8, codes({1, 1, 0, 2, 9, 0, 0, 1})) << QImage() << false;
    QTest::newRow("RLE8, delta past the top")
        << rleBmp(5, 3, 8, codes({1, 1, 0, 2, 0, 4, 0, 1})) << QImage() << false;
    QTest::newRow("RLE8, run past the row end") << rleBmp(5, 3, 8, codes({6, 1, 0, 1})) << QImage() << false;
    QTest::newRow("RLE8, absolute run past the row end")
        << rleBmp(5, 3, 8, codes({0, 6, 1, 1, 1, 1, 1, 1, 0, 1})) << QImage() << false;
    QTest::newRow("RLE8, rows past the top") << rleBmp(5, 3, 8, codes({0, 0, 0, 0, 0, 0, 1, 1, 0, 1})) << QImage() << false;
    QTest::newRow("RLE8, cut before its end mark") << rleBmp(5, 3, 8, full8.left(full8.size() - 2)) << QImage() << false;
    QTest::newRow("RLE8, cut in an absolute run") << rleBmp(5, 3, 8, full8.left(6)) << QImage() << false;
    QTest::newRow("RLE8, file shorter than its header says")
        << rleBmp(5, 3, 8, full8, quint32(full8.size() + 1)) << QImage() << false;
    QTest::newRow("RLE4, cut before its end mark") << rleBmp(5, 3, 4, full4.left(full4.size() - 1)) << QImage() << false;
}

void TestFrameIo::decodesRunLengthBmp()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QImage, expected);
    QFETCH(bool, sameAsQt);

    const QString file = path(QStringLiteral("rle.bmp"));
    QVERIFY(nocta::test::writeFile(file, bytes));
    const nocta::FrameLoad first = nocta::readFrame(file);
    if (expected.isNull()) {
        QCOMPARE(int(first.status), int(Status::Damaged));
        QVERIFY(!first.fault.reason.isEmpty());
        return;
    }
    QVERIFY2(first.ok(), qPrintable(first.fault.reason));
    QCOMPARE(first.image.format(), QImage::Format_RGB32);
    QString difference = pixelDifference(expected, first.image);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    // No pixel depends on what memory held before.
    for (int again = 0; again < 2; ++again)
        QCOMPARE(nocta::readFrame(file).image, first.image);
    if (sameAsQt) {
        difference = pixelDifference(QImage(file).convertToFormat(QImage::Format_RGB32), first.image);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }
}

// A valid header of a frame that does not fit in memory is OutOfMemory, and
// sizes are refused before any pixel memory is allocated: run in a child
// whose address space leaves room for neither.
void TestFrameIo::outOfMemoryIsReported_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QSize>("expectedSize");
    QTest::addColumn<int>("status");
    QTest::newRow("24-bit BMP") << "bmp24" << QSize() << int(Status::OutOfMemory);
    QTest::newRow("32-bit BMP") << "bmp32" << QSize() << int(Status::OutOfMemory);
    QTest::newRow("PNG") << "png" << QSize() << int(Status::OutOfMemory);
    QTest::newRow("24-bit BMP, other size expected") << "bmp24" << QSize(1920, 1080) << int(Status::WrongSize);
}

void TestFrameIo::outOfMemoryIsReported()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizer needs more address space than this test leaves");
#else
    QFETCH(QString, kind);
    QFETCH(QSize, expectedSize);
    QFETCH(int, status);

    // 8192 x 8192 frames: 256 MiB of pixels, the files sparse.
    const int side = 8192;
    const QString file = path(QStringLiteral("huge"));
    if (kind == QLatin1String("png")) {
        // A PNG of one pixel whose header claims side x side.
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        randomFrame(1, 1, 3).save(&buffer, "png");
        putBe32(bytes, 16, side);
        putBe32(bytes, 20, side);
        putBe32(bytes, 29, crc32(bytes.mid(12, 17)));
        QVERIFY(nocta::test::writeFile(file, bytes));
    } else {
        const int bits = kind == QLatin1String("bmp24") ? 24 : 32;
        QByteArray header = bmpBytes(randomFrame(1, 1, 3), bits, false).left(54);
        putLe32(header, 18, side);
        putLe32(header, 22, side);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        QCOMPARE(out.write(header), qint64(54));
        QVERIFY(out.resize(54 + qint64(side) * side * bits / 8));
    }

    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Room for 64 MiB more than this process holds now.
        QFile statm(QStringLiteral("/proc/self/statm"));
        statm.open(QIODevice::ReadOnly);
        const qint64 pages = statm.readAll().split(' ').value(0).toLongLong();
        const rlimit room = {rlim_t(pages * sysconf(_SC_PAGESIZE) + (64 << 20)),
                             rlim_t(pages * sysconf(_SC_PAGESIZE) + (64 << 20))};
        if (pages <= 0 || setrlimit(RLIMIT_AS, &room) != 0)
            _exit(100);
        _exit(nocta::readFrame(file, expectedSize).status);
    }
    int result = 0;
    QCOMPARE(waitpid(child, &result, 0), child);
    QVERIFY(WIFEXITED(result));
    QCOMPARE(WEXITSTATUS(result), status);
#endif
}

// The fuzz target's seeds (a small file of every BMP depth and coding, and
// a PNG) load as Qt loads them, and the inputs that once crashed it load
// without a fault. (Qt leaves the pixels that a run-length delta skips
// undefined: seeds with "delta" in their name are not compared.)
void TestFrameIo::replaysFuzzCases_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("seed");
    const QDir fuzz(qEnvironmentVariable("NOCTA_SOURCE_DIR") + QStringLiteral("/tests/fuzz"));
    for (const bool seed : {true, false}) {
        const QDir dir(fuzz.filePath(QLatin1String(seed ? "seeds" : "regressions")));
        for (const QFileInfo &entry : dir.entryInfoList(QDir::Files, QDir::Name))
            if (entry.suffix() != QLatin1String("md"))
                QTest::newRow(qPrintable(dir.dirName() + QLatin1Char('/') + entry.fileName()))
                    << entry.filePath() << seed;
    }
    QVERIFY2(fuzz.exists(QStringLiteral("seeds")), qPrintable(fuzz.path()));
}

void TestFrameIo::replaysFuzzCases()
{
    QFETCH(QString, file);
    QFETCH(bool, seed);
    const nocta::FrameLoad load = nocta::readFrame(file);
    QCOMPARE(load.image.isNull(), !load.ok());
    QCOMPARE(load.fault.reason.isEmpty(), load.ok());
    QCOMPARE(bool(load.fault), !load.ok());
    if (!seed)
        return;
    QVERIFY2(load.ok(), qPrintable(load.fault.reason));
    if (file.contains(QLatin1String("delta")))
        return;
    const QImage qt(file);
    QVERIFY(!qt.isNull());
    const QString difference = pixelDifference(qt.convertToFormat(load.image.format()), load.image);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

// --- savePng ----------------------------------------------------------------

void TestFrameIo::savesPng_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("colourType");   // 2: RGB, 6: RGBA

    QTest::newRow("RGB32 1x1") << randomFrame(1, 1, 20) << 2;
    QTest::newRow("RGB32 3x2") << randomFrame(3, 2, 21) << 2;
    QTest::newRow("RGB32 641x359") << randomFrame(641, 359, 22) << 2;
    QTest::newRow("RGB32, garbage in unused byte") << rgb32WithGarbageTopByte(31, 9, 23) << 2;
    QTest::newRow("ARGB32 opaque") << opaqueArgb(37, 21, 24) << 2;
    {
        QImage image = opaqueArgb(37, 21, 25);
        image.setPixel(36, 20, qRgba(10, 20, 30, 0));
        QTest::newRow("ARGB32, one transparent pixel") << image << 6;
    }
    {
        QImage image = opaqueArgb(37, 21, 26);
        image.setPixel(5, 3, qRgba(200, 150, 100, 254));
        QTest::newRow("ARGB32, one nearly opaque pixel") << image << 6;
    }
    QTest::newRow("ARGB32 random alpha") << randomFrame(37, 21, 27, QImage::Format_ARGB32) << 6;
    // Rows of 1 + 4 * 64 = 257 bytes: 255 rows fill exactly one stored
    // deflate block of 65535 bytes, 510 rows exactly two.
    QTest::newRow("RGBA data of exactly one block") << randomFrame(64, 255, 33, QImage::Format_ARGB32) << 6;
    QTest::newRow("RGBA data of exactly two blocks") << randomFrame(64, 510, 34, QImage::Format_ARGB32) << 6;
    QTest::newRow("RGB888") << randomFrame(37, 21, 28, QImage::Format_RGB888) << 2;
    QTest::newRow("Indexed8 opaque") << indexedImage(37, 21, 29, false) << 2;
    QTest::newRow("Indexed8, transparent colour") << indexedImage(37, 21, 30, true) << 6;
    QTest::newRow("ARGB32_Premultiplied opaque")
        << opaqueArgb(37, 21, 31).convertToFormat(QImage::Format_ARGB32_Premultiplied) << 2;
    QTest::newRow("Grayscale8") << grayImage(37, 21, 32) << 2;
}

void TestFrameIo::savesPng()
{
    QFETCH(QImage, image);
    QFETCH(int, colourType);

    const QString file = path(QStringLiteral("001.png"));
    const nocta::Fault fault = savePng(image, file);
    QVERIFY2(!fault, qPrintable(fault.reason));

    const QByteArray bytes = nocta::test::readFile(file);
    QVERIFY(bytes.size() > 33);
    QCOMPARE(bytes.left(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
    QCOMPARE(bytes.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(be32(bytes, 16), quint32(image.width()));
    QCOMPARE(be32(bytes, 20), quint32(image.height()));
    QCOMPARE(int(uchar(bytes[24])), 8);            // bit depth
    QCOMPARE(int(uchar(bytes[25])), colourType);
    QCOMPARE(int(uchar(bytes[28])), 0);            // not interlaced
    // Quality 100 stores the pixels uncompressed.
    const int channels = colourType == 6 ? 4 : 3;
    QVERIFY(bytes.size() >= image.height() * (1 + image.width() * channels));

    const QImage decoded(file);
    QVERIFY(!decoded.isNull());
    QCOMPARE(decoded.hasAlphaChannel(), colourType == 6);
    const QImage expected = colourType == 6 ? image.convertToFormat(QImage::Format_ARGB32) : opaqueCopy(image);
    const QString difference = pixelDifference(expected, decoded.convertToFormat(QImage::Format_ARGB32));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // No temporary file is left beside the output.
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QStringList{QStringLiteral("001.png")});
}

void TestFrameIo::ffmpegReadsSavedPng_data()
{
    QTest::addColumn<QImage>("image");

    QTest::newRow("RGB32 641x359") << randomFrame(641, 359, 40);
    QTest::newRow("RGB32 1x1") << randomFrame(1, 1, 41);
    QTest::newRow("ARGB32 with alpha") << randomFrame(37, 21, 42, QImage::Format_ARGB32);
}

void TestFrameIo::ffmpegReadsSavedPng()
{
    QFETCH(QImage, image);
    if (findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not on PATH");

    const QString png = path(QStringLiteral("001.png"));
    const QString raw = path(QStringLiteral("out.raw"));
    const nocta::Fault fault = savePng(image, png);
    QVERIFY2(!fault, qPrintable(fault.reason));
    QString output;
    QVERIFY2(runProgram(QStringLiteral("ffmpeg"),
                        {"-y", "-loglevel", "error", "-i", png, "-f", "rawvideo", "-pix_fmt", "bgra", raw},
                        &output),
             qPrintable(output));

    const QImage expected = image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_ARGB32) : opaqueCopy(image);
    QByteArray wanted;
    for (int y = 0; y < expected.height(); ++y)
        for (int x = 0; x < expected.width(); ++x) {
            const QRgb c = expected.pixel(x, y);
            wanted.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c))).append(char(qAlpha(c)));
        }
    const QByteArray got = nocta::test::readFile(raw);
    QCOMPARE(got.size(), wanted.size());
    for (int i = 0; i < got.size(); ++i)
        if (got[i] != wanted[i])
            QFAIL(qPrintable(QStringLiteral("byte %1 (pixel %2, %3, channel %4 of bgra) is %5, expected %6")
                                 .arg(i).arg((i / 4) % image.width()).arg((i / 4) / image.width()).arg(i % 4)
                                 .arg(int(uchar(got[i]))).arg(int(uchar(wanted[i])))));
}

void TestFrameIo::nullImageIsNotSaved()
{
    const QString file = path(QStringLiteral("001.png"));
    const nocta::Fault fault = savePng(QImage(), file);
    QVERIFY(fault);
    QVERIFY(!fault.reason.isEmpty());
    QVERIFY(QDir(dir->path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

void TestFrameIo::missingDirectoryFails()
{
    const QString missing = path(QStringLiteral("processed"));
    const nocta::Fault fault = savePng(randomFrame(8, 8, 50), missing + QStringLiteral("/001.png"));
    QVERIFY(fault);
    QVERIFY(!fault.reason.isEmpty());
    QVERIFY(!QFileInfo::exists(missing));
    QVERIFY(QDir(dir->path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

void TestFrameIo::directoryAsTargetFails()
{
    const QString target = path(QStringLiteral("001.png"));
    QVERIFY(QDir().mkdir(target));
    const nocta::Fault fault = savePng(randomFrame(8, 8, 51), target);
    QVERIFY(fault);
    QVERIFY(!fault.reason.isEmpty());
    QVERIFY(QFileInfo(target).isDir());
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("001.png")});
}

void TestFrameIo::replacesExistingFile()
{
    const QString file = path(QStringLiteral("001.png"));
    QVERIFY(nocta::test::writeFile(file, QByteArray(100000, 'x')));   // longer than the new file
    const QImage first = randomFrame(20, 10, 52);
    nocta::Fault fault = savePng(first, file);
    QVERIFY2(!fault, qPrintable(fault.reason));
    QString difference = pixelDifference(opaqueCopy(first), QImage(file).convertToFormat(QImage::Format_ARGB32));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // And once more over a PNG of another size.
    const QImage second = randomFrame(3, 2, 53);
    fault = savePng(second, file);
    QVERIFY2(!fault, qPrintable(fault.reason));
    difference = pixelDifference(opaqueCopy(second), QImage(file).convertToFormat(QImage::Format_ARGB32));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("001.png")});
}

// --- Faults of writing and moving files ---------------------------------------

void TestFrameIo::faultsCarryTheSystemsReason_data()
{
    QTest::addColumn<FileStep>("step");
    QTest::addColumn<int>("error");   // the errno whose text is the reason
    QTest::addColumn<int>("code");    // the fault's code

    using nocta::test::writeFile;
    QTest::newRow("savePng into a missing folder") << FileStep([](const QString &folder) {
        return savePng(randomFrame(4, 4, 60), folder + "/missing/001.png");
    }) << ENOENT << 0;
    QTest::newRow("savePng over a folder") << FileStep([](const QString &folder) {
        QDir(folder).mkpath(QStringLiteral("001.png/kept"));
        return savePng(randomFrame(4, 4, 61), folder + "/001.png");
    }) << EISDIR << 0;
    QTest::newRow("replaceFile over a folder") << FileStep([](const QString &folder) {
        writeFile(folder + "/new.mp4", "movie");
        QDir(folder).mkdir(QStringLiteral("out.mp4"));
        return nocta::replaceFile(folder + "/new.mp4", folder + "/out.mp4");
    }) << EISDIR << 0;
    QTest::newRow("renameNoReplace onto a file") << FileStep([](const QString &folder) {
        writeFile(folder + "/new.mp4", "movie");
        writeFile(folder + "/out.mp4", "another movie");
        return nocta::renameNoReplace(folder + "/new.mp4", folder + "/out.mp4");
    }) << EEXIST << EEXIST;
    QTest::newRow("renameNoReplace of a missing file") << FileStep([](const QString &folder) {
        return nocta::renameNoReplace(folder + "/new.mp4", folder + "/out.mp4");
    }) << ENOENT << ENOENT;
    QTest::newRow("syncFile in a missing folder") << FileStep([](const QString &folder) {
        return nocta::syncFile(folder + "/missing/out.mp4");
    }) << ENOENT << 0;
}

// The Error a caller makes of a failed step gives the system's reason.
void TestFrameIo::faultsCarryTheSystemsReason()
{
    QFETCH(FileStep, step);
    QFETCH(int, error);
    QFETCH(int, code);

    const nocta::Fault fault = step(dir->path());
    const QString reason = QString::fromLocal8Bit(std::strerror(error));
    QVERIFY(fault);
    QCOMPARE(fault.reason, reason);
    QCOMPARE(fault.code, code);
    QCOMPARE(fault.error(nocta::Error::Stage::Encoding, QStringLiteral("could not replace out.mp4")).line(),
             QStringLiteral(" - Encoding failed: could not replace out.mp4 (%1).").arg(reason));
}

QTEST_GUILESS_MAIN(TestFrameIo)
#include "tst_frameio.moc"
