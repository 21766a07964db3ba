// Movies as phones, cameras and damaged disks give them, through nocta-cli
// run as a program: turned pictures, pixels that are not square, subtitles
// from the first second, files cut short or overwritten, decimal rates
// for parts, and settings that cannot work, refused before ffmpeg starts.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace nocta::test;

namespace {

constexpr int Frames = 12;

bool ffmpeg(const QStringList &arguments)
{
    return runProgram(QStringLiteral("ffmpeg"), QStringList{"-y", "-loglevel", "error"} + arguments);
}

// 64x48 frames of a moving pattern, stored losslessly in MP4 (which can
// carry a turn), with the given sample aspect ratio.
bool makePlainMovie(const QString &path, int frames, const QString &sar = "1/1")
{
    return ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25", "-frames:v", QString::number(frames),
                   "-vf", "setsar=" + sar, "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p", path});
}

// The movie with a turn in its header (a display matrix), as phones write it.
bool turn(const QString &movie, const QString &degrees, const QString &turned)
{
    return ffmpeg({"-i", movie, "-c", "copy", "-metadata:s:v:0", "rotate=" + degrees, turned});
}

// The subtitles of a movie's first subtitle stream, as SRT text.
QString subtitles(const QString &movie)
{
    QString text;
    runProgram(QStringLiteral("ffmpeg"), {"-loglevel", "error", "-i", movie, "-map", "0:s:0", "-f", "srt", "-"}, &text);
    return text.trimmed();
}

const char *const Cues = "1\n00:00:00,000 --> 00:00:01,000\nfirst cue\n\n"
                         "2\n00:00:01,200 --> 00:00:01,800\nsecond cue\n";
// The same, two frames (80 ms) earlier, as the denoised movie starts with
// the movie's third frame: the first cue starts with the movie and is cut.
const char *const ShiftedCues = "1\n00:00:00,000 --> 00:00:00,920\nfirst cue\n\n"
                                "2\n00:00:01,120 --> 00:00:01,720\nsecond cue";

} // namespace

class TestPhoneMovies : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void turnedMoviesComeOutUpright_data();
    void turnedMoviesComeOutUpright();
    void pixelShapeIsKept_data();
    void pixelShapeIsKept();
    void subtitlesKeepTheirFirstCue_data();
    void subtitlesKeepTheirFirstCue();
    void damageIsReported_data();
    void damageIsReported();
    void partsAtDecimalRatesJoin_data();
    void partsAtDecimalRatesJoin();
    void refusedBeforeFfmpegStarts_data();
    void refusedBeforeFfmpegStarts();

private:
    // nocta-cli on movie by route ("stream", "frames", "parts") into a
    // lossless movie, or the processed frames for "frames"; empty on failure.
    QString denoise(const QString &movie, const QString &route, const QStringList &extra = {});
    QString path(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
    QString m_plain;
    int m_serial = 0;
};

void TestPhoneMovies::initTestCase()
{
    if (findFfmpeg().isEmpty() || QStandardPaths::findExecutable("ffprobe").isEmpty())
        QSKIP("ffmpeg and ffprobe are not installed");
    m_plain = path("plain.mp4");
    QVERIFY(makePlainMovie(m_plain, Frames));
}

QString TestPhoneMovies::denoise(const QString &movie, const QString &route, const QStringList &extra)
{
    const QString name = QStringLiteral("out-%1").arg(++m_serial);
    if (route == "frames") {
        const QString work = path(name);
        const CliRun run = runCli(QStringList{"all", movie, "--via-frames", "--workdir", work, "-q"} + extra,
                                          m_dir.path());
        if (run.exitCode != 0)
            qWarning("%s", qPrintable(run.describe()));
        return run.exitCode == 0 ? QDir(work).filePath("processed") : QString();
    }
    const QString output = path(name + ".mkv");
    if (route == "parts") {
        QStringList parts;
        for (const QString k : {"1", "2"}) {
            parts << path(name + ".part" + k + ".mkv");
            const CliRun run = runCli(QStringList{"all", movie, "--part", k + "/2", "--codec", "ffv1", "-o",
                                                          parts.last(), "-q"} + extra, m_dir.path());
            if (run.exitCode != 0) {
                qWarning("%s", qPrintable(run.describe()));
                return QString();
            }
        }
        const CliRun run = runCli(QStringList{"join"} + parts + QStringList{"-o", output, "-q"}, m_dir.path());
        if (run.exitCode != 0)
            qWarning("%s", qPrintable(run.describe()));
        return run.exitCode == 0 ? output : QString();
    }
    const CliRun run = runCli(QStringList{"all", movie, "--codec", "ffv1", "-o", output, "-q"} + extra,
                                      m_dir.path());
    if (run.exitCode != 0)
        qWarning("%s", qPrintable(run.describe()));
    return run.exitCode == 0 ? output : QString();
}

