// The Fuzzy chain (prefilterFrame, denoiseFuzzy) case by case: the worked
// examples, the scan order and its ties, the start values, the agreement
// tolerance in each channel and direction, the detail bounds, single
// precision, truncation and clamping. Each case runs against the library
// and against the plain reference implementation.

#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/frameplanes.h"
#include "filters/fuzzy/prefilterframe.h"
#include "reference/plainfilters.h"
#include "testsupport.h"

#include <QtTest>

#include <functional>

using nocta::FramePlanes;
using Planes9 = QVector<int>;

namespace {

enum Impl { Library, Reference };
const Impl implementations[] = {Library, Reference};

const char *implName(Impl impl)
{
    return impl == Library ? "library" : "reference";
}

void prefilter(int impl, int radius, const QImage &frame, FramePlanes &planes)
{
    if (impl == Library)
        nocta::prefilterFrame(radius, frame, planes);
    else
        nocta::reference::prefilterFrame(radius, frame, planes);
}

QImage denoise(int impl, const FramePlanes &s0, const FramePlanes &s1, const FramePlanes &s2,
               const FramePlanes &s3, const FramePlanes &s4, int width, int height)
{
    return impl == Library ? nocta::denoiseFuzzy(s0, s1, s2, s3, s4, width, height)
                           : nocta::reference::denoiseFuzzy(s0, s1, s2, s3, s4, width, height);
}

void forEachImpl(const char *name, const std::function<void(QTestData &)> &fill)
{
    for (Impl impl : implementations)
        fill(QTest::addRow("%s: %s", implName(impl), name) << int(impl));
}

QString hex(QRgb v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0'));
}

QRgb gray(int v)
{
    return qRgb(v, v, v);
}

QImage uniformFrame(int width, int height, QRgb colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, colour);
    return image;
}

struct Spot { int x; int y; QRgb colour; };

QImage frameWith(int width, int height, QRgb base, std::initializer_list<Spot> spots,
                 QImage::Format format = QImage::Format_RGB32)
{
    QImage image = uniformFrame(width, height, base, format);
    for (const Spot &s : spots)
        image.setPixel(s.x, s.y, s.colour);
    return image;
}

// The nine values (dark, centre, bright per channel) of one colour whose
// three planes all equal its channels.
Planes9 flat(QRgb c)
{
    return {qRed(c), qRed(c), qRed(c), qGreen(c), qGreen(c), qGreen(c), qBlue(c), qBlue(c), qBlue(c)};
}

Planes9 ranges(std::initializer_list<int> red, std::initializer_list<int> green, std::initializer_list<int> blue)
{
    Planes9 v;
    for (int x : red)
        v << x;
    for (int x : green)
        v << x;
    for (int x : blue)
        v << x;
    return v;
}

Planes9 valuesAt(const FramePlanes &planes, int x, int y)
{
    Planes9 v;
    for (int k = 0; k < FramePlanes::PlaneCount; ++k)
        v << planes.plane(k)[y * planes.width() + x];
    return v;
}

// A set whose every pixel holds the same nine values.
FramePlanes uniformSet(int width, int height, const Planes9 &values)
{
    FramePlanes planes(width, height);
    for (int k = 0; k < FramePlanes::PlaneCount; ++k)
        for (int i = 0; i < width * height; ++i)
            planes.plane(k)[i] = values.at(k);
    return planes;
}

} // namespace

class TestFuzzyFilter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void prefilterPixel_data();
    void prefilterPixel();
    void prefilterUniform_data();
    void prefilterUniform();
    void prefilterLayout_data();
    void prefilterLayout();

    void temporal_data();
    void temporal();
    void temporalLayout_data();
    void temporalLayout();
    void nullSize_data();
    void nullSize();
};

