// The Standard chain (smoothFrame, denoiseStandard) case by case: every
// weight, tolerance, rounding rule, gradient bound and border rule, with
// hand-computed values. Each case runs against the library and against the
// plain reference implementation, so the reference itself is held to the
// same numbers.

#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "reference/plainfilters.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>

#include <functional>

namespace {

enum Impl { Library, Reference };
const Impl implementations[] = {Library, Reference};

const char *implName(Impl impl)
{
    return impl == Library ? "library" : "reference";
}

QImage smooth(int impl, const QImage &frame)
{
    return impl == Library ? nocta::smoothFrame(frame) : nocta::reference::smoothFrame(frame);
}

QImage denoise(int impl, const QImage &f0, const QImage &f1, const QImage &f2,
               const QImage &f3, const QImage &f4)
{
    return impl == Library ? nocta::denoiseStandard(f0, f1, f2, f3, f4)
                           : nocta::reference::denoiseStandard(f0, f1, f2, f3, f4);
}

QRgb gray(int v, int alpha = 0xFF)
{
    return qRgba(v, v, v, alpha);
}

// A frame of one colour, written pixel by pixel so that alpha is stored as
// given for ARGB32.
QImage uniformFrame(int width, int height, QRgb colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, colour);
    return image;
}

// Adds one row per implementation; the caller appends the remaining columns.
void forEachImpl(const char *name, const std::function<void(QTestData &)> &fill)
{
    for (Impl impl : implementations)
        fill(QTest::addRow("%s: %s", implName(impl), name) << int(impl));
}

QString hex(QRgb v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0'));
}

// First pixel whose alpha is not 0xFF, empty when all are opaque.
QString firstTranslucent(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0xFF)
                return QStringLiteral("(%1, %2) is %3").arg(x).arg(y).arg(hex(image.pixel(x, y)));
    return QString();
}

} // namespace

class TestStandardFilter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void smoothWeights_data();
    void smoothWeights();
    void smoothUniform_data();
    void smoothUniform();
    void smoothFormat_data();
    void smoothFormat();
    void smoothIgnoresAlpha_data();
    void smoothIgnoresAlpha();

    void temporal_data();
    void temporal();
    void gradient_data();
    void gradient();
    void borderBand_data();
    void borderBand();
    void denoiseFormat_data();
    void denoiseFormat();
    void denoiseIgnoresAlpha_data();
    void denoiseIgnoresAlpha();
};

