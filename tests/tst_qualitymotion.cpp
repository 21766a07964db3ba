// The motion fields of the quality filter: a field found by reversing the
// field of the other frame of a pair gives the motion that a search of its
// own finds, on every copy of the row kernels.

#include "filters/parallel.h"
#include "filters/quality/motionsearch.h"
#include "filters/quality/qualityplanes.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

using namespace nocta::quality;

Q_DECLARE_METATYPE(nocta::quality::Vec)

namespace {

// A textured scene seen through a window moved by (dx, dy), with a little
// noise: every 16x16 block has detail to match.
QImage scene(int w, int h, int dx, int dy, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int u = x + dx, v = y + dy;
            const int base = 100 + int(50 * std::sin(u * 0.21) * std::cos(v * 0.17)) + ((u / 7 + v / 5) % 4) * 12;
            const int value = qBound(0, base + int(random.bounded(5)) - 2, 255);
            line[x] = qRgb(value, value, value);
        }
    }
    return image;
}

// The blocks of a field of frames w x h pixels whose content stays inside
// the other frame moved by motion: how many there are, and how many of
// them the field gives motion.
std::pair<int, int> blocksFollowing(const MotionField &field, Vec motion, int w, int h)
{
    auto inside = [](int block, int shift, int size) {
        const int start = BlockSize * block;
        return start >= BlockSize && start + shift >= BlockSize && start + 2 * BlockSize + std::max(shift, 0) <= size;
    };
    int checked = 0, following = 0;
    for (int by = 0; by < field.blocksHigh; ++by) {
        for (int bx = 0; bx < field.blocksWide; ++bx) {
            if (!inside(bx, motion.x, w) || !inside(by, motion.y, h))
                continue;
            const Vec s = field.at(bx, by);
            ++checked;
            following += s.x == motion.x && s.y == motion.y;
        }
    }
    return {checked, following};
}

// Flat grey with noise uniform in [-4, 4] (deviation 2.58).
QImage flatNoise(int w, int h, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int value = 100 + int(random.bounded(9)) - 4;
            line[x] = qRgb(value, value, value);
        }
    }
    return image;
}

// A dim scene, faint detail under strong noise (deviation noise), seen
// through a window moved by (dx, dy); the square of side mover at the
// middle shows the scene moved by (dx + 9, dy - 6) instead.
QImage dimScene(int w, int h, int dx, int dy, double noise, int mover, quint32 seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, noise);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const bool moving = std::abs(x - w / 2) < mover / 2 && std::abs(y - h / 2) < mover / 2;
            const int u = x + dx + (moving ? 9 : 0), v = y + dy - (moving ? 6 : 0);
            const double base = 40 + 5 * std::sin(u * 0.23) * std::cos(v * 0.19) + ((u / 5 + v / 3) % 3) * 2;
            const int value = qBound(0, int(std::lround(base + normal(random))), 255);
            line[x] = qRgb(value, value, value);
        }
    }
    return image;
}

} // namespace

class TestQualityMotion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void reversedFieldFollowsTheMotion_data();
    void reversedFieldFollowsTheMotion();
    void searchStartsFromEachGuess_data();
    void searchStartsFromEachGuess();
    void chainedFieldFollowsTheMotion_data();
    void chainedFieldFollowsTheMotion();
    void globalMotionComparesOnItsGrid_data();
    void globalMotionComparesOnItsGrid();
    void fieldsFoundTogetherAsAlone_data();
    void fieldsFoundTogetherAsAlone();
    void fieldSettlesWhereNoiseHidesTheMotion_data();
    void fieldSettlesWhereNoiseHidesTheMotion();
    void settledBlocksCompareWholeSums_data();
    void settledBlocksCompareWholeSums();
    void cameraMotionFoundUnderNoise_data();
    void cameraMotionFoundUnderNoise();
    void cameraMotionTakesTheLeastSum_data();
    void cameraMotionTakesTheLeastSum();
};

