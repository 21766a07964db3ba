// The quality filter on synthetic night clips with known clean frames:
// every frame comes back, the noise level (and its spectrum, and the
// colour noise when it has heavy tails) is measured right, dark areas
// return to their clean level, a panning camera is followed, a scene cut
// separates its two scenes, and the output is the same for any number of
// threads and any copy of the row kernels.

#include "filters/parallel.h"
#include "filters/quality/dctshrink.h"
#include "filters/quality/noisemodel.h"
#include "filters/quality/qualityplanes.h"
#include "filters/quality/qualityfilter.h"
#include "filters/simd.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <array>
#include <cmath>
#include <vector>

using nocta::QualityFilter;
using nocta::QualityOptions;

namespace {

double toLinear(double v)
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

int toByte(double l)
{
    l = qBound(0.0, l, 1.0);
    return int(std::lround(255.0 * (l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1.0 / 2.4) - 0.055)));
}

double normal(QRandomGenerator &random)
{
    const double u = 1.0 - random.generateDouble(), v = random.generateDouble();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

// A value from a lattice of random values 16 pixels apart, interpolated:
// a smooth texture that never repeats.
double lattice(int u, int v)
{
    auto at = [](int i, int j) {
        quint32 k = quint32(i) * 73856093u ^ quint32(j) * 19349663u;
        k = (k ^ (k >> 13)) * 1274126177u;
        return double(k >> 24) / 255.0;
    };
    const int i = u >> 4, j = v >> 4;
    const double fx = (u & 15) / 16.0, fy = (v & 15) / 16.0;
    return (1 - fy) * ((1 - fx) * at(i, j) + fx * at(i + 1, j)) + fy * ((1 - fx) * at(i, j + 1) + fx * at(i + 1, j + 1));
}

// A clean scene: smooth shading and sharp-edged patches; (dx, dy) moves
// the view over it.
QImage cleanFrame(int w, int h, int dx, int dy, bool dark)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const int u = x + dx, v = y + dy;
            int base = 20 + int(60 * lattice(u, v));
            if (lattice(u + 5000, v) > 0.7)
                base += 60;
            if (dark)
                base = base / 4;
            line[x] = qRgb(base, qBound(0, base + 10, 255), qBound(0, base - 8, 255));
        }
    }
    return image;
}

// Night noise in linear light (shot noise and each channel's read noise:
// deviations of red, green, blue), clipped at black.
QImage addNoise(const QImage &clean, QRandomGenerator &random, double shot, const std::array<double, 3> &read)
{
    QImage noisy(clean.size(), QImage::Format_RGB32);
    for (int y = 0; y < clean.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(clean.constScanLine(y));
        auto *out = reinterpret_cast<QRgb *>(noisy.scanLine(y));
        for (int x = 0; x < clean.width(); ++x) {
            int c[3] = {qRed(in[x]), qGreen(in[x]), qBlue(in[x])};
            for (std::size_t k = 0; k < 3; ++k) {
                const double l = toLinear(c[k] / 255.0);
                c[k] = toByte(l + std::sqrt(shot * l + read[k] * read[k]) * normal(random));
            }
            out[x] = qRgb(c[0], c[1], c[2]);
        }
    }
    return noisy;
}

QImage addNoise(const QImage &clean, QRandomGenerator &random, double shot = 0.0032, double read = 0.0017)
{
    return addNoise(clean, random, shot, {read, read, read});
}

// Noise of deviation sigma (in levels) added to every channel, smoothed
// by separable taps (normalised to keep the deviation).
QImage addSmoothNoise(const QImage &clean, QRandomGenerator &random, double sigma, const std::vector<double> &across,
                      const std::vector<double> &down)
{
    auto normalised = [](std::vector<double> taps) {
        double energy = 0;
        for (double t : taps)
            energy += t * t;
        for (double &t : taps)
            t /= std::sqrt(energy);
        return taps;
    };
    const std::vector<double> h = normalised(across), v = normalised(down);
    const int w = clean.width(), ht = clean.height(), fw = w + int(h.size()), fh = ht + int(v.size());
    QImage noisy(clean.size(), QImage::Format_RGB32);
    std::vector<std::array<double, 3>> white(std::size_t(fw) * std::size_t(fh));
    for (auto &n : white)
        n = {normal(random), normal(random), normal(random)};
    for (int y = 0; y < ht; ++y)
        for (int x = 0; x < w; ++x) {
            const QRgb c = clean.pixel(x, y);
            double n[3] = {0, 0, 0};
            for (std::size_t j = 0; j < v.size(); ++j)
                for (std::size_t i = 0; i < h.size(); ++i)
                    for (std::size_t k = 0; k < 3; ++k)
                        n[k] += v[j] * h[i] * white[std::size_t(y + int(j)) * std::size_t(fw) + std::size_t(x) + i][k];
            auto add = [&](int level, double d) { return qBound(0, int(std::lround(level + sigma * d)), 255); };
            noisy.setPixel(x, y, qRgb(add(qRed(c), n[0]), add(qGreen(c), n[1]), add(qBlue(c), n[2])));
        }
    return noisy;
}

