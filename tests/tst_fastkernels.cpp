// The fast kernels of both chains against the plain reference
// implementation, bit for bit: random frames of awkward sizes, frames made
// to sit on every threshold, a real decoded clip, and one thread against
// several.

#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/frameplanes.h"
#include "filters/fuzzy/prefilterframe.h"
#include "filters/parallel.h"
#include "filters/precondition.h"
#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "reference/plainfilters.h"
#include "testsupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using nocta::FramePlanes;
using nocta::test::firstDifference;
using nocta::test::randomFrame;

namespace {

const char *const planeNames[FramePlanes::PlaneCount] = {
    "redDark", "redCentre", "redBright", "greenDark", "greenCentre", "greenBright",
    "blueDark", "blueCentre", "blueBright",
};

// Names the first value where two plane sets differ; empty when equal.
QString planesDifference(const FramePlanes &expected, const FramePlanes &actual)
{
    if (expected.width() != actual.width() || expected.height() != actual.height())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width()).arg(actual.height()).arg(expected.width()).arg(expected.height());
    const int w = expected.width();
    for (int k = 0; k < FramePlanes::PlaneCount; ++k)
        for (int y = 0; y < expected.height(); ++y)
            for (int x = 0; x < w; ++x) {
                const int e = expected.plane(k)[y * w + x];
                const int a = actual.plane(k)[y * w + x];
                if (e != a)
                    return QStringLiteral("%1 at (%2, %3) is %4, expected %5")
                        .arg(QLatin1String(planeNames[k])).arg(x).arg(y).arg(a).arg(e);
            }
    return QString();
}

QString firstTranslucent(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(line[x]) != 0xFF)
                return QStringLiteral("(%1, %2)").arg(x).arg(y);
    }
    return QString();
}

// Builds an ARGB32 frame from a per-pixel colour function (alpha random),
// then converts it to the wanted format.
template<typename Colour>
QImage buildFrame(int width, int height, quint32 seed, QImage::Format format, Colour colour)
{
    QImage image(width, height, QImage::Format_ARGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const QRgb c = colour(random, x, y);
            line[x] = (c & 0xFFFFFF) | (random.generate() & 0xFF000000u);
        }
    }
    return format == QImage::Format_ARGB32 ? image : image.convertToFormat(format);
}

int clamp255(int v)
{
    return qBound(0, v, 255);
}

// A frame close to base: every channel moved by up to +-spread.
QImage nearFrame(const QImage &base, quint32 seed, int spread, QImage::Format format)
{
    return buildFrame(base.width(), base.height(), seed, format, [&](QRandomGenerator &r, int x, int y) {
        const QRgb c = base.pixel(x, y);
        auto move = [&](int v) { return clamp255(v + r.bounded(-spread, spread + 1)); };
        return qRgb(move(qRed(c)), move(qGreen(c)), move(qBlue(c)));
    });
}

// A frame whose channels each differ from base by one of the given steps.
QImage steppedFrame(const QImage &base, quint32 seed, const QVector<int> &steps, QImage::Format format)
{
    return buildFrame(base.width(), base.height(), seed, format, [&](QRandomGenerator &r, int x, int y) {
        const QRgb c = base.pixel(x, y);
        auto step = [&](int v) { return clamp255(v + steps.at(r.bounded(steps.size()))); };
        return qRgb(step(qRed(c)), step(qGreen(c)), step(qBlue(c)));
    });
}

struct Window
{
    QImage frames[5];
};

enum class Kind {
    Independent,     // five unrelated random frames: nearly every neighbour rejected
    Correlated,      // neighbours within +-40 of frame 2: many accepted
    ToleranceBand,   // neighbours 33..36 away in single channels: 34/35 and 20/21 hit often
    GradientGray,    // five equal low-contrast gray frames: gradients around 20
    GradientColour,  // the same with channels apart
    Halves,          // neighbours within +-3: many averages end in .5
    BandOnGradient,  // tolerance steps on a low-contrast base
    Extremes,        // channels 0, 1, 254, 255: clamping and large gradients
};

