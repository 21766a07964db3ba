#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/frameplanes.h"
#include "filters/fuzzy/prefilterframe.h"
#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "pipeline/frames/frameio.h"
#include "pipeline/run/processingrun.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

using namespace nocta;
using nocta::test::RecordingSink;

Q_DECLARE_METATYPE(nocta::DenoiseMode)

namespace {

QString screens(const QTemporaryDir &dir) { return dir.filePath(QStringLiteral("screens")); }
QString processed(const QTemporaryDir &dir) { return dir.filePath(QStringLiteral("processed")); }

QStringList outputs(const QTemporaryDir &dir)
{
    return QDir(processed(dir)).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

QStringList numbered(int first, int last, const char *suffix = ".png")
{
    QStringList names;
    for (int i = first; i <= last; ++i)
        names << QStringLiteral("%1%2").arg(i, 3, 10, QLatin1Char('0')).arg(QLatin1String(suffix));
    return names;
}

// A uniform frame whose colour tells its place in the movie. Neighbouring
// frames differ by at least 40 in every channel, so both chains reject
// every neighbour and a window's output is the colour of its middle frame.
QRgb movieColour(int index)
{
    const int v = 40 * (index % 6);
    return qRgb(v, v, v);
}

void writeUniformFrames(const QString &dir, int count, int size = 4)
{
    QDir().mkpath(dir);
    for (int i = 0; i < count; ++i) {
        QImage frame(size, size, QImage::Format_RGB32);
        frame.fill(movieColour(i));
        QVERIFY(frame.save(QStringLiteral("%1/%2.bmp").arg(dir).arg(i + 1, 3, 10, QLatin1Char('0'))));
    }
}

QImage standardChain(const QVector<QImage> &frames)
{
    QVector<QImage> s;
    for (const QImage &f : frames)
        s << smoothFrame(f);
    return denoiseStandard(s[0], s[1], s[2], s[3], s[4]);
}

QImage fuzzyChain(const QVector<QImage> &frames)
{
    std::vector<FramePlanes> sets;
    for (const QImage &f : frames) {
        sets.emplace_back(f.width(), f.height());
        prefilterFrame(1, f, sets.back());
    }
    return denoiseFuzzy(sets[0], sets[1], sets[2], sets[3], sets[4], frames[0].width(), frames[0].height());
}

} // namespace

class TestProcessingRun : public QObject
{
    Q_OBJECT

private slots:
    void init() { QCOMPARE(FramePlanes::liveCount(), 0); }
    void cleanup() { QCOMPARE(FramePlanes::liveCount(), 0); }

    void fiveFramesGiveOneFile_data();
    void fiveFramesGiveOneFile();
    void hundredFramesProgress_data();
    void hundredFramesProgress();
    void longMovieKeepsOrder();
    void outputsAreTheChainOfEachWindow_data();
    void outputsAreTheChainOfEachWindow();
    void overlappedEqualsPlain_data();
    void overlappedEqualsPlain();
    void fewFramesWriteNothing_data();
    void fewFramesWriteNothing();
    void noFrames_data();
    void noFrames();
    void eachEntryLoadsFromItsOwnFile();
    void nonImageEntryIsSkipped_data();
    void nonImageEntryIsSkipped();
    void frameOfAnotherSizeStops_data();
    void frameOfAnotherSizeStops();
    void staleOutputsRemoved();
    void failedSaveIsReported();
    void stopRequestKeepsWrittenFrames();
    void badEntriesStopTheRun_data();
    void badEntriesStopTheRun();
    void previewShowsOldestFrame_data();
    void previewShowsOldestFrame();
};

static void addModes()
{
    QTest::addColumn<DenoiseMode>("mode");
    QTest::newRow("standard") << DenoiseMode::Standard;
    QTest::newRow("fuzzy") << DenoiseMode::Fuzzy;
}

void TestProcessingRun::fiveFramesGiveOneFile_data() { addModes(); }

void TestProcessingRun::fiveFramesGiveOneFile()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 5, 24, 16));
    RecordingSink sink;
    const RunResult result = processMovie(dir.path(), mode, sink);

    QCOMPARE(result.status, RunResult::Done);
    QCOMPARE(result.framesWritten, 1);
    QCOMPARE(outputs(dir), QStringList{"001.png"});
    QCOMPARE(sink.progress, QVector<int>{80});
    QCOMPARE(sink.visibility, QVector<bool>({true, false}));
    QCOMPARE(sink.lines, QStringList{" - Processing done"});
    QCOMPARE(sink.timings.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^time\\d+ms$")).match(sink.timings.first()).hasMatch(),
             qPrintable(sink.timings.first()));
}