void TestPhoneMovies::turnedMoviesComeOutUpright_data()
{
    QTest::addColumn<QString>("degrees");   // the turn in the header
    QTest::addColumn<QString>("upright");   // the filter that turns the stored frames upright
    QTest::addColumn<QString>("route");

    QTest::newRow("90, streamed") << "90" << "transpose=cclock" << "stream";
    QTest::newRow("180, streamed") << "180" << "hflip,vflip" << "stream";
    QTest::newRow("270, streamed") << "270" << "transpose=clock" << "stream";
    QTest::newRow("90, through frames") << "90" << "transpose=cclock" << "frames";
    QTest::newRow("90, in parts") << "90" << "transpose=cclock" << "parts";
    QTest::newRow("270, in parts") << "270" << "transpose=clock" << "parts";
}

// The denoised movie of a turned movie is, frame for frame, that of the
// movie turned upright beforehand, and carries no turn of its own.
void TestPhoneMovies::turnedMoviesComeOutUpright()
{
    QFETCH(QString, degrees);
    QFETCH(QString, upright);
    QFETCH(QString, route);
    const QString turned = path("turned-" + degrees + ".mp4");
    const QString straight = path("upright-" + degrees + ".mkv");
    if (!QFile::exists(turned)) {
        QVERIFY(turn(m_plain, degrees, turned));
        QVERIFY(ffmpeg({"-i", m_plain, "-vf", upright, "-c:v", "ffv1", straight}));
    }
    const QString expected = denoise(straight, route);
    const QString actual = denoise(turned, route);
    QVERIFY(!expected.isEmpty());
    QVERIFY(!actual.isEmpty());
    if (route == "frames") {
        const QString difference = framesDifference(expected, actual);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        return;
    }
    QCOMPARE(videoEntry(actual, "width,height"), degrees == "180" ? QString("64,48") : QString("48,64"));
    QCOMPARE(videoEntry(actual, "side_data_list"), QString());
    const QString difference = movieDifference(expected, actual, path("frames"));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void TestPhoneMovies::pixelShapeIsKept_data()
{
    QTest::addColumn<QString>("sar");       // of the stored frames
    QTest::addColumn<QString>("degrees");   // the turn in the header
    QTest::addColumn<QString>("route");
    QTest::addColumn<QString>("expected");  // the output's sample aspect ratio

    QTest::newRow("wide pixels") << "4/3" << "0" << "stream" << "4:3";
    QTest::newRow("wide pixels, in parts") << "4/3" << "0" << "parts" << "4:3";
    QTest::newRow("wide pixels, turned") << "4/3" << "90" << "stream" << "3:4";
    QTest::newRow("square pixels") << "1/1" << "0" << "stream" << "1:1";
}

void TestPhoneMovies::pixelShapeIsKept()
{
    QFETCH(QString, sar);
    QFETCH(QString, degrees);
    QFETCH(QString, route);
    QFETCH(QString, expected);
    QString movie = path(QStringLiteral("sar-%1.mp4").arg(QString(sar).replace('/', '-')));
    if (!QFile::exists(movie))
        QVERIFY(makePlainMovie(movie, Frames, sar));
    if (degrees != "0") {
        const QString turned = path("turned-" + QFileInfo(movie).fileName());
        QVERIFY(turn(movie, degrees, turned));
        movie = turned;
    }
    const QString output = denoise(movie, route);
    QVERIFY(!output.isEmpty());
    QString shape = videoEntry(output, "sample_aspect_ratio");
    QCOMPARE(shape.isEmpty() || shape == "N/A" ? QString("1:1") : shape, expected);
}

void TestPhoneMovies::subtitlesKeepTheirFirstCue_data()
{
    QTest::addColumn<QString>("codec");    // of the movie's subtitles
    QTest::addColumn<QString>("suffix");   // of the output
    QTest::addColumn<QString>("route");

    QTest::newRow("SubRip into Matroska") << "srt" << "mkv" << "stream";
    QTest::newRow("SubRip into MP4") << "srt" << "mp4" << "stream";
    QTest::newRow("SubRip, parts joined") << "srt" << "mkv" << "parts";
    QTest::newRow("MP4 text into MP4") << "mov_text" << "mp4" << "stream";
}

void TestPhoneMovies::subtitlesKeepTheirFirstCue()
{
    QFETCH(QString, codec);
    QFETCH(QString, suffix);
    QFETCH(QString, route);
    const QString cues = path("cues.srt");
    QVERIFY(writeFile(cues, Cues));
    const QString movie = path("subtitled-" + codec + (codec == "srt" ? ".mkv" : ".mp4"));
    if (!QFile::exists(movie))
        QVERIFY(ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x48:r=25", "-i", cues, "-frames:v", "50", "-map", "0",
                        "-map", "1", "-c:v", "libx264", "-c:s", codec, movie}));
    QString output;
    if (route == "parts") {
        output = denoise(movie, route);
    } else {
        output = path(QStringLiteral("subtitled-%1.%2").arg(++m_serial).arg(suffix));
        const CliRun run = runCli({"all", movie, "-o", output, "-q"}, m_dir.path());
        QVERIFY2(run.exitCode == 0, qPrintable(run.describe()));
    }
    QVERIFY(!output.isEmpty());
    QCOMPARE(subtitles(output), QString(ShiftedCues));
}