void TestQualityMotion::reversedFieldFollowsTheMotion_data()
{
    QTest::addColumn<Vec>("motion");
    QTest::newRow("still") << Vec{0, 0};
    QTest::newRow("right and down") << Vec{8, 2};
    QTest::newRow("left, odd") << Vec{-5, 3};
    QTest::newRow("up, fast") << Vec{2, -23};
}

// Frame b shows the scene moved by motion against frame a: the content of
// a block of b lies at +motion in a, that of a block of a at -motion in b.
void TestQualityMotion::reversedFieldFollowsTheMotion()
{
    QFETCH(Vec, motion);
    const int w = 160, h = 128;
    FramePlanes a, b;
    loadFramePlanes(scene(w, h, 0, 0, 1), a);
    loadFramePlanes(scene(w, h, motion.x, motion.y, 2), b);
    MotionField forward, reversed, searched;
    searchBlocks(a, b, Vec{-motion.x, -motion.y}, nullptr, nullptr, forward);
    invertField(b, a, forward, nullptr, reversed);
    searchBlocks(b, a, motion, nullptr, nullptr, searched);
    QCOMPARE(reversed.vectors.size(), searched.vectors.size());
    // Blocks whose content stays inside the other frame.
    for (int by = 2; by < reversed.blocksHigh - 2; ++by) {
        for (int bx = 2; bx < reversed.blocksWide - 2; ++bx) {
            const Vec r = reversed.at(bx, by), s = searched.at(bx, by);
            QVERIFY2(r.x == motion.x && r.y == motion.y && r.x == s.x && r.y == s.y,
                     qPrintable(QStringLiteral("block %1,%2: reversed %3,%4, searched %5,%6")
                                    .arg(bx).arg(by).arg(r.x).arg(r.y).arg(s.x).arg(s.y)));
        }
    }
}

void TestQualityMotion::searchStartsFromEachGuess_data()
{
    QTest::addColumn<Vec>("motion");
    QTest::addColumn<Vec>("global");
    QTest::addColumn<bool>("predicted");
    // Each motion lies beyond the levels' steps from the other guesses.
    QTest::newRow("global, across") << Vec{40, 0} << Vec{40, 0} << false;
    QTest::newRow("predictor, across") << Vec{40, 0} << Vec{0, 0} << true;
    QTest::newRow("predictor, down") << Vec{0, -44} << Vec{0, 0} << true;
    QTest::newRow("predictor, global across") << Vec{0, -44} << Vec{0, 44} << true;
    QTest::newRow("predictor, global down") << Vec{36, 28} << Vec{-36, 28} << true;
    QTest::newRow("predictor and global alike") << Vec{-32, 20} << Vec{-32, 20} << true;
    // At the largest vectors the searches read farthest into the planes'
    // borders, and the levels' steps around them pass the limit.
    QTest::newRow("largest, left and down") << Vec{-MaxVector, MaxVector} << Vec{-MaxVector, MaxVector} << false;
    QTest::newRow("largest, right and up") << Vec{MaxVector, -MaxVector} << Vec{MaxVector, -MaxVector} << false;
    QTest::newRow("near the largest, odd") << Vec{MaxVector - 1, 3 - MaxVector} << Vec{MaxVector - 1, 3 - MaxVector} << false;
    QTest::newRow("largest across, small down") << Vec{1 - MaxVector, 2} << Vec{1 - MaxVector, 2} << false;
    // Motion past the largest vector, every guess drawn towards it.
    QTest::newRow("down, past the limit") << Vec{0, MaxVector + 12} << Vec{0, MaxVector + 12} << false;
    QTest::newRow("up, past the limit") << Vec{3, -MaxVector - 10} << Vec{3, -MaxVector - 10} << true;
    QTest::newRow("left, past the limit") << Vec{-MaxVector - 12, 0} << Vec{-MaxVector - 12, 0} << false;
    QTest::newRow("right and up, past the limit") << Vec{MaxVector + 8, -MaxVector - 8} << Vec{MaxVector + 8, -MaxVector - 8} << true;
}