Window makeWindow(Kind kind, int w, int h, quint32 seed, QImage::Format format)
{
    Window win;
    switch (kind) {
    case Kind::Independent:
        for (int k = 0; k < 5; ++k)
            win.frames[k] = randomFrame(w, h, seed + k, format);
        break;
    case Kind::Correlated:
    case Kind::Halves: {
        const QImage base = randomFrame(w, h, seed, format);
        for (int k = 0; k < 5; ++k)
            win.frames[k] = k == 2 ? base : nearFrame(base, seed + k, kind == Kind::Halves ? 3 : 40, format);
        break;
    }
    case Kind::ToleranceBand:
    case Kind::BandOnGradient: {
        const QImage base = kind == Kind::ToleranceBand
            ? buildFrame(w, h, seed, format, [](QRandomGenerator &r, int, int) {
                  return qRgb(r.bounded(40, 216), r.bounded(40, 216), r.bounded(40, 216));
              })
            : buildFrame(w, h, seed, format, [](QRandomGenerator &r, int, int) {
                  return qRgb(100 + r.bounded(16), 100 + r.bounded(16), 100 + r.bounded(16));
              });
        const QVector<int> steps = {-36, -35, -34, -33, -21, -20, 0, 1, -1, 20, 21, 33, 34, 35, 36};
        for (int k = 0; k < 5; ++k)
            win.frames[k] = k == 2 ? base : steppedFrame(base, seed + k, steps, format);
        break;
    }
    case Kind::GradientGray:
    case Kind::GradientColour: {
        const bool grayOnly = kind == Kind::GradientGray;
        const QImage base = buildFrame(w, h, seed, format, [grayOnly](QRandomGenerator &r, int, int) {
            const int v = 100 + r.bounded(16);
            return grayOnly ? qRgb(v, v, v) : qRgb(v, 100 + r.bounded(16), 100 + r.bounded(16));
        });
        for (QImage &f : win.frames)
            f = base;
        break;
    }
    case Kind::Extremes: {
        const int values[] = {0, 1, 254, 255};
        for (int k = 0; k < 5; ++k)
            win.frames[k] = buildFrame(w, h, seed + k, format, [&](QRandomGenerator &r, int, int) {
                return qRgb(values[r.bounded(4)], values[r.bounded(4)], values[r.bounded(4)]);
            });
        break;
    }
    }
    return win;
}

// Sobel on the gray levels of an image, for checking that a test picture
// really puts gradients on the edge bound.
int gradientSquared(const QImage &image, int x, int y)
{
    auto L = [&](int i, int j) {
        const QRgb c = image.pixel(i, j);
        return (11 * qRed(c) + 16 * qGreen(c) + 5 * qBlue(c)) >> 5;
    };
    const int gx = L(x + 1, y - 1) + 2 * L(x + 1, y) + L(x + 1, y + 1) - L(x - 1, y - 1) - 2 * L(x - 1, y) - L(x - 1, y + 1);
    const int gy = L(x - 1, y + 1) + 2 * L(x, y + 1) + L(x + 1, y + 1) - L(x - 1, y - 1) - 2 * L(x, y - 1) - L(x + 1, y - 1);
    return gx * gx + gy * gy;
}

QString sizeName(int w, int h)
{
    return QStringLiteral("%1x%2").arg(w).arg(h);
}

const char *formatName(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32: return "RGB32";
    case QImage::Format_ARGB32: return "ARGB32";
    case QImage::Format_ARGB32_Premultiplied: return "ARGB32_Premultiplied";
    case QImage::Format_RGB888: return "RGB888";
    case QImage::Format_Grayscale8: return "Grayscale8";
    default: return "other";
    }
}

const QSize smallSizes[] = {{1, 1}, {1, 7}, {7, 1}, {2, 3}, {5, 5}, {6, 6}, {641, 359}};
const QImage::Format formats[] = {QImage::Format_RGB32, QImage::Format_ARGB32};