// A black frame with one lit pixel; the probe pixel's value shows which
// weight that lit pixel got and what the weight total was there.
void TestStandardFilter::smoothWeights_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("format");
    QTest::addColumn<QRgb>("background");
    QTest::addColumn<QPoint>("lit");
    QTest::addColumn<QRgb>("litColour");
    QTest::addColumn<QPoint>("probe");
    QTest::addColumn<QRgb>("expected");

    const QRgb white = 0xFFFFFFFF;
    const QRgb black = 0xFF000000;
    const int rgb32 = QImage::Format_RGB32;
    const int argb32 = QImage::Format_ARGB32;
    struct Case {
        const char *name;
        QSize size;
        int format;
        QRgb background;
        QPoint lit;
        QRgb litColour;
        QPoint probe;
        QRgb expected;
    };
    const Case cases[] = {
        // The corner example: 6*255/16, 4*255/22, 2*255/30.
        {"corner (0,0) itself 95", {5, 5}, rgb32, black, {0, 0}, white, {0, 0}, gray(95)},
        {"corner lit, edge (1,0) 46", {5, 5}, rgb32, black, {0, 0}, white, {1, 0}, gray(46)},
        {"corner lit, edge (0,1) 46", {5, 5}, rgb32, black, {0, 0}, white, {0, 1}, gray(46)},
        {"corner lit, inner (1,1) 17", {5, 5}, rgb32, black, {0, 0}, white, {1, 1}, gray(17)},
        {"corner lit, (2,0) out of reach", {5, 5}, rgb32, black, {0, 0}, white, {2, 0}, gray(0)},
        {"corner (4,0) itself", {5, 5}, rgb32, black, {4, 0}, white, {4, 0}, gray(95)},
        {"corner (0,4) itself", {5, 5}, rgb32, black, {0, 4}, white, {0, 4}, gray(95)},
        {"corner (4,4) itself", {5, 5}, rgb32, black, {4, 4}, white, {4, 4}, gray(95)},
        {"corner (4,4) lit, (3,3) 17", {5, 5}, rgb32, black, {4, 4}, white, {3, 3}, gray(17)},
        // Inner pixel: total 30, centre 6, cross 4, diagonal 2.
        {"inner itself 51", {5, 5}, rgb32, black, {2, 2}, white, {2, 2}, gray(51)},
        {"inner lit, cross neighbour 34", {5, 5}, rgb32, black, {2, 2}, white, {1, 2}, gray(34)},
        {"inner lit, lower cross neighbour 34", {5, 5}, rgb32, black, {2, 2}, white, {2, 3}, gray(34)},
        {"inner lit, diagonal neighbour 17", {5, 5}, rgb32, black, {2, 2}, white, {3, 1}, gray(17)},
        {"inner lit, two away 0", {5, 5}, rgb32, black, {2, 2}, white, {0, 2}, gray(0)},
        // Edge pixels: total 22.
        {"top edge itself 69", {5, 5}, rgb32, black, {2, 0}, white, {2, 0}, gray(69)},
        {"top edge lit, edge neighbour 46", {5, 5}, rgb32, black, {2, 0}, white, {1, 0}, gray(46)},
        {"top edge lit, inner below 34", {5, 5}, rgb32, black, {2, 0}, white, {2, 1}, gray(34)},
        {"top edge lit, inner diagonal 17", {5, 5}, rgb32, black, {2, 0}, white, {3, 1}, gray(17)},
        {"left edge itself 69", {5, 5}, rgb32, black, {0, 2}, white, {0, 2}, gray(69)},
        {"right edge itself 69", {5, 5}, rgb32, black, {4, 2}, white, {4, 2}, gray(69)},
        {"bottom edge itself 69", {5, 5}, rgb32, black, {2, 4}, white, {2, 4}, gray(69)},
        // One pixel wide or high: totals 14 inside, 10 at the ends, 6 alone.
        {"1x5 inner itself 109", {1, 5}, rgb32, black, {0, 2}, white, {0, 2}, gray(109)},
        {"1x5 inner lit, inner neighbour 72", {1, 5}, rgb32, black, {0, 2}, white, {0, 1}, gray(72)},
        {"1x5 end itself 153", {1, 5}, rgb32, black, {0, 0}, white, {0, 0}, gray(153)},
        {"1x5 inner lit, end neighbour 102", {1, 5}, rgb32, black, {0, 1}, white, {0, 0}, gray(102)},
        {"5x1 inner itself 109", {5, 1}, rgb32, black, {2, 0}, white, {2, 0}, gray(109)},
        {"5x1 end itself 153", {5, 1}, rgb32, black, {4, 0}, white, {4, 0}, gray(153)},
        {"5x1 inner lit, end neighbour 102", {5, 1}, rgb32, black, {3, 0}, white, {4, 0}, gray(102)},
        {"1x1 keeps its pixel", {1, 1}, rgb32, black, {0, 0}, qRgb(12, 200, 77), {0, 0}, qRgb(12, 200, 77)},
        {"1x1 translucent comes out opaque", {1, 1}, argb32, black, {0, 0}, qRgba(12, 200, 77, 3), {0, 0}, qRgb(12, 200, 77)},
        {"2x2 diagonal corner 31", {2, 2}, rgb32, black, {0, 0}, white, {1, 1}, gray(31)},
        // Channels are summed apart and each rounded down (600/16 = 37.5).
        {"channels apart", {5, 5}, rgb32, black, {0, 0}, qRgb(255, 100, 0), {0, 0}, qRgb(95, 37, 0)},
        {"channels apart, blue", {5, 5}, rgb32, black, {2, 2}, qRgb(0, 0, 254), {2, 1}, qRgb(0, 0, 33)},
        // Translucent input: alpha takes no part, output opaque.
        {"translucent corner 95", {5, 5}, argb32, 0x00000000, {0, 0}, 0x00FFFFFF, {0, 0}, gray(95)},
        {"translucent inner 17", {5, 5}, argb32, 0x7F000000, {0, 0}, 0x10FFFFFF, {1, 1}, gray(17)},
    };
    for (const Case &c : cases)
        forEachImpl(c.name, [&](QTestData &row) {
            row << c.size << c.format << c.background << c.lit << c.litColour << c.probe << c.expected;
        });
}

