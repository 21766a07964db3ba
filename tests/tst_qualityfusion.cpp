// The quality filter's temporal fusion: the noise map it makes along its
// bands is the whole frame's map, and neighbours that show the current
// frame's own content where their fields say add nothing to it, whatever
// the frame's height, the motion and the number of threads, on every copy
// of the row kernels.

#include "filters/parallel.h"
#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"
#include "filters/quality/temporalfusion.h"
#include "testsupport.h"

#include <QtTest>

#include <cmath>

using namespace nocta::quality;

Q_DECLARE_METATYPE(nocta::quality::Vec)

namespace {

// A smooth textured scene in colour, the same pixel wherever a window
// over it puts it: (dx, dy) is the window's corner.
QImage scene(int w, int h, int dx, int dy)
{
    auto lattice = [](int u, int v) {
        quint32 k = quint32(u >> 3) * 73856093u ^ quint32(v >> 3) * 19349663u;
        k = (k ^ (k >> 13)) * 1274126177u;
        return int(k >> 26);   // 0 .. 63
    };
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int u = x + dx + 1000, v = y + dy + 1000;
            const int base = 40 + lattice(u, v) + (u * 3 + v) % 29;
            line[x] = qRgb(base, base + lattice(u + 7, v) / 2, base + 30 - lattice(u, v + 5) / 3);
        }
    }
    return image;
}

// A model whose channels' variance grows with their level.
NoiseModel rampModel()
{
    NoiseModel model;
    for (std::size_t i = 0; i < model.channelVariance.size(); ++i)
        model.channelVariance[i] = 0.5f + 0.05f * float(i);
    return model;
}

bool samePlanes(const PlaneF &a, const PlaneF &b)
{
    return a.width == b.width && a.height == b.height && a.stride == b.stride && a.data == b.data;
}

// The largest difference between a fused plane and the current frame's
// fixed-point plane, in levels.
float largestChange(const PlaneF &fused, const Plane16 &current)
{
    float largest = 0;
    for (int y = 0; y < fused.height; ++y)
        for (int x = 0; x < fused.width; ++x)
            largest = std::max(largest, std::fabs(fused.row(y)[x] - float(current.row(y)[x]) / FixedScale));
    return largest;
}

} // namespace

class TestQualityFusion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void cleanup() { nocta::setFilterThreads(0); }
    void noiseMapMadeInBandsAsAlone_data();
    void noiseMapMadeInBandsAsAlone();
    void alignedCopiesAddNothing_data();
    void alignedCopiesAddNothing();
};

void TestQualityFusion::noiseMapMadeInBandsAsAlone_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("threads");
    QTest::newRow("smallest, one thread") << QSize(16, 16) << 1;
    QTest::newRow("smallest, two threads") << QSize(16, 16) << 2;
    QTest::newRow("odd, two threads") << QSize(83, 61) << 2;
    QTest::newRow("odd, three threads") << QSize(83, 61) << 3;
    QTest::newRow("tall, one thread") << QSize(66, 331) << 1;
    QTest::newRow("tall, seven threads") << QSize(66, 331) << 7;
}

// The map that the fusion's bands make (each with the rows just above and
// below it) has the bytes, borders included, of the one made by itself.
void TestQualityFusion::noiseMapMadeInBandsAsAlone()
{
    QFETCH(QSize, size);
    QFETCH(int, threads);
    FramePlanes current;
    loadFramePlanes(scene(size.width(), size.height(), 0, 0), current);
    const NoiseModel model = rampModel();
    nocta::setFilterThreads(1);
    NoiseMap alone;
    mapNoise(current, model, 1.3, alone);
    nocta::setFilterThreads(threads);
    NoiseMap banded;
    FusedFrame fused;
    fuseTemporal(current, {}, noiseMapInput(current, model, 1.3), banded, fused);
    QVERIFY(samePlanes(banded.y, alone.y));
    QVERIFY(samePlanes(banded.u, alone.u));
    QVERIFY(samePlanes(banded.v, alone.v));
}

void TestQualityFusion::alignedCopiesAddNothing_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<Vec>("first");
    QTest::addColumn<Vec>("second");
    QTest::addColumn<int>("threads");
    QTest::newRow("still, one thread") << QSize(64, 320) << Vec{0, 0} << Vec{0, 0} << 1;
    QTest::newRow("moved, one thread") << QSize(64, 320) << Vec{4, -6} << Vec{-2, 10} << 1;
    QTest::newRow("moved, two threads") << QSize(64, 320) << Vec{4, -6} << Vec{-2, 10} << 2;
    QTest::newRow("far, three threads") << QSize(98, 330) << Vec{-40, 24} << Vec{8, -90} << 3;
    QTest::newRow("short, two threads") << QSize(83, 61) << Vec{2, 2} << Vec{-4, 0} << 2;
}

// Two neighbours show the current frame's content moved by a motion (even
// components: their colour cells line up too) and their fields say so:
// averaged with the frame, they leave it as it was, every half row of
// every band; a neighbour read one row off would move it by levels.
void TestQualityFusion::alignedCopiesAddNothing()
{
    QFETCH(QSize, size);
    QFETCH(Vec, first);
    QFETCH(Vec, second);
    QFETCH(int, threads);
    nocta::setFilterThreads(threads);
    const int w = size.width(), h = size.height();
    FramePlanes current, a, b;
    loadFramePlanes(scene(w, h, 0, 0), current);
    // The content of the current frame's pixel p lies at p + motion.
    loadFramePlanes(scene(w, h, -first.x, -first.y), a);
    loadFramePlanes(scene(w, h, -second.x, -second.y), b);
    MotionField fa, fb;
    fa.reset(w, h);
    fb.reset(w, h);
    std::fill(fa.vectors.begin(), fa.vectors.end(), first);
    std::fill(fb.vectors.begin(), fb.vectors.end(), second);
    NoiseMap noise;
    FusedFrame fused;
    fuseTemporal(current, {{&a, &fa}, {&b, &fb}}, noiseMapInput(current, rampModel(), 1.0), noise, fused);
    QVERIFY2(largestChange(fused.y, current.y16) < 1e-3f, qPrintable(QString::number(largestChange(fused.y, current.y16))));
    QVERIFY(largestChange(fused.u, current.u16) < 1e-3f);
    QVERIFY(largestChange(fused.v, current.v16) < 1e-3f);
    // The neighbours did count: the noise fell where both are inside.
    QVERIFY(fused.residual.row(h / 4)[w / 4] < 0.5f);
}

QTEST_GUILESS_MAIN(TestQualityFusion)
#include "tst_qualityfusion.moc"
