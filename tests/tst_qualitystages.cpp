// The quality filter's first and last stages by themselves: a frame's
// planes hold the luma and colour values of its pixels, and the output
// frame is the same in any bands, keeps each pixel's own luma and spreads
// the colour that stands out of the noise left (ramps, and colour that the
// luma does not explain) linearly to full resolution.

#include "filters/parallel.h"
#include "filters/quality/chromaguide.h"
#include "filters/quality/qualityplanes.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

// Unbias tables that give each channel's nearest level, red moved by
// redShift levels and blue by blueShift.
std::array<nocta::quality::UnbiasTable, 3> nearestLevels(int redShift, int blueShift)
{
    std::array<nocta::quality::UnbiasTable, 3> tables;
    const int shifts[3] = {redShift, 0, blueShift};
    for (std::size_t c = 0; c < 3; ++c)
        for (int t = 0; t < nocta::quality::UnbiasSize; ++t)
            tables[c][std::size_t(t)] = std::uint8_t(qBound(0, (t + 2) / 4 + shifts[c], 255));
    return tables;
}

// The noise left in the colour differences of a frame of size, the same
// at every cell: variance times residual.
struct FlatColourNoise
{
    nocta::quality::PlaneF variance, residual;

    FlatColourNoise(QSize size, float varianceValue, float residualValue)
    {
        const int hw = nocta::quality::halfSize(size.width()), hh = nocta::quality::halfSize(size.height());
        variance.reset(hw, hh, 8);
        residual.reset(hw, hh, 8);
        std::fill(variance.data.begin(), variance.data.end(), varianceValue);
        std::fill(residual.data.begin(), residual.data.end(), residualValue);
    }
    nocta::quality::ColourNoise view() const { return {&variance, &variance, &residual}; }
};

// The colour differences of outputSpreadsTheCellsColour: ramps, random
// cells, or random cells within the noise left.
enum class Colour { RampAcross, RampDown, Random, Faint };

} // namespace

Q_DECLARE_METATYPE(Colour)

class TestQualityStages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void cleanup() { nocta::setFilterThreads(0); }

    void planesHoldTheFramesLumaAndColour_data();
    void planesHoldTheFramesLumaAndColour();
    void outputFollowsTheLumaInEveryBand_data();
    void outputFollowsTheLumaInEveryBand();
    void outputSpreadsTheCellsColour_data();
    void outputSpreadsTheCellsColour();
};

void TestQualityStages::planesHoldTheFramesLumaAndColour_data()
{
    QTest::addColumn<QSize>("size");
    // Widths around the rows' vector steps (16 pixels), odd sizes.
    QTest::newRow("one step") << QSize(16, 2);
    QTest::newRow("one step and one pixel") << QSize(17, 3);
    QTest::newRow("two steps less one pixel") << QSize(31, 4);
    QTest::newRow("odd width and height") << QSize(37, 23);
    QTest::newRow("two steps and a pair") << QSize(34, 5);
}

// Every plane of a loaded frame holds the values it stands for, rounded to
// its steps: the luma of each pixel, the colour differences of each 2x2
// cell (the last column or row taking the place of the one past an odd
// size) in fixed point, and the luma bytes at full and half resolution.
void TestQualityStages::planesHoldTheFramesLumaAndColour()
{
    using namespace nocta::quality;
    QFETCH(QSize, size);
    const QImage image = nocta::test::randomFrame(size.width(), size.height(), 23);
    FramePlanes p;
    loadFramePlanes(image, p);
    auto lumaAt = [&](int x, int y) {
        const QRgb c = image.pixel(qMin(x, size.width() - 1), qMin(y, size.height() - 1));
        return KR * qRed(c) + KG * qGreen(c) + KB * qBlue(c);
    };
    // Within half a step (and a little for the order of the sums).
    auto near = [](float value, int stored, float step) { return std::fabs(value - stored * step) <= 0.5f * step + 1e-3f; };
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            const QString at = QStringLiteral("%1,%2").arg(x).arg(y);
            QVERIFY2(near(lumaAt(x, y), p.y16.row(y)[x], FixedUnit), qPrintable(at));
            QVERIFY2(near(lumaAt(x, y), p.y8.row(y)[x], 1.0f), qPrintable(at));
        }
    for (int h = 0; h < p.u16.height; ++h)
        for (int x = 0; x < p.u16.width; ++x) {
            const int cols = 2 * x + 1 < size.width() ? 2 : 1, rows = 2 * h + 1 < size.height() ? 2 : 1;
            float ys = 0, bs = 0, rs = 0;
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i) {
                    const QRgb c = image.pixel(2 * x + i % cols, 2 * h + j % rows);
                    ys += lumaAt(2 * x + i % cols, 2 * h + j % rows);
                    bs += qBlue(c);
                    rs += qRed(c);
                }
            const QString at = QStringLiteral("cell %1,%2").arg(x).arg(h);
            QVERIFY2(near((bs - ys) * 0.25f * CbScale, p.u16.row(h)[x], FixedUnit), qPrintable(at));
            QVERIFY2(near((rs - ys) * 0.25f * CrScale, p.v16.row(h)[x], FixedUnit), qPrintable(at));
            QVERIFY2(std::abs(int(p.h8.row(h)[x]) - ys / 4) <= 0.5f + 1e-3f, qPrintable(at));
        }
}

