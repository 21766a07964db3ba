// The quality mode through nocta-cli: every frame kept at its own time with
// the sound in step, parts that join into the whole run frame for frame,
// the same frames by both routes, its settings refused for other modes,
// and the preview picture; and the chain's restarts, which make parts
// exact, against a whole run in memory.

#include "pipeline/run/processingrun.h"
#include "pipeline/run/qualitychain.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <map>

using namespace nocta;
using namespace nocta::test;

namespace {

constexpr int Frames = 44;

QStringList bmpNames(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.bmp")}, QDir::Files, QDir::Name);
}

// The presentation times of a movie's video frames, as ffprobe gives them.
QStringList frameTimes(const QString &movie)
{
    QString out;
    if (!runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "frame=pts_time",
                                "-of", "csv=p=0", movie}, &out))
        return {};
    return out.split('\n', Qt::SkipEmptyParts);
}

// The frames of two directories, pixel for pixel; empty when the same.
QString compareFrames(const QString &expectedDir, const QStringList &expected, const QString &actualDir,
                      const QStringList &actual)
{
    if (expected.size() != actual.size())
        return QStringLiteral("%1 frames against %2").arg(expected.size()).arg(actual.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QString difference = firstDifference(QImage(QDir(expectedDir).filePath(expected.at(i))),
                                                   QImage(QDir(actualDir).filePath(actual.at(i))));
        if (!difference.isEmpty())
            return QStringLiteral("frame %1: %2").arg(i).arg(difference);
    }
    return QString();
}

constexpr int ChainFrames = QualityChain::ChunkFrames + 20;
const QSize ChainFrameSize(32, 24);

QImage chainFrame(int index)
{
    return noisyNightFrame(ChainFrameSize.width(), ChainFrameSize.height(), index, 7);
}

// Movie frames [first, end) named by their number.
class CountingSource : public FrameSource
{
public:
    CountingSource(int first, int end) : m_next(first), m_end(end) {}
    bool next(SourceFrame *frame) override
    {
        if (m_next >= m_end)
            return false;
        *frame = SourceFrame{chainFrame(m_next), QString::number(m_next), QString()};
        ++m_next;
        return true;
    }
    int expectedFrames() const override { return -1; }
    Error failure() const override { return Error(); }
    Error noFrames() const override { return Error(); }

private:
    int m_next;
    int m_end;
};

class KeepingTarget : public FrameTarget
{
public:
    bool put(const QImage &output, const SourceFrame &frame) override
    {
        names << frame.name;
        images << output;
        return true;
    }
    bool finish() override { return true; }
    Error failure() const override { return Error(); }
    int written() const override { return int(images.size()); }

    QStringList names;
    QVector<QImage> images;
};

} // namespace

class TestQualityMode : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void chainStartedInsideGivesTheWholeRun_data();
    void chainStartedInsideGivesTheWholeRun();
    void runKeepsItsRangeUnderItsFramesNames_data();
    void runKeepsItsRangeUnderItsFramesNames();
    void everyFrameKeptInStep_data();
    void everyFrameKeptInStep();
    void partsJoinIntoTheWholeRun_data();
    void partsJoinIntoTheWholeRun();
    void viaFramesGivesTheStreamedFrames();
    void previewShowsEveryMode();

private:
    CliRun cli(const QStringList &arguments, const QString &workingDir = QString());
    QString wholeRun();

    QString m_cli;
    QTemporaryDir m_dir;
    QString m_movie;
    QString m_whole;
    std::map<int, QImage> m_chainWhole;
};

void TestQualityMode::initTestCase()
{
    const QByteArray binaryDir = qgetenv("NOCTA_BINARY_DIR");
    m_cli = QDir(binaryDir.isEmpty() ? QCoreApplication::applicationDirPath() : QString::fromLocal8Bit(binaryDir))
                .filePath("nocta-cli");
    QVERIFY2(QFileInfo(m_cli).isExecutable(), qPrintable(m_cli + " was not built"));
    QVERIFY(m_dir.isValid());
}