// The variance of the orthonormal 8-point DCT coefficients of unit noise
// smoothed by taps (normalised as above), by frequency.
std::array<double, 8> smoothedPower(const std::vector<double> &taps)
{
    double energy = 0;
    for (double t : taps)
        energy += t * t;
    auto correlation = [&](int d) {
        double sum = 0;
        for (std::size_t i = 0; i + std::size_t(d) < taps.size(); ++i)
            sum += taps[i] * taps[i + std::size_t(d)];
        return sum / energy;
    };
    std::array<double, 8> power{};
    for (int k = 0; k < 8; ++k)
        for (int n = 0; n < 8; ++n)
            for (int m = 0; m < 8; ++m) {
                auto basis = [k](int i) { return (k ? 0.5 : std::sqrt(0.125)) * std::cos((2 * i + 1) * k * M_PI / 16); };
                power[std::size_t(k)] += basis(n) * basis(m) * correlation(std::abs(n - m));
            }
    return power;
}

struct Clip
{
    std::vector<QImage> clean, noisy;
};

// Frame i of a clip shows the scene from (200, 200) + i * step, and by up to
// 2 pixels either way off that (a hand-held camera) when shaking.
Clip makeClip(int count, int w, int h, int stepX, int stepY, quint32 seed, bool dark = false, bool shaking = false)
{
    QRandomGenerator random(seed);
    Clip clip;
    for (int i = 0; i < count; ++i) {
        const int shakeX = shaking ? (2 * i) % 5 - 2 : 0, shakeY = shaking ? (3 * i) % 5 - 2 : 0;
        clip.clean.push_back(cleanFrame(w, h, 200 + i * stepX + shakeX, 200 + i * stepY + shakeY, dark));
        clip.noisy.push_back(addNoise(clip.clean.back(), random));
    }
    return clip;
}

std::vector<QImage> filterClip(const std::vector<QImage> &frames, const QualityOptions &options = {},
                               QualityFilter **keep = nullptr)
{
    auto *filter = new QualityFilter(frames.front().size(), options);
    std::vector<QImage> out;
    for (const QImage &f : frames)
        for (const QImage &o : filter->push(f))
            out.push_back(o);
    for (const QImage &o : filter->finish())
        out.push_back(o);
    if (keep)
        *keep = filter;
    else
        delete filter;
    return out;
}

double psnr(const QImage &a, const QImage &b, int margin = 0)
{
    double sum = 0;
    for (int y = margin; y < a.height() - margin; ++y)
        for (int x = margin; x < a.width() - margin; ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            const int d[3] = {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)};
            sum += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        }
    const double pixels = double(a.width() - 2 * margin) * (a.height() - 2 * margin);
    return 10 * std::log10(255.0 * 255.0 * 3 * pixels / std::max(sum, 1e-9));
}

QByteArray hashOf(const std::vector<QImage> &frames)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    for (const QImage &f : frames)
        for (int y = 0; y < f.height(); ++y)
            hash.addData(reinterpret_cast<const char *>(f.constScanLine(y)), 4 * f.width());
    return hash.result().toHex();
}

// The clip whose output must be the same everywhere: odd size, a pan.
std::vector<QImage> determinismClip()
{
    return makeClip(6, 83, 61, 3, -2, 7).noisy;
}

} // namespace

class TestQualityFilter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void cleanup() { nocta::setFilterThreads(0); }

    void refusesWhatItCannotFilter_data();
    void refusesWhatItCannotFilter();
    void returnsEveryFrame_data();
    void returnsEveryFrame();
    void sameForAnyThreadCount_data();
    void sameForAnyThreadCount();
    void sameForEveryKernelCopy();
    void printHash();
    void measuresTheNoise_data();
    void measuresTheNoise();
    void measuresTheNoiseSpectrum_data();
    void measuresTheNoiseSpectrum();
    void measuresTheColourNoise_data();
    void measuresTheColourNoise();
    void returnsDarkAreasToTheirLevel();
    void returnsDarkChannelsToTheirLevel_data();
    void returnsDarkChannelsToTheirLevel();
    void followsAPanningCamera();
    void keepsAveragingWhatStays_data();
    void keepsAveragingWhatStays();
    void keepsScenesApart();
    void planesReusedForTheNextFrame();
    void planesLoadedInBandsKeepTheirBorders_data();
    void planesLoadedInBandsKeepTheirBorders();
    void planesShrunkTogetherAsAlone_data();
    void planesShrunkTogetherAsAlone();
    void averagesFramesOnBothSides();
    void keepsColourEdgesSharp_data();
    void keepsColourEdgesSharp();
};