// Random frame sizes for the four kernels: the small ones in both formats,
// 1920x1080 once (the plain reference takes a while there).
void addSizeRows(QImage::Format fullHdFormat)
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("format");
    for (const QSize &s : smallSizes)
        for (QImage::Format f : formats)
            QTest::addRow("%s %s", qPrintable(sizeName(s.width(), s.height())), formatName(f)) << s << int(f);
    QTest::addRow("1920x1080 %s", formatName(fullHdFormat)) << QSize(1920, 1080) << int(fullHdFormat);
}

void compareStandard(const Window &win)
{
    const QImage expected = nocta::reference::denoiseStandard(win.frames[0], win.frames[1], win.frames[2],
                                                              win.frames[3], win.frames[4]);
    const QImage actual = nocta::denoiseStandard(win.frames[0], win.frames[1], win.frames[2],
                                                 win.frames[3], win.frames[4]);
    QCOMPARE(actual.format(), expected.format());
    QCOMPARE(firstDifference(expected, actual), QString());
    QCOMPARE(firstTranslucent(actual), QString());
}

// Pre-filters the five frames with the reference (its correctness is held
// by tst_fuzzyfilter) and compares the temporal step.
void compareFuzzy(const FramePlanes sets[5], int w, int h)
{
    const QImage expected = nocta::reference::denoiseFuzzy(sets[0], sets[1], sets[2], sets[3], sets[4], w, h);
    const QImage actual = nocta::denoiseFuzzy(sets[0], sets[1], sets[2], sets[3], sets[4], w, h);
    QCOMPARE(actual.format(), QImage::Format_ARGB32);
    QCOMPARE(firstDifference(expected, actual), QString());
    QCOMPARE(firstTranslucent(actual), QString());
}

void comparePrefilter(int radius, const QImage &frame)
{
    FramePlanes expected(frame.width(), frame.height());
    FramePlanes actual(frame.width(), frame.height());
    nocta::reference::prefilterFrame(radius, frame, expected);
    nocta::prefilterFrame(radius, frame, actual);
    QCOMPARE(planesDifference(expected, actual), QString());
}

// Hand-made plane sets around every agreement and detail bound: s2 has
// spreads from {0, 7, 29..32, 39..41, 79..81} and a free centre; each
// neighbour is a copy of s2 (so averaged spreads stay exactly on the
// bounds), a copy jittered by +-2, or per channel a copy or a range that
// starts 19..22 above s2's bright value or ends 19..22 below its dark one.
void makeThresholdSets(int w, int h, quint32 seed, FramePlanes sets[5])
{
    QRandomGenerator r(seed);
    for (int n = 0; n < 5; ++n)
        sets[n] = FramePlanes(w, h);
    const int spreads[] = {0, 7, 29, 30, 31, 32, 39, 40, 41, 79, 80, 81};
    for (int i = 0; i < w * h; ++i) {
        for (int ch = 0; ch < 3; ++ch) {
            const int d = r.bounded(20, 171);
            sets[2].plane(3 * ch)[i] = d;
            sets[2].plane(3 * ch + 1)[i] = r.bounded(256);
            sets[2].plane(3 * ch + 2)[i] = qMin(255, d + spreads[r.bounded(12)]);
        }
        for (int n : {0, 1, 3, 4}) {
            const int mode = r.bounded(10);
            for (int ch = 0; ch < 3; ++ch) {
                const int d = sets[2].plane(3 * ch)[i];
                const int c = sets[2].plane(3 * ch + 1)[i];
                const int b = sets[2].plane(3 * ch + 2)[i];
                int nd = d, nc = c, nb = b;
                if (mode >= 4 && mode < 8) {
                    const int way = r.bounded(3);
                    if (way == 1) {
                        nd = b + r.bounded(19, 23);
                        nb = nd + r.bounded(41);
                        nc = r.bounded(256);
                    } else if (way == 2) {
                        nb = d - r.bounded(19, 23);
                        nd = nb - r.bounded(41);
                        nc = r.bounded(256);
                    }
                } else if (mode >= 8) {
                    nd += r.bounded(-2, 3);
                    nc += r.bounded(-2, 3);
                    nb += r.bounded(-2, 3);
                }
                sets[n].plane(3 * ch)[i] = clamp255(nd);
                sets[n].plane(3 * ch + 1)[i] = clamp255(nc);
                sets[n].plane(3 * ch + 2)[i] = clamp255(nb);
            }
        }
    }
}

} // namespace

