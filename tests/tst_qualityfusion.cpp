// The quality filter's temporal fusion: neighbours that show the current frame's
// own content where their fields say add nothing to it, whatever the
// frame's height, the motion and the number of threads, and a neighbour
// whose content drifted from the current frame's by more than its noise
// explains is refused, on every copy of the row kernels; every copy, and
// every number of threads, fuses the same frames into the same bytes.

#include "filters/parallel.h"
#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"
#include "filters/quality/temporalfusion.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QtTest>

#include <cmath>
#include <cstdio>
#include <random>

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

// The scene with noise of variance NoiseVariance in each channel, the same
// over squares of grain x grain pixels (1: white noise), and offset added
// to every channel.
constexpr float NoiseVariance = 9.0f;

QImage noisyScene(int w, int h, int grain, int offset, quint32 seed)
{
    QImage image = scene(w, h, 0, 0);
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, std::sqrt(NoiseVariance));
    const int across = (w + grain - 1) / grain;
    std::vector<float> grains(std::size_t(across) * std::size_t((h + grain - 1) / grain) * 3);
    for (float &g : grains)
        g = noise(random);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const float *g = &grains[(std::size_t(y / grain) * std::size_t(across) + std::size_t(x / grain)) * 3];
            auto channel = [&](int value, float n) { return qBound(0, int(std::lround(float(value + offset) + n)), 255); };
            line[x] = qRgb(channel(qRed(line[x]), g[0]), channel(qGreen(line[x]), g[1]), channel(qBlue(line[x]), g[2]));
        }
    }
    return image;
}

// A model of that noise, whose luma spectrum gives its mean over an 8x8
// block meanShare times the variance that white noise gives it (the colour
// of a half-resolution cell, a mean of 2x2 pixels, has the noise of one
// pixel when the grain is coarser than that).
NoiseModel flatModel(int grain, float meanShare, float variance = NoiseVariance)
{
    NoiseModel model;
    model.channelVariance.fill(variance);
    model.scaleU = model.scaleV = float(std::min(grain * grain, 4));
    model.spectrum[0][0] = 63.0f * meanShare / (64.0f - meanShare);
    return model;
}

// What a neighbour shows in the fusion cases: the current frame's scene
// with other noise (differences of noise alone), the scene with every
// channel turned over (differences of up to 255 levels), the left half
// turned over, or the scene with 70 levels added to every other pixel and
// taken from the others (in a checkerboard: no drift, no colour change,
// luma differences whose squares a float no longer holds exactly).
enum class Shown { Noise, TurnedOver, LeftHalfTurnedOver, Checkered };

QImage shownBy(Shown shown, int w, int h, quint32 seed)
{
    QImage image = noisyScene(w, h, 1, 0, seed);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int r = qRed(line[x]), g = qGreen(line[x]), b = qBlue(line[x]);
            if (shown == Shown::Checkered) {
                const int step = (x + y) % 2 ? -70 : 70;
                line[x] = qRgb(qBound(0, r + step, 255), qBound(0, g + step, 255), qBound(0, b + step, 255));
            } else if (shown == Shown::TurnedOver || (shown == Shown::LeftHalfTurnedOver && 2 * x < w)) {
                line[x] = qRgb(255 - r, 255 - g, 255 - b);
            }
        }
    }
    return image;
}

// A field of vectors drawn from [-spread, spread] per block (the same for
// one seed), or still.
MotionField scatteredField(int w, int h, int spread, quint32 seed)
{
    MotionField field;
    field.reset(w, h);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> component(-spread, spread);
    for (Vec &v : field.vectors)
        v = Vec{component(random), component(random)};
    return field;
}