void TestStandardFilter::smoothWeights()
{
    QFETCH(int, impl);
    QFETCH(QSize, size);
    QFETCH(int, format);
    QFETCH(QRgb, background);
    QFETCH(QPoint, lit);
    QFETCH(QRgb, litColour);
    QFETCH(QPoint, probe);
    QFETCH(QRgb, expected);

    QImage frame = uniformFrame(size.width(), size.height(), background, QImage::Format(format));
    frame.setPixel(lit, litColour);
    const QImage result = smooth(impl, frame);

    QCOMPARE(result.size(), size);
    QCOMPARE(hex(result.pixel(probe)), hex(expected));
    // Pixels out of the lit pixel's reach stay black.
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            if (qAbs(x - lit.x()) > 1 || qAbs(y - lit.y()) > 1)
                QCOMPARE(hex(result.pixel(x, y)), hex(0xFF000000 | (background & 0xFFFFFF)));
    QCOMPARE(firstTranslucent(result), QString());
}

void TestStandardFilter::smoothUniform_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("format");
    QTest::addColumn<QRgb>("colour");

    struct Case { const char *name; QSize size; int format; QRgb colour; };
    const Case cases[] = {
        {"1x1", {1, 1}, QImage::Format_RGB32, qRgb(1, 128, 254)},
        {"1x6", {1, 6}, QImage::Format_RGB32, qRgb(255, 255, 255)},
        {"6x1", {6, 1}, QImage::Format_RGB32, qRgb(33, 0, 199)},
        {"2x2", {2, 2}, QImage::Format_RGB32, qRgb(17, 17, 250)},
        {"3x3", {3, 3}, QImage::Format_RGB32, qRgb(200, 100, 50)},
        {"7x4", {7, 4}, QImage::Format_RGB32, qRgb(29, 31, 37)},
        {"7x4 translucent", {7, 4}, QImage::Format_ARGB32, qRgba(29, 31, 37, 0x40)},
        {"5x5 fully transparent", {5, 5}, QImage::Format_ARGB32, qRgba(255, 254, 253, 0)},
    };
    for (const Case &c : cases)
        forEachImpl(c.name, [&](QTestData &row) { row << c.size << c.format << c.colour; });
}

void TestStandardFilter::smoothUniform()
{
    QFETCH(int, impl);
    QFETCH(QSize, size);
    QFETCH(int, format);
    QFETCH(QRgb, colour);

    const QImage result = smooth(impl, uniformFrame(size.width(), size.height(), colour, QImage::Format(format)));
    QCOMPARE(result.size(), size);
    const QImage expected = uniformFrame(size.width(), size.height(), colour | 0xFF000000);
    QCOMPARE(nocta::test::firstDifference(expected, result), QString());
    QCOMPARE(firstTranslucent(result), QString());
}

void TestStandardFilter::smoothFormat_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("expectedFormat");

    struct Case { const char *name; QImage::Format in; QImage::Format out; };
    const Case cases[] = {
        {"RGB32", QImage::Format_RGB32, QImage::Format_RGB32},
        {"ARGB32", QImage::Format_ARGB32, QImage::Format_ARGB32},
        {"ARGB32_Premultiplied", QImage::Format_ARGB32_Premultiplied, QImage::Format_ARGB32_Premultiplied},
        {"RGB888 gives ARGB32", QImage::Format_RGB888, QImage::Format_ARGB32},
        {"RGB16 gives ARGB32", QImage::Format_RGB16, QImage::Format_ARGB32},
    };
    for (const Case &c : cases)
        forEachImpl(c.name, [&](QTestData &row) { row << int(c.in) << int(c.out); });
}