void TestProcessingRun::hundredFramesProgress_data() { addModes(); }

void TestProcessingRun::hundredFramesProgress()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 100, 3, 2));
    RecordingSink sink;
    QVERIFY(processMovie(dir.path(), mode, sink).ok());

    QCOMPARE(outputs(dir), numbered(1, 96));
    // Index i of 100 sets i, except where the extended-precision quotient
    // lies just below the exact one.
    QVector<int> expected;
    for (int i = 4; i < 100; ++i)
        expected << (i == 53 ? 52 : i == 59 ? 58 : i);
    QCOMPARE(sink.progress, expected);
    QCOMPARE(sink.progress.at(29 - 4), 29);   // double precision would give 28
}

void TestProcessingRun::longMovieKeepsOrder()
{
    QTemporaryDir dir;
    writeUniformFrames(screens(dir), 1010, 3);
    RecordingSink sink;
    QVERIFY(processMovie(dir.path(), DenoiseMode::Standard, sink).ok());

    QStringList expected = numbered(1, 1006);
    QCOMPARE(outputs(dir).size(), expected.size());
    // The output named after frame n holds frame n + 2; in name order
    // 1000.bmp would have been windowed between 100.bmp and 101.bmp.
    for (int n : {1, 99, 100, 101, 997, 998, 999, 1000, 1001, 1006}) {
        const QImage out(QStringLiteral("%1/%2.png").arg(processed(dir)).arg(n, 3, 10, QLatin1Char('0')));
        QVERIFY2(!out.isNull(), qPrintable(QString::number(n)));
        QCOMPARE(out.pixel(1, 1), movieColour(n + 1));
    }
}

void TestProcessingRun::outputsAreTheChainOfEachWindow_data() { addModes(); }

void TestProcessingRun::outputsAreTheChainOfEachWindow()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 8, 37, 23));
    RecordingSink sink;
    QVERIFY(processMovie(dir.path(), mode, sink).ok());
    QCOMPARE(outputs(dir), numbered(1, 4));

    QVector<QImage> frames;
    for (int i = 1; i <= 8; ++i)
        frames << QImage(QStringLiteral("%1/%2.bmp").arg(screens(dir)).arg(i, 3, 10, QLatin1Char('0')));
    for (int j = 0; j < 4; ++j) {
        const QVector<QImage> window = frames.mid(j, 5);
        const QImage expected = mode == DenoiseMode::Standard ? standardChain(window) : fuzzyChain(window);
        const QImage written(QStringLiteral("%1/%2.png").arg(processed(dir)).arg(j + 1, 3, 10, QLatin1Char('0')));
        QVERIFY(!written.hasAlphaChannel());
        const QString difference = test::firstDifference(expected, written);
        QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("window %1: %2").arg(j).arg(difference)));
    }
}

void TestProcessingRun::overlappedEqualsPlain_data() { addModes(); }

