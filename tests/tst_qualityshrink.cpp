// The quality filter's spatial stage by itself: each pixel comes out as the
// mean of the four overlapping 8x8 blocks that hold it (six with the
// halfway grid, eight with both), each block's DCT coefficients but the
// mean shrunk by the garrote, with the block's own threshold from the
// noise and residual maps under it, as a plain per-block computation in
// double precision gives it.

#include "filters/parallel.h"
#include "filters/quality/dctshrink.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cmath>

namespace {

using nocta::quality::NoiseModel;
using nocta::quality::PlaneF;

// The orthonormal 8-point DCT-II, row u, column i.
double dct(int u, int i)
{
    const double scale = u == 0 ? std::sqrt(1.0 / 8.0) : std::sqrt(2.0 / 8.0);
    return scale * std::cos((2 * i + 1) * u * M_PI / 16.0);
}

// The block starting at column x0 and row y0, shrunk with thresholds
// threshold * spectrum[vertical * 8 + horizontal].
void shrunkBlock(const PlaneF &plane, int x0, int y0, double threshold, const NoiseModel::Spectrum &spectrum,
                 double out[8][8])
{
    double x[8][8], half[8][8], coef[8][8];
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            x[i][j] = plane.row(y0 + i)[x0 + j];
    for (int u = 0; u < 8; ++u)
        for (int j = 0; j < 8; ++j) {
            half[u][j] = 0.0;
            for (int i = 0; i < 8; ++i)
                half[u][j] += dct(u, i) * x[i][j];
        }
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            double c = 0.0;
            for (int j = 0; j < 8; ++j)
                c += dct(v, j) * half[u][j];
            const double t = threshold * spectrum[std::size_t(u * 8 + v)];
            coef[u][v] = u + v == 0 ? c : (c * c > t ? c - t / c : 0.0);
        }
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            out[i][j] = 0.0;
            for (int u = 0; u < 8; ++u)
                for (int v = 0; v < 8; ++v)
                    out[i][j] += dct(u, i) * dct(v, j) * coef[u][v];
        }
}

// A map of from + step * ((x * across + y * down) % 7): constant where step
// is 0, else changing from sample to sample along both rows and columns.
PlaneF patternPlane(int width, int height, float from, float step, int across, int down)
{
    PlaneF p;
    p.reset(width, height, 8);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.row(y)[x] = from + step * float((x * across + y * down) % 7);
    p.fillBorder();
    return p;
}

// The threshold of the block at (x0, y0): gain times the mean of variance
// times residual^(9/8) over the 4x4 samples under it (every other pixel's
// where the maps have the plane's resolution, scale 1; each cell's at
// half, 2).
double blockThreshold(const PlaneF &variance, const PlaneF &residual, int scale, float gain, int x0, int y0)
{
    const int step = 2 / scale;
    double sum = 0.0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            const int y = y0 / scale + i * step, x = x0 / scale + j * step;
            sum += double(variance.row(y)[x]) * std::pow(double(residual.row(y)[x]), 1.125);
        }
    return double(gain) * sum / 16.0;
}

enum class Content { Noise, EdgeAndNoise, Flat };

} // namespace

Q_DECLARE_METATYPE(Content)

class TestQualityShrink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void cleanup() { nocta::setFilterThreads(0); }

    void shrinksEachBlockAsThePlainTransformDoes_data();
    void shrinksEachBlockAsThePlainTransformDoes();
};

void TestQualityShrink::shrinksEachBlockAsThePlainTransformDoes_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("scale");
    QTest::addColumn<Content>("content");
    QTest::addColumn<float>("gain");
    QTest::addColumn<bool>("varying");   // maps that change from sample to sample
    QTest::addColumn<int>("halfway");   // halfway grids after the usual one: none, upper, both
    // Rows of blocks around the kernels' eight blocks side by side ((width
    // + 3) / 4 + 1 blocks), thresholds from nothing (every coefficient kept)
    // to huge (all but the means fall: whole rows of zeros).
    QTest::newRow("five blocks, noise") << QSize(17, 9) << 2 << Content::Noise << 9.0f << false << 0;
    QTest::newRow("eight blocks, noise") << QSize(25, 12) << 2 << Content::Noise << 9.0f << false << 0;
    QTest::newRow("nine blocks, edge") << QSize(29, 13) << 2 << Content::EdgeAndNoise << 9.0f << false << 0;
    QTest::newRow("sixteen blocks, colour, noise") << QSize(61, 11) << 1 << Content::Noise << 16.0f << false << 0;
    QTest::newRow("seventeen blocks, colour, edge") << QSize(66, 10) << 1 << Content::EdgeAndNoise << 16.0f << false << 0;
    QTest::newRow("nothing shrinks") << QSize(37, 23) << 2 << Content::Noise << 0.0f << false << 0;
    QTest::newRow("all but the means fall") << QSize(37, 23) << 2 << Content::EdgeAndNoise << 1e9f << false << 0;
    QTest::newRow("flat, colour") << QSize(45, 14) << 1 << Content::Flat << 9.0f << false << 0;
    // Thresholds from maps that change with every sample row: tall enough
    // for several strips in each of three bands.
    QTest::newRow("varying maps, noise") << QSize(41, 67) << 2 << Content::Noise << 9.0f << true << 0;
    QTest::newRow("varying maps, edge") << QSize(70, 53) << 2 << Content::EdgeAndNoise << 9.0f << true << 0;
    QTest::newRow("varying maps, colour, noise") << QSize(38, 61) << 1 << Content::Noise << 16.0f << true << 0;
    // The halfway grid after the usual one: heights that leave its last
    // strip 1, 4, 0, 5 and 6 rows below the picture, and maps that vary.
    QTest::newRow("halfway, noise") << QSize(25, 17) << 2 << Content::Noise << 9.0f << false << 1;
    QTest::newRow("halfway, edge") << QSize(38, 22) << 2 << Content::EdgeAndNoise << 9.0f << false << 1;
    QTest::newRow("halfway, nothing shrinks") << QSize(19, 26) << 2 << Content::Noise << 0.0f << false << 1;
    QTest::newRow("halfway, varying maps") << QSize(70, 61) << 2 << Content::EdgeAndNoise << 9.0f << true << 1;
    QTest::newRow("halfway, colour") << QSize(29, 28) << 1 << Content::Noise << 16.0f << true << 1;
    // Both halfway grids: heights that leave the lower one's last strip 1,
    // 5, 0 and 4 rows below the picture.
    QTest::newRow("both halfways, noise") << QSize(25, 21) << 2 << Content::Noise << 9.0f << false << 2;
    QTest::newRow("both halfways, edge") << QSize(38, 17) << 2 << Content::EdgeAndNoise << 9.0f << false << 2;
    QTest::newRow("both halfways, varying maps") << QSize(70, 62) << 2 << Content::EdgeAndNoise << 9.0f << true << 2;
    QTest::newRow("both halfways, colour") << QSize(29, 26) << 1 << Content::Noise << 16.0f << true << 2;
}