// A block starts from the best of no motion, the global motion and its
// predictor's vector: the motion is found from whichever guess holds it,
// however the others resemble it; the blocks whose content stays inside
// the other frame find it. Motion past the largest vector is not found:
// every search stops at the limit (the planes' borders end a little past
// it), on every kernel copy.
void TestQualityMotion::searchStartsFromEachGuess()
{
    QFETCH(Vec, motion);
    QFETCH(Vec, global);
    QFETCH(bool, predicted);
    const int w = 192 + std::abs(motion.x), h = 160 + std::abs(motion.y);
    FramePlanes a, b;
    loadFramePlanes(scene(w, h, 0, 0, 1), a);
    loadFramePlanes(scene(w, h, motion.x, motion.y, 2), b);
    MotionField predictor, searched;
    predictor.reset(w, h);
    std::fill(predictor.vectors.begin(), predictor.vectors.end(), motion);
    searchBlocks(b, a, global, predicted ? &predictor : nullptr, nullptr, searched);
    for (const Vec v : searched.vectors)
        QVERIFY2(std::abs(v.x) <= MaxVector && std::abs(v.y) <= MaxVector,
                 qPrintable(QStringLiteral("vector %1, %2").arg(v.x).arg(v.y)));
    if (std::max(std::abs(motion.x), std::abs(motion.y)) > MaxVector)
        return;
    const auto [checked, following] = blocksFollowing(searched, motion, w, h);
    QVERIFY(checked >= 12);
    QCOMPARE(following, checked);
}

void TestQualityMotion::chainedFieldFollowsTheMotion_data()
{
    QTest::addColumn<Vec>("firstMotion");
    QTest::addColumn<Vec>("thenMotion");
    QTest::addColumn<bool>("pairFound");
    QTest::addColumn<float>("sigma");
    // With a noise deviation of 100 no block is searched again: the chain
    // alone must hold the motion (the guesses and the steps around them
    // are far from it).
    QTest::newRow("steady pan") << Vec{8, 2} << Vec{8, 2} << true << 100.0f;
    QTest::newRow("speeding up") << Vec{3, -1} << Vec{9, -4} << true << 100.0f;
    QTest::newRow("turning back") << Vec{14, 0} << Vec{-14, 0} << true << 100.0f;
    QTest::newRow("fast, odd") << Vec{-21, 5} << Vec{-19, 7} << true << 100.0f;
    // A wrong field of the next pair leaves every block off by far more
    // than a deviation of 2 explains: the blocks are searched again.
    QTest::newRow("wrong pair, searched again") << Vec{3, 2} << Vec{4, -3} << false << 2.0f;
}

// Frames a, b and c show the scene moved by firstMotion, then by
// thenMotion more: the field of a against c chained from those of a
// against b and of b against c (or a field of no motion) gives the motion
// from a to c, with no global motion to start from.
void TestQualityMotion::chainedFieldFollowsTheMotion()
{
    QFETCH(Vec, firstMotion);
    QFETCH(Vec, thenMotion);
    QFETCH(bool, pairFound);
    QFETCH(float, sigma);
    const Vec total{firstMotion.x + thenMotion.x, firstMotion.y + thenMotion.y};
    const int w = 176 + std::abs(total.x), h = 144 + std::abs(total.y);
    FramePlanes a, b, c;
    loadFramePlanes(scene(w, h, 0, 0, 1), a);
    loadFramePlanes(scene(w, h, firstMotion.x, firstMotion.y, 2), b);
    loadFramePlanes(scene(w, h, total.x, total.y, 3), c);
    MotionField first, then, chained;
    searchBlocks(a, b, Vec{-firstMotion.x, -firstMotion.y}, nullptr, nullptr, first);
    then.reset(w, h);
    if (pairFound)
        searchBlocks(b, c, Vec{-thenMotion.x, -thenMotion.y}, nullptr, nullptr, then);
    std::array<float, 256> deviations;
    deviations.fill(sigma);
    chainFields(a, c, first, then, nullptr, Vec(), deviations.data(), chained);
    const auto [checked, following] = blocksFollowing(chained, Vec{-total.x, -total.y}, w, h);
    QVERIFY(checked >= 12);
    QCOMPARE(following, checked);
}