void TestStandardFilter::smoothFormat()
{
    QFETCH(int, impl);
    QFETCH(int, format);
    QFETCH(int, expectedFormat);

    // Black and white only, so that every format holds the colours exactly.
    QImage frame = uniformFrame(4, 3, 0xFF000000, QImage::Format(format));
    frame.setPixel(0, 0, 0xFFFFFFFF);
    const QImage result = smooth(impl, frame);
    QCOMPARE(int(result.format()), expectedFormat);
    QCOMPARE(result.size(), QSize(4, 3));
    QCOMPARE(hex(result.pixel(0, 0)), hex(gray(95)));
    QCOMPARE(hex(result.pixel(1, 1)), hex(gray(17)));
    QCOMPARE(hex(result.pixel(3, 2)), hex(gray(0)));

    QVERIFY(smooth(impl, QImage()).isNull());
}

void TestStandardFilter::smoothIgnoresAlpha_data()
{
    QTest::addColumn<int>("impl");
    forEachImpl("random 13x9", [](QTestData &) {});
}

void TestStandardFilter::smoothIgnoresAlpha()
{
    QFETCH(int, impl);
    const QImage translucent = nocta::test::randomFrame(13, 9, 4711, QImage::Format_ARGB32);
    QImage opaque = translucent;
    for (int y = 0; y < opaque.height(); ++y)
        for (int x = 0; x < opaque.width(); ++x)
            opaque.setPixel(x, y, translucent.pixel(x, y) | 0xFF000000);

    const QImage a = smooth(impl, translucent);
    const QImage b = smooth(impl, opaque);
    QCOMPARE(nocta::test::firstDifference(b, a), QString());
    QCOMPARE(firstTranslucent(a), QString());
}

// Uniform frames, one colour per window position: every pixel of the
// result shows the temporal phase (the spatial phase leaves a uniform
// image alone, and frames under five pixels skip it).
void TestStandardFilter::temporal_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QRgb>("c0");
    QTest::addColumn<QRgb>("c1");
    QTest::addColumn<QRgb>("c2");
    QTest::addColumn<QRgb>("c3");
    QTest::addColumn<QRgb>("c4");
    QTest::addColumn<bool>("translucent");
    QTest::addColumn<QRgb>("expected");

    struct Case { QByteArray name; QRgb c[5]; bool translucent; QRgb expected; };
    QVector<Case> cases = {
        {"all four rejected", {qRgb(200, 10, 250), qRgb(60, 200, 30), qRgb(10, 200, 30), qRgb(10, 235, 30), qRgb(10, 200, 65)},
         false, qRgb(10, 200, 30)},
        {"tolerance example 134 135 66 65", {gray(134), gray(135), gray(100), gray(66), gray(65)}, false, gray(100)},
        // One neighbour of 130 at a time: weight 0.25 gives 106, 0.5 gives 110.
        {"weight of position 0 is 0.25", {gray(130), gray(0), gray(100), gray(0), gray(0)}, false, gray(106)},
        {"weight of position 1 is 0.5", {gray(0), gray(130), gray(100), gray(0), gray(0)}, false, gray(110)},
        {"weight of position 3 is 0.25", {gray(0), gray(0), gray(100), gray(130), gray(0)}, false, gray(106)},
        {"weight of position 4 is 0.5", {gray(0), gray(0), gray(100), gray(0), gray(130)}, false, gray(110)},
        {"unmirrored weights 90 110 100 120 80", {gray(90), gray(110), gray(100), gray(120), gray(80)}, false, gray(99)},
        {"all accepted, channels apart",
         {qRgb(80, 10, 200), qRgb(90, 20, 210), qRgb(100, 30, 220), qRgb(110, 40, 230), qRgb(120, 50, 240)},
         false, qRgb(101, 31, 221)},
        {"half 100.5 goes up", {gray(101), gray(0), gray(100), gray(102), gray(0)}, false, gray(101)},
        {"half 102.5 goes up", {gray(103), gray(0), gray(102), gray(104), gray(0)}, false, gray(103)},
        {"100.6 goes up", {gray(103), gray(0), gray(100), gray(0), gray(0)}, false, gray(101)},
        {"100.4 goes down", {gray(102), gray(0), gray(100), gray(0), gray(0)}, false, gray(100)},
        {"top of the range", {gray(255), gray(255), gray(255), gray(221), gray(255)}, false, gray(252)},
        {"translucent inputs", {gray(90, 0x00), gray(110, 0x40), gray(100, 0x80), gray(120, 0x10), gray(80, 0x7F)},
         true, gray(99)},
    };
    // Each channel and direction at the tolerance: a neighbour at position 0
    // that differs by 34 is averaged in (the other channels, 20 off, move to
    // 104); one that differs by 35 in a single channel is left out entirely.
    const char *channelNames[] = {"red", "green", "blue"};
    for (int ch = 0; ch < 3; ++ch) {
        for (int delta : {34, 35, -34, -35}) {
            int n[3] = {120, 120, 120};
            n[ch] = 100 + delta;
            int e[3] = {100, 100, 100};
            if (qAbs(delta) == 34) {
                e[0] = e[1] = e[2] = 104;
                e[ch] = delta > 0 ? 107 : 93;
            }
            cases.append({QByteArray("tolerance ") + channelNames[ch] + " " + QByteArray::number(delta),
                          {qRgb(n[0], n[1], n[2]), gray(0), gray(100), gray(255), gray(0)},
                          false, qRgb(e[0], e[1], e[2])});
        }
    }
    for (const Case &c : cases)
        forEachImpl(c.name.constData(), [&](QTestData &row) {
            row << c.c[0] << c.c[1] << c.c[2] << c.c[3] << c.c[4] << c.translucent << c.expected;
        });
}