// nocta-cli with no display in reach, as a user's terminal over ssh.
CliRun TestQualityMode::cli(const QStringList &arguments, const QString &workingDir)
{
    return runCli(arguments, workingDir.isEmpty() ? m_dir.path() : workingDir);
}

// The flash movie (lossless, a keyframe every 7 frames, PCM sound) and its
// whole quality run, lossless, made once.
QString TestQualityMode::wholeRun()
{
    if (!m_whole.isEmpty())
        return m_whole;
    if (findFfmpeg().isEmpty())
        return QString();
    m_movie = m_dir.filePath("flash.mkv");
    if (!makeFlashMovie(m_movie, "pcm_s16le", Frames))
        return QString();
    const QString whole = m_dir.filePath("whole.mkv");
    const CliRun run = cli({"all", m_movie, "--mode", "quality", "--codec", "ffv1", "-o", whole, "-q"});
    if (run.exitCode != 0)
        qWarning("%s", qPrintable(run.err));
    m_whole = run.exitCode == 0 ? whole : QString();
    return m_whole;
}

void TestQualityMode::chainStartedInsideGivesTheWholeRun_data()
{
    QTest::addColumn<int>("first");
    const int chunk = QualityChain::ChunkFrames;
    for (const int first : {0, 5, chunk - 1, chunk, chunk + 3})
        QTest::newRow(qPrintable(QStringLiteral("from %1").arg(first))) << first;
}

// A chain that starts where firstInput() says gives, for the frames it
// keeps, the frames of a chain over the whole movie: across a restart too.
void TestQualityMode::chainStartedInsideGivesTheWholeRun()
{
    QFETCH(int, first);
    const QualityOptions options;
    if (m_chainWhole.empty()) {
        QualityChain chain(ChainFrameSize, options, 0);
        std::vector<QualityChain::Output> ready;
        for (int i = 0; i < ChainFrames; ++i)
            chain.add(chainFrame(i), &ready);
        chain.finish(&ready);
        for (int i = 0; i < int(ready.size()); ++i) {
            QCOMPARE(ready[std::size_t(i)].first, i);
            m_chainWhole[i] = ready[std::size_t(i)].second;
        }
        QCOMPARE(int(m_chainWhole.size()), ChainFrames);
    }
    const int kept = 6;
    const int from = QualityChain::firstInput(first, options.radius);
    QVERIFY(from <= first);
    QualityChain chain(ChainFrameSize, options, from);
    std::vector<QualityChain::Output> ready;
    for (int i = from; i < first + kept + options.radius; ++i)
        chain.add(chainFrame(i), &ready);
    int compared = 0;
    for (const QualityChain::Output &out : ready) {
        if (out.first < first || out.first >= first + kept)
            continue;
        const QString difference = firstDifference(m_chainWhole.at(out.first), out.second);
        QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("frame %1: %2").arg(out.first).arg(difference)));
        ++compared;
    }
    QCOMPARE(compared, kept);
}

void TestQualityMode::runKeepsItsRangeUnderItsFramesNames_data()
{
    QTest::addColumn<int>("keepFirst");
    QTest::addColumn<int>("keepEnd");   // -1: to the end
    const int chunk = QualityChain::ChunkFrames;
    QTest::newRow("the start") << 0 << 4;
    QTest::newRow("across a restart") << chunk - 2 << chunk + 3;
    QTest::newRow("to the end") << ChainFrames - 5 << -1;
}