void TestQualityMotion::globalMotionComparesOnItsGrid_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<Vec>("motion");
    QTest::addColumn<Vec>("decoy");
    // Quarter-resolution sizes: the comparison's grid takes every
    // min(w, h) / 64-th pixel of every such row, from min(16, w / 4),
    // min(16, h / 4) on.
    QTest::newRow("step 1") << QSize(70, 64) << Vec{4, -6} << Vec{-8, 2};
    QTest::newRow("step 2, ragged width") << QSize(150, 130) << Vec{-10, 4} << Vec{6, 0};
    QTest::newRow("step 3") << QSize(200, 192) << Vec{2, 8} << Vec{-4, -4};
    QTest::newRow("step 4, ragged width") << QSize(300, 256) << Vec{12, -2} << Vec{0, 0};
    QTest::newRow("step 4, 1080p") << QSize(480, 270) << Vec{-12, 12} << Vec{10, -8};
}

// The whole-picture motion is compared on a sparse grid of pixels: frames
// that agree at motion on the grid and at decoy everywhere else move by
// motion (in full-resolution pixels, four times the quarter's).
void TestQualityMotion::globalMotionComparesOnItsGrid()
{
    QFETCH(QSize, size);
    QFETCH(Vec, motion);
    QFETCH(Vec, decoy);
    const int w = size.width(), h = size.height(), border = 32;
    const int step = std::max(1, std::min(w, h) / 64), x0 = std::min(16, w / 4), y0 = std::min(16, h / 4);
    QRandomGenerator random(5);
    Plane8 previous, current;
    previous.reset(w, h, border);
    current.reset(w, h, border);
    for (auto &value : previous.data)
        value = std::uint8_t(random.bounded(256));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const bool onGrid = (x - x0) % step == 0 && (y - y0) % step == 0;
            const Vec v = onGrid ? motion : decoy;
            current.row(y)[x] = previous.row(y + v.y)[x + v.x];
        }
    }
    const Vec found = globalMotion(current, previous);
    QVERIFY2(found.x == 4 * motion.x && found.y == 4 * motion.y,
             qPrintable(QStringLiteral("found %1,%2").arg(found.x).arg(found.y)));
}

void TestQualityMotion::fieldsFoundTogetherAsAlone_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("threads");
    QTest::newRow("one thread") << QSize(160, 128) << 1;
    QTest::newRow("two threads") << QSize(160, 128) << 2;
    QTest::newRow("odd size, three threads") << QSize(149, 93) << 3;
    QTest::newRow("more threads than block rows") << QSize(96, 40) << 7;
}