// The fusion cases shared by the comparisons across kernel copies and
// thread counts: row sizes around the kernels' vectors (8 cells) and runs
// of eight vectors (64 cells), motion that takes runs partly outside the
// picture, and differences on either side of where the distances' integer
// sums stop being exact in floats, the largest where the noise variance
// (levels squared) puts them on the weights' ramp.
void addFusionCases()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<Shown>("shown");
    QTest::addColumn<int>("spread");
    QTest::addColumn<float>("variance");
    QTest::addColumn<bool>("running");
    QTest::newRow("noise, still") << QSize(301, 97) << Shown::Noise << 0 << NoiseVariance << false;
    QTest::newRow("noise, scattered motion") << QSize(301, 97) << Shown::Noise << 24 << NoiseVariance << false;
    QTest::newRow("turned over, still") << QSize(301, 97) << Shown::TurnedOver << 0 << NoiseVariance << false;
    QTest::newRow("half turned over, scattered motion") << QSize(333, 61) << Shown::LeftHalfTurnedOver << 40 << 400.0f << false;
    QTest::newRow("narrow, half turned over, far motion")
        << QSize(98, 130) << Shown::LeftHalfTurnedOver << MaxVector << NoiseVariance << false;
    QTest::newRow("checkered, on the ramp, still") << QSize(301, 97) << Shown::Checkered << 0 << 450.0f << false;
    QTest::newRow("wide, noise, slight motion") << QSize(1030, 40) << Shown::Noise << 6 << NoiseVariance << false;
    QTest::newRow("wide, checkered, on the ramp, slight motion") << QSize(1030, 40) << Shown::Checkered << 6 << 450.0f << false;
    QTest::newRow("smallest, noise, slight motion") << QSize(16, 16) << Shown::Noise << 2 << NoiseVariance << false;
    QTest::newRow("tall, noise, scattered motion") << QSize(66, 331) << Shown::Noise << 24 << NoiseVariance << false;
    // A running average of varying counts first, the first frame in it.
    QTest::newRow("running average, noise, scattered motion")
        << QSize(301, 97) << Shown::Noise << 24 << NoiseVariance << true;
    QTest::newRow("running average, half turned over, scattered motion")
        << QSize(333, 61) << Shown::LeftHalfTurnedOver << 40 << 400.0f << true;
    QTest::newRow("running average, wide, noise, slight motion")
        << QSize(1030, 40) << Shown::Noise << 6 << NoiseVariance << true;
    QTest::newRow("running average, smallest, noise, slight motion")
        << QSize(16, 16) << Shown::Noise << 2 << NoiseVariance << true;
}

// A running average showing an image: its planes, and counts (in
// 1 / 256 of a frame) from count(), one per cell.
template <typename Count>
RunningAverage runningAverageOf(const QImage &image, Count count)
{
    FramePlanes planes;
    loadFramePlanes(image, planes);
    RunningAverage average;
    average.planes.y16 = planes.y16;
    average.planes.u16 = planes.u16;
    average.planes.v16 = planes.v16;
    average.counts.reset(planes.u16.width, planes.u16.height, planes.u16.pad);
    for (std::int16_t &c : average.counts.data)
        c = std::int16_t(count());
    return average;
}

// A still noisy frame (250x160) fused with running, standing still, and
// the frame before it (other noise), which running holds: the means over
// the inside of the picture of the factor by which the noise fell and of
// the frames' worth that the new running average holds.
struct RunningMeans
{
    double residual = 0, counts = 0;
};

RunningMeans fuseWithRunning(const RunningAverage &running)
{
    const int w = 250, h = 160;
    FramePlanes current, previous;
    loadFramePlanes(noisyScene(w, h, 1, 0, 1), current);
    loadFramePlanes(noisyScene(w, h, 1, 0, 2), previous);
    MotionField still;
    still.reset(w, h);
    Neighbour average{&running.planes, &still, &running.counts}, before{&previous, &still};
    before.inRunning = true;
    NoiseMap noise;
    FusedFrame fused;
    RunningAverage next;
    fuseTemporal(current, {average, before}, noiseMapInput(current, flatModel(1, 1.0f), 1.0), noise, fused, &next);
    RunningMeans means;
    int cells = 0;
    for (int y = 4; y < fused.residual.height - 4; ++y)
        for (int x = 4; x < fused.residual.width - 4; ++x, ++cells) {
            means.residual += fused.residual.row(y)[x];
            means.counts += next.counts.row(y)[x] / 256.0;
        }
    means.residual /= cells;
    means.counts /= cells;
    return means;
}