void TestQualityStages::outputFollowsTheLumaInEveryBand_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("threads");
    // Widths around the output's vector step (8 pixels), odd sizes, bands
    // of a few half rows.
    QTest::newRow("one vector, one band") << QSize(8, 2) << 1;
    QTest::newRow("one vector and one pixel") << QSize(9, 5) << 2;
    QTest::newRow("odd size, many bands") << QSize(17, 23) << 7;
    QTest::newRow("four vectors less one pixel") << QSize(31, 40) << 3;
    QTest::newRow("wider") << QSize(70, 33) << 4;
}

// The output frame is the same for any number of bands, and where the
// colour differences are flat every pixel keeps its own luma: each channel
// is its pixel's luma plus that channel's share of the colour, through the
// channel's own table.
void TestQualityStages::outputFollowsTheLumaInEveryBand()
{
    using namespace nocta::quality;
    QFETCH(QSize, size);
    QFETCH(int, threads);
    QRandomGenerator random(13);
    const int hw = halfSize(size.width()), hh = halfSize(size.height());
    const PlaneF y = nocta::test::randomPlane(random, size.width(), size.height(), 20.0f, 200.0f);
    const PlaneF u = nocta::test::randomPlane(random, hw, hh, -30.0f, 60.0f), v = nocta::test::randomPlane(random, hw, hh, -30.0f, 60.0f);
    const std::array<UnbiasTable, 3> unbias = nearestLevels(1, -2);
    nocta::setFilterThreads(1);
    // Some of what the fits leave out is kept, some not.
    const FlatColourNoise noise(size, 40.0f, 0.5f);
    const QImage one = guidedFrame(y, u, v, noise.view(), 1.0f, unbias);
    nocta::setFilterThreads(threads);
    QCOMPARE(nocta::test::firstDifference(one, guidedFrame(y, u, v, noise.view(), 1.0f, unbias)), QString());

    const float cb = 12.5f, cr = -7.25f;
    PlaneF flatU = u, flatV = v;
    std::fill(flatU.data.begin(), flatU.data.end(), cb);
    std::fill(flatV.data.begin(), flatV.data.end(), cr);
    const QImage flat = guidedFrame(y, flatU, flatV, noise.view(), 1.0f, unbias);
    for (int py = 0; py < size.height(); ++py)
        for (int px = 0; px < size.width(); ++px) {
            const float l = y.row(py)[px];
            const float expected[3] = {l + RFromCr * cr + 1, l - GFromCb * cb - GFromCr * cr, l + BFromCb * cb - 2};
            const QRgb pixel = flat.pixel(px, py);
            const int got[3] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
            for (int c = 0; c < 3; ++c)
                QVERIFY2(std::fabs(float(got[c]) - expected[c]) <= 0.75f,
                         qPrintable(QStringLiteral("pixel %1,%2 channel %3: %4, expected %5")
                                        .arg(px).arg(py).arg(c).arg(got[c]).arg(double(expected[c]))));
        }
}