// Searches, chains and reversals against several frames in one pass, the
// reversals listed first, a search guided by a predictor and one of
// another frame: each field is the one that its own pass on one thread
// finds.
void TestQualityMotion::fieldsFoundTogetherAsAlone()
{
    QFETCH(QSize, size);
    QFETCH(int, threads);
    const int w = size.width(), h = size.height();
    FramePlanes current, left, up, still;
    loadFramePlanes(scene(w, h, 0, 0, 1), current);
    loadFramePlanes(scene(w, h, 6, 1, 2), left);
    loadFramePlanes(scene(w, h, -3, -9, 3), up);
    loadFramePlanes(scene(w, h, 0, 0, 4), still);
    std::array<float, 256> sigma;
    sigma.fill(2.0f);
    MotionField forward, predictor;
    searchBlocks(up, current, Vec{-3, -9}, nullptr, nullptr, forward);
    searchBlocks(current, still, Vec(), nullptr, nullptr, predictor);

    nocta::setFilterThreads(1);
    MotionField alone[5];
    invertField(current, up, forward, sigma.data(), alone[0]);
    searchBlocks(current, left, Vec{-6, -1}, &predictor, sigma.data(), alone[1]);
    searchBlocks(current, still, Vec(), nullptr, sigma.data(), alone[2]);
    chainFields(current, left, predictor, forward, &alone[1], Vec{-6, -1}, sigma.data(), alone[3]);
    searchBlocks(left, up, Vec{-9, -10}, nullptr, sigma.data(), alone[4]);

    nocta::setFilterThreads(threads);
    MotionField together[5];
    findFields(current,
               {{&up, Vec(), nullptr, &forward, &together[0]},
                {&left, Vec{-6, -1}, &alone[1], nullptr, &together[3], &predictor, &forward},
                {&left, Vec{-6, -1}, &predictor, nullptr, &together[1]},
                {&up, Vec{-9, -10}, nullptr, nullptr, &together[4], nullptr, nullptr, &left},
                {&still, Vec(), nullptr, nullptr, &together[2]}},
               sigma.data());
    nocta::setFilterThreads(0);
    for (int k = 0; k < 5; ++k) {
        QCOMPARE(together[k].blocksWide, alone[k].blocksWide);
        QCOMPARE(together[k].blocksHigh, alone[k].blocksHigh);
        for (std::size_t i = 0; i < alone[k].vectors.size(); ++i) {
            const Vec a = alone[k].vectors[i], t = together[k].vectors[i];
            QVERIFY2(a.x == t.x && a.y == t.y, qPrintable(QStringLiteral("field %1, block %2").arg(k).arg(i)));
        }
    }
    // The fields show the motion where the blocks stay inside.
    QCOMPARE(together[1].at(2, 1).x, -6);
    QCOMPARE(together[1].at(2, 1).y, -1);
}

void TestQualityMotion::fieldSettlesWhereNoiseHidesTheMotion_data()
{
    QTest::addColumn<bool>("detail");
    QTest::addColumn<Vec>("motion");
    QTest::addColumn<Vec>("given");
    QTest::addColumn<Vec>("camera");
    QTest::addColumn<Vec>("expected");
    QTest::addColumn<double>("share");
    QTest::newRow("detail keeps its motion") << true << Vec{3, -2} << Vec{-3, 2} << Vec{0, 0} << Vec{-3, 2} << 1.0;
    QTest::newRow("detail a pixel off takes the camera's")
        << true << Vec{0, 0} << Vec{1, 0} << Vec{0, 0} << Vec{0, 0} << 1.0;
    // Noise alone sometimes favours a vector by more than it explains.
    QTest::newRow("flat noise takes the camera's") << false << Vec{0, 0} << Vec{2, -1} << Vec{4, 0} << Vec{4, 0} << 0.8;
}

// A field giving every block one vector, settled on a pair of frames that
// show detail moved by motion or flat noise: at least share of the blocks
// (inside both frames) end with the expected vector.
void TestQualityMotion::fieldSettlesWhereNoiseHidesTheMotion()
{
    QFETCH(bool, detail);
    QFETCH(Vec, motion);
    QFETCH(Vec, given);
    QFETCH(Vec, camera);
    QFETCH(Vec, expected);
    QFETCH(double, share);
    const int w = 176, h = 144;
    FramePlanes a, b;
    loadFramePlanes(detail ? scene(w, h, 0, 0, 1) : flatNoise(w, h, 1), a);
    loadFramePlanes(detail ? scene(w, h, motion.x, motion.y, 2) : flatNoise(w, h, 2), b);
    MotionField field;
    field.reset(w, h);
    std::fill(field.vectors.begin(), field.vectors.end(), given);
    std::array<float, 256> deviations;
    deviations.fill(2.58f);
    settleField(a, b, camera, deviations.data(), field);
    const auto [checked, following] = blocksFollowing(field, expected, w, h);
    QVERIFY(checked >= 12);
    QVERIFY2(following >= share * checked, qPrintable(QStringLiteral("%1 of %2").arg(following).arg(checked)));
}

void TestQualityMotion::settledBlocksCompareWholeSums_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<Vec>("camera");
    QTest::newRow("whole blocks") << 176 << 144 << Vec{2, -1};
    QTest::newRow("blocks cut below") << 64 << 72 << Vec{-3, 0};
    QTest::newRow("blocks cut right") << 101 << 48 << Vec{0, 2};
    QTest::newRow("blocks cut both, five rows") << 93 << 37 << Vec{-1, -4};
}