// Fuses the current frame of a fusion case with its two neighbours on the
// given number of threads, after a running average of counts 1 .. 16 if
// running (the first neighbour in it); the fused planes, the noise map and
// the running average made.
struct FusionResult
{
    FusedFrame fused;
    NoiseMap noise;
    RunningAverage next;
};

FusionResult fuseCase(QSize size, Shown shown, int spread, float variance, int threads, bool running)
{
    nocta::setFilterThreads(threads);
    const int w = size.width(), h = size.height();
    FramePlanes current, first, second;
    loadFramePlanes(noisyScene(w, h, 1, 0, 1), current);
    loadFramePlanes(shownBy(shown, w, h, 2), first);
    loadFramePlanes(shownBy(Shown::Noise, w, h, 3), second);
    const MotionField firstField = scatteredField(w, h, spread, 4), secondField = scatteredField(w, h, spread / 2, 5);
    std::vector<Neighbour> neighbours{{&first, &firstField}, {&second, &secondField}};
    const MotionField averageField = scatteredField(w, h, spread, 6);
    std::mt19937 random(8);
    std::uniform_int_distribution<int> count(256, 16 * 256);
    const RunningAverage average =
        running ? runningAverageOf(shownBy(shown, w, h, 7), [&] { return count(random); }) : RunningAverage();
    if (running) {
        neighbours.front().inRunning = true;
        neighbours.insert(neighbours.begin(), Neighbour{&average.planes, &averageField, &average.counts});
    }
    FusionResult result;
    fuseTemporal(current, neighbours, noiseMapInput(current, flatModel(1, 1.0f, variance), 1.0), result.noise,
                 result.fused, &result.next);
    return result;
}

// The bytes of the fused planes, the noise map and the running average
// made, borders included.
QByteArray hashOf(const FusionResult &r)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (const PlaneF *p : {&r.fused.y, &r.fused.u, &r.fused.v, &r.fused.residual, &r.noise.y, &r.noise.u, &r.noise.v})
        hash.addData(reinterpret_cast<const char *>(p->data.data()), int(p->data.size() * sizeof(float)));
    for (const Plane16 *p : {&r.next.planes.y16, &r.next.planes.u16, &r.next.planes.v16, &r.next.counts})
        hash.addData(reinterpret_cast<const char *>(p->data.data()), int(p->data.size() * sizeof(std::int16_t)));
    return hash.result().toHex();
}

} // namespace

Q_DECLARE_METATYPE(Shown)

class TestQualityFusion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void cleanup() { nocta::setFilterThreads(0); }
    void alignedCopiesAddNothing_data();
    void alignedCopiesAddNothing();
    void driftedNeighbourRefused_data();
    void driftedNeighbourRefused();
    void runningAverageCountsWhatMatches_data();
    void runningAverageCountsWhatMatches();
    void noisyRunningAverageKeepsCounting();
    void sameForAnyThreadCount_data();
    void sameForAnyThreadCount();
    void sameOnEveryKernelCopy();
    void printFusedHashes_data();
    void printFusedHashes();
};

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

void TestQualityFusion::driftedNeighbourRefused_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("grain");
    QTest::addColumn<float>("meanShare");
    QTest::addColumn<double>("fewest");
    QTest::addColumn<double>("most");
    QTest::newRow("noise alone, kept") << 256 << 0 << 1 << 1.0f << 0.0 << 0.005;
    QTest::newRow("drifted by 3 levels, refused") << 256 << 3 << 1 << 1.0f << 0.97 << 1.0;
    QTest::newRow("drifted by 2 levels, refused") << 256 << 2 << 1 << 1.0f << 0.9 << 1.0;
    QTest::newRow("drifted by -3 levels, refused") << 256 << -3 << 1 << 1.0f << 0.97 << 1.0;
    QTest::newRow("odd width, noise alone, kept") << 250 << 0 << 1 << 1.0f << 0.0 << 0.005;
    QTest::newRow("odd width, drifted, refused") << 250 << 3 << 1 << 1.0f << 0.97 << 1.0;
    QTest::newRow("spectrum without a mean, kept as for white noise") << 256 << 0 << 1 << 0.0f << 0.0 << 0.005;
    QTest::newRow("coarse noise that its spectrum shows, kept") << 256 << 0 << 2 << 4.0f << 0.0 << 0.005;
    QTest::newRow("coarse noise taken for white, refused at times") << 256 << 0 << 2 << 1.0f << 0.01 << 0.2;
    QTest::newRow("coarse noise drifted by 3 levels, refused") << 256 << 3 << 2 << 4.0f << 0.9 << 1.0;
}