// A run given the frames of a part keeps exactly its range, each frame
// under the name of its own source frame, as the whole chain made it.
void TestQualityMode::runKeepsItsRangeUnderItsFramesNames()
{
    QFETCH(int, keepFirst);
    QFETCH(int, keepEnd);
    QVERIFY2(!m_chainWhole.empty(), "runs after chainStartedInsideGivesTheWholeRun");
    const QualityOptions options;
    const RunSpan span{QualityChain::firstInput(keepFirst, options.radius), keepFirst, keepEnd};
    CountingSource source(span.firstInput, keepEnd < 0 ? ChainFrames : keepEnd + options.radius);
    KeepingTarget target;
    RecordingSink sink;
    ProcessingRun run(DenoiseMode::Quality, sink, options, span);
    QVERIFY(run.exec([&] { run.slide(source, target); }).ok());
    QStringList expected;
    for (int i = keepFirst; i < (keepEnd < 0 ? ChainFrames : keepEnd); ++i)
        expected << QString::number(i);
    QCOMPARE(target.names, expected);
    for (int i = 0; i < target.images.size(); ++i)
        QVERIFY2(firstDifference(m_chainWhole.at(keepFirst + i), target.images.at(i)).isEmpty(), qPrintable(expected.at(i)));
}

void TestQualityMode::everyFrameKeptInStep_data()
{
    QTest::addColumn<QStringList>("settings");
    QTest::newRow("default") << QStringList();
    QTest::newRow("radius 1, strength 2") << QStringList{"--radius", "1", "--strength", "2"};
}

// n frames in, n out at the source's times; the flash stays on its frame
// and the beep on the flash.
void TestQualityMode::everyFrameKeptInStep()
{
    QFETCH(QStringList, settings);
    if (wholeRun().isEmpty())
        QSKIP("ffmpeg is not installed, or the whole run failed");
    QString output = m_whole;
    if (!settings.isEmpty()) {
        output = m_dir.filePath("settings.mkv");
        const CliRun run = cli(QStringList{"all", m_movie, "--mode", "quality", "--codec", "ffv1", "-o", output, "-y"}
                               + settings);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    }
    QCOMPARE(countMovieFrames(output), Frames);
    const QStringList times = frameTimes(output);
    QCOMPARE(times.size(), Frames);
    QCOMPARE(times, frameTimes(m_movie));

    QTemporaryDir work;
    QVERIFY(decodeWithFfmpeg(m_movie, work.filePath("source")));
    QVERIFY(decodeWithFfmpeg(output, work.filePath("out")));
    const int flash = brightestFrame(work.filePath("out"));
    QCOMPARE(flash, brightestFrame(work.filePath("source")));
    const double beep = firstBeep(output, work.path());
    QVERIFY2(std::abs(beep - double(flash) / FlashRate) < 1.0 / FlashRate,
             qPrintable(QStringLiteral("beep at %1 s, flash at %2 s").arg(beep).arg(double(flash) / FlashRate)));
}

void TestQualityMode::partsJoinIntoTheWholeRun_data()
{
    QTest::addColumn<int>("parts");
    QTest::addColumn<QString>("lastPartStrength");   // empty: as the others
    QTest::addColumn<QString>("refusal");            // empty: joined
    QTest::newRow("2 parts") << 2 << QString() << QString();
    QTest::newRow("3 parts") << 3 << QString() << QString();
    QTest::newRow("another strength") << 2 << "2" << "different settings (strength 1 against 2)";
}