void TestFuzzyFilter::prefilterPixel_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QImage>("frame");
    QTest::addColumn<int>("radius");
    QTest::addColumn<QPoint>("probe");
    QTest::addColumn<Planes9>("expected");

    // Colours of equal gray level: (32,0,0) and (0,22,0) are both 11;
    // (250,100,100) and (100,203,100) are both 151.
    const QRgb dark11a = qRgb(32, 0, 0);
    const QRgb dark11b = qRgb(0, 22, 0);
    const QRgb bright151a = qRgb(250, 100, 100);
    const QRgb bright151b = qRgb(100, 203, 100);
    const Planes9 aWins = ranges({32, 158, 200}, {0, 150, 200}, {0, 150, 200});
    const Planes9 bWins = ranges({0, 150, 200}, {22, 155, 200}, {0, 150, 200});

    struct Case { const char *name; QImage frame; int radius; QPoint probe; Planes9 expected; };
    const Case cases[] = {
        // Darkest red 10, brightest red 200, own red 50: mid 105, centre 77.
        {"example 10 200 50 gives 77",
         frameWith(3, 3, qRgb(50, 100, 100), {{0, 1, qRgb(10, 20, 20)}, {2, 2, qRgb(200, 220, 220)}}), 1, {1, 1},
         ranges({10, 77, 200}, {20, 110, 220}, {20, 110, 220})},
        // mid (11 + 250) >> 1 = 130, centre 201 - 71 * 0.5 = 165.5 -> 165.
        {"mid rounded down, centre truncated",
         frameWith(3, 3, qRgb(201, 100, 100), {{0, 1, qRgb(11, 20, 20)}, {2, 2, qRgb(250, 220, 220)}}), 1, {1, 1},
         ranges({11, 165, 250}, {20, 110, 220}, {20, 110, 220})},
        {"1x1 holds its own value", frameWith(1, 1, qRgba(37, 150, 255, 0x12), {}, QImage::Format_ARGB32), 1, {0, 0},
         ranges({37, 37, 37}, {150, 150, 150}, {255, 255, 255})},
        // Column by column: (0,2) is scanned before (2,0).
        {"tie: smaller x wins", frameWith(3, 3, gray(200), {{0, 2, dark11a}, {2, 0, dark11b}}), 1, {1, 1}, aWins},
        {"tie: smaller x wins, swapped", frameWith(3, 3, gray(200), {{0, 2, dark11b}, {2, 0, dark11a}}), 1, {1, 1}, bWins},
        {"tie: same x, smaller y wins", frameWith(3, 3, gray(200), {{1, 0, dark11a}, {1, 2, dark11b}}), 1, {1, 1}, aWins},
        {"tie: same x, smaller y wins, swapped", frameWith(3, 3, gray(200), {{1, 0, dark11b}, {1, 2, dark11a}}), 1, {1, 1}, bWins},
        {"tie for brightest: smaller x wins",
         frameWith(3, 3, gray(50), {{0, 2, bright151b}, {2, 0, bright151a}}), 1, {1, 1},
         ranges({50, 62, 100}, {50, 88, 203}, {50, 62, 100})},
        // Start levels are 255 and 0, not the pixel's own: the first pixel
        // scanned becomes both darkest and brightest when all are equal.
        {"equal gray levels: first scanned is both",
         frameWith(3, 3, bright151b, {{0, 0, bright151a}}), 1, {1, 1},
         ranges({250, 175, 250}, {100, 151, 100}, {100, 100, 100})},
        {"all gray 0: centre stays brightest",
         frameWith(3, 3, qRgb(0, 1, 0), {{1, 1, qRgb(2, 0, 0)}}), 1, {1, 1},
         ranges({0, 1, 2}, {1, 0, 0}, {0, 0, 0})},
        {"all white", frameWith(3, 3, 0x00FFFFFF, {{1, 1, 0x80FFFFFF}}, QImage::Format_ARGB32), 1, {1, 1},
         ranges({255, 255, 255}, {255, 255, 255}, {255, 255, 255})},
        // Window of the corner (3, 0) of a 4x4 frame: x 2..3, y 0..1 only.
        {"corner window is 2x2",
         frameWith(4, 4, gray(100), {{2, 1, gray(250)}, {1, 1, gray(10)}, {3, 2, gray(5)}}), 1, {3, 0},
         ranges({100, 137, 250}, {100, 137, 250}, {100, 137, 250})},
        {"edge window is 3x2",
         frameWith(4, 4, gray(100), {{0, 1, gray(30)}, {2, 2, gray(5)}, {3, 0, gray(240)}}), 1, {1, 0},
         ranges({30, 82, 100}, {30, 82, 100}, {30, 82, 100})},
        {"radius 2 reaches two away",
         frameWith(5, 5, gray(100), {{4, 4, gray(10)}}), 2, {2, 2},
         ranges({10, 77, 100}, {10, 77, 100}, {10, 77, 100})},
        {"radius 1 does not",
         frameWith(5, 5, gray(100), {{4, 4, gray(10)}}), 1, {2, 2},
         ranges({100, 100, 100}, {100, 100, 100}, {100, 100, 100})},
        {"radius 0 keeps the pixel's own values",
         frameWith(3, 3, gray(100), {{0, 0, gray(3)}, {2, 2, gray(250)}, {1, 1, qRgb(60, 70, 80)}}), 0, {1, 1},
         ranges({60, 60, 60}, {70, 70, 70}, {80, 80, 80})},
        {"negative radius keeps the pixel's own values",
         frameWith(3, 3, gray(100), {{0, 0, gray(3)}, {2, 2, gray(250)}, {1, 1, qRgb(60, 70, 80)}}), -1, {1, 1},
         ranges({60, 60, 60}, {70, 70, 70}, {80, 80, 80})},
        // The dark value comes from the darkest pixel, not the channel's
        // minimum: here dark red 240 exceeds bright red 40.
        {"dark is one pixel, not a channel minimum",
         frameWith(3, 3, qRgb(100, 100, 100), {{0, 0, qRgb(240, 0, 0)}, {2, 2, qRgb(40, 250, 250)}}), 1, {1, 1},
         ranges({240, 120, 40}, {0, 112, 250}, {0, 112, 250})},
    };
    for (const Case &c : cases)
        forEachImpl(c.name, [&](QTestData &row) { row << c.frame << c.radius << c.probe << c.expected; });
}