void TestQualityShrink::shrinksEachBlockAsThePlainTransformDoes()
{
    using namespace nocta::quality;
    QFETCH(QSize, size);
    QFETCH(int, scale);
    QFETCH(Content, content);
    QFETCH(float, gain);
    QFETCH(bool, varying);
    QFETCH(int, halfway);
    const int w = size.width(), h = size.height();
    QRandomGenerator random(11);
    PlaneF plane = nocta::test::randomPlane(random, w, h, 0.0f, content == Content::Flat ? 0.0f : 12.0f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            plane.row(y)[x] += content == Content::EdgeAndNoise && 3 * x > w + y ? 150.0f : 60.0f;
    plane.fillBorder();
    // Noise variance 16 everywhere (residual factor 1), or about that with
    // both maps changing: thresholds gain * 16 times a share that varies
    // with the frequency.
    const int vw = scale == 2 ? halfSize(w) : w, vh = scale == 2 ? halfSize(h) : h;
    const PlaneF variance = patternPlane(vw, vh, varying ? 10.0f : 16.0f, varying ? 2.0f : 0.0f, 1, 3);
    const PlaneF residual = patternPlane(vw, vh, varying ? 0.5f : 1.0f, varying ? 0.15f : 0.0f, 3, 2);
    NoiseModel::Spectrum spectrum;
    for (int f = 0; f < 64; ++f)
        spectrum[std::size_t(f)] = 0.25f + 0.125f * float(f / 8 + f % 8);
    for (int threads : {1, 3}) {
        nocta::setFilterThreads(threads);
        ShrinkBuffers buffers;
        PlaneF out;
        shrinkPlane(plane, variance, residual, scale, gain, spectrum, buffers, out);
        for (ShrinkGrid grid : {ShrinkGrid::Halfway, ShrinkGrid::HalfwayLower})
            if (halfway > (grid == ShrinkGrid::Halfway ? 0 : 1))
                shrinkPlanes({{&plane, &variance, &residual, scale, gain, &spectrum, &out, grid}}, buffers);
        QCOMPARE(out.width, w);
        QCOMPARE(out.height, h);
        // The sum of the blocks at (x0, y0) over pixel (x, y).
        const auto blockAt = [&](int x0, int y0, int x, int y) {
            double block[8][8];
            shrunkBlock(plane, x0, y0, blockThreshold(variance, residual, scale, gain, x0, y0), spectrum, block);
            return block[y - y0][x - x0];
        };
        double worst = 0.0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double sum = 0.0;
                for (int by = y / 4; by <= y / 4 + 1; ++by)
                    for (int bx = x / 4; bx <= x / 4 + 1; ++bx)
                        sum += blockAt(4 * bx - 4, 4 * by - 4, x, y);
                // Each halfway grid's: two across, one down.
                for (int grid = 1; grid <= halfway; ++grid) {
                    const int top = grid == 1 ? -6 : -2, hy = 8 * ((y - top) / 8) + top;
                    for (int bx = (x + 2) / 4; bx <= (x + 2) / 4 + 1; ++bx)
                        sum += blockAt(4 * bx - 6, hy, x, y);
                }
                worst = std::max(worst, std::abs(sum / (4.0 + 2.0 * halfway) - double(out.row(y)[x])));
            }
        QVERIFY2(worst < 2e-3, qPrintable(QStringLiteral("%1 threads: off by %2").arg(threads).arg(worst)));
        // Some coefficients fall (where any can), so the stage is not the
        // identity.
        if (gain > 0.0f && content != Content::Flat) {
            double moved = 0.0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    moved = std::max(moved, double(std::abs(out.row(y)[x] - plane.row(y)[x])));
            QVERIFY(moved > 0.5);
        }
    }
}

QTEST_GUILESS_MAIN(TestQualityShrink)
#include "tst_qualityshrink.moc"