class TestFastKernels : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NOCTA_CHECK_KERNEL_COPY(); }
    void cleanup();

    void unequalSizes_data();
    void unequalSizes();

    void smoothFrame_data();
    void smoothFrame();
    void denoiseStandard_data();
    void denoiseStandard();
    void prefilterFrame_data();
    void prefilterFrame();
    void denoiseFuzzy_data();
    void denoiseFuzzy();
    void otherFormats_data();
    void otherFormats();

    void standardThresholds_data();
    void standardThresholds();
    void prefilterTies_data();
    void prefilterTies();
    void fuzzyThresholds_data();
    void fuzzyThresholds();

    void nightClip();

    void threads_data();
    void threads();
};

void TestFastKernels::cleanup()
{
    nocta::setFilterThreads(0);
}

void TestFastKernels::smoothFrame_data()
{
    addSizeRows(QImage::Format_RGB32);
}

void TestFastKernels::smoothFrame()
{
    QFETCH(QSize, size);
    QFETCH(int, format);
    const QImage frame = randomFrame(size.width(), size.height(), 11, QImage::Format(format));
    const QImage expected = nocta::reference::smoothFrame(frame);
    const QImage actual = nocta::smoothFrame(frame);
    QCOMPARE(actual.format(), expected.format());
    QCOMPARE(firstDifference(expected, actual), QString());
    QCOMPARE(firstTranslucent(actual), QString());
}

void TestFastKernels::denoiseStandard_data()
{
    addSizeRows(QImage::Format_ARGB32);
}

void TestFastKernels::denoiseStandard()
{
    QFETCH(QSize, size);
    QFETCH(int, format);
    const QImage::Format f = QImage::Format(format);
    if (size.width() * size.height() < 1000000)
        compareStandard(makeWindow(Kind::Independent, size.width(), size.height(), 21, f));
    compareStandard(makeWindow(Kind::Correlated, size.width(), size.height(), 31, f));
}

void TestFastKernels::prefilterFrame_data()
{
    addSizeRows(QImage::Format_ARGB32);
}

void TestFastKernels::prefilterFrame()
{
    QFETCH(QSize, size);
    QFETCH(int, format);
    const QImage frame = randomFrame(size.width(), size.height(), 41, QImage::Format(format));
    comparePrefilter(1, frame);
    if (size.width() * size.height() < 1000000) {
        comparePrefilter(0, frame);
        comparePrefilter(2, frame);
    }
}

void TestFastKernels::denoiseFuzzy_data()
{
    addSizeRows(QImage::Format_RGB32);
}

void TestFastKernels::denoiseFuzzy()
{
    QFETCH(QSize, size);
    QFETCH(int, format);
    const int w = size.width();
    const int h = size.height();
    const Window win = makeWindow(Kind::Correlated, w, h, 51, QImage::Format(format));
    FramePlanes sets[5];
    for (int k = 0; k < 5; ++k) {
        sets[k] = FramePlanes(w, h);
        nocta::reference::prefilterFrame(1, win.frames[k], sets[k]);
    }
    compareFuzzy(sets, w, h);
}

// Formats other than the two the run produces: the kernels must see the
// same colours as QImage::pixel does. For a translucent premultiplied frame
// Qt 5's QImage::pixel hands out the stored (premultiplied) word itself.
void TestFastKernels::otherFormats_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("opaque");
    for (QImage::Format f : {QImage::Format_ARGB32_Premultiplied, QImage::Format_RGB888, QImage::Format_Grayscale8})
        QTest::newRow(formatName(f)) << int(f) << true;
    QTest::newRow("ARGB32_Premultiplied, translucent") << int(QImage::Format_ARGB32_Premultiplied) << false;
}