void TestFuzzyFilter::prefilterPixel()
{
    QFETCH(int, impl);
    QFETCH(QImage, frame);
    QFETCH(int, radius);
    QFETCH(QPoint, probe);
    QFETCH(Planes9, expected);

    FramePlanes planes(frame.width(), frame.height());
    prefilter(impl, radius, frame, planes);
    QCOMPARE(valuesAt(planes, probe.x(), probe.y()), expected);
}

void TestFuzzyFilter::prefilterUniform_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRgb>("colour");
    struct Case { const char *name; QSize size; QRgb colour; };
    const Case cases[] = {
        {"5x4", {5, 4}, qRgb(70, 80, 90)},
        {"1x6", {1, 6}, qRgb(0, 255, 3)},
        {"6x1", {6, 1}, qRgb(254, 1, 128)},
        {"2x2 black", {2, 2}, qRgb(0, 0, 0)},
        {"3x3 white", {3, 3}, qRgb(255, 255, 255)},
    };
    for (const Case &c : cases)
        forEachImpl(c.name, [&](QTestData &row) { row << c.size << c.colour; });
}

void TestFuzzyFilter::prefilterUniform()
{
    QFETCH(int, impl);
    QFETCH(QSize, size);
    QFETCH(QRgb, colour);

    FramePlanes planes(size.width(), size.height());
    prefilter(impl, 1, uniformFrame(size.width(), size.height(), colour), planes);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            QCOMPARE(valuesAt(planes, x, y), flat(colour));
}

// Row-major planes, one value per pixel of the frame.
void TestFuzzyFilter::prefilterLayout_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QSize>("size");
    for (const QSize &size : {QSize(3, 2), QSize(2, 3), QSize(1, 4)})
        forEachImpl(qPrintable(QStringLiteral("%1x%2").arg(size.width()).arg(size.height())),
                    [&](QTestData &row) { row << size; });
}