void TestQualityFilter::refusesWhatItCannotFilter_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("radius");
    QTest::addColumn<double>("strength");
    QTest::addColumn<bool>("usable");
    QTest::newRow("smallest") << QSize(16, 16) << 1 << 1.0 << true;
    QTest::newRow("too narrow") << QSize(15, 64) << 2 << 1.0 << false;
    QTest::newRow("too low") << QSize(64, 8) << 2 << 1.0 << false;
    QTest::newRow("radius 0") << QSize(64, 64) << 0 << 1.0 << false;
    QTest::newRow("largest radius") << QSize(64, 64) << QualityOptions::MaxRadius << 1.0 << true;
    QTest::newRow("radius too large") << QSize(64, 64) << QualityOptions::MaxRadius + 1 << 1.0 << false;
    QTest::newRow("strength 0") << QSize(64, 64) << 2 << 0.0 << false;
    QTest::newRow("strength NaN") << QSize(64, 64) << 2 << std::nan("") << false;
    QTest::newRow("strongest") << QSize(64, 64) << 2 << QualityOptions::MaxStrength << true;
}

void TestQualityFilter::refusesWhatItCannotFilter()
{
    QFETCH(QSize, size);
    QFETCH(int, radius);
    QFETCH(double, strength);
    QFETCH(bool, usable);
    QualityOptions options;
    options.radius = radius;
    options.strength = strength;
    QCOMPARE(QualityFilter::problem(size, options).isEmpty(), usable);
}

void TestQualityFilter::returnsEveryFrame_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("radius");
    QTest::newRow("one frame") << 1 << 2;
    QTest::newRow("fewer than the window") << 3 << 2;
    QTest::newRow("radius 1") << 5 << 1;
    QTest::newRow("radius 3") << 9 << 3;
}

void TestQualityFilter::returnsEveryFrame()
{
    QFETCH(int, frames);
    QFETCH(int, radius);
    const Clip clip = makeClip(frames, 48, 40, 1, 0, 3);
    QualityOptions options;
    options.radius = radius;
    QualityFilter filter(QSize(48, 40), options);
    QCOMPARE(filter.latency(), radius);
    int out = 0;
    for (int i = 0; i < frames; ++i) {
        const QVector<QImage> ready = filter.push(clip.noisy[std::size_t(i)]);
        out += ready.size();
        QCOMPARE(out, qMax(0, i + 1 - radius));
        for (const QImage &f : ready)
            QCOMPARE(f.size(), QSize(48, 40));
    }
    out += filter.finish().size();
    QCOMPARE(out, frames);
    QVERIFY(filter.finish().isEmpty());
}

void TestQualityFilter::sameForAnyThreadCount_data()
{
    QTest::addColumn<bool>("cut");
    QTest::addColumn<int>("radius");
    QTest::newRow("pan") << false << 2;
    // Across a cut, with the float planes of frames to come kept and made
    // when produced: the global motion and the noise measurement run
    // beside the block search.
    QTest::newRow("scene cut, radius 3") << true << 3;
    QTest::newRow("scene cut, radius 7") << true << 7;
}

void TestQualityFilter::sameForAnyThreadCount()
{
    QFETCH(bool, cut);
    QFETCH(int, radius);
    std::vector<QImage> clip = determinismClip();
    if (cut) {
        const Clip dark = makeClip(7, 83, 61, -1, 2, 9, true);
        clip.insert(clip.end(), dark.noisy.begin(), dark.noisy.end());
    }
    QualityOptions options;
    options.radius = radius;
    nocta::setFilterThreads(1);
    const QByteArray one = hashOf(filterClip(clip, options));
    for (int threads : {2, 3, 7}) {
        nocta::setFilterThreads(threads);
        QCOMPARE(hashOf(filterClip(clip, options)), one);
    }
}

