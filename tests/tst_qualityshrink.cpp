// The quality filter's spatial stage by itself: each pixel comes out as the
// mean of the four overlapping 8x8 blocks that hold it, each block's DCT
// coefficients but the mean shrunk by the garrote, as a plain per-block
// computation in double precision gives it.

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

// Block (bx, by), starting at column 4bx - 4 and row 4by - 4, shrunk with
// thresholds threshold * spectrum[vertical * 8 + horizontal].
void shrunkBlock(const PlaneF &plane, int bx, int by, double threshold, const NoiseModel::Spectrum &spectrum,
                 double out[8][8])
{
    double x[8][8], half[8][8], coef[8][8];
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j)
            x[i][j] = plane.row(4 * by - 4 + i)[4 * bx - 4 + j];
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

PlaneF constantPlane(int width, int height, float value)
{
    PlaneF p;
    p.reset(width, height, 8);
    for (int y = 0; y < height; ++y)
        std::fill(p.row(y), p.row(y) + width, value);
    p.fillBorder();
    return p;
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
    // Rows of blocks around the kernels' eight blocks side by side ((width
    // + 3) / 4 + 1 blocks), thresholds from nothing (every coefficient kept)
    // to huge (all but the means fall: whole rows of zeros).
    QTest::newRow("five blocks, noise") << QSize(17, 9) << 2 << Content::Noise << 9.0f;
    QTest::newRow("eight blocks, noise") << QSize(25, 12) << 2 << Content::Noise << 9.0f;
    QTest::newRow("nine blocks, edge") << QSize(29, 13) << 2 << Content::EdgeAndNoise << 9.0f;
    QTest::newRow("sixteen blocks, colour, noise") << QSize(61, 11) << 1 << Content::Noise << 16.0f;
    QTest::newRow("seventeen blocks, colour, edge") << QSize(66, 10) << 1 << Content::EdgeAndNoise << 16.0f;
    QTest::newRow("nothing shrinks") << QSize(37, 23) << 2 << Content::Noise << 0.0f;
    QTest::newRow("all but the means fall") << QSize(37, 23) << 2 << Content::EdgeAndNoise << 1e9f;
    QTest::newRow("flat, colour") << QSize(45, 14) << 1 << Content::Flat << 9.0f;
}

void TestQualityShrink::shrinksEachBlockAsThePlainTransformDoes()
{
    using namespace nocta::quality;
    QFETCH(QSize, size);
    QFETCH(int, scale);
    QFETCH(Content, content);
    QFETCH(float, gain);
    const int w = size.width(), h = size.height();
    QRandomGenerator random(11);
    PlaneF plane = nocta::test::randomPlane(random, w, h, 0.0f, content == Content::Flat ? 0.0f : 12.0f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            plane.row(y)[x] += content == Content::EdgeAndNoise && 3 * x > w + y ? 150.0f : 60.0f;
    plane.fillBorder();
    // Noise variance 16 everywhere (residual factor 1): thresholds gain * 16
    // times a share that varies with the frequency.
    const int vw = scale == 2 ? halfSize(w) : w, vh = scale == 2 ? halfSize(h) : h;
    const PlaneF variance = constantPlane(vw, vh, 16.0f), residual = constantPlane(vw, vh, 1.0f);
    NoiseModel::Spectrum spectrum;
    for (int f = 0; f < 64; ++f)
        spectrum[std::size_t(f)] = 0.25f + 0.125f * float(f / 8 + f % 8);
    for (int threads : {1, 3}) {
        nocta::setFilterThreads(threads);
        ShrinkBuffers buffers;
        PlaneF out;
        shrinkPlane(plane, variance, residual, scale, gain, spectrum, buffers, out);
        QCOMPARE(out.width, w);
        QCOMPARE(out.height, h);
        const double threshold = double(gain) * 16.0;
        double worst = 0.0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double sum = 0.0, block[8][8];
                for (int by = y / 4; by <= y / 4 + 1; ++by)
                    for (int bx = x / 4; bx <= x / 4 + 1; ++bx) {
                        shrunkBlock(plane, bx, by, threshold, spectrum, block);
                        sum += block[y - 4 * by + 4][x - 4 * bx + 4];
                    }
                worst = std::max(worst, std::abs(0.25 * sum - double(out.row(y)[x])));
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