void TestFuzzyFilter::prefilterLayout()
{
    QFETCH(int, impl);
    QFETCH(QSize, size);

    const QImage frame = nocta::test::randomFrame(size.width(), size.height(), 17, QImage::Format_ARGB32);
    FramePlanes planes(size.width(), size.height());
    // Radius 0: each plane holds the pixel's own channel.
    prefilter(impl, 0, frame, planes);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            QCOMPARE(valuesAt(planes, x, y), flat(frame.pixel(x, y)));
}

// One set of nine values per window position, the same at every pixel.
void TestFuzzyFilter::temporal_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<Planes9>("s0");
    QTest::addColumn<Planes9>("s1");
    QTest::addColumn<Planes9>("s2");
    QTest::addColumn<Planes9>("s3");
    QTest::addColumn<Planes9>("s4");
    QTest::addColumn<QRgb>("expected");

    const Planes9 zero = flat(gray(0));
    const Planes9 p100 = flat(gray(100));
    const Planes9 p120 = flat(gray(120));
    const Planes9 exampleTwo = ranges({50, 120, 100}, {50, 60, 70}, {0, 10, 40});
    const Planes9 three = ranges({90, 100, 110}, {90, 100, 110}, {90, 100, 110});
    auto equalFive = [](const Planes9 &s) { return QVector<Planes9>{s, s, s, s, s}; };
    // A neighbour at s1 and s3 (W = 2, so averages are exact halves),
    // s0 and s4 rejected.
    auto pairAround = [&](const Planes9 &s2, const Planes9 &n) { return QVector<Planes9>{zero, n, s2, n, zero}; };

    struct Case { QByteArray name; QVector<Planes9> sets; QRgb expected; };
    QVector<Case> cases = {
        {"example: all agree, flat, 0xFF646464", equalFive(three), 0xFF646464},
        {"example: detail pixel 0xFFD23C00", equalFive(exampleTwo), 0xFFD23C00},
        {"example: s3 rejected, 102.5 truncated 0xFF666666",
         {p100, flat(gray(110)), p100, flat(gray(130)), p100}, 0xFF666666},
        // Weights 0.25 0.5 (1) 0.5 0.25: (100 + w 120) / (1 + w).
        {"weight of s0 is 0.25", {p120, zero, p100, zero, zero}, gray(104)},
        {"weight of s1 is 0.5", {zero, p120, p100, zero, zero}, gray(106)},
        {"weight of s3 is 0.5", {zero, zero, p100, p120, zero}, gray(106)},
        {"weight of s4 is 0.25", {zero, zero, p100, zero, p120}, gray(104)},
        {"s0 and s3", {p120, zero, p100, p120, zero}, gray(108)},
        {"all four, W 2.5", {p120, p120, p100, p120, p120}, gray(112)},
        {"no neighbour agrees, W 1",
         {flat(gray(255)), flat(gray(255)), ranges({90, 100, 104}, {90, 100, 110}, {50, 60, 70}), flat(gray(255)),
          flat(gray(255))},
         qRgb(97, 100, 60)},
        // The range test crosses over: neighbour dark against s2 bright and
        // s2 dark against neighbour bright.
        {"neighbour dark at s2 bright + 20 agrees",
         pairAround(ranges({100, 100, 150}, {100, 100, 100}, {100, 100, 100}),
                    ranges({170, 170, 200}, {110, 110, 110}, {110, 110, 110})),
         qRgb(95, 105, 105)},
        {"neighbour dark at s2 bright + 21 is rejected",
         pairAround(ranges({100, 100, 150}, {100, 100, 100}, {100, 100, 100}),
                    ranges({171, 171, 200}, {110, 110, 110}, {110, 110, 110})),
         qRgb(50, 100, 100)},
        {"neighbour bright at s2 dark - 20 agrees",
         pairAround(ranges({100, 150, 150}, {100, 100, 100}, {100, 100, 100}),
                    ranges({60, 60, 80}, {110, 110, 110}, {110, 110, 110})),
         qRgb(120, 105, 105)},
        {"neighbour bright at s2 dark - 21 is rejected",
         pairAround(ranges({100, 150, 150}, {100, 100, 100}, {100, 100, 100}),
                    ranges({60, 60, 79}, {110, 110, 110}, {110, 110, 110})),
         qRgb(200, 100, 100)},
        // Spreads on the bound are flat; one more is detail.
        {"red spread 30 flat", equalFive(ranges({100, 150, 130}, {100, 100, 100}, {100, 100, 100})), qRgb(115, 100, 100)},
        {"red spread 31 detail", equalFive(ranges({100, 150, 131}, {100, 100, 100}, {100, 100, 100})), qRgb(219, 100, 100)},
        {"green spread 40 flat", equalFive(ranges({100, 100, 100}, {100, 150, 140}, {100, 100, 100})), qRgb(100, 120, 100)},
        {"green spread 41 detail", equalFive(ranges({100, 100, 100}, {100, 150, 141}, {100, 100, 100})), qRgb(100, 209, 100)},
        {"blue spread 80 flat", equalFive(ranges({100, 100, 100}, {100, 100, 100}, {100, 150, 180})), qRgb(100, 100, 140)},
        {"blue spread 81 detail", equalFive(ranges({100, 100, 100}, {100, 100, 100}, {100, 150, 181})), qRgb(100, 100, 169)},
        {"detail in blue boosts red too",
         equalFive(ranges({100, 150, 130}, {100, 100, 100}, {100, 150, 181})), qRgb(220, 100, 169)},
        {"averaged spread 30.5 is detail",
         pairAround(ranges({100, 115, 130}, {100, 100, 100}, {100, 100, 100}),
                    ranges({100, 115, 131}, {100, 100, 100}, {100, 100, 100})),
         qRgb(114, 100, 100)},
        // Clamping and truncation.
        {"300 clamps to 255", equalFive(ranges({0, 150, 150}, {100, 100, 100}, {100, 100, 100})), qRgb(255, 100, 100)},
        {"256 clamps to 255", equalFive(ranges({0, 100, 44}, {100, 100, 100}, {100, 100, 100})), qRgb(255, 100, 100)},
        {"255 stays", equalFive(ranges({0, 100, 45}, {100, 100, 100}, {100, 100, 100})), qRgb(255, 100, 100)},
        {"-1 clamps to 0", equalFive(ranges({0, 10, 31}, {100, 100, 100}, {100, 100, 100})), qRgb(0, 100, 100)},
        {"detail 250.5 truncated",
         pairAround(ranges({0, 100, 50}, {100, 100, 100}, {100, 100, 100}),
                    ranges({1, 101, 51}, {100, 100, 100}, {100, 100, 100})),
         qRgb(250, 100, 100)},
        // Single precision: exactly 152 and 130, which float arithmetic
        // (divide by W, then m and v, each rounded to float) turns into
        // 151.99998 and 131.00002.
        {"single precision, 152 comes out 151",
         {ranges({158, 114, 64}, {100, 100, 100}, {100, 100, 100}),
          ranges({162, 84, 79}, {100, 100, 100}, {100, 100, 100}),
          ranges({148, 145, 138}, {100, 100, 100}, {100, 100, 100}),
          ranges({0, 128, 226}, {100, 100, 100}, {100, 100, 100}),
          ranges({163, 119, 118}, {100, 100, 100}, {100, 100, 100})},
         qRgb(151, 100, 100)},
        {"single precision, 130 comes out 131",
         {ranges({255, 202, 48}, {100, 100, 100}, {100, 100, 100}),
          ranges({104, 2, 31}, {100, 100, 100}, {100, 100, 100}),
          ranges({231, 159, 177}, {100, 100, 100}, {100, 100, 100}),
          ranges({15, 173, 249}, {100, 100, 100}, {100, 100, 100}),
          ranges({134, 249, 84}, {100, 100, 100}, {100, 100, 100})},
         qRgb(131, 100, 100)},
    };

    // Tolerance 20 in each channel and direction: the neighbour (at s1 and
    // s3) holds 100 +- delta in one channel and 110 in the others. Agreeing,
    // the averages are (100 + n) / 2; rejected, s2's 100 stays.
    const char *channelNames[] = {"red", "green", "blue"};
    for (int ch = 0; ch < 3; ++ch) {
        for (int delta : {20, 21, -20, -21}) {
            int n[3] = {110, 110, 110};
            n[ch] = 100 + delta;
            int e[3] = {100, 100, 100};
            if (qAbs(delta) == 20) {
                e[0] = e[1] = e[2] = 105;
                e[ch] = delta > 0 ? 110 : 90;
            }
            cases.append({QByteArray("tolerance ") + channelNames[ch] + " " + QByteArray::number(delta),
                          pairAround(p100, flat(qRgb(n[0], n[1], n[2]))), qRgb(e[0], e[1], e[2])});
        }
    }

    for (const Case &c : cases)
        forEachImpl(c.name.constData(), [&](QTestData &row) {
            row << c.sets[0] << c.sets[1] << c.sets[2] << c.sets[3] << c.sets[4] << c.expected;
        });
}