// Two noisy views of a still scene, the neighbour's content offset by a
// few levels (less than its noise: the distances over a few pixels
// accept it): the share of the cells where the neighbour was refused (the
// noise did not fall) lies in [fewest, most].
void TestQualityFusion::driftedNeighbourRefused()
{
    QFETCH(int, width);
    QFETCH(int, offset);
    QFETCH(int, grain);
    QFETCH(float, meanShare);
    QFETCH(double, fewest);
    QFETCH(double, most);
    const int w = width, h = 160;
    FramePlanes current, neighbour;
    loadFramePlanes(noisyScene(w, h, grain, 0, 1), current);
    loadFramePlanes(noisyScene(w, h, grain, offset, 2), neighbour);
    MotionField field;
    field.reset(w, h);
    const NoiseModel model = flatModel(grain, meanShare);
    NoiseMap noise;
    FusedFrame fused;
    fuseTemporal(current, {{&neighbour, &field}}, noiseMapInput(current, model, 1.0), noise, fused);
    int refused = 0, cells = 0;
    for (int y = 4; y < fused.residual.height - 4; ++y)
        for (int x = 4; x < fused.residual.width - 4; ++x, ++cells)
            refused += fused.residual.row(y)[x] > 0.99f;
    const double share = double(refused) / cells;
    QVERIFY2(share >= fewest && share <= most, qPrintable(QString::number(share)));
}

void TestQualityFusion::runningAverageCountsWhatMatches_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<bool>("turnedOver");
    QTest::addColumn<int>("frames");
    QTest::addColumn<double>("residual");
    QTest::addColumn<double>("counts");
    QTest::newRow("matching, 8 frames") << 0 << false << 8 << 1.0 / 9 << 9.0;
    QTest::newRow("matching, 16 frames") << 0 << false << 16 << 1.0 / 17 << 17.0;
    QTest::newRow("matching, 32 frames: no more") << 0 << false << 32 << 1.0 / 33 << 32.0;
    QTest::newRow("turned over: the previous frame counts") << 0 << true << 8 << 0.5 << 1.0;
    // A frame a level off is kept (driftedNeighbourRefused); a running
    // average, whose own noise is lower, is not.
    QTest::newRow("a level off: the previous frame counts") << 1 << false << 8 << 0.5 << 1.0;
}

// A running average holding the given number of frames (the current
// frame's own planes, offset in its luma or turned over) and the previous
// frame (other noise): where the running average matches, it counts as
// many frames as it holds and the previous frame, which it holds, not at
// all; where it does not, the previous frame counts instead. The mean
// factor by which the noise fell and the frames' worth that the new
// running average holds, inside the picture.
void TestQualityFusion::runningAverageCountsWhatMatches()
{
    QFETCH(int, offset);
    QFETCH(bool, turnedOver);
    QFETCH(int, frames);
    QFETCH(double, residual);
    QFETCH(double, counts);
    const int w = 250, h = 160;
    const QImage shown = turnedOver ? shownBy(Shown::TurnedOver, w, h, 3) : noisyScene(w, h, 1, 0, 1);
    RunningAverage running = runningAverageOf(shown, [&] { return 256 * frames; });
    for (std::int16_t &y : running.planes.y16.data)
        y = std::int16_t(y + offset * int(FixedScale));
    const RunningMeans means = fuseWithRunning(running);
    QVERIFY2(std::abs(means.residual - residual) < 0.01 * residual + 0.002,
             qPrintable(QString::number(means.residual)));
    QVERIFY2(std::abs(means.counts - counts) < 0.02 * counts, qPrintable(QString::number(means.counts)));
}