void TestFastKernels::otherFormats()
{
    QFETCH(int, format);
    QFETCH(bool, opaque);
    Window win = makeWindow(Kind::Correlated, 37, 23, 61, QImage::Format_ARGB32);
    for (QImage &f : win.frames) {
        for (int y = 0; y < f.height() && opaque; ++y) {
            auto *line = reinterpret_cast<QRgb *>(f.scanLine(y));
            for (int x = 0; x < f.width(); ++x)
                line[x] |= 0xFF000000u;
        }
        f = f.convertToFormat(QImage::Format(format));
        QCOMPARE(int(f.format()), format);
    }

    const QImage expected = nocta::reference::smoothFrame(win.frames[2]);
    const QImage actual = nocta::smoothFrame(win.frames[2]);
    QCOMPARE(actual.format(), expected.format());
    QCOMPARE(firstDifference(expected, actual), QString());

    compareStandard(win);
    comparePrefilter(1, win.frames[2]);
}

void TestFastKernels::standardThresholds_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("format");
    struct Row { const char *name; Kind kind; };
    const Row rows[] = {
        {"tolerance band", Kind::ToleranceBand},
        {"gradient band, gray", Kind::GradientGray},
        {"gradient band, colour", Kind::GradientColour},
        {"halves", Kind::Halves},
        {"tolerance band on low contrast", Kind::BandOnGradient},
        {"extremes", Kind::Extremes},
    };
    for (const Row &r : rows)
        for (QImage::Format f : formats)
            QTest::addRow("%s, %s", r.name, formatName(f)) << int(r.kind) << int(f);
}

void TestFastKernels::standardThresholds()
{
    QFETCH(int, kind);
    QFETCH(int, format);
    const Window win = makeWindow(Kind(kind), 203, 157, 71 + kind, QImage::Format(format));

    if (Kind(kind) == Kind::GradientGray || Kind(kind) == Kind::GradientColour) {
        // Five equal frames pass the temporal phase unchanged, so these are
        // the gradients the spatial phase sees: both sides of the bound
        // (the largest flat value is 394, Gx and Gy having equal parity).
        int onBound = 0;
        int justBelow = 0;
        for (int y = 2; y < win.frames[2].height() - 2; ++y)
            for (int x = 2; x < win.frames[2].width() - 2; ++x) {
                const int g = gradientSquared(win.frames[2], x, y);
                onBound += g == 400;
                justBelow += g >= 386 && g < 400;
            }
        QVERIFY2(onBound > 10 && justBelow > 10, qPrintable(QStringLiteral("%1 on, %2 below").arg(onBound).arg(justBelow)));
    }

    compareStandard(win);
    for (const QImage &f : win.frames) {
        const QImage expected = nocta::reference::smoothFrame(f);
        QCOMPARE(firstDifference(expected, nocta::smoothFrame(f)), QString());
    }
}

// Frames from a small palette with several colours per gray level, so
// that darkest and brightest are decided by the scan order all the time.
void TestFastKernels::prefilterTies_data()
{
    QTest::addColumn<int>("radius");
    QTest::addColumn<QSize>("size");
    for (int radius : {1, 2, 0})
        for (const QSize &s : {QSize(67, 43), QSize(1, 9), QSize(9, 1), QSize(2, 2)})
            QTest::addRow("radius %d, %s", radius, qPrintable(sizeName(s.width(), s.height()))) << radius << s;
}

void TestFastKernels::prefilterTies()
{
    QFETCH(int, radius);
    QFETCH(QSize, size);
    const QRgb palette[] = {
        qRgb(32, 0, 0), qRgb(0, 22, 0),          // gray 11
        qRgb(250, 100, 100), qRgb(100, 203, 100),  // gray 151
        qRgb(2, 0, 0), qRgb(0, 1, 0), qRgb(0, 0, 0), // gray 0
        qRgb(255, 255, 255), qRgb(254, 255, 255),  // 255 and 254
    };
    const QImage frame = buildFrame(size.width(), size.height(), 81, QImage::Format_ARGB32,
                                    [&](QRandomGenerator &r, int, int) { return palette[r.bounded(9)]; });
    comparePrefilter(radius, frame);
}

