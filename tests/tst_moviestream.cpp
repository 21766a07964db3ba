// The streamed route: a movie through ffmpeg's pipes and the processing run
// into a movie, with no frame on disk. Its frames must be those of the route
// through screens/ and processed/, bit for bit, and its sound must stay with
// its picture.

#include "pipeline/movie/moviestages.h"
#include "pipeline/movie/moviestream.h"
#include "pipeline/run/processingrun.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using namespace nocta;
using namespace nocta::test;

Q_DECLARE_METATYPE(nocta::DenoiseMode)

namespace {

constexpr int Rate = FlashRate;
constexpr int MovieFrames = 44;

bool ffmpeg(const QStringList &arguments, QString *output = nullptr)
{
    return runProgram(QStringLiteral("ffmpeg"), QStringList{"-y", "-loglevel", "error"} + arguments, output);
}

QStringList streamCodecs(const QString &movie)
{
    QString output;
    runProgram(QStringLiteral("ffprobe"), {"-v", "error", "-show_entries", "stream=codec_type,codec_name",
                                           "-of", "csv=p=0", movie}, &output);
    return output.split('\n', Qt::SkipEmptyParts);
}

StreamJob job(const QString &movie, const QString &output, DenoiseMode mode, EncodeSettings::Codec codec)
{
    StreamJob j;
    j.movie = movie;
    j.output = output;
    j.mode = mode;
    j.encode.codec = codec;
    return j;
}

} // namespace

class TestMovieStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameFramesAsTheFileRoute_data();
    void sameFramesAsTheFileRoute();
    void soundStaysWithPicture_data();
    void soundStaysWithPicture();
    void failuresLeaveNoFile_data();
    void failuresLeaveNoFile();

private:
    QTemporaryDir m_dir;
    QString m_movie;   // flashes and beeps, PCM sound
};