void TestProcessingRun::overlappedEqualsPlain()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir plainDir, overlappedDir;
    QVERIFY(test::writeNightFrames(screens(plainDir), 14, 64, 48, 7));
    QVERIFY(test::writeNightFrames(screens(overlappedDir), 14, 64, 48, 7));
    QVERIFY(QFile::copy(QFINDTESTDATA("tst_processingrun.cpp"), screens(plainDir) + "/notes.txt"));
    QVERIFY(QFile::copy(QFINDTESTDATA("tst_processingrun.cpp"), screens(overlappedDir) + "/notes.txt"));

    RecordingSink plain, overlapped;
    plain.keepPreviews = overlapped.keepPreviews = true;
    RunOptions options;
    options.overlapped = false;
    QVERIFY(processMovie(plainDir.path(), mode, plain, options).ok());
    options.overlapped = true;
    QVERIFY(processMovie(overlappedDir.path(), mode, overlapped, options).ok());

    QCOMPARE(overlapped.progress, plain.progress);
    QCOMPARE(overlapped.lines, plain.lines);
    QCOMPARE(overlapped.visibility, plain.visibility);
    QCOMPARE(overlapped.previews.size(), plain.previews.size());
    for (int i = 0; i < plain.previews.size(); ++i)
        QCOMPARE(overlapped.previews[i], plain.previews[i]);
    QCOMPARE(outputs(overlappedDir), outputs(plainDir));
    for (const QString &name : outputs(plainDir)) {
        QFile a(processed(plainDir) + '/' + name), b(processed(overlappedDir) + '/' + name);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY2(a.readAll() == b.readAll(), qPrintable(name));
    }
}

void TestProcessingRun::fewFramesWriteNothing_data()
{
    QTest::addColumn<DenoiseMode>("mode");
    QTest::addColumn<int>("count");
    for (int count = 1; count <= 4; ++count) {
        QTest::addRow("standard, %d", count) << DenoiseMode::Standard << count;
        QTest::addRow("fuzzy, %d", count) << DenoiseMode::Fuzzy << count;
    }
}

void TestProcessingRun::fewFramesWriteNothing()
{
    QFETCH(DenoiseMode, mode);
    QFETCH(int, count);
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), count, 9, 7));
    RecordingSink sink;
    const RunResult result = processMovie(dir.path(), mode, sink);
    QCOMPARE(result.status, RunResult::Done);
    QVERIFY(outputs(dir).isEmpty());
    QVERIFY(QDir(processed(dir)).exists());
    QVERIFY(sink.progress.isEmpty());
    QCOMPARE(sink.lines, QStringList{" - Processing done"});
    QCOMPARE(sink.timings.size(), 1);
    QCOMPARE(sink.visibility, QVector<bool>({true, false}));
}

void TestProcessingRun::noFrames_data()
{
    QTest::addColumn<bool>("makeScreens");
    QTest::addColumn<bool>("onlyJunk");
    QTest::newRow("missing screens/") << false << false;
    QTest::newRow("empty screens/") << true << false;
    QTest::newRow("no entry is an image") << true << true;
}

void TestProcessingRun::noFrames()
{
    QFETCH(bool, makeScreens);
    QFETCH(bool, onlyJunk);
    QTemporaryDir dir;
    if (makeScreens)
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("screens")));
    if (onlyJunk) {
        QFile junk(screens(dir) + "/001.bmp");
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a bitmap");
    }
    RecordingSink sink;
    const RunResult result = processMovie(dir.path(), DenoiseMode::Fuzzy, sink);
    QCOMPARE(result.status, RunResult::NoFrames);
    QVERIFY(outputs(dir).isEmpty());
    QVERIFY(!QDir(screens(dir)).exists() || makeScreens);   // never created here
    QCOMPARE(sink.failures.size(), 1);
    QCOMPARE(sink.failures.last(), QStringLiteral(" - No frames to process in screens/"));
    QVERIFY(!sink.lines.contains(" - Processing done"));
    QVERIFY(sink.timings.isEmpty());
    QCOMPARE(sink.visibility.last(), false);
}