// Runs printHash in a child process for every copy this processor runs.
void TestQualityFilter::sameForEveryKernelCopy()
{
    if (!qEnvironmentVariableIsEmpty("NOCTA_QUALITY_CHILD"))
        QSKIP("child process");
    QByteArray first;
    for (auto level : {nocta::KernelLevel::Baseline, nocta::KernelLevel::Avx2, nocta::KernelLevel::Avx512}) {
        if (!nocta::canRunKernels(level))
            continue;
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NOCTA_CPU"), QLatin1String(nocta::kernelLevelName(level)));
        environment.insert(QStringLiteral("NOCTA_QUALITY_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("printHash")});
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAllStandardOutput();
        const int at = output.indexOf("hash=");
        QVERIFY2(at >= 0, output.constData());
        const QByteArray hash = output.mid(at + 5, 32);
        if (first.isEmpty())
            first = hash;
        QCOMPARE(hash, first);
    }
}

void TestQualityFilter::printHash()
{
    if (qEnvironmentVariableIsEmpty("NOCTA_QUALITY_CHILD"))
        QSKIP("run by sameForEveryKernelCopy");
    nocta::setFilterThreads(2);
    std::printf("hash=%s\n", hashOf(filterClip(determinismClip())).constData());
}

void TestQualityFilter::measuresTheNoise_data()
{
    QTest::addColumn<int>("dark");
    QTest::addColumn<int>("bright");
    QTest::addColumn<double>("shot");
    QTest::addColumn<double>("read");
    QTest::newRow("night noise") << 50 << 170 << 0.0032 << 0.0017;
    QTest::newRow("read noise strong") << 30 << 120 << 0.0032 << 0.004;
    QTest::newRow("shot noise strong") << 60 << 200 << 0.008 << 0.0017;
}

// A still scene of two flat halves whose noise differs: the measured
// deviation of the luma noise matches the one the noise really has (night
// noise, bent by the gamma curve, is not Gaussian: its median shows less
// of it than there is).
void TestQualityFilter::measuresTheNoise()
{
    QFETCH(int, dark);
    QFETCH(int, bright);
    QFETCH(double, shot);
    QFETCH(double, read);
    const int w = 160, h = 128;
    const int levels[2] = {dark, bright};
    QImage clean(w, h, QImage::Format_RGB32);
    clean.fill(qRgb(levels[0], levels[0], levels[0]));
    for (int y = 0; y < h; ++y)
        for (int x = w / 2; x < w; ++x)
            clean.setPixel(x, y, qRgb(levels[1], levels[1], levels[1]));
    QRandomGenerator random(11);
    std::vector<QImage> frames;
    double squares[2] = {0, 0}, counts[2] = {0, 0};
    for (int i = 0; i < 6; ++i) {
        frames.push_back(addNoise(clean, random, shot, read));
        for (int y = 0; y < h; ++y)
            for (int x = 4; x < w - 4; ++x) {
                if (x >= w / 2 - 4 && x < w / 2 + 4)
                    continue;
                const QRgb p = frames.back().pixel(x, y);
                const double d = 0.299 * qRed(p) + 0.587 * qGreen(p) + 0.114 * qBlue(p) - levels[x >= w / 2];
                squares[x >= w / 2] += d * d;
                ++counts[x >= w / 2];
            }
    }
    QualityFilter *filter = nullptr;
    filterClip(frames, {}, &filter);
    for (int side = 0; side < 2; ++side) {
        const double truth = std::sqrt(squares[side] / counts[side]);
        const double measured = filter->noiseModel().sigmaY[std::size_t(levels[side])];
        QVERIFY2(std::abs(measured / truth - 1) < 0.1,
                 qPrintable(QStringLiteral("level %1: measured %2, truth %3").arg(levels[side]).arg(measured).arg(truth)));
    }
    delete filter;
}

void TestQualityFilter::measuresTheNoiseSpectrum_data()
{
    QTest::addColumn<std::vector<double>>("across");
    QTest::addColumn<std::vector<double>>("down");
    QTest::newRow("white") << std::vector<double>{1} << std::vector<double>{1};
    QTest::newRow("pairs of pixels across") << std::vector<double>{1, 1} << std::vector<double>{1};
    QTest::newRow("smoothed down") << std::vector<double>{1} << std::vector<double>{1, 2, 1};
    QTest::newRow("smoothed both ways, as by an encoder") << std::vector<double>{1, 2, 1} << std::vector<double>{1, 3, 1};
}

// A still scene whose noise is white or smoothed with known taps: the share
// of the noise at each DCT frequency, averaged along each axis, matches the
// one those taps give (shares relative to the mean over all frequencies but
// the block mean; the rounding to bytes adds white noise of its own).
void TestQualityFilter::measuresTheNoiseSpectrum()
{
    QFETCH(std::vector<double>, across);
    QFETCH(std::vector<double>, down);
    const double sigma = 4.0;
    const QImage clean = cleanFrame(256, 192, 0, 0, false);
    QRandomGenerator random(17);
    std::vector<QImage> frames;
    for (int i = 0; i < 8; ++i)
        frames.push_back(addSmoothNoise(clean, random, sigma, across, down));
    QualityFilter *filter = nullptr;
    filterClip(frames, {}, &filter);
    const auto &measured = filter->noiseModel().spectrum[0];
    const std::array<double, 8> h = smoothedPower(across), v = smoothedPower(down);
    const double rounding = (0.299 * 0.299 + 0.587 * 0.587 + 0.114 * 0.114) / 12 / (sigma * sigma);
    auto power = [&](int k, int l) { return v[std::size_t(k)] * h[std::size_t(l)] + rounding; };
    double total = 0;
    for (int f = 1; f < 64; ++f)
        total += power(f / 8, f % 8);
    for (int axis = 0; axis < 2; ++axis)
        for (int a = 1; a < 8; ++a) {
            double truth = 0, found = 0;
            for (int b = 0; b < 8; ++b) {
                const int k = axis ? a : b, l = axis ? b : a;   // vertical, horizontal frequency
                truth += power(k, l) * 63 / total / 8;
                found += measured[std::size_t(8 * k + l)] / 8.0;
            }
            QVERIFY2(std::abs(found - truth) < 0.12 * truth + 0.01,
                     qPrintable(QStringLiteral("%1 frequency %2: measured %3, truth %4")
                                .arg(axis ? "vertical" : "horizontal").arg(a).arg(found).arg(truth)));
        }
    delete filter;
}

void TestQualityFilter::measuresTheColourNoise_data()
{
    QTest::addColumn<double>("share");   // of the 2x2 cells with a blotch
    QTest::newRow("Gaussian") << 0.0;
    QTest::newRow("sparse blotches, as an encoder leaves") << 0.1;
}

// A still grey scene with Gaussian noise in every channel and, on a share
// of the 2x2 cells, a blue blotch of +-16 levels (noise whose distribution
// has heavy tails): the measured deviation of the blue colour difference
// (of half-resolution cells) matches the one the noise really has.
void TestQualityFilter::measuresTheColourNoise()
{
    QFETCH(double, share);
    const int w = 128, h = 96, level = 128;
    QRandomGenerator random(23);
    std::vector<QImage> frames;
    double squares = 0;
    for (int i = 0; i < 6; ++i) {
        QImage noisy(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; y += 2)
            for (int x = 0; x < w; x += 2) {
                const int blotch = random.generateDouble() < share ? (random.generate() & 1 ? 16 : -16) : 0;
                double cb = 0;
                for (int j = 0; j < 4; ++j) {
                    auto noise = [&](int extra) { return qBound(0, int(std::lround(level + extra + 4 * normal(random))), 255); };
                    const int r = noise(0), g = noise(0), b = noise(blotch);
                    noisy.setPixel(x + (j & 1), y + (j >> 1), qRgb(r, g, b));
                    cb += (-0.168736 * (r - level) - 0.331264 * (g - level) + 0.5 * (b - level)) / 4;
                }
                squares += cb * cb;
            }
        frames.push_back(noisy);
    }
    QualityFilter *filter = nullptr;
    filterClip(frames, {}, &filter);
    const double truth = std::sqrt(squares / (6.0 * (w / 2) * (h / 2)));
    const double measured = filter->noiseModel().sigmaU[std::size_t(level)];
    delete filter;
    QVERIFY2(std::abs(measured / truth - 1) < 0.12,
             qPrintable(QStringLiteral("measured %1, truth %2").arg(measured).arg(truth)));
}

// A flat patch near black, where clipping lifts the mean of the noisy
// values well above the clean one, comes back near its clean level.
void TestQualityFilter::returnsDarkAreasToTheirLevel()
{
    const int w = 96, h = 64, dark = 3;
    QImage clean = cleanFrame(w, h, 0, 0, false);
    for (int y = 16; y < 48; ++y)
        for (int x = 24; x < 72; ++x)
            clean.setPixel(x, y, qRgb(dark, dark, dark));
    QRandomGenerator random(5);
    std::vector<QImage> frames;
    for (int i = 0; i < 5; ++i)
        frames.push_back(addNoise(clean, random, 0.0032, 0.004));
    const std::vector<QImage> out = filterClip(frames);
    auto patchMean = [](const QImage &image) {
        double sum = 0;
        for (int y = 20; y < 44; ++y)
            for (int x = 28; x < 68; ++x)
                sum += qGreen(image.pixel(x, y));
        return sum / (24 * 40);
    };
    const double noisy = patchMean(frames[2]), filtered = patchMean(out[2]);
    QVERIFY2(noisy > dark + 3, qPrintable(QString::number(noisy)));
    QVERIFY2(std::abs(filtered - dark) < 1.5, qPrintable(QStringLiteral("%1 (noisy %2)").arg(filtered).arg(noisy)));
}

void TestQualityFilter::returnsDarkChannelsToTheirLevel_data()
{
    QTest::addColumn<QRgb>("bar");
    QTest::addColumn<double>("red");   // read noise deviations
    QTest::addColumn<double>("green");
    QTest::addColumn<double>("blue");
    QTest::newRow("red bar, noisier red and blue") << qRgb(97, 3, 3) << 0.0025 << 0.0017 << 0.0025;
    QTest::newRow("blue bar, noisiest blue") << qRgb(3, 0, 97) << 0.0017 << 0.0017 << 0.0035;
    QTest::newRow("magenta bar, green at 4, even noise") << qRgb(97, 4, 97) << 0.0017 << 0.0017 << 0.0017;
}

// Stripes of black, two greys (for the noise fit) and a saturated bar, the
// channels' read noise differing: every channel near black, in the black
// stripe or the bar, comes back within a level of its clean level (each
// channel is lifted by its own noise, not the grey's).
void TestQualityFilter::returnsDarkChannelsToTheirLevel()
{
    QFETCH(QRgb, bar);
    QFETCH(double, red);
    QFETCH(double, green);
    QFETCH(double, blue);
    const int w = 256, h = 64;
    const QRgb stripes[4] = {qRgb(0, 0, 0), qRgb(60, 60, 60), qRgb(160, 160, 160), bar};
    QImage clean(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            clean.setPixel(x, y, stripes[x / (w / 4)]);
    QRandomGenerator random(13);
    std::vector<QImage> frames;
    for (int i = 0; i < 6; ++i)
        frames.push_back(addNoise(clean, random, 0.0032, {red, green, blue}));
    const std::vector<QImage> out = filterClip(frames);
    for (int inBar = 0; inBar < 2; ++inBar) {
        const int x0 = inBar ? 3 * w / 4 + 8 : 8, x1 = inBar ? w - 8 : w / 4 - 8;
        const QRgb c = clean.pixel(x0, 0);
        const int levels[3] = {qRed(c), qGreen(c), qBlue(c)};
        for (int k = 0; k < 3; ++k) {
            if (levels[k] > 8)
                continue;
            double sum = 0;
            for (int f = 1; f <= 3; ++f)
                for (int y = 8; y < h - 8; ++y)
                    for (int x = x0; x < x1; ++x) {
                        const QRgb p = out[std::size_t(f)].pixel(x, y);
                        sum += k == 0 ? qRed(p) : (k == 1 ? qGreen(p) : qBlue(p));
                    }
            const double mean = sum / (3.0 * (h - 16) * (x1 - x0));
            QVERIFY2(std::abs(mean - levels[k]) < 1.0,
                     qPrintable(QStringLiteral("%1, channel %2: %3 for %4")
                                .arg(inBar ? "bar" : "black").arg(k).arg(mean).arg(levels[k])));
        }
    }
}

// A camera panning several pixels a frame: the neighbours are aligned, so
// away from the edges that the picture enters through, the result is about
// as good as for the same scene standing still.
void TestQualityFilter::followsAPanningCamera()
{
    auto gain = [](const Clip &clip) {
        const QImage out = filterClip(clip.noisy)[2];
        return psnr(out, clip.clean[2], 16) - psnr(clip.noisy[2], clip.clean[2], 16);
    };
    const double stillGain = gain(makeClip(5, 128, 96, 0, 0, 21));
    const double panGain = gain(makeClip(5, 128, 96, 7, -5, 21));
    QVERIFY2(stillGain > 6, qPrintable(QString::number(stillGain)));
    QVERIFY2(panGain > stillGain - 1, qPrintable(QStringLiteral("%1 against %2 still").arg(panGain).arg(stillGain)));
}

void TestQualityFilter::keepsAveragingWhatStays_data()
{
    QTest::addColumn<int>("stepX");
    QTest::addColumn<int>("stepY");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("shaking");
    QTest::addColumn<double>("gain");
    QTest::newRow("still") << 0 << 0 << false << false << 1.0;
    // Not in the global motion's steps of 4 pixels.
    QTest::newRow("panning") << 7 << -5 << false << false << 1.0;
    QTest::newRow("shaking") << 0 << 0 << false << true << 1.0;
    // Where noise hides the picture from most blocks (found by the blocks'
    // vectors instead, the running average was refused or blurred).
    QTest::newRow("dark, still") << 0 << 0 << true << false << 0.75;
    QTest::newRow("dark, shaking") << 0 << 0 << true << true << 0.25;
}

// A scene that stays, or pans or shakes as a whole, keeps getting cleaner
// after the first frames: later frames average the frames before them
// through the running average, beyond the two on each side.
void TestQualityFilter::keepsAveragingWhatStays()
{
    QFETCH(int, stepX);
    QFETCH(int, stepY);
    QFETCH(bool, dark);
    QFETCH(bool, shaking);
    QFETCH(double, gain);
    const Clip clip = makeClip(14, 128, 96, stepX, stepY, 21, dark, shaking);
    const std::vector<QImage> out = filterClip(clip.noisy);
    auto gainAt = [&](std::size_t i) {
        return psnr(out[i], clip.clean[i], 16) - psnr(clip.noisy[i], clip.clean[i], 16);
    };
    const double early = gainAt(2), late = (gainAt(10) + gainAt(11)) / 2;
    QVERIFY2(late > early + gain,
             qPrintable(QStringLiteral("%1 dB at frames 10, 11 against %2 at frame 2").arg(late).arg(early)));
}

// A cut between a bright and a dark scene: each scene comes out exactly as
// when filtered alone.
void TestQualityFilter::keepsScenesApart()
{
    const Clip first = makeClip(4, 96, 64, 2, 1, 31);
    const Clip second = makeClip(4, 96, 64, -1, 0, 32, true);
    std::vector<QImage> both = first.noisy;
    both.insert(both.end(), second.noisy.begin(), second.noisy.end());
    const std::vector<QImage> together = filterClip(both);
    std::vector<QImage> apart = filterClip(first.noisy);
    const std::vector<QImage> secondAlone = filterClip(second.noisy);
    apart.insert(apart.end(), secondAlone.begin(), secondAlone.end());
    QCOMPARE(together.size(), apart.size());
    for (std::size_t i = 0; i < apart.size(); ++i)
        QVERIFY2(together[i] == apart[i], qPrintable(QStringLiteral("frame %1 differs").arg(i)));
}

// A plane set is reused from frame to frame: a frame loaded over another
// of the same size comes out as when loaded into new planes, borders
// included.
void TestQualityFilter::planesReusedForTheNextFrame()
{
    using namespace nocta::quality;
    FramePlanes reused, fresh;
    loadFramePlanes(nocta::test::randomFrame(37, 23, 5), reused);
    const QImage next = nocta::test::randomFrame(37, 23, 6);
    loadFramePlanes(next, reused);
    loadFramePlanes(next, fresh);
    QVERIFY(nocta::test::samePlane(reused.y16, fresh.y16) && nocta::test::samePlane(reused.u16, fresh.u16)
            && nocta::test::samePlane(reused.v16, fresh.v16));
    QVERIFY(nocta::test::samePlane(reused.y8, fresh.y8) && nocta::test::samePlane(reused.h8, fresh.h8)
            && nocta::test::samePlane(reused.q8, fresh.q8));
}

namespace {

// Whether every border value of a plane repeats the nearest edge value.
template <typename T>
bool bordersReplicateEdges(const nocta::quality::Plane<T> &p)
{
    for (int y = -p.pad; y < p.height + p.pad; ++y)
        for (int x = -p.pad; x < p.width + p.pad; ++x) {
            const int cy = qBound(0, y, p.height - 1), cx = qBound(0, x, p.width - 1);
            if ((cy != y || cx != x) && p.row(y)[x] != p.row(cy)[cx])
                return false;
        }
    return true;
}

} // namespace

void TestQualityFilter::planesLoadedInBandsKeepTheirBorders_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("threads");
    QTest::newRow("smallest, one thread") << QSize(16, 16) << 1;
    QTest::newRow("odd width and height") << QSize(37, 23) << 3;
    QTest::newRow("odd half height") << QSize(40, 22) << 2;
    QTest::newRow("odd half width, many bands") << QSize(54, 131) << 7;
}

// Frames are loaded in bands of rows that fill their own borders: every
// plane comes out as when loaded in one band, its borders repeat its edges,
// and the luma counts are those of the quarter-resolution plane.
void TestQualityFilter::planesLoadedInBandsKeepTheirBorders()
{
    using namespace nocta::quality;
    QFETCH(QSize, size);
    QFETCH(int, threads);
    const QImage image = nocta::test::randomFrame(size.width(), size.height(), 11);
    FramePlanes whole, alone;
    LumaCounts counts{}, aloneCounts{};
    nocta::setFilterThreads(1);
    loadFramePlanes(image, alone, &aloneCounts);
    nocta::setFilterThreads(threads);
    loadFramePlanes(image, whole, &counts);

    QVERIFY(nocta::test::samePlane(whole.y16, alone.y16) && nocta::test::samePlane(whole.u16, alone.u16) && nocta::test::samePlane(whole.v16, alone.v16));
    QVERIFY(nocta::test::samePlane(whole.y8, alone.y8) && nocta::test::samePlane(whole.h8, alone.h8) && nocta::test::samePlane(whole.q8, alone.q8));
    QVERIFY(bordersReplicateEdges(whole.y16) && bordersReplicateEdges(whole.u16)
            && bordersReplicateEdges(whole.v16));
    QVERIFY(bordersReplicateEdges(whole.y8) && bordersReplicateEdges(whole.h8) && bordersReplicateEdges(whole.q8));
    QCOMPARE(whole.q8.width, (size.width() + 3) / 4);
    QCOMPARE(whole.q8.height, (size.height() + 3) / 4);

    // Each quarter-resolution byte is the rounded mean of 2x2 half ones.
    LumaCounts expected{};
    for (int y = 0; y < whole.q8.height; ++y)
        for (int x = 0; x < whole.q8.width; ++x) {
            const std::uint8_t *r0 = whole.h8.row(2 * y), *r1 = whole.h8.row(2 * y + 1);
            const int sum = (r0[2 * x] + r0[2 * x + 1]) + (r1[2 * x] + r1[2 * x + 1]);
            QCOMPARE(int(whole.q8.row(y)[x]), int(float(sum) * 0.25f + 0.5f));
            ++expected[std::size_t(whole.q8.row(y)[x] >> 2)];
        }
    QVERIFY(counts == expected);
    QVERIFY(aloneCounts == expected);
}

void TestQualityFilter::planesShrunkTogetherAsAlone_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("threads");
    QTest::newRow("smallest, two threads") << QSize(16, 16) << 2;
    QTest::newRow("odd width and height") << QSize(37, 23) << 3;
    QTest::newRow("tall, many bands") << QSize(54, 331) << 7;
    QTest::newRow("wide, two threads") << QSize(333, 187) << 2;
}

// The luma and both colour planes shrunk in one pass, in bands that meet
// inside a plane and that span two planes: each comes out as shrunk alone
// on one thread, its borders repeating its edges.
void TestQualityFilter::planesShrunkTogetherAsAlone()
{
    using namespace nocta::quality;
    QFETCH(QSize, size);
    QFETCH(int, threads);
    QRandomGenerator random(5);
    auto noisy = [&](int w, int h, float from, float span) { return nocta::test::randomPlane(random, w, h, from, span); };
    const int hw = halfSize(size.width()), hh = halfSize(size.height());
    const PlaneF y = noisy(size.width(), size.height(), 0.0f, 255.0f), u = noisy(hw, hh, -60.0f, 120.0f),
                 v = noisy(hw, hh, -60.0f, 120.0f), variance = noisy(hw, hh, 5.0f, 40.0f),
                 residual = noisy(hw, hh, 0.2f, 0.8f);
    const NoiseModel::Spectrum spectrum = NoiseModel::whiteSpectra()[0];
    const PlaneF *in[3] = {&y, &u, &v};
    const float gains[3] = {10.0f, 16.0f, 16.0f};
    ShrinkBuffers buffers;
    nocta::setFilterThreads(1);
    PlaneF alone[3], together[3];
    for (int k = 0; k < 3; ++k)
        shrinkPlane(*in[k], variance, residual, k == 0 ? 2 : 1, gains[k], spectrum, buffers, alone[k]);
    nocta::setFilterThreads(threads);
    std::vector<ShrinkJob> jobs;
    for (int k = 0; k < 3; ++k)
        jobs.push_back({in[k], &variance, &residual, k == 0 ? 2 : 1, gains[k], &spectrum, &together[k]});
    // Twice: the buffers kept from a call are used again.
    for (int pass = 0; pass < 2; ++pass)
        shrinkPlanes(jobs, buffers);
    for (int k = 0; k < 3; ++k) {
        QVERIFY2(nocta::test::samePlane(together[k], alone[k]), qPrintable(QStringLiteral("plane %1").arg(k)));
        QVERIFY(bordersReplicateEdges(together[k]));
        QVERIFY(!nocta::test::samePlane(together[k], *in[k]));
    }
}

// A frame in the middle of a still scene is averaged with the frames before
// it as well as after it (those are read after they were produced): it
// comes out clearly better than the same frame with only the later ones.
void TestQualityFilter::averagesFramesOnBothSides()
{
    const Clip clip = makeClip(5, 128, 96, 0, 0, 41);
    const QImage both = filterClip(clip.noisy)[2];
    const QImage after = filterClip({clip.noisy.begin() + 2, clip.noisy.end()})[0];
    const double bothScore = psnr(both, clip.clean[2], 8), afterScore = psnr(after, clip.clean[2], 8);
    QVERIFY2(bothScore > afterScore + 0.5, qPrintable(QStringLiteral("%1 against %2").arg(bothScore).arg(afterScore)));
}

void TestQualityFilter::keepsColourEdgesSharp_data()
{
    QTest::addColumn<QRgb>("left");
    QTest::addColumn<QRgb>("right");
    QTest::addColumn<int>("edge");
    QTest::newRow("cyan|magenta, between cells") << qRgb(0, 97, 97) << qRgb(97, 0, 97) << 40;
    QTest::newRow("red|green, between cells") << qRgb(97, 0, 0) << qRgb(0, 97, 0) << 40;
    QTest::newRow("black|red, between cells") << qRgb(0, 0, 0) << qRgb(97, 0, 0) << 40;
}

// Saturated bars whose colour changes where the luma does, the edge between
// two half-resolution cells: the pixels on either side of it keep about the
// colour of their bar (the colour planes have half the resolution of the
// luma; the luma leads them to full resolution), measured as the mean error
// of each column against that of the columns far from the edge on the same
// side (which holds what is left of the noise clipped at black).
void TestQualityFilter::keepsColourEdgesSharp()
{
    QFETCH(QRgb, left);
    QFETCH(QRgb, right);
    QFETCH(int, edge);
    const int w = 80, h = 48;
    QImage clean(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            clean.setPixel(x, y, x < edge ? left : right);
    QRandomGenerator random(9);
    std::vector<QImage> frames;
    for (int i = 0; i < 5; ++i)
        frames.push_back(addNoise(clean, random));
    const QImage out = filterClip(frames)[2];
    // The mean error of channel c over columns [x0, x1).
    auto meanError = [&](int c, int x0, int x1) {
        double sum = 0;
        for (int y = 8; y < h - 8; ++y)
            for (int x = x0; x < x1; ++x) {
                const QRgb p = out.pixel(x, y), q = clean.pixel(x, y);
                sum += c == 0 ? qRed(p) - qRed(q) : (c == 1 ? qGreen(p) - qGreen(q) : qBlue(p) - qBlue(q));
            }
        return sum / ((h - 16) * (x1 - x0));
    };
    for (int c = 0; c < 3; ++c) {
        const double flat[2] = {meanError(c, 8, edge - 8), meanError(c, edge + 8, w - 8)};
        for (int x = edge - 1; x <= edge; ++x) {
            // (Colour spread from the other side's cell puts 6 to 12 levels here.)
            const double error = meanError(c, x, x + 1) - flat[x >= edge];
            QVERIFY2(std::abs(error) < 5.5,
                     qPrintable(QStringLiteral("channel %1, column %2: %3 off").arg(c).arg(x).arg(error)));
        }
    }
}

QTEST_GUILESS_MAIN(TestQualityFilter)
#include "tst_qualityfilter.moc"