void TestStandardFilter::temporal()
{
    QFETCH(int, impl);
    QFETCH(QRgb, c0);
    QFETCH(QRgb, c1);
    QFETCH(QRgb, c2);
    QFETCH(QRgb, c3);
    QFETCH(QRgb, c4);
    QFETCH(bool, translucent);
    QFETCH(QRgb, expected);

    const QImage::Format format = translucent ? QImage::Format_ARGB32 : QImage::Format_RGB32;
    for (const QSize size : {QSize(1, 1), QSize(4, 4), QSize(7, 6)}) {
        const int w = size.width();
        const int h = size.height();
        const QImage result = denoise(impl, uniformFrame(w, h, c0, format), uniformFrame(w, h, c1, format),
                                      uniformFrame(w, h, c2, format), uniformFrame(w, h, c3, format),
                                      uniformFrame(w, h, c4, format));
        QCOMPARE(result.size(), size);
        QCOMPARE(nocta::test::firstDifference(uniformFrame(w, h, expected), result), QString());
        QCOMPARE(firstTranslucent(result), QString());
    }
}

namespace {

struct Spot { int x; int y; QRgb colour; };

// Five identical 5x5 frames (the temporal phase gives them back unchanged),
// so that the spatial phase works on exactly this picture; only (2, 2)
// lies outside the border band.
QImage grid5(QRgb base, std::initializer_list<Spot> spots)
{
    QImage image = uniformFrame(5, 5, base);
    for (const Spot &s : spots)
        image.setPixel(s.x, s.y, s.colour);
    return image;
}

QImage columns34(QRgb base, QRgb right)
{
    QImage image = uniformFrame(5, 5, base);
    for (int y = 0; y < 5; ++y) {
        image.setPixel(3, y, right);
        image.setPixel(4, y, right);
    }
    return image;
}

} // namespace

