#include "pipeline/frameio.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

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
    void brokenInputGivesNoImage_data();
    void brokenInputGivesNoImage();
    void missingFileGivesNoImage();

    void savesPng_data();
    void savesPng();
    void ffmpegReadsSavedPng_data();
    void ffmpegReadsSavedPng();
    void nullImageIsNotSaved();
    void missingDirectoryFails();
    void directoryAsTargetFails();
    void replacesExistingFile();

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

void TestFrameIo::brokenInputGivesNoImage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("mustBeNull");   // false: whatever QImage makes of it
    QTest::addColumn<bool>("samePixels");   // all pixel rows present: any image QImage makes is complete

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

    QTest::newRow("empty file") << QByteArray() << true << false;
    QTest::newRow("text") << QByteArray("this is not an image, just some text\n") << true << false;
    QTest::newRow("BM alone") << QByteArray("BM") << true << false;
    QTest::newRow("BMP file header only") << good.left(14) << true << false;
    QTest::newRow("BMP headers, no pixels") << good.left(54) << false << false;
    QTest::newRow("truncated by one byte") << good.left(good.size() - 1) << false << false;
    QTest::newRow("truncated by one byte, top-down") << goodTopDown.left(goodTopDown.size() - 1) << false << false;
    QTest::newRow("truncated by one byte, no row padding") << unpadded.left(unpadded.size() - 1) << false << false;
    QTest::newRow("last pixel missing") << good.left(good.size() - 3 - 3) << false << false;
    QTest::newRow("last row missing, no row padding") << unpadded.left(unpadded.size() - 12) << false << false;
    QTest::newRow("truncated to two rows") << good.left(54 + 2 * 24) << false << false;
    QTest::newRow("claims 100 rows") << patched32(22, 100) << false << false;
    QTest::newRow("claims 100 rows, top-down") << patched32(22, quint32(-100)) << false << false;
    QTest::newRow("claims 65535 rows") << patched32(22, 65535) << false << false;
    QTest::newRow("claims 65535 columns") << patched32(18, 65535) << false << false;
    QTest::newRow("claims 65535x65535") << [&] { QByteArray b = patched32(18, 65535); putLe32(b, 22, 65535); return b; }() << false << false;
    QTest::newRow("width 0x7fffffff") << patched32(18, 0x7FFFFFFFu) << false << false;
    QTest::newRow("width 0x80000000") << patched32(18, 0x80000000u) << false << true;
    QTest::newRow("width -7") << patched32(18, quint32(-7)) << false << true;
    QTest::newRow("width 0") << patched32(18, 0) << false << true;
    QTest::newRow("height 0") << patched32(22, 0) << false << true;
    QTest::newRow("height 0x7fffffff") << patched32(22, 0x7FFFFFFFu) << false << false;
    QTest::newRow("height 0x80000000") << patched32(22, 0x80000000u) << false << false;
    QTest::newRow("offset 0xffffffff") << patched32(10, 0xFFFFFFFFu) << false << true;
    QTest::newRow("offset 0x80000000") << patched32(10, 0x80000000u) << false << true;
    QTest::newRow("offset one past fit") << patched32(10, 55) << false << false;
    QTest::newRow("offset at end of file") << patched32(10, quint32(good.size())) << false << false;
    QTest::newRow("offset 0") << patched32(10, 0) << false << true;
    QTest::newRow("offset inside header") << patched32(10, 20) << false << true;
    QTest::newRow("header size 0xffffffff") << patched32(14, 0xFFFFFFFFu) << false << true;
    QTest::newRow("header size larger than file") << patched32(14, quint32(good.size())) << false << true;
    QTest::newRow("header size 0") << patched32(14, 0) << false << true;
    QTest::newRow("RLE compression") << patched32(30, 1) << false << true;
    QTest::newRow("unknown compression") << patched32(30, 0x7FFFFFFFu) << false << true;
    QTest::newRow("0 planes") << patched16(26, 0) << false << true;
    QTest::newRow("bit depth 0") << patched16(28, 0) << false << true;
    QTest::newRow("bit depth 48") << patched16(28, 48) << false << true;
}

void TestFrameIo::brokenInputGivesNoImage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, mustBeNull);
    QFETCH(bool, samePixels);

    const QString file = path(QStringLiteral("broken.bmp"));
    QVERIFY(nocta::test::writeFile(file, bytes));
    const QImage loaded = loadFrame(file);
    if (mustBeNull) {
        QVERIFY(loaded.isNull());
        return;
    }
    // The fallback may make something of a damaged file; then it is a frame
    // of at most the claimed size, never an image read past the file's end
    // (the sanitizer build checks the reads).
    const QImage qt = QImage::fromData(bytes);
    if (qt.isNull()) {
        QVERIFY(loaded.isNull());
    } else {
        QVERIFY(!loaded.isNull());
        QVERIFY(isFrameFormat(loaded));
        QCOMPARE(loaded.size(), qt.size());
        if (samePixels) {
            const QString difference = pixelDifference(
                qt.convertToFormat(qt.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32), loaded);
            QVERIFY2(difference.isEmpty(), qPrintable(difference));
        }
    }
}

void TestFrameIo::missingFileGivesNoImage()
{
    QVERIFY(loadFrame(path(QStringLiteral("nothing.bmp"))).isNull());
    QVERIFY(loadFrame(path(QStringLiteral("no/such/dir/001.bmp"))).isNull());
    QVERIFY(loadFrame(QString()).isNull());
    QVERIFY(loadFrame(dir->path()).isNull());   // a directory
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
    QString error;
    QVERIFY2(savePng(image, file, &error), qPrintable(error));

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
    QString error;
    QVERIFY2(savePng(image, png, &error), qPrintable(error));
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
    QString error;
    QVERIFY(!savePng(QImage(), file, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!savePng(QImage(), file));   // no error text wanted
    QVERIFY(QDir(dir->path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
}

void TestFrameIo::missingDirectoryFails()
{
    const QString missing = path(QStringLiteral("processed"));
    QString error;
    QVERIFY(!savePng(randomFrame(8, 8, 50), missing + QStringLiteral("/001.png"), &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFileInfo::exists(missing));
    QVERIFY(QDir(dir->path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    QVERIFY(!savePng(randomFrame(8, 8, 50), missing + QStringLiteral("/001.png")));
}

void TestFrameIo::directoryAsTargetFails()
{
    const QString target = path(QStringLiteral("001.png"));
    QVERIFY(QDir().mkdir(target));
    QString error;
    QVERIFY(!savePng(randomFrame(8, 8, 51), target, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(target).isDir());
    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("001.png")});
}

void TestFrameIo::replacesExistingFile()
{
    const QString file = path(QStringLiteral("001.png"));
    QVERIFY(nocta::test::writeFile(file, QByteArray(100000, 'x')));   // longer than the new file
    const QImage first = randomFrame(20, 10, 52);
    QString error;
    QVERIFY2(savePng(first, file, &error), qPrintable(error));
    QString difference = pixelDifference(opaqueCopy(first), QImage(file).convertToFormat(QImage::Format_ARGB32));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // And once more over a PNG of another size.
    const QImage second = randomFrame(3, 2, 53);
    QVERIFY2(savePng(second, file, &error), qPrintable(error));
    difference = pixelDifference(opaqueCopy(second), QImage(file).convertToFormat(QImage::Format_ARGB32));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("001.png")});
}

QTEST_GUILESS_MAIN(TestFrameIo)
#include "tst_frameio.moc"