void TestFastKernels::fuzzyThresholds_data()
{
    QTest::addColumn<QSize>("size");
    for (const QSize &s : {QSize(173, 89), QSize(1, 1), QSize(7, 1), QSize(1, 7), QSize(33, 2)})
        QTest::addRow("%s", qPrintable(sizeName(s.width(), s.height()))) << s;
}

void TestFastKernels::fuzzyThresholds()
{
    QFETCH(QSize, size);
    FramePlanes sets[5];
    makeThresholdSets(size.width(), size.height(), 91 + size.width(), sets);
    compareFuzzy(sets, size.width(), size.height());

    // The same frames through the pre-filter too: planes from frames whose
    // neighbours sit on the tolerance steps.
    const Window win = makeWindow(Kind::ToleranceBand, size.width(), size.height(), 93, QImage::Format_RGB32);
    FramePlanes natural[5];
    for (int k = 0; k < 5; ++k) {
        natural[k] = FramePlanes(size.width(), size.height());
        FramePlanes fast(size.width(), size.height());
        nocta::reference::prefilterFrame(1, win.frames[k], natural[k]);
        nocta::prefilterFrame(1, win.frames[k], fast);
        QCOMPARE(planesDifference(natural[k], fast), QString());
    }
    compareFuzzy(natural, size.width(), size.height());
}