// Blocks of random vectors settled on a scene moved by the camera against
// a noisy copy: each block keeps its vector exactly when its sum of
// absolute differences over its pixels within the picture (summed here
// pixel by pixel) beats the camera's by the margin its brightness gives.
// Besides deviations that grow with brightness, each block's own gain is
// put half a level either side of the margin, so that a sum off by one
// shows.
void TestQualityMotion::settledBlocksCompareWholeSums()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(Vec, camera);
    FramePlanes a, b;
    loadFramePlanes(dimScene(width, height, 0, 0, 6.0, 0, 3), a);
    loadFramePlanes(dimScene(width, height, camera.x, camera.y, 6.0, 0, 4), b);
    MotionField given;
    given.reset(width, height);
    std::mt19937 random(5);
    std::uniform_int_distribution<int> near(-3, 3), far(-MaxVector, MaxVector);
    for (Vec &v : given.vectors)
        v = random() % 8 == 0 ? Vec{far(random), far(random)} : Vec{camera.x + near(random), camera.y + near(random)};
    auto sad = [&](int bx, int by, Vec v) {
        int sum = 0;
        for (int y = BlockSize * by; y < std::min(BlockSize * (by + 1), height); ++y)
            for (int x = BlockSize * bx; x < std::min(BlockSize * (bx + 1), width); ++x)
                sum += std::abs(int(a.y8.row(y)[x]) - int(b.y8.row(y + v.y)[x + v.x]));
        return sum;
    };
    std::vector<int> gains;
    for (int by = 0; by < given.blocksHigh; ++by)
        for (int bx = 0; bx < given.blocksWide; ++bx)
            gains.push_back(sad(bx, by, camera) - sad(bx, by, given.at(bx, by)));
    std::vector<std::array<float, 256>> runs(1);
    for (std::size_t i = 0; i < 256; ++i)
        runs[0][i] = 0.1f * float(i);
    for (const int gain : gains) {
        for (const float off : {-0.5f, 0.5f}) {
            runs.emplace_back();
            runs.back().fill((float(gain) + off) / 24.0f);
        }
    }
    for (std::size_t run = 0; run < runs.size(); ++run) {
        MotionField field = given;
        settleField(a, b, camera, runs[run].data(), field);
        for (int by = 0; by < field.blocksHigh; ++by) {
            for (int bx = 0; bx < field.blocksWide; ++bx) {
                const Vec s = field.at(bx, by);
                const int level = a.h8.row(std::min(8 * by + 4, a.h8.height - 1))[std::min(8 * bx + 4, a.h8.width - 1)];
                const float margin = 24.0f * runs[run][std::size_t(level)];
                const int gain = gains[std::size_t(by * field.blocksWide + bx)];
                const Vec expected = float(gain) >= margin ? given.at(bx, by) : camera;
                QVERIFY2(s.x == expected.x && s.y == expected.y,
                         qPrintable(QStringLiteral("run %1, block %2, %3").arg(run).arg(bx).arg(by)));
            }
        }
    }
}

void TestQualityMotion::cameraMotionTakesTheLeastSum_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    // Rows of 93, 168 and 20 compared bytes: every width of vector, and
    // bytes left over for the plain loop.
    QTest::newRow("125 x 90") << 125 << 90;
    QTest::newRow("200 x 61") << 200 << 61;
    QTest::newRow("40 x 48") << 40 << 48;
}