void TestPhoneMovies::damageIsReported_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("lost");   // the frames said to be lost, a pattern

    QTest::newRow("second half of an MP4 gone") << "cut mp4" << QStringList() << "frames \\d+-96 \\([0-9.]+-3\\.84 s\\)";
    QTest::newRow("a third of a Matroska file overwritten")
        << "overwritten mkv" << QStringList() << "frames \\d+-97 \\([0-9.]+-3\\.88 s\\)";
    QTest::newRow("last part of a cut MP4") << "cut mp4" << QStringList{"--part", "2/2", "--codec", "ffv1"}
                                            << "frames \\d+-96 \\([0-9.]+-3\\.84 s\\)";
}

// A damaged movie is denoised as far as it goes, and the run says which
// frames could not be decoded and ends with status 1.
void TestPhoneMovies::damageIsReported()
{
    QFETCH(QString, damage);
    QFETCH(QStringList, options);
    QFETCH(QString, lost);
    const bool mp4 = damage.endsWith("mp4");
    const QString whole = path(mp4 ? "whole.mp4" : "whole.mkv");
    const QString damaged = path(mp4 ? "cut.mp4" : "overwritten.mkv");
    if (!QFile::exists(damaged)) {
        QVERIFY(ffmpeg(QStringList{"-f", "lavfi", "-i", "testsrc2=s=320x240:r=25", "-frames:v", mp4 ? "96" : "97",
                                   "-c:v", "libx264", "-pix_fmt", "yuv420p"}
                       + (mp4 ? QStringList{"-movflags", "+faststart"} : QStringList()) + QStringList{whole}));
        QByteArray bytes = readFile(whole);
        QVERIFY(bytes.size() > 3000);
        if (mp4) {
            bytes.truncate(bytes.size() / 2);
        } else {
            QRandomGenerator random(7);
            for (int i = bytes.size() / 3; i < 2 * bytes.size() / 3; ++i)
                bytes[i] = char(random.bounded(256));
        }
        QVERIFY(writeFile(damaged, bytes));
    }
    const QString output = path(QStringLiteral("damaged-%1.%2").arg(++m_serial).arg(options.isEmpty() ? "mp4" : "mkv"));
    const CliRun run = runCli(QStringList{"all", damaged, "-o", output, "-q"} + options, m_dir.path());
    QVERIFY2(run.exitCode == 1, qPrintable(run.describe()));
    const QRegularExpression said(lost + " could not be decoded");
    QVERIFY2(said.match(run.err).hasMatch(), qPrintable(run.describe()));
}

void TestPhoneMovies::partsAtDecimalRatesJoin_data()
{
    QTest::addColumn<QString>("fps");
    QTest::addColumn<QString>("rate");   // of the joined movie

    QTest::newRow("29.97") << "29.97" << "2997/100";
    QTest::newRow("23.976") << "23.976" << "2997/125";
    QTest::newRow("30000/1001") << "30000/1001" << "30000/1001";
}

void TestPhoneMovies::partsAtDecimalRatesJoin()
{
    QFETCH(QString, fps);
    QFETCH(QString, rate);
    const QString joined = denoise(m_plain, "parts", {"--fps", fps});
    QVERIFY(!joined.isEmpty());
    QCOMPARE(videoEntry(joined, "r_frame_rate"), rate);
    QCOMPARE(countMovieFrames(joined), Frames - 4);
}

void TestPhoneMovies::refusedBeforeFfmpegStarts_data()
{
    QTest::addColumn<QStringList>("arguments");   // MOVIE: the plain movie
    QTest::addColumn<bool>("withoutFfprobe");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");

    QTest::newRow("H.264 into WebM") << QStringList{"all", "MOVIE", "-o", "x.webm"} << false << 2
                                     << "names no movie container";
    QTest::newRow("join without ffprobe") << QStringList{"join", "MOVIE", "MOVIE", "-o", "x.mp4"} << true << 1
                                          << "join reads the parts' labels with ffprobe: ffprobe not found";
}

void TestPhoneMovies::refusedBeforeFfmpegStarts()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withoutFfprobe);
    QFETCH(int, status);
    QFETCH(QString, message);
    arguments.replaceInStrings("MOVIE", m_plain);
    QString programs;
    if (withoutFfprobe) {
        programs = path("ffmpeg-only");
        QVERIFY(QDir().mkpath(programs));
        QFile::link(findFfmpeg(), QDir(programs).filePath("ffmpeg"));
    }
    const CliRun run = runCli(arguments + QStringList{"-q"}, m_dir.path(), programs);
    QVERIFY2(run.exitCode == status && run.err.contains(message), qPrintable(run.describe()));
    QVERIFY2(!run.err.contains(" - Denoising") && !run.err.contains("is not a movie"), qPrintable(run.describe()));
    QVERIFY(!QFile::exists(path("x.mp4")));
}

QTEST_GUILESS_MAIN(TestPhoneMovies)
#include "tst_phonemovies.moc"