void TestStandardFilter::gradient_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QImage>("frame");
    QTest::addColumn<QRgb>("expected");

    const QRgb g100 = gray(100);
    QImage rows34 = uniformFrame(5, 5, g100);
    for (int x = 0; x < 5; ++x) {
        rows34.setPixel(x, 3, gray(105));
        rows34.setPixel(x, 4, gray(105));
    }
    struct Case { const char *name; QImage frame; QRgb expected; };
    const Case cases[] = {
        // Sharpened: 5*100 - 100 - 105 - 100 - 100.
        {"Gx 20 Gy 0 (400) sharpened to 95", columns34(g100, gray(105)), gray(95)},
        // Smoothed: (8*100 + 14*100 + 8*104) / 30 = 101.07.
        {"Gx 16 smoothed to 101", columns34(g100, gray(104)), gray(101)},
        {"Gx -20 sharpened to 105", columns34(g100, gray(95)), gray(105)},
        {"Gy 20 sharpened to 95", rows34, gray(95)},
        // Gx and Gy always have the same parity, so 400 is next to 394 and
        // 392; (19, 6) cannot occur.
        {"Gx 16 Gy 12 (400) sharpened", grid5(g100, {{3, 2, gray(108)}, {2, 3, gray(106)}}), gray(86)},
        {"Gx 15 Gy 13 (394) smoothed", grid5(g100, {{3, 3, gray(101)}, {3, 2, gray(107)}, {2, 3, gray(106)}}), gray(101)},
        {"Gx 14 Gy 14 (392) smoothed", grid5(g100, {{3, 2, gray(107)}, {2, 3, gray(107)}}), gray(101)},
        {"Gx 19 Gy 7 (410) sharpened", grid5(g100, {{3, 3, gray(101)}, {3, 2, gray(109)}, {2, 3, gray(103)}}), gray(88)},
        {"Gx 19 Gy 5 (386) smoothed", grid5(g100, {{3, 3, gray(101)}, {3, 2, gray(109)}, {2, 3, gray(102)}}), gray(101)},
        // The gradient is taken on (11 R + 16 G + 5 B) >> 5.
        {"green 110 is gray 105: sharpened", columns34(g100, qRgb(100, 110, 100)), qRgb(100, 90, 100)},
        {"blue 118 is gray 102: smoothed", columns34(g100, qRgb(100, 100, 118)), qRgb(100, 100, 104)},
        {"red 115 is gray 105: sharpened", columns34(g100, qRgb(115, 100, 100)), qRgb(85, 100, 100)},
        {"red 114 is gray 104: smoothed", columns34(g100, qRgb(114, 100, 100)), qRgb(103, 100, 100)},
        // Cross kernel only: the diagonal neighbours make the edge but take
        // no part in the sum; the sum is clamped.
        {"white among black stays 255",
         grid5(gray(0), {{2, 2, gray(255)}, {3, 1, gray(255)}, {3, 3, gray(255)}}), gray(255)},
        {"black among white stays 0",
         grid5(gray(255), {{2, 2, gray(0)}, {3, 1, gray(0)}, {3, 3, gray(0)}}), gray(0)},
        {"diagonals left out of sharpening",
         grid5(gray(50), {{2, 2, gray(60)}, {3, 1, gray(250)}, {3, 3, gray(250)}, {1, 2, gray(40)}}), gray(110)},
    };
    for (const Case &c : cases)
        forEachImpl(c.name, [&](QTestData &row) { row << c.frame << c.expected; });
}

void TestStandardFilter::gradient()
{
    QFETCH(int, impl);
    QFETCH(QImage, frame);
    QFETCH(QRgb, expected);

    const QImage result = denoise(impl, frame, frame, frame, frame, frame);
    QCOMPARE(result.size(), QSize(5, 5));
    QCOMPARE(hex(result.pixel(2, 2)), hex(expected));
    // Everything else is in the border band and keeps the phase-1 value,
    // which for five identical frames is the frame itself.
    QImage outside = result;
    outside.setPixel(2, 2, frame.pixel(2, 2));
    QCOMPARE(nocta::test::firstDifference(frame, outside), QString());
}

// A checkerboard of 40 and 200 as the reference frame, frame 0 ten brighter
// (accepted, phase 1 gives 42 and 202), the other three inverted (rejected).
// Inside the band every pixel is flat and smoothed: 42 becomes 127, 202
// becomes 116. The band, two pixels wide, keeps 42 and 202.
void TestStandardFilter::borderBand_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QSize>("size");
    const QSize sizes[] = {{9, 8}, {5, 5}, {6, 7}, {5, 9}, {9, 5}, {4, 9}, {9, 4}, {4, 4},
                           {1, 1}, {1, 6}, {6, 1}, {2, 2}, {3, 12}};
    for (const QSize &s : sizes) {
        const QByteArray name = QByteArray::number(s.width()) + "x" + QByteArray::number(s.height());
        forEachImpl(name.constData(), [&](QTestData &row) { row << s; });
    }
}