void TestMovieStream::initTestCase()
{
    if (findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not installed");
    m_movie = m_dir.filePath("flash.mkv");
    QVERIFY(makeFlashMovie(m_movie, "pcm_s16le"));
}

void TestMovieStream::sameFramesAsTheFileRoute_data()
{
    QTest::addColumn<DenoiseMode>("mode");
    QTest::newRow("fuzzy") << DenoiseMode::Fuzzy;
    QTest::newRow("standard") << DenoiseMode::Standard;
}

// Lossless output read back: every denoised frame equals the PNG that the
// route through files writes for the same window.
void TestMovieStream::sameFramesAsTheFileRoute()
{
    QFETCH(DenoiseMode, mode);
    QTemporaryDir work;
    RecordingSink fileSink, streamSink;
    QVERIFY(decodeMovie(m_movie, work.path(), fileSink));
    QVERIFY(processMovie(work.path(), mode, fileSink).ok());

    const QString output = work.filePath("stream.mkv");
    QVERIFY2(denoiseMovie(job(m_movie, output, mode, EncodeSettings::Codec::Ffv1), streamSink),
             qPrintable(streamSink.lines.join('\n')));
    QCOMPARE(streamSink.lines.last(), QStringLiteral(" - Movie created."));
    QVERIFY(decodeWithFfmpeg(output, work.filePath("back")));

    const QStringList expected = QDir(work.filePath("processed")).entryList({"*.png"}, QDir::Files, QDir::Name);
    const QStringList actual = QDir(work.filePath("back")).entryList({"*.bmp"}, QDir::Files, QDir::Name);
    QCOMPARE(expected.size(), MovieFrames - 4);
    QCOMPARE(actual.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QString difference = firstDifference(QImage(work.filePath("processed/" + expected.at(i))),
                                                   QImage(work.filePath("back/" + actual.at(i))));
        QVERIFY2(difference.isEmpty(), qPrintable(expected.at(i) + ": " + difference));
    }
    // Progress counted output frames against the frames the movie holds.
    QCOMPARE(streamSink.frameCounts.last(), qMakePair(MovieFrames - 4, MovieFrames - 4));
}

void TestMovieStream::soundStaysWithPicture_data()
{
    QTest::addColumn<QString>("sourceAudio");   // empty: a silent movie
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("keepAudio");
    QTest::addColumn<QString>("expectedAudio"); // codec in the output, empty: none

    QTest::newRow("PCM copied into Matroska") << "pcm_s16le" << "out.mkv" << true << "pcm_s16le";
    QTest::newRow("PCM re-encoded for MP4") << "pcm_s16le" << "out.mp4" << true << "aac";
    QTest::newRow("AAC copied into MP4") << "aac" << "out.mp4" << true << "aac";
    QTest::newRow("--no-audio") << "pcm_s16le" << "out.mkv" << false << "";
    QTest::newRow("silent movie") << "" << "out.mp4" << true << "";
}

// The output keeps the movie's rate and n - 4 frames; where it has sound,
// the beeps fall on the frames that flash, within one frame.
void TestMovieStream::soundStaysWithPicture()
{
    QFETCH(QString, sourceAudio);
    QFETCH(QString, output);
    QFETCH(bool, keepAudio);
    QFETCH(QString, expectedAudio);

    QTemporaryDir work;
    const QString movie = work.filePath("source.mkv");
    QVERIFY(makeFlashMovie(movie, sourceAudio));
    StreamJob j = job(movie, work.filePath(output), DenoiseMode::Fuzzy,
                      output.endsWith(".mkv") ? EncodeSettings::Codec::Ffv1 : EncodeSettings::Codec::H264);
    j.encode.audio = keepAudio;
    RecordingSink sink;
    QVERIFY2(denoiseMovie(j, sink), qPrintable(sink.lines.join('\n')));

    // ffmpeg repeats the first frame where the picture starts after the
    // sound (AAC's priming): the output has four frames fewer than a decode.
    QVERIFY(decodeWithFfmpeg(movie, work.filePath("source")));
    const int decoded = int(QDir(work.filePath("source")).entryList({"*.bmp"}, QDir::Files).size());
    QVERIFY(decoded >= MovieFrames);
    const QString result = work.filePath(output);
    QCOMPARE(countMovieFrames(result), decoded - 4);
    QString rate;
    QVERIFY(runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=r_frame_rate",
                                   "-of", "csv=p=0", result}, &rate));
    QCOMPARE(rate.trimmed(), QStringLiteral("%1/1").arg(Rate));

    const QStringList codecs = streamCodecs(result);
    QCOMPARE(codecs.size(), expectedAudio.isEmpty() ? 1 : 2);
    if (expectedAudio.isEmpty())
        return;
    QCOMPARE(codecs.at(1), QStringLiteral("%1,audio").arg(expectedAudio));

    // Output frame k is movie frame k + 2 denoised.
    QVERIFY(decodeWithFfmpeg(result, work.filePath("frames")));
    const int flash = brightestFrame(work.filePath("frames"));
    QCOMPARE(flash, brightestFrame(work.filePath("source")) - 2);
    const double beep = firstBeep(result, work.path());
    QVERIFY2(std::abs(beep - double(flash) / Rate) < 1.0 / Rate,
             qPrintable(QStringLiteral("beep at %1 s, flash at %2 s").arg(beep).arg(double(flash) / Rate)));
}

void TestMovieStream::failuresLeaveNoFile_data()
{
    QTest::addColumn<QString>("movie");
    QTest::addColumn<QString>("expected");
    QTest::newRow("not a movie") << "notes.txt" << " - Decoding failed: ";
    QTest::newRow("fewer than five frames") << "short.mkv" << "fewer than five frames";
}

// A job that fails leaves no output and no partial file, and says why.
void TestMovieStream::failuresLeaveNoFile()
{
    QFETCH(QString, movie);
    QFETCH(QString, expected);
    QTemporaryDir work;
    QVERIFY(writeFile(work.filePath("notes.txt"), "recorded at night\n"));
    QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=32x24:rate=25", "-frames:v", "3", "-c:v", "ffv1",
                    work.filePath("short.mkv")}));
    QVERIFY(QDir().mkpath(work.filePath("out")));

    RecordingSink sink;
    QVERIFY(!denoiseMovie(job(work.filePath(movie), work.filePath("out/result.mp4"), DenoiseMode::Fuzzy,
                              EncodeSettings::Codec::H264), sink));
    QVERIFY2(sink.failures.size() == 1 && sink.failures.first().contains(expected),
             qPrintable(sink.lines.join('\n')));
    QCOMPARE(QDir(work.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestMovieStream)
#include "tst_moviestream.moc"