void TestQualityStages::outputSpreadsTheCellsColour_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("threads");
    QTest::addColumn<Colour>("colour");
    QTest::addColumn<float>("variance");   // the noise left: variance times
    QTest::addColumn<float>("residual");   // residual factor
    QTest::newRow("ramp across, odd width") << QSize(45, 12) << 1 << Colour::RampAcross << 4.0f << 0.25f;
    QTest::newRow("ramp across, bands") << QSize(70, 33) << 4 << Colour::RampAcross << 4.0f << 0.25f;
    QTest::newRow("ramp down, odd height") << QSize(24, 37) << 1 << Colour::RampDown << 4.0f << 0.25f;
    QTest::newRow("ramp down, bands of two half rows") << QSize(19, 40) << 5 << Colour::RampDown << 4.0f << 0.25f;
    QTest::newRow("random, nothing left of the noise") << QSize(45, 26) << 1 << Colour::Random << 4.0f << 0.0f;
    QTest::newRow("random, no noise, bands") << QSize(70, 33) << 4 << Colour::Random << 0.0f << 1.0f;
    QTest::newRow("faint, within the noise left") << QSize(45, 26) << 1 << Colour::Faint << 40.0f << 0.5f;
    QTest::newRow("faint, within the noise left, bands") << QSize(37, 40) << 3 << Colour::Faint << 40.0f << 0.5f;
}

// On flat luma the colour fits are the colour differences themselves where
// they follow a ramp, and what the fits leave out of other colour (random
// cells, which the luma does not explain) comes back where no noise is left
// to tell it from: either way the output spreads the cells' own values, a
// pixel taking 3/4 of its own cell and 1/4 of the next one on the side it
// lies, in both directions (half-resolution samples sit between two
// pixels). Faint colour, within the noise left, gives the output of the
// fits alone, as noise far above it does.
void TestQualityStages::outputSpreadsTheCellsColour()
{
    using namespace nocta::quality;
    QFETCH(QSize, size);
    QFETCH(int, threads);
    QFETCH(Colour, colour);
    QFETCH(float, variance);
    QFETCH(float, residual);
    const int hw = halfSize(size.width()), hh = halfSize(size.height());
    const float luma = 100.0f;
    PlaneF y;
    y.reset(size.width(), size.height(), 8);
    std::fill(y.data.begin(), y.data.end(), luma);
    QRandomGenerator random(29);
    const float amplitude = colour == Colour::Faint ? 3.0f : 30.0f;
    PlaneF u = nocta::test::randomPlane(random, hw, hh, 5.0f - amplitude, 2 * amplitude);
    PlaneF v = nocta::test::randomPlane(random, hw, hh, -5.0f - amplitude, 2 * amplitude);
    if (colour == Colour::RampAcross || colour == Colour::RampDown) {
        for (int h = 0; h < hh; ++h)
            for (int x = 0; x < hw; ++x) {
                const float at = 3.0f * float(colour == Colour::RampAcross ? x : h);
                u.row(h)[x] = at - 20.0f;
                v.row(h)[x] = 25.0f - at;
            }
        u.fillBorder();
        v.fillBorder();
    }
    const std::array<UnbiasTable, 3> unbias = nearestLevels(0, 0);
    nocta::setFilterThreads(threads);
    const QImage image = guidedFrame(y, u, v, FlatColourNoise(size, variance, residual).view(), 1.0f, unbias);
    if (colour == Colour::Faint) {
        const QImage fitsAlone = guidedFrame(y, u, v, FlatColourNoise(size, 1e9f, 1.0f).view(), 1.0f, unbias);
        QCOMPARE(nocta::test::firstDifference(image, fitsAlone), QString());
        return;
    }
    auto spread = [&](const PlaneF &cells, int px, int py) {
        const int nx = px / 2, ny = py / 2, fx = px % 2 ? nx + 1 : nx - 1, fy = py % 2 ? ny + 1 : ny - 1;
        return 0.5625f * cells.row(ny)[nx] + 0.1875f * (cells.row(ny)[fx] + cells.row(fy)[nx])
               + 0.0625f * cells.row(fy)[fx];
    };
    // (The pixels near the edges left out.)
    for (int py = 4; py < size.height() - 4; ++py)
        for (int px = 4; px < size.width() - 4; ++px) {
            const float cb = spread(u, px, py), cr = spread(v, px, py);
            const QRgb pixel = image.pixel(px, py);
            QVERIFY2(std::fabs(float(qBlue(pixel)) - (luma + BFromCb * cb)) <= 0.75f
                         && std::fabs(float(qRed(pixel)) - (luma + RFromCr * cr)) <= 0.75f,
                     qPrintable(QStringLiteral("pixel %1,%2: blue %3, red %4, expected %5, %6")
                                    .arg(px).arg(py).arg(qBlue(pixel)).arg(qRed(pixel))
                                    .arg(double(luma + BFromCb * cb)).arg(double(luma + RFromCr * cr))));
        }
}

QTEST_GUILESS_MAIN(TestQualityStages)
#include "tst_qualitystages.moc"