void TestStandardFilter::borderBand()
{
    QFETCH(int, impl);
    QFETCH(QSize, size);
    const int w = size.width();
    const int h = size.height();

    QImage f0(w, h, QImage::Format_RGB32);
    QImage f2(w, h, QImage::Format_RGB32);
    QImage other(w, h, QImage::Format_RGB32);
    QImage expected(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool low = (x + y) % 2 == 0;
            f2.setPixel(x, y, gray(low ? 40 : 200));
            f0.setPixel(x, y, gray(low ? 50 : 210));
            other.setPixel(x, y, gray(low ? 200 : 40));
            const bool inner = x >= 2 && x <= w - 3 && y >= 2 && y <= h - 3;
            expected.setPixel(x, y, gray(inner ? (low ? 127 : 116) : (low ? 42 : 202)));
        }
    }
    const QImage result = denoise(impl, f0, other, f2, other, other);
    QCOMPARE(nocta::test::firstDifference(expected, result), QString());
}

void TestStandardFilter::denoiseFormat_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("expectedFormat");

    struct Case { const char *name; QImage::Format in; QImage::Format out; };
    const Case cases[] = {
        {"RGB32", QImage::Format_RGB32, QImage::Format_RGB32},
        {"ARGB32", QImage::Format_ARGB32, QImage::Format_ARGB32},
        {"ARGB32_Premultiplied", QImage::Format_ARGB32_Premultiplied, QImage::Format_ARGB32_Premultiplied},
        {"RGB888 gives ARGB32", QImage::Format_RGB888, QImage::Format_ARGB32},
    };
    for (const Case &c : cases)
        forEachImpl(c.name, [&](QTestData &row) { row << int(c.in) << int(c.out); });
}

void TestStandardFilter::denoiseFormat()
{
    QFETCH(int, impl);
    QFETCH(int, format);
    QFETCH(int, expectedFormat);

    // Frame 0 decides the format; the others stay RGB32.
    const QImage first = columns34(gray(100), gray(105)).convertToFormat(QImage::Format(format));
    const QImage rest = columns34(gray(100), gray(105));
    const QImage result = denoise(impl, first, rest, rest, rest, rest);
    QCOMPARE(int(result.format()), expectedFormat);
    QCOMPARE(result.size(), QSize(5, 5));
    QCOMPARE(hex(result.pixel(2, 2)), hex(gray(95)));
    QCOMPARE(hex(result.pixel(4, 4)), hex(gray(105)));

    const QImage empty(0, 0, QImage::Format(format));
    QVERIFY(denoise(impl, empty, empty, empty, empty, empty).isNull());
}

void TestStandardFilter::denoiseIgnoresAlpha_data()
{
    QTest::addColumn<int>("impl");
    forEachImpl("random 11x9", [](QTestData &) {});
}

void TestStandardFilter::denoiseIgnoresAlpha()
{
    QFETCH(int, impl);

    // Neighbours close to the reference frame, so that many are accepted.
    QRandomGenerator random(99);
    const QImage base = nocta::test::randomFrame(11, 9, 5, QImage::Format_ARGB32);
    QImage translucent[5];
    QImage opaque[5];
    for (int k = 0; k < 5; ++k) {
        translucent[k] = base;
        opaque[k] = base;
        for (int y = 0; y < base.height(); ++y) {
            for (int x = 0; x < base.width(); ++x) {
                const QRgb c = base.pixel(x, y);
                auto jitter = [&](int v) { return k == 2 ? v : qBound(0, v + random.bounded(-40, 41), 255); };
                const int r = jitter(qRed(c));
                const int g = jitter(qGreen(c));
                const int b = jitter(qBlue(c));
                translucent[k].setPixel(x, y, qRgba(r, g, b, random.bounded(256)));
                opaque[k].setPixel(x, y, qRgb(r, g, b));
            }
        }
    }
    const QImage a = denoise(impl, translucent[0], translucent[1], translucent[2], translucent[3], translucent[4]);
    const QImage b = denoise(impl, opaque[0], opaque[1], opaque[2], opaque[3], opaque[4]);
    QCOMPARE(nocta::test::firstDifference(b, a), QString());
    QCOMPARE(firstTranslucent(a), QString());
}

QTEST_GUILESS_MAIN(TestStandardFilter)
#include "tst_standardfilter.moc"