// On random pictures, where the candidates' sums differ by little, the
// camera's motion is the candidate with the least sum of absolute
// differences (summed here byte by byte; the first of equal sums): the
// even steps around the guess on every fourth row, then the steps around
// the best of those on every second row.
void TestQualityMotion::cameraMotionTakesTheLeastSum()
{
    QFETCH(int, width);
    QFETCH(int, height);
    auto noise = [&](quint32 seed) {
        QRandomGenerator random(seed);
        QImage image(width, height, QImage::Format_RGB32);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const int value = int(random.bounded(256));
                image.setPixel(x, y, qRgb(value, value, value));
            }
        return image;
    };
    FramePlanes a, b;
    loadFramePlanes(noise(11), a);
    loadFramePlanes(noise(12), b);
    const Plane8 &current = a.y8, &reference = b.y8;
    const int mx = std::min(16, width / 4), my = std::min(16, height / 4);
    auto sum = [&](Vec v, int rowStep) {
        long long total = 0;
        for (int y = my; y < height - my; y += rowStep)
            for (int x = mx; x < width - mx; ++x)
                total += std::abs(int(current.row(y)[x]) - int(reference.row(y + v.y)[x + v.x]));
        return total;
    };
    auto least = [&](Vec centre, int step, int rowStep) {
        Vec best = centre;
        long long bestSum = sum(centre, rowStep);
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const Vec v{centre.x + step * dx, centre.y + step * dy};
                const long long s = (dx || dy) ? sum(v, rowStep) : bestSum;
                if (s < bestSum) {
                    bestSum = s;
                    best = v;
                }
            }
        return best;
    };
    std::mt19937 random(7);
    std::uniform_int_distribution<int> at(-20, 20);
    for (int trial = 0; trial < 12; ++trial) {
        const Vec guess{at(random), at(random)};
        const Vec expected = least(least(guess, 2, 4), 1, 2);
        const Vec found = cameraMotion(current, reference, guess);
        QVERIFY2(found.x == expected.x && found.y == expected.y,
                 qPrintable(QStringLiteral("guess %1,%2: found %3,%4, least sum at %5,%6")
                                .arg(guess.x).arg(guess.y).arg(found.x).arg(found.y).arg(expected.x).arg(expected.y)));
    }
}

QTEST_GUILESS_MAIN(TestQualityMotion)
#include "tst_qualitymotion.moc"

void TestQualityMotion::cameraMotionFoundUnderNoise_data()
{
    QTest::addColumn<Vec>("motion");
    QTest::addColumn<Vec>("guess");
    QTest::addColumn<double>("referenceNoise");
    QTest::addColumn<int>("mover");
    QTest::newRow("on the guess") << Vec{4, -8} << Vec{4, -8} << 2.0 << 0;
    QTest::newRow("between the guess's steps") << Vec{2, -3} << Vec{4, -4} << 2.0 << 0;
    QTest::newRow("3 pixels off the guess") << Vec{-3, 3} << Vec{0, 0} << 2.0 << 0;
    QTest::newRow("a noisy reference") << Vec{1, -2} << Vec{0, 0} << 8.0 << 0;
    QTest::newRow("a fifth moving otherwise") << Vec{-2, 1} << Vec{0, 0} << 2.0 << 130;
}

// A dim noisy frame (deviation 8) against a reference (a running average:
// less noisy) showing the scene moved by motion: the camera's motion is
// found to the pixel from guess, where most blocks' own vectors stray (a
// search without the noise's penalties finds it for about a quarter).
void TestQualityMotion::cameraMotionFoundUnderNoise()
{
    QFETCH(Vec, motion);
    QFETCH(Vec, guess);
    QFETCH(double, referenceNoise);
    QFETCH(int, mover);
    const int w = 330, h = 240;   // rows that end in a part of a vector
    FramePlanes current, reference;
    loadFramePlanes(dimScene(w, h, 0, 0, 8.0, mover, 1), current);
    loadFramePlanes(dimScene(w, h, -motion.x, -motion.y, referenceNoise, mover, 2), reference);
    MotionField field;
    searchBlocks(current, reference, guess, nullptr, nullptr, field);
    const auto [checked, following] = blocksFollowing(field, motion, w, h);
    QVERIFY2(following < checked / 2, qPrintable(QStringLiteral("%1 of %2 blocks").arg(following).arg(checked)));
    const Vec found = cameraMotion(current.y8, reference.y8, guess);
    QVERIFY2(found.x == motion.x && found.y == motion.y,
             qPrintable(QStringLiteral("found %1,%2").arg(found.x).arg(found.y)));
}