void TestProcessingRun::eachEntryLoadsFromItsOwnFile()
{
    // clip.part1.bmp must not be looked up as screens/clip, and 001.bmp
    // beside 001.png are two frames.
    QTemporaryDir dir;
    QDir().mkpath(screens(dir));
    QVector<QImage> frames;
    const QStringList names = {"001.bmp", "001.png", "clip.part1.bmp", "clip.part2.bmp", "clip.part3.bmp"};
    for (int i = 0; i < names.size(); ++i) {
        frames << test::noisyNightFrame(20, 14, i, 3);
        QVERIFY(frames.last().save(screens(dir) + '/' + names[i]));
    }
    RecordingSink sink;
    QVERIFY(processMovie(dir.path(), DenoiseMode::Standard, sink).ok());
    QCOMPARE(outputs(dir), QStringList{"001.png"});
    const QString difference = test::firstDifference(standardChain(frames), QImage(processed(dir) + "/001.png"));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    // Output names are the base names: the window starting at clip.part1
    // is saved as clip.png. (With 001.png still there, the windows of 001.bmp
    // and 001.png would both be saved as 001.png: that stops a run.)
    QVERIFY(QFile::remove(screens(dir) + "/001.png"));
    QVERIFY(test::noisyNightFrame(20, 14, 9, 3).save(screens(dir) + "/clip.part4.bmp"));
    QVERIFY(test::noisyNightFrame(20, 14, 10, 3).save(screens(dir) + "/clip.part5.bmp"));
    QVERIFY(processMovie(dir.path(), DenoiseMode::Standard, sink).ok());
    QCOMPARE(outputs(dir), QStringList({"001.png", "clip.png"}));
}

void TestProcessingRun::nonImageEntryIsSkipped_data() { addModes(); }

void TestProcessingRun::nonImageEntryIsSkipped()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 6, 16, 12));
    QFile notes(screens(dir) + "/003.txt");
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("recorded at night\n");
    notes.close();

    RecordingSink sink;
    QVERIFY(processMovie(dir.path(), mode, sink).ok());
    QCOMPARE(sink.lines, QStringList({" - Skipped 003.txt: not an image", " - Processing done"}));
    QCOMPARE(outputs(dir), QStringList({"001.png", "002.png"}));
    // The entry left out is no longer expected to give an output.
    QCOMPARE(sink.frameCounts, (QVector<QPair<int, int>>{{1, 2}, {2, 2}}));
}

void TestProcessingRun::frameOfAnotherSizeStops_data() { addModes(); }

void TestProcessingRun::frameOfAnotherSizeStops()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 7, 16, 12));
    QVERIFY(test::noisyNightFrame(12, 16, 0, 1).save(screens(dir) + "/006.bmp"));

    RecordingSink sink;
    const RunResult result = processMovie(dir.path(), mode, sink);
    QCOMPARE(result.status, RunResult::Failed);
    QCOMPARE(result.framesWritten, 1);
    QCOMPARE(outputs(dir), QStringList{"001.png"});
    QVERIFY(!QImage(processed(dir) + "/001.png").isNull());
    QCOMPARE(sink.failures.size(), 1);
    QVERIFY2(sink.failures.first().contains("006.bmp") && sink.failures.first().contains("12x16"),
             qPrintable(sink.failures.first()));
    QVERIFY(!sink.lines.contains(" - Processing done"));
    QCOMPARE(sink.visibility.last(), false);
}

void TestProcessingRun::staleOutputsRemoved()
{
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 6, 8, 8));
    QVERIFY(QDir().mkpath(processed(dir)));
    for (const char *name : {"050.png", "1000.png", "notes.txt", "cover.png"}) {
        QFile file(processed(dir) + '/' + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    RecordingSink sink;
    QVERIFY(processMovie(dir.path(), DenoiseMode::Standard, sink).ok());
    QCOMPARE(outputs(dir), QStringList({"001.png", "002.png", "cover.png", "notes.txt"}));
}

void TestProcessingRun::failedSaveIsReported()
{
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 8, 8, 8));
    // A directory where the second output belongs: it cannot be written.
    QVERIFY(QDir().mkpath(processed(dir) + "/002.png"));
    RecordingSink sink;
    const RunResult result = processMovie(dir.path(), DenoiseMode::Standard, sink);
    QCOMPARE(result.status, RunResult::Failed);
    // The line names the file and gives the system's reason.
    QCOMPARE(sink.failures, QStringList{QStringLiteral(" - Processing failed: cannot write %1/002.png (%2).")
                                            .arg(processed(dir), QString::fromLocal8Bit(std::strerror(EISDIR)))});
    QVERIFY(!sink.lines.contains(" - Processing done"));
    QCOMPARE(outputs(dir), QStringList{"001.png"});   // and no half-written file
}

