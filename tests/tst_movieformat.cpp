// What may be read as a movie: playlists and lists of files disguised as
// movies, and still pictures, are refused with the reason; real movies,
// whatever their names, are taken. Frame counts from absurd durations are
// unknown, not undefined.

#include "pipeline/movie/movieformat.h"
#include "pipeline/movie/moviestages.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <limits>

using namespace nocta;
using namespace nocta::test;

class TestMovieFormat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void refusesWhatIsNoMovie_data();
    void refusesWhatIsNoMovie();
    void countsFramesInRange_data();
    void countsFramesInRange();

private:
    QTemporaryDir m_dir;
};

void TestMovieFormat::initTestCase()
{
    if (findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not on PATH");
    QVERIFY(m_dir.isValid());
    QDir::setCurrent(m_dir.path());
    const QStringList source{"-y", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=64x48:r=25"};
    QVERIFY(runProgram("ffmpeg", source + QStringList{"-frames:v", "8", "movie.mp4"}));
    QVERIFY(runProgram("ffmpeg", source + QStringList{"-frames:v", "8", "secret.ts"}));
    QVERIFY(runProgram("ffmpeg", source + QStringList{"-frames:v", "1", "picture.png"}));
    QVERIFY(runProgram("ffmpeg", source + QStringList{"-frames:v", "1", "picture.jpg"}));
    QVERIFY(runProgram("ffmpeg", {"-y", "-v", "error", "-f", "lavfi", "-i", "sine=d=1", "-i", "picture.jpg", "-map", "0",
                                  "-map", "1", "-c:v", "copy", "-disposition:v", "attached_pic", "song.mp3"}));
    QVERIFY(writeFile("holiday.mp4", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:1.0,\n"
                      + QFile::encodeName(m_dir.filePath("secret.ts")) + "\n#EXT-X-ENDLIST\n"));
    QVERIFY(writeFile("list.mp4", "ffconcat version 1.0\nfile 'secret.ts'\n"));
    QVERIFY(QFile::copy("picture.png", "picture.mp4"));
    QVERIFY(QFile::copy("movie.mp4", "subfile,,start,0,end,100,,:movie.mp4"));
    QVERIFY(QFile::copy("movie.mp4", "night:clip.mp4"));
}

void TestMovieFormat::refusesWhatIsNoMovie_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("refusal");   // empty: taken as a movie

    QTest::newRow("movie") << "movie.mp4" << "";
    QTest::newRow("protocol-like name") << "subfile,,start,0,end,100,,:movie.mp4" << "";
    QTest::newRow("colon in the name") << "night:clip.mp4" << "";
    QTest::newRow("HLS playlist named .mp4") << "holiday.mp4" << "holiday.mp4 is an HLS playlist, which names other files to read, not a movie file";
    QTest::newRow("ffconcat list named .mp4") << "list.mp4" << "list.mp4 is a concatenation list (ffconcat), which names other files to read, not a movie file";
    QTest::newRow("picture") << "picture.png" << "picture.png is a still picture (png_pipe), not a movie file";
    QTest::newRow("picture named .mp4") << "picture.mp4" << "picture.mp4 is a still picture (png_pipe), not a movie file";
    QTest::newRow("JPEG") << "picture.jpg" << "picture.jpg is a still picture (jpeg_pipe), not a movie file";
    QTest::newRow("song with cover art") << "song.mp3" << "song.mp3 is a still picture (the cover art of mp3), not a movie file";
}

void TestMovieFormat::refusesWhatIsNoMovie()
{
    QFETCH(QString, name);
    QFETCH(QString, refusal);
    const Error error = checkMovie(name);
    QCOMPARE(bool(error), !refusal.isEmpty());
    QCOMPARE(error.detail, refusal);
}

void TestMovieFormat::countsFramesInRange_data()
{
    QTest::addColumn<double>("seconds");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("frames");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("ten seconds") << 10.0 << 25.0 << 250;
    QTest::newRow("rounded") << 1.0 << 30000.0 / 1001 << 30;
    QTest::newRow("largest") << 2147483647.0 << 1.0 << 2147483647;
    QTest::newRow("one past") << 2147483648.0 << 1.0 << -1;
    QTest::newRow("damaged Matroska") << 1e12 << 25.0 << -1;
    QTest::newRow("infinite") << inf << 25.0 << -1;
    QTest::newRow("not a number") << std::nan("") << 25.0 << -1;
    QTest::newRow("negative") << -1e12 << 25.0 << -1;
}

void TestMovieFormat::countsFramesInRange()
{
    QFETCH(double, seconds);
    QFETCH(double, rate);
    QFETCH(int, frames);
    QCOMPARE(framesInDuration(seconds, rate), frames);
}

QTEST_GUILESS_MAIN(TestMovieFormat)
#include "tst_movieformat.moc"