void TestFuzzyFilter::temporal()
{
    QFETCH(int, impl);
    QFETCH(Planes9, s0);
    QFETCH(Planes9, s1);
    QFETCH(Planes9, s2);
    QFETCH(Planes9, s3);
    QFETCH(Planes9, s4);
    QFETCH(QRgb, expected);

    for (const QSize size : {QSize(1, 1), QSize(3, 2)}) {
        const int w = size.width();
        const int h = size.height();
        const QImage result = denoise(impl, uniformSet(w, h, s0), uniformSet(w, h, s1), uniformSet(w, h, s2),
                                      uniformSet(w, h, s3), uniformSet(w, h, s4), w, h);
        QCOMPARE(result.size(), size);
        QCOMPARE(int(result.format()), int(QImage::Format_ARGB32));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                QCOMPARE(hex(result.pixel(x, y)), hex(expected));
    }
}

// Different values at every pixel: pixel (x, y) of the result comes from
// index y * width + x of the planes, and each pixel has its own agreement.
void TestFuzzyFilter::temporalLayout_data()
{
    QTest::addColumn<int>("impl");
    forEachImpl("4x3", [](QTestData &) {});
}

void TestFuzzyFilter::temporalLayout()
{
    QFETCH(int, impl);
    const int w = 4;
    const int h = 3;
    FramePlanes sets[5];
    for (FramePlanes &s : sets)
        s = FramePlanes(w, h);
    QImage expected(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int i = y * w + x;
            const QRgb own = qRgb(10 * i, 20 + i, 255 - i);
            // At odd indices s1 holds 40 more (rejected), at even ones the
            // same colour (agrees, no change).
            for (int n = 0; n < 5; ++n) {
                const QRgb c = (n == 1 && i % 2) ? qRgb(qMin(255, 10 * i + 40), 20 + i, 255 - i) : own;
                const Planes9 v = flat(c);
                for (int k = 0; k < 9; ++k)
                    sets[n].plane(k)[i] = v.at(k);
            }
            expected.setPixel(x, y, own);
        }
    }
    const QImage result = denoise(impl, sets[0], sets[1], sets[2], sets[3], sets[4], w, h);
    QCOMPARE(nocta::test::firstDifference(expected, result), QString());
}

void TestFuzzyFilter::nullSize_data()
{
    QTest::addColumn<int>("impl");
    QTest::addColumn<QSize>("size");
    const QSize sizes[] = {{0, 0}, {0, 5}, {5, 0}, {-1, 3}, {3, -2}};
    for (const QSize &s : sizes) {
        const QByteArray name = QByteArray::number(s.width()) + "x" + QByteArray::number(s.height());
        forEachImpl(name.constData(), [&](QTestData &row) { row << s; });
    }
}

void TestFuzzyFilter::nullSize()
{
    QFETCH(int, impl);
    QFETCH(QSize, size);
    const FramePlanes none;
    QVERIFY(denoise(impl, none, none, none, none, none, size.width(), size.height()).isNull());
}

QTEST_GUILESS_MAIN(TestFuzzyFilter)
#include "tst_fuzzyfilter.moc"