void TestProcessingRun::stopRequestKeepsWrittenFrames()
{
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 12, 10, 10));
    RecordingSink sink;
    sink.stopAfterProgress = 3;
    const RunResult result = processMovie(dir.path(), DenoiseMode::Fuzzy, sink);
    QCOMPARE(result.status, RunResult::Stopped);
    QCOMPARE(outputs(dir), numbered(1, 3));
    for (const QString &name : outputs(dir))
        QVERIFY(!QImage(processed(dir) + '/' + name).isNull());
    QVERIFY(sink.timings.isEmpty());
}

void TestProcessingRun::badEntriesStopTheRun_data()
{
    QTest::addColumn<QStringList>("names");      // the frames, in order
    QTest::addColumn<QString>("damage");         // what is done to the third frame
    QTest::addColumn<QStringList>("written");    // outputs kept
    QTest::addColumn<QString>("message");        // part of the failure line

    QTest::newRow("two outputs of one name")
        << QStringList{"night.0001.bmp", "night.0002.bmp", "night.0003.bmp", "night.0004.bmp", "night.0005.bmp",
                       "night.0006.bmp"}
        << "" << QStringList{"night.png"}
        << "night.0001.bmp and night.0002.bmp would both be saved as processed/night.png";

    // The seventh frame of eight is bad: the two windows before it are written.
    const QStringList eight = numbered(1, 8, ".bmp");
    const QStringList two = numbered(1, 2);
    QTest::newRow("truncated") << eight << "truncate" << two << " - Processing failed: 007.bmp: truncated";
    QTest::newRow("header claims 65535x65535") << eight << "huge" << two << " - Processing failed: 007.bmp: ";
    QTest::newRow("another size") << eight << "resize" << two
                                  << " - Processing stopped: 007.bmp is 20x12, the frames before it are 16x12";
    QTest::newRow("read error") << eight << "unreadable" << two << " - Processing failed: 007.bmp: ";
}

// A frame that cannot be used as it is stops the run with a line naming it,
// before anything is overwritten; what was written before stays.
void TestProcessingRun::badEntriesStopTheRun()
{
    QFETCH(QStringList, names);
    QFETCH(QString, damage);
    QFETCH(QStringList, written);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(screens(dir)));
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(test::noisyNightFrame(16, 12, i, 5).save(screens(dir) + "/" + names.at(i), "BMP"));
    if (!damage.isEmpty())
        QVERIFY(test::damageFrame(screens(dir) + "/007.bmp", damage));
    for (DenoiseMode mode : {DenoiseMode::Fuzzy, DenoiseMode::Standard}) {
        RecordingSink sink;
        const RunResult result = processMovie(dir.path(), mode, sink);
        QCOMPARE(result.status, RunResult::Failed);
        QCOMPARE(sink.failures.size(), 1);
        QVERIFY2(sink.failures.first().contains(message), qPrintable(sink.failures.first()));
        QVERIFY(!sink.lines.contains(" - Processing done"));
        QCOMPARE(outputs(dir), written);
    }
}

void TestProcessingRun::previewShowsOldestFrame_data() { addModes(); }

void TestProcessingRun::previewShowsOldestFrame()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir dir;
    QVERIFY(test::writeNightFrames(screens(dir), 7, 440, 100));
    RecordingSink sink;
    sink.keepPreviews = true;
    QVERIFY(processMovie(dir.path(), mode, sink).ok());

    // One preview before the first window, then one per window: the oldest
    // frame, smoothed in Standard mode and as loaded in Fuzzy mode.
    QCOMPARE(sink.previews.size(), 4);
    const int oldest[] = {0, 0, 1, 2};
    for (int k = 0; k < 4; ++k) {
        QImage frame(QStringLiteral("%1/%2.bmp").arg(screens(dir)).arg(oldest[k] + 1, 3, 10, QLatin1Char('0')));
        if (mode == DenoiseMode::Standard)
            frame = smoothFrame(frame);
        const QImage expected = frame.scaledToWidth(220, Qt::FastTransformation);
        QCOMPARE(sink.previews[k].size(), QSize(220, 50));
        QVERIFY2(test::firstDifference(expected, sink.previews[k]).isEmpty(), qPrintable(QString::number(k)));
    }
}

QTEST_GUILESS_MAIN(TestProcessingRun)
#include "tst_processingrun.moc"