// A running average of 16 noisy frames of a still scene, with the noise
// such a mean has, met by a 17th and the frame before: noise's own scatter
// of the distances must not stop it from counting almost all it holds: the
// new one holds 16 frames' worth of the 17 (13 before the slack for that
// scatter).
void TestQualityFusion::noisyRunningAverageKeepsCounting()
{
    const int w = 250, h = 160, frames = 16;
    RunningAverage running = runningAverageOf(noisyScene(w, h, 1, 0, 3), [&] { return 256 * frames; });
    const std::vector<Plane16 *> planes{&running.planes.y16, &running.planes.u16, &running.planes.v16};
    std::vector<std::vector<int>> sums;
    for (const Plane16 *p : planes)
        sums.emplace_back(p->data.begin(), p->data.end());
    FramePlanes one;
    for (int i = 1; i < frames; ++i) {
        loadFramePlanes(noisyScene(w, h, 1, 0, quint32(3 + i)), one);
        const std::vector<const Plane16 *> added{&one.y16, &one.u16, &one.v16};
        for (std::size_t p = 0; p < planes.size(); ++p)
            for (std::size_t k = 0; k < sums[p].size(); ++k)
                sums[p][k] += added[p]->data[k];
    }
    for (std::size_t p = 0; p < planes.size(); ++p)
        for (std::size_t k = 0; k < sums[p].size(); ++k)
            planes[p]->data[k] = std::int16_t(std::lround(sums[p][k] / double(frames)));
    const double counts = fuseWithRunning(running).counts;
    QVERIFY2(counts > 14.5, qPrintable(QString::number(counts)));
}

void TestQualityFusion::sameForAnyThreadCount_data()
{
    addFusionCases();
}

// Bands of any height (rows of blocks, the drift test's runs and the noise
// map's rows, each band with the rows just above and below it, cut
// anywhere) fuse every case into the same bytes as one band, the noise
// map's borders included.
void TestQualityFusion::sameForAnyThreadCount()
{
    QFETCH(QSize, size);
    QFETCH(Shown, shown);
    QFETCH(int, spread);
    QFETCH(float, variance);
    QFETCH(bool, running);
    const QByteArray alone = hashOf(fuseCase(size, shown, spread, variance, 1, running));
    for (int threads : {2, 3, 5})
        QCOMPARE(hashOf(fuseCase(size, shown, spread, variance, threads, running)), alone);
}

// Every kernel copy that the processor runs fuses every case into the same
// bytes as the baseline copy.
void TestQualityFusion::sameOnEveryKernelCopy()
{
    if (nocta::test::isKernelCopyChild())
        QSKIP("child process");
    const QMap<QString, QByteArray> outputs = nocta::test::outputOfEveryKernelCopy(QStringLiteral("printFusedHashes"));
    if (outputs.size() < 2)
        QSKIP("one kernel copy runs here");
    auto hashes = [](const QByteArray &output) {
        QByteArrayList lines;
        for (const QByteArray &line : output.split('\n'))
            if (line.startsWith("fused "))
                lines << line;
        return lines;
    };
    const QByteArrayList baseline = hashes(outputs.value(QStringLiteral("baseline")));
    QCOMPARE(baseline.size(), 14);
    for (auto it = outputs.begin(); it != outputs.end(); ++it)
        QVERIFY2(hashes(it.value()) == baseline, qPrintable(it.key()));
}

void TestQualityFusion::printFusedHashes_data()
{
    addFusionCases();
}

void TestQualityFusion::printFusedHashes()
{
    if (!nocta::test::isKernelCopyChild())
        QSKIP("run by sameOnEveryKernelCopy");
    QFETCH(QSize, size);
    QFETCH(Shown, shown);
    QFETCH(int, spread);
    QFETCH(float, variance);
    QFETCH(bool, running);
    const QByteArray hash = hashOf(fuseCase(size, shown, spread, variance, 2, running));
    std::printf("fused %s %s\n", QTest::currentDataTag(), hash.constData());
    std::fflush(stdout);
}

QTEST_GUILESS_MAIN(TestQualityFusion)
#include "tst_qualityfusion.moc"