// The parts, made through nocta-cli and joined by it, are the whole run
// frame for frame; join refuses parts of other settings.
void TestQualityMode::partsJoinIntoTheWholeRun()
{
    QFETCH(int, parts);
    QFETCH(QString, lastPartStrength);
    QFETCH(QString, refusal);
    if (wholeRun().isEmpty())
        QSKIP("ffmpeg is not installed, or the whole run failed");
    QTemporaryDir work;
    QStringList files;
    for (int k = 1; k <= parts; ++k) {
        files << work.filePath(QStringLiteral("part%1.mkv").arg(k));
        QStringList arguments{"all", m_movie, "--mode", "quality", "--codec", "ffv1", "--part",
                              QStringLiteral("%1/%2").arg(k).arg(parts), "-o", files.last(), "-q"};
        if (k == parts && !lastPartStrength.isEmpty())
            arguments << "--strength" << lastPartStrength;
        const CliRun run = cli(arguments);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    }
    const QString joined = work.filePath("joined.mkv");
    const CliRun join = cli(QStringList{"join"} + files + QStringList{"-o", joined, "-q"});
    if (!refusal.isEmpty()) {
        QCOMPARE(join.exitCode, 2);
        QVERIFY2(join.err.contains(refusal), qPrintable(join.err));
        QVERIFY(!QFileInfo::exists(joined));
        return;
    }
    QVERIFY2(join.exitCode == 0, qPrintable(join.err));
    QCOMPARE(frameTimes(joined), frameTimes(m_movie));
    QVERIFY(decodeWithFfmpeg(m_whole, work.filePath("whole")));
    QVERIFY(decodeWithFfmpeg(joined, work.filePath("joined")));
    const QString difference = compareFrames(work.filePath("whole"), bmpNames(work.filePath("whole")),
                                             work.filePath("joined"), bmpNames(work.filePath("joined")));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
    QCOMPARE(bmpNames(work.filePath("joined")).size(), Frames);
    // join takes the sound from the movie with no shift.
    const double flash = double(brightestFrame(work.filePath("joined"))) / FlashRate;
    const double beep = firstBeep(joined, work.path());
    QVERIFY2(std::abs(beep - flash) < 1.0 / FlashRate, qPrintable(QStringLiteral("beep at %1 s, flash at %2 s").arg(beep).arg(flash)));
}

// decode, then process --mode quality: processed/ holds one frame per
// source frame under its name, the streamed run's frames.
void TestQualityMode::viaFramesGivesTheStreamedFrames()
{
    if (wholeRun().isEmpty())
        QSKIP("ffmpeg is not installed, or the whole run failed");
    QTemporaryDir work;
    CliRun run = cli({"decode", m_movie, "-q"}, work.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    run = cli({"process", "--mode", "quality", "-q"}, work.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QStringList screens = bmpNames(work.filePath("screens"));
    QCOMPARE(screens.size(), Frames);
    QStringList processed = QDir(work.filePath("processed")).entryList({"*.png"}, QDir::Files, QDir::Name);
    QStringList expectedNames;
    for (const QString &name : screens)
        expectedNames << QFileInfo(name).completeBaseName() + ".png";
    QCOMPARE(processed, expectedNames);
    QVERIFY(decodeWithFfmpeg(m_whole, work.filePath("streamed")));
    const QString difference = compareFrames(work.filePath("streamed"), bmpNames(work.filePath("streamed")),
                                             work.filePath("processed"), processed);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

// One PNG: four panels across (source, Standard, Fuzzy, quality), the
// crops under them, labels drawn in white on dark boxes; never replaced
// without -y.
void TestQualityMode::previewShowsEveryMode()
{
    if (wholeRun().isEmpty())
        QSKIP("ffmpeg is not installed, or the whole run failed");
    QTemporaryDir work;
    CliRun run = cli({"preview", m_movie, "--at", "0.5"}, work.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const QString picturePath = work.filePath("flash.preview.png");
    const QImage picture(picturePath);
    QCOMPARE(picture.size(), QSize(4 * 64, 2 * 48));
    // A label: white text on its dark box in each panel's corner.
    for (int panel = 0; panel < 4; ++panel) {
        int white = 0;
        for (int y = 4; y < 20; ++y)
            for (int x = 64 * panel + 4; x < 64 * panel + 60; ++x)
                white += qGray(picture.pixel(x, y)) > 200 ? 1 : 0;
        QVERIFY2(white > 10, qPrintable(QStringLiteral("panel %1 has no label").arg(panel)));
    }
    run = cli({"preview", m_movie}, work.path());
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("already exists; add -y to replace it"), qPrintable(run.err));
    QCOMPARE(QImage(picturePath), picture);
}

QTEST_GUILESS_MAIN(TestQualityMode)
#include "tst_qualitymode.moc"