// A real-looking noisy clip, decoded by ffmpeg, through both whole chains
// as the processing run drives them.
void TestFastKernels::nightClip()
{
    if (nocta::test::findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString movie = dir.filePath(QStringLiteral("clip.mp4"));
    QVERIFY(nocta::test::makeNightClip(movie, 9, 322, 182));
    const QString screens = dir.filePath(QStringLiteral("screens"));
    QVERIFY(nocta::test::decodeWithFfmpeg(movie, screens));

    const QStringList names = QDir(screens).entryList({QStringLiteral("*.bmp")}, QDir::Files, QDir::Name);
    QVERIFY2(names.size() >= 5, qPrintable(QString::number(names.size())));
    std::vector<QImage> frames;
    for (const QString &name : names) {
        QImage frame(QDir(screens).filePath(name));
        QVERIFY(!frame.isNull());
        frames.push_back(frame);
    }
    const int w = frames.front().width();
    const int h = frames.front().height();

    // Standard: smooth every frame, then every window of five.
    std::vector<QImage> smoothedFast;
    std::vector<QImage> smoothedPlain;
    for (const QImage &frame : frames) {
        smoothedFast.push_back(nocta::smoothFrame(frame));
        smoothedPlain.push_back(nocta::reference::smoothFrame(frame));
        QCOMPARE(firstDifference(smoothedPlain.back(), smoothedFast.back()), QString());
    }
    for (std::size_t i = 0; i + 5 <= frames.size(); ++i) {
        const QImage expected = nocta::reference::denoiseStandard(smoothedPlain[i], smoothedPlain[i + 1], smoothedPlain[i + 2],
                                                                  smoothedPlain[i + 3], smoothedPlain[i + 4]);
        const QImage actual = nocta::denoiseStandard(smoothedFast[i], smoothedFast[i + 1], smoothedFast[i + 2],
                                                     smoothedFast[i + 3], smoothedFast[i + 4]);
        QCOMPARE(firstDifference(expected, actual), QString());
    }

    // Fuzzy: pre-filter every frame, then every window of five.
    std::vector<FramePlanes> fast;
    std::vector<FramePlanes> plain;
    for (const QImage &frame : frames) {
        fast.emplace_back(w, h);
        plain.emplace_back(w, h);
        nocta::prefilterFrame(1, frame, fast.back());
        nocta::reference::prefilterFrame(1, frame, plain.back());
        QCOMPARE(planesDifference(plain.back(), fast.back()), QString());
    }
    for (std::size_t i = 0; i + 5 <= frames.size(); ++i) {
        const QImage expected = nocta::reference::denoiseFuzzy(plain[i], plain[i + 1], plain[i + 2],
                                                               plain[i + 3], plain[i + 4], w, h);
        const QImage actual = nocta::denoiseFuzzy(fast[i], fast[i + 1], fast[i + 2], fast[i + 3], fast[i + 4], w, h);
        QCOMPARE(firstDifference(expected, actual), QString());
    }
}

// Splitting the rows among threads must not change a single byte, including
// images with fewer rows than threads.
void TestFastKernels::threads_data()
{
    QTest::addColumn<QSize>("size");
    for (const QSize &s : {QSize(1920, 1080), QSize(641, 359), QSize(7, 1), QSize(1, 7), QSize(3, 5), QSize(6, 6)})
        QTest::addRow("%s", qPrintable(sizeName(s.width(), s.height()))) << s;
}

void TestFastKernels::threads()
{
    QFETCH(QSize, size);
    const int w = size.width();
    const int h = size.height();
    const Window win = makeWindow(Kind::BandOnGradient, w, h, 101, QImage::Format_RGB32);

    struct Results {
        QImage smoothed;
        QImage standard;
        std::vector<FramePlanes> planes;
        QImage fuzzy;
    };
    auto runAll = [&](int threads) {
        nocta::setFilterThreads(threads);
        Results r;
        r.smoothed = nocta::smoothFrame(win.frames[2]);
        r.standard = nocta::denoiseStandard(win.frames[0], win.frames[1], win.frames[2], win.frames[3], win.frames[4]);
        for (const QImage &f : win.frames) {
            r.planes.emplace_back(w, h);
            nocta::prefilterFrame(1, f, r.planes.back());
        }
        r.fuzzy = nocta::denoiseFuzzy(r.planes[0], r.planes[1], r.planes[2], r.planes[3], r.planes[4], w, h);
        return r;
    };
    const Results one = runAll(1);
    const Results four = runAll(4);
    QCOMPARE(firstDifference(one.smoothed, four.smoothed), QString());
    QCOMPARE(firstDifference(one.standard, four.standard), QString());
    for (int k = 0; k < 5; ++k)
        QCOMPARE(planesDifference(one.planes[k], four.planes[k]), QString());
    QCOMPARE(firstDifference(one.fuzzy, four.fuzzy), QString());
}

// Frames or plane sets of unequal sizes break the chains' precondition: a
// checked build ends the program (in a child process here), any other
// build refuses the call.
void TestFastKernels::unequalSizes_data()
{
    QTest::addColumn<int>("call");
    const char *const names[] = {"denoiseStandard", "reference denoiseStandard", "prefilterFrame",
                                 "reference prefilterFrame", "denoiseFuzzy", "denoiseFuzzy, compact sets",
                                 "reference denoiseFuzzy"};
    for (int call = 0; call < 7; ++call)
        QTest::newRow(names[call]) << call;
}

void TestFastKernels::unequalSizes()
{
    QFETCH(int, call);
    const QImage big = randomFrame(23, 17, 70);
    const QImage small = randomFrame(14, 11, 71);
    auto refused = [&]() -> bool {
        switch (call) {
        case 0: return nocta::denoiseStandard(big, big, small, big, big).isNull();
        case 1: return nocta::reference::denoiseStandard(big, big, small, big, big).isNull();
        case 2:
        case 3: {
            FramePlanes planes(23, 11);
            call == 2 ? nocta::prefilterFrame(0, big, planes) : nocta::reference::prefilterFrame(0, big, planes);
            return planesDifference(FramePlanes(23, 11), planes).isEmpty();
        }
        case 4:
        case 6: {
            const FramePlanes a(23, 17), b(23, 16);
            return call == 4 ? nocta::denoiseFuzzy(a, a, a, b, a, 23, 17).isNull()
                             : nocta::reference::denoiseFuzzy(a, a, a, b, a, 23, 17).isNull();
        }
        default: {
            const nocta::CompactFramePlanes a(23, 17), b(22, 17);
            return nocta::denoiseFuzzy(a, b, a, a, a, 23, 17).isNull();
        }
        }
    };
#ifdef NOCTA_CHECKS_PRECONDITIONS
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        refused();
        _exit(0);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT, "the call went through");
#else
    QVERIFY(refused());
#endif
}

QTEST_GUILESS_MAIN(TestFastKernels)
#include "tst_fastkernels.moc"
