// The movie stages against the real ffmpeg and against stand-in programs
// named ffmpeg that fail in chosen ways.

#include "pipeline/movie/movieoutput.h"
#include "pipeline/movie/moviestages.h"
#include "pipeline/frames/workfolder.h"
#include "pipeline/run/processingrun.h"
#include "testsupport.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

using namespace nocta;
using namespace nocta::test;

namespace {

const int frameWidth = 64;
const int frameHeight = 48;

// A path name that a shell would take apart: spaces, a command separator,
// command substitution and quotes. Run through a shell, it would create
// files named "injected".
const QString hostileName = QStringLiteral("night clip; touch injected $(touch injected2) 'x'.mp4");

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList numberedFrames(const QString &dir, const QString &suffix)
{
    const QRegularExpression pattern(QStringLiteral("^[0-9]+\\.%1$").arg(suffix));
    QStringList found;
    const QStringList files = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString &name : files)
        if (pattern.match(name).hasMatch())
            found << name;
    return found;
}

QStringList expectedFrames(int count, const QString &suffix)
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names << QStringLiteral("%1.%2").arg(i, 3, 10, QLatin1Char('0')).arg(suffix);
    return names;
}


QString probePixelFormat(const QString &movie)
{
    QString output;
    if (!runProgram(QStringLiteral("ffprobe"),
                    {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=pix_fmt", "-of", "csv=p=0", movie},
                    &output))
        return QString();
    return output.trimmed();
}

} // namespace

class TestMovieStages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void argumentsReachFfmpegUnchanged_data();
    void argumentsReachFfmpegUnchanged();
    void decodeRealMovie_data();
    void decodeRealMovie();
    void encodeRealMovie_data();
    void encodeRealMovie();
    void codeMovieTwiceReplacesTheMovie();
    void decodeFailures_data();
    void decodeFailures();
    void encodeFailures_data();
    void encodeFailures();
    void nothingToDecodeRunsNothing_data();
    void nothingToDecodeRunsNothing();
    void nothingToEncodeRunsNothing_data();
    void nothingToEncodeRunsNothing();
    void blockedDirectoriesAreReported();
    void incompleteMoviesAreRefused_data();
    void incompleteMoviesAreRefused();
    void specialFilesAreRefused_data();
    void specialFilesAreRefused();
    void stalePartialMoviesAreRemoved();
    void refusedRenameIsReported_data();
    void refusedRenameIsReported();
    void decodeRemovesStaleFrames();
    void shorterMovieAfterLongerOne();
    void removeStaleOutputsRemovesNumberedPngsOnly();
    void removeStaleOutputsReportsAFileThatStays();

private:
    void requireFfmpeg();
    // Replaces PATH by a fresh directory that holds only the given stand-in
    // (or nothing), and ffprobe when asked; restored by cleanup().
    QString useStandIn(const QByteArray &script, bool withFfprobe = false);

    QTemporaryDir clips;
    QString clip12, clip40, clip60;
    bool haveFfmpeg = false;

    QByteArray savedPath;
    QString savedCurrent;
    std::unique_ptr<StandInFfmpeg> standIn;
};

void TestMovieStages::initTestCase()
{
    QVERIFY(clips.isValid());
    haveFfmpeg = !findFfmpeg().isEmpty()
        && !QStandardPaths::findExecutable(QStringLiteral("ffprobe")).isEmpty();
    if (!haveFfmpeg)
        return;
    clip12 = clips.filePath(QStringLiteral("clip12.mp4"));
    clip40 = clips.filePath(QStringLiteral("clip40.mp4"));
    clip60 = clips.filePath(QStringLiteral("clip60.mp4"));
    QVERIFY(makeNightClip(clip12, 12, frameWidth, frameHeight));
    QVERIFY(makeNightClip(clip40, 40, frameWidth, frameHeight));
    QVERIFY(makeNightClip(clip60, 60, frameWidth, frameHeight));
    QCOMPARE(countMovieFrames(clip12), 12);
}

void TestMovieStages::init()
{
    savedPath = qgetenv("PATH");
    savedCurrent = QDir::currentPath();
}

void TestMovieStages::cleanup()
{
    qputenv("PATH", savedPath);
    QDir::setCurrent(savedCurrent);
    standIn.reset();
}

void TestMovieStages::requireFfmpeg()
{
    if (!haveFfmpeg)
        QSKIP("ffmpeg and ffprobe are not on PATH");
}

QString TestMovieStages::useStandIn(const QByteArray &script, bool withFfprobe)
{
    standIn.reset(new StandInFfmpeg(script, withFfprobe));
    if (!standIn->isValid())
        return QString();
    qputenv("PATH", QFile::encodeName(standIn->path()));
    return standIn->path();
}

void TestMovieStages::argumentsReachFfmpegUnchanged_data()
{
    QTest::addColumn<QString>("movieName");
    QTest::addColumn<bool>("relativeMovie");
    QTest::addColumn<QString>("outputPath");
    QTest::addColumn<QString>("expectedOutputArgument");

    QTest::newRow("shell metacharacters, absolute")
        << hostileName << false << QString() << QString();
    QTest::newRow("leading dash, relative") << QStringLiteral("-i clip.mp4") << true
                                            << QStringLiteral("-y out.mp4") << QStringLiteral("./-y out.mp4");
    QTest::newRow("protocol-like, relative") << QStringLiteral("concat:a|b.mp4") << true
                                             << QStringLiteral("pipe:1.mp4") << QStringLiteral("./pipe:1.mp4");
    QTest::newRow("dollar and quotes") << QStringLiteral("$HOME \"q\" `x`.mp4") << false
                                       << QStringLiteral("sub/$HOME \"q\".mp4")
                                       << QStringLiteral("./sub/$HOME \"q\".mp4");
}

// A stand-in ffmpeg records the working directory and every argument it
// was given, one per line, and writes what the stage expects to find.
void TestMovieStages::argumentsReachFfmpegUnchanged()
{
    QFETCH(QString, movieName);
    QFETCH(bool, relativeMovie);
    QFETCH(QString, outputPath);
    QFETCH(QString, expectedOutputArgument);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString work = root.filePath(QStringLiteral("work; $(x)"));
    const QString movies = root.filePath(QStringLiteral("movies"));
    QVERIFY(QDir().mkpath(work));
    QVERIFY(QDir().mkpath(movies));
    const QString movie = QDir(movies).filePath(movieName);
    QVERIFY(nocta::test::writeFile(movie, "not really a movie"));
    const QString log = root.filePath(QStringLiteral("arguments.txt"));

    const QByteArray script = "#!/bin/sh\n"
                              "log='" + QFile::encodeName(log) + "'\n"
                              "pwd -P > \"$log\"\n"
                              "for a; do printf '%s\\n' \"$a\" >> \"$log\"; last=$a; done\n"
                              "case \"$last\" in\n"
                              "  screens/*) printf 'BM' > screens/001.bmp ;;\n"
                              "  *) printf 'movie' > \"$last\" ;;\n"
                              "esac\n";
    QVERIFY(!useStandIn(script).isEmpty());

    if (relativeMovie)
        QVERIFY(QDir::setCurrent(movies));
    RecordingSink sink;
    QVERIFY2(decodeMovie(relativeMovie ? movieName : movie, work, sink), qPrintable(sink.lines.join('\n')));
    QCOMPARE(sink.lines, QStringList{" - Movie decoded."});
    const QStringList decodeLog = QString::fromLocal8Bit(nocta::test::readFile(log)).split('\n', Qt::SkipEmptyParts);
    const QStringList expectedDecode{QFileInfo(work).canonicalFilePath(),
                                     "-ss", "0:0:0", "-loglevel", "quiet", "-i", QFileInfo(movie).absoluteFilePath(),
                                     "-f", "image2", "screens/%03d.bmp"};
    QCOMPARE(decodeLog, expectedDecode);

    QVERIFY(writeNightFrames(QDir(work).filePath("processed"), 3, 8, 8, 1, "png"));
    RecordingSink encodeSink;
    QVERIFY2(encodeMovie(work, encodeSink, outputPath), qPrintable(encodeSink.lines.join('\n')));
    QCOMPARE(encodeSink.lines, QStringList{" - Movie created."});
    const QStringList encodeLog = QString::fromLocal8Bit(nocta::test::readFile(log)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(encodeLog.size(), 10);
    QCOMPARE(encodeLog.mid(0, 9), (QStringList{QFileInfo(work).canonicalFilePath(),
                                               "-r", "29", "-i", "processed/%03d.png", "-b:v", "7500k",
                                               "-pix_fmt", "yuv420p"}));
    // ffmpeg writes a temporary movie beside the final one, named so that
    // neither an option nor a protocol can be read into it.
    const QString written = encodeLog.last();
    const QString finalPath = QDir(work).absoluteFilePath(outputPath.isEmpty() ? QStringLiteral("out_movies/out.mp4")
                                                                               : outputPath);
    QVERIFY2(QDir::isAbsolutePath(written), qPrintable(written));
    QCOMPARE(QFileInfo(written).absolutePath(), QFileInfo(finalPath).absolutePath());
    QCOMPARE(QFileInfo(written).suffix(), QStringLiteral("mp4"));
    QVERIFY(!QFileInfo::exists(written));
    QCOMPARE(nocta::test::readFile(finalPath), QByteArray("movie"));

    QCOMPARE(encodeArguments(outputPath.isEmpty() ? QStringLiteral("out_movies/out.mp4") : outputPath).last(),
             expectedOutputArgument.isEmpty() ? QStringLiteral("./out_movies/out.mp4") : expectedOutputArgument);
}

void TestMovieStages::decodeRealMovie_data()
{
    QTest::addColumn<QString>("movieName");
    QTest::addColumn<bool>("relativeMovie");

    QTest::newRow("shell metacharacters") << hostileName << false;
    QTest::newRow("leading dash, relative") << QStringLiteral("-ss 9 night; $(id).mp4") << true;
}

void TestMovieStages::decodeRealMovie()
{
    requireFfmpeg();
    QFETCH(QString, movieName);
    QFETCH(bool, relativeMovie);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString work = root.filePath(QStringLiteral("work 'a' $b"));
    const QString movies = root.filePath(QStringLiteral("movies"));
    QVERIFY(QDir().mkpath(work));
    QVERIFY(QDir().mkpath(movies));
    const QString movie = QDir(movies).filePath(movieName);
    QVERIFY(QFile::copy(clip12, movie));

    if (relativeMovie)
        QVERIFY(QDir::setCurrent(movies));
    RecordingSink sink;
    QVERIFY2(decodeMovie(relativeMovie ? movieName : movie, work, sink), qPrintable(sink.lines.join('\n')));
    QCOMPARE(sink.lines, QStringList{" - Movie decoded."});
    QVERIFY(sink.failures.isEmpty());

    const QString screens = QDir(work).filePath(QStringLiteral("screens"));
    QCOMPARE(entries(screens), expectedFrames(12, QStringLiteral("bmp")));
    for (const QString &name : entries(screens)) {
        const QImage frame(QDir(screens).filePath(name));
        QVERIFY2(!frame.isNull(), qPrintable(name));
        QCOMPARE(frame.size(), QSize(frameWidth, frameHeight));
    }
    // Nothing else was created anywhere: no "injected" files from a shell.
    QCOMPARE(entries(work), QStringList{"screens"});
    QCOMPARE(entries(movies), QStringList{movieName});
    QCOMPARE(entries(root.path()), (QStringList{"movies", "work 'a' $b"}));
}

void TestMovieStages::encodeRealMovie_data()
{
    QTest::addColumn<QString>("outputPath");
    QTest::addColumn<QString>("expectedMovie");

    QTest::newRow("default") << QString() << QStringLiteral("out_movies/out.mp4");
    QTest::newRow("relative, leading dash") << QStringLiteral("-night; $(id) 'x'.mp4")
                                            << QStringLiteral("-night; $(id) 'x'.mp4");
    QTest::newRow("into a new directory") << QStringLiteral("-dir/a:b.mp4") << QStringLiteral("-dir/a:b.mp4");
}

void TestMovieStages::encodeRealMovie()
{
    requireFfmpeg();
    QFETCH(QString, outputPath);
    QFETCH(QString, expectedMovie);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString work = root.filePath(hostileName + QStringLiteral(" dir"));
    QVERIFY(writeNightFrames(QDir(work).filePath("processed"), 10, frameWidth, frameHeight, 3, "png"));

    RecordingSink sink;
    QVERIFY2(encodeMovie(work, sink, outputPath), qPrintable(sink.lines.join('\n')));
    QCOMPARE(sink.lines, QStringList{" - Movie created."});

    const QString movie = QDir(work).filePath(expectedMovie);
    QCOMPARE(countMovieFrames(movie), 10);
    QCOMPARE(probePixelFormat(movie), QStringLiteral("yuv420p"));
    // Only the movie itself is left: no temporary file, nothing else.
    QCOMPARE(entries(QFileInfo(movie).absolutePath()).filter(QStringLiteral(".mp4")),
             QStringList{QFileInfo(movie).fileName()});
    QCOMPARE(entries(root.path()), QStringList{QFileInfo(work).fileName()});
    QCOMPARE(entries(QDir(work).filePath("processed")), expectedFrames(10, QStringLiteral("png")));
}

// "Code movie" twice: the second encode meets the first movie, must not
// stop to ask whether to overwrite it, and replaces it.
void TestMovieStages::codeMovieTwiceReplacesTheMovie()
{
    requireFfmpeg();
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString processed = work.filePath(QStringLiteral("processed"));
    const QString movie = work.filePath(QStringLiteral("out_movies/out.mp4"));

    QVERIFY(writeNightFrames(processed, 10, frameWidth, frameHeight, 5, "png"));
    RecordingSink first;
    QVERIFY2(encodeMovie(work.path(), first), qPrintable(first.lines.join('\n')));
    QCOMPARE(countMovieFrames(movie), 10);

    const Error error = WorkFolder(work.path()).removeOutputFrames();
    QVERIFY2(!error, qPrintable(error.text()));
    QVERIFY(writeNightFrames(processed, 7, frameWidth, frameHeight, 6, "png"));
    RecordingSink second;
    QVERIFY2(encodeMovie(work.path(), second), qPrintable(second.lines.join('\n')));
    QCOMPARE(second.lines, QStringList{" - Movie created."});
    QCOMPARE(countMovieFrames(movie), 7);
    QCOMPARE(entries(work.filePath(QStringLiteral("out_movies"))), QStringList{"out.mp4"});
}

namespace {

// Stand-ins for a failing ffmpeg. Each writes a partial file where the
// encoder would write its movie before it fails.
const QByteArray writesPartial = "for a; do last=$a; done\n"
                                 "case \"$last\" in *.mp4) printf 'partial' > \"$last\" ;; esac\n";
const QByteArray exitsWithError = "#!/bin/sh\n" + writesPartial
    + "echo 'frame=    3 fps=0.0 q=0.0 size=       0kB' >&2\n"
      "echo 'Invalid data found when processing input' >&2\n"
      "echo 'Conversion failed!' >&2\n"
      "exit 1\n";
const QByteArray crashes = "#!/bin/sh\n" + writesPartial
    + "echo 'about to go down' >&2\n"
      "kill -KILL $$\n";
const QByteArray cannotStart = "#!/nonexistent/interpreter\nexit 0\n";
const QByteArray writesNothing = "#!/bin/sh\nexit 0\n";

void addFailureRows()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QStringList>("expectedParts");

    QTest::newRow("ffmpeg missing") << QByteArray() << QStringList{"ffmpeg not found on PATH"};
    QTest::newRow("non-zero exit") << exitsWithError
                                   << QStringList{"ffmpeg exited with code 1: Invalid data found when processing input."};
    QTest::newRow("crash") << crashes << QStringList{"ffmpeg crashed: about to go down."};
    QTest::newRow("failed start") << cannotStart << QStringList{"ffmpeg could not be started"};
}

void checkFailure(const RecordingSink &sink, const QString &prefix, const QStringList &expectedParts)
{
    QCOMPARE(sink.lines.size(), 1);
    QCOMPARE(sink.failures, sink.lines);
    const QString line = sink.failures.first();
    QVERIFY2(line.startsWith(prefix), qPrintable(line));
    for (const QString &part : expectedParts)
        QVERIFY2(line.contains(part), qPrintable(QStringLiteral("'%1' lacks '%2'").arg(line, part)));
}

} // namespace

void TestMovieStages::decodeFailures_data()
{
    addFailureRows();
    QTest::newRow("no frame written") << writesNothing << QStringList{"no frame"};
}

void TestMovieStages::decodeFailures()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, expectedParts);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString movie = work.filePath(QStringLiteral("night.mp4"));
    QVERIFY(nocta::test::writeFile(movie, "whatever"));
    QVERIFY(!useStandIn(script).isEmpty());

    RecordingSink sink;
    QVERIFY(!decodeMovie(movie, work.path(), sink));
    checkFailure(sink, QStringLiteral(" - Decoding failed: "), expectedParts);
    QVERIFY(numberedFrames(work.filePath(QStringLiteral("screens")), QStringLiteral("bmp")).isEmpty());
}

void TestMovieStages::encodeFailures_data()
{
    addFailureRows();
    QTest::newRow("no movie written") << writesNothing << QStringList{"no movie"};
}

// A failed encode reports why, keeps the earlier movie as it was and leaves
// no temporary file.
void TestMovieStages::encodeFailures()
{
    QFETCH(QByteArray, script);
    QFETCH(QStringList, expectedParts);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QVERIFY(writeNightFrames(work.filePath(QStringLiteral("processed")), 3, 8, 8, 1, "png"));
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("out_movies")));
    const QString movie = work.filePath(QStringLiteral("out_movies/out.mp4"));
    const QByteArray earlier("the movie of an earlier encode");
    QVERIFY(nocta::test::writeFile(movie, earlier));
    QVERIFY(!useStandIn(script).isEmpty());

    RecordingSink sink;
    QVERIFY(!encodeMovie(work.path(), sink));
    checkFailure(sink, QStringLiteral(" - Encoding failed: "), expectedParts);
    QCOMPARE(nocta::test::readFile(movie), earlier);
    QCOMPARE(entries(work.filePath(QStringLiteral("out_movies"))), QStringList{"out.mp4"});
}

void TestMovieStages::nothingToDecodeRunsNothing_data()
{
    QTest::addColumn<bool>("chooseMovie");
    QTest::addColumn<QString>("expectedPart");

    QTest::newRow("no movie chosen") << false << QStringLiteral("no movie chosen");
    QTest::newRow("movie no longer exists") << true << QStringLiteral("no such file");
}

void TestMovieStages::nothingToDecodeRunsNothing()
{
    QFETCH(bool, chooseMovie);
    QFETCH(QString, expectedPart);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString marker = root.filePath(QStringLiteral("ffmpeg ran"));
    QVERIFY(!useStandIn("#!/bin/sh\ntouch '" + QFile::encodeName(marker) + "'\n").isEmpty());
    const QString work = root.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(work));

    QString movie;
    if (chooseMovie) {
        movie = root.filePath(QStringLiteral("gone.mp4"));
        QVERIFY(nocta::test::writeFile(movie, "x"));
        QVERIFY(QFile::remove(movie));
    }
    RecordingSink sink;
    QVERIFY(!decodeMovie(movie, work, sink));
    checkFailure(sink, QStringLiteral(" - Decoding failed: "), {expectedPart});
    QVERIFY(!QFileInfo::exists(marker));
    QVERIFY(entries(work).isEmpty());
}

void TestMovieStages::nothingToEncodeRunsNothing_data()
{
    QTest::addColumn<QStringList>("processedFiles");

    QTest::newRow("no processed directory") << QStringList();
    QTest::newRow("no numbered PNG frame") << QStringList{"notes.png", "001.bmp", "001.png.txt"};
}

void TestMovieStages::nothingToEncodeRunsNothing()
{
    QFETCH(QStringList, processedFiles);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString marker = root.filePath(QStringLiteral("ffmpeg ran"));
    QVERIFY(!useStandIn("#!/bin/sh\ntouch '" + QFile::encodeName(marker) + "'\n").isEmpty());
    const QString work = root.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkpath(work));
    for (const QString &name : processedFiles) {
        QVERIFY(QDir(work).mkpath(QStringLiteral("processed")));
        QVERIFY(nocta::test::writeFile(QDir(work).filePath(QStringLiteral("processed/") + name), "x"));
    }

    RecordingSink sink;
    QVERIFY(!encodeMovie(work, sink));
    checkFailure(sink, QStringLiteral(" - Encoding failed: "), {"no PNG frames"});
    QVERIFY(!QFileInfo::exists(marker));
    QVERIFY(!QFileInfo::exists(QDir(work).filePath(QStringLiteral("out_movies"))));
}

// A file where a stage's directory belongs cannot be turned into one.
void TestMovieStages::blockedDirectoriesAreReported()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QVERIFY(!useStandIn("#!/bin/sh\nexit 0\n").isEmpty());
    const QString movie = work.filePath(QStringLiteral("night.mp4"));
    QVERIFY(nocta::test::writeFile(movie, "x"));
    QVERIFY(nocta::test::writeFile(work.filePath(QStringLiteral("screens")), "a file"));
    QVERIFY(nocta::test::writeFile(work.filePath(QStringLiteral("out_movies")), "a file"));
    QVERIFY(writeNightFrames(work.filePath(QStringLiteral("processed")), 1, 8, 8, 1, "png"));

    RecordingSink decodeSink;
    QVERIFY(!decodeMovie(movie, work.path(), decodeSink));
    checkFailure(decodeSink, QStringLiteral(" - Decoding failed: "), {"could not create the directory screens/"});

    RecordingSink encodeSink;
    QVERIFY(!encodeMovie(work.path(), encodeSink));
    checkFailure(encodeSink, QStringLiteral(" - Encoding failed: "), {"could not create the directory out_movies/"});
}

namespace {

// A stand-in that notes in its working directory (the work folder) that it
// ran and writes a file where the movie goes.
const QByteArray writesMovie = "#!/bin/sh\n"
                               ": > ffmpeg-ran\n"
                               "for a; do last=$a; done\n"
                               "case \"$last\" in *.mp4) printf 'movie' > \"$last\" ;; esac\n";

// The files in processed/: numbers, or names as they are.
QStringList frameNames(std::initializer_list<QPair<int, int>> runs, const QStringList &extra = {})
{
    QStringList names = extra;
    for (const auto &run : runs)
        for (int i = run.first; i <= run.second; ++i)
            names << QStringLiteral("%1.png").arg(i, 3, 10, QLatin1Char('0'));
    return names;
}

} // namespace

void TestMovieStages::incompleteMoviesAreRefused_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("withFfprobe");
    QTest::addColumn<QStringList>("frames");
    QTest::addColumn<bool>("ffmpegRuns");
    QTest::addColumn<QStringList>("expectedParts");

    // ffmpeg 5.1 on a full disk: status 0, but the end of the file is missing.
    QTest::newRow("trailer not written, status 0") << diskFullEncoder() << false << frameNames({{1, 3}}) << true
        << QStringList{"ffmpeg could not finish writing: Error writing trailer of ", ": No space left on device."};
    QTest::newRow("unreadable movie, status 0") << QByteArray("#!/bin/sh\nfor a; do last=$a; done\n"
                                                              "printf 'not a movie' > \"$last\"\n")
                                                << true << frameNames({{1, 3}}) << true
                                                << QStringList{"the new movie cannot be read (", "Invalid data"};
    QTest::newRow("movie short of frames") << QByteArray("#!/bin/sh\nfor a; do last=$a; done\n/bin/cp '"
                                                         + QFile::encodeName(clip12) + "' \"$last\"\n")
                                           << true << frameNames({{1, 20}}) << true
                                           << QStringList{"the new movie holds 12 of the 20 frames."};
    // ffmpeg would stop at the gap: the movie would end after 004.
    QTest::newRow("a frame missing in the middle")
        << writesMovie << false << frameNames({{1, 4}, {6, 10}}) << false
        << QStringList{" - Encoding failed: processed/005.png is missing (frames 001-004 and 006-010 are there)."};
    QTest::newRow("frames missing in runs")
        << writesMovie << false << frameNames({{1, 3}, {7, 10}, {12, 12}}) << false
        << QStringList{"processed/004.png to processed/006.png are missing (frames 001-003, 007-010 and 012 are there)."};
    QTest::newRow("a frame the encoder does not read")
        << writesMovie << false << frameNames({{1, 3}}, {"0004.png"}) << false
        << QStringList{"processed/0004.png is not named as the encoder reads the frames (processed/%03d.png)."};
}

// A movie replaces the earlier one only when complete: a failed write that
// ffmpeg ends with status 0, a file that does not open, a movie that lacks
// frames and a gap in the frames are each refused, and the earlier movie
// stays as it was.
void TestMovieStages::incompleteMoviesAreRefused()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, withFfprobe);
    QFETCH(QStringList, frames);
    QFETCH(bool, ffmpegRuns);
    QFETCH(QStringList, expectedParts);
    if (withFfprobe)
        requireFfmpeg();

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString processed = work.filePath(QStringLiteral("processed"));
    QVERIFY(writeNightFrames(processed, 1, 8, 8, 1, "png"));
    QVERIFY(QFile::rename(QDir(processed).filePath("001.png"), work.filePath("frame.png")));
    for (const QString &name : frames)
        QVERIFY(QFile::copy(work.filePath("frame.png"), QDir(processed).filePath(name)));
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral("out_movies")));
    const QString movie = work.filePath(QStringLiteral("out_movies/out.mp4"));
    QVERIFY(nocta::test::writeFile(movie, "the movie of an earlier encode"));
    QVERIFY(!useStandIn(script, withFfprobe).isEmpty());

    RecordingSink sink;
    QVERIFY(!encodeMovie(work.path(), sink));
    checkFailure(sink, QStringLiteral(" - Encoding failed: "), expectedParts);
    QCOMPARE(nocta::test::readFile(movie), QByteArray("the movie of an earlier encode"));
    QCOMPARE(entries(work.filePath(QStringLiteral("out_movies"))), QStringList{"out.mp4"});
    if (!ffmpegRuns)
        QVERIFY2(!QFileInfo::exists(work.filePath("ffmpeg-ran")), "ffmpeg was started");
}

void TestMovieStages::specialFilesAreRefused_data()
{
    QTest::addColumn<QString>("special");   // what stands at the movie's place
    QTest::addColumn<bool>("asOutput");     // the movie to write, else the movie to read
    QTest::addColumn<QString>("expectedPart");   // empty: the stage succeeds

    QTest::newRow("movie is a FIFO") << "fifo" << false << "night.mp4 is a pipe (FIFO), not a movie file";
    QTest::newRow("movie links to a FIFO") << "link to fifo" << false << "night.mp4 is a pipe (FIFO), not a movie file";
    QTest::newRow("output is a FIFO") << "fifo" << true << "night.mp4: it is a pipe (FIFO)";
    QTest::newRow("output is a device") << "device" << true << "night.mp4: it is a character device";
    QTest::newRow("output links to a FIFO") << "link to fifo" << true << "night.mp4: it is a pipe (FIFO)";
    QTest::newRow("output links to nothing") << "dangling link" << true << "night.mp4: it is a symbolic link to nothing";
    QTest::newRow("output links to a movie") << "link to file" << true << "";
}

// ffmpeg would wait forever on a pipe with no writer, and replacing a
// device by a movie (as root: -o /dev/null) would break the machine.
// A link to a regular file is written through.
void TestMovieStages::specialFilesAreRefused()
{
    QFETCH(QString, special);
    QFETCH(bool, asOutput);
    QFETCH(QString, expectedPart);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString work = root.filePath(QStringLiteral("work"));
    QVERIFY(writeNightFrames(QDir(work).filePath("processed"), 3, 8, 8, 1, "png"));
    const QString place = root.filePath(QStringLiteral("night.mp4"));
    const QString pointee = root.filePath(QStringLiteral("pointee"));
    const QByteArray pointeePath = QFile::encodeName(pointee);
    if (special == "fifo" || special == "link to fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(special == "fifo" ? place : pointee).constData(), 0644), 0);
    if (special == "device" && ::mknod(QFile::encodeName(place).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("making a device needs the superuser");
    if (special == "link to file")
        QVERIFY(nocta::test::writeFile(pointee, "the earlier movie"));
    if (special.startsWith("link") || special == "dangling link")
        QVERIFY(QFile::link(pointee, place));
    struct stat before = {};
    ::lstat(QFile::encodeName(place).constData(), &before);
    QVERIFY(!useStandIn(writesMovie).isEmpty());

    RecordingSink sink;
    const bool ok = asOutput ? encodeMovie(work, sink, place) : decodeMovie(place, work, sink);
    if (expectedPart.isEmpty()) {
        QVERIFY2(ok, qPrintable(sink.lines.join('\n')));
        QVERIFY(QFileInfo(place).isSymbolicLink());
        QCOMPARE(nocta::test::readFile(pointee), QByteArray("movie"));
        QCOMPARE(entries(root.path()), (QStringList{"night.mp4", "pointee", "work"}));
        return;
    }
    QVERIFY(!ok);
    checkFailure(sink, asOutput ? QStringLiteral(" - Encoding failed: ") : QStringLiteral(" - Decoding failed: "),
                 {expectedPart});
    QVERIFY2(!QFileInfo::exists(QDir(work).filePath("ffmpeg-ran")), "ffmpeg was started");
    struct stat after = {};
    QCOMPARE(::lstat(QFile::encodeName(place).constData(), &after), 0);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_rdev, before.st_rdev);
}

// A run that was killed leaves its partial movie behind; the next encode
// of the same movie removes those whose writer no longer runs on this host,
// and only files whose names this program made (their check holds).
void TestMovieStages::stalePartialMoviesAreRemoved()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QVERIFY(writeNightFrames(work.filePath(QStringLiteral("processed")), 3, 8, 8, 1, "png"));
    const QString outDir = work.filePath(QStringLiteral("out_movies"));
    QVERIFY(QDir().mkpath(outDir));

    // The partial name carries this host and this process, and a check.
    const QString target = QDir(outDir).filePath("out.mp4");
    const QRegularExpression naming(QStringLiteral("^out\\.partial-(.+)-([0-9]+)-[0-9a-f]{16}\\.mp4$"));
    const auto match = naming.match(QFileInfo(partialMovieName(target)).fileName());
    QVERIFY(match.hasMatch());
    QCOMPARE(match.captured(2).toLongLong(), QCoreApplication::applicationPid());
    const QString host = match.captured(1);

    QProcess gone;   // a process that ran and ended: its pid runs no more
    gone.start(QStringLiteral("/bin/true"), QStringList());
    QVERIFY(gone.waitForStarted());
    const QString deadPid = QString::number(gone.processId());
    QVERIFY(gone.waitForFinished());
    const QString livePid = QString::number(QCoreApplication::applicationPid());

    const QString stale = QFileInfo(partialMovieName(target, deadPid.toLongLong())).fileName();
    const QStringList kept{
        QFileInfo(partialMovieName(target)).fileName(),                              // still being written
        QString(stale).replace("partial-" + host, "partial-another-host"),          // another machine's
        QFileInfo(partialMovieName(QDir(outDir).filePath("night.mp4"), deadPid.toLongLong())).fileName(), // another movie's
        "out.partial-" + host + "-" + deadPid + "-0123abcd0123abcd.mp4",             // named so, but no check
        "out.partial-1a2b3c4d.mp4"};                                                 // not of this naming
    for (const QString &name : kept + QStringList{stale})
        QVERIFY(nocta::test::writeFile(QDir(outDir).filePath(name), "partial"));
    QVERIFY(!useStandIn(writesMovie).isEmpty());

    RecordingSink sink;
    QVERIFY2(encodeMovie(work.path(), sink), qPrintable(sink.lines.join('\n')));
    QStringList expected = kept;
    expected << "out.mp4";
    expected.sort();
    QCOMPARE(entries(outDir), expected);
}

void TestMovieStages::refusedRenameIsReported_data()
{
    QTest::addColumn<bool>("replace");
    QTest::addColumn<bool>("folder");      // what comes at the target meanwhile: a folder, else a file
    QTest::addColumn<QString>("line");     // %1: the target

    QTest::newRow("a movie appeared, not to be replaced")
        << false << false << " - Encoding failed: %1 appeared while this movie was made; it is left as it is.";
    QTest::newRow("a folder appeared, not to be replaced")
        << false << true << " - Encoding failed: %1 appeared while this movie was made; it is left as it is.";
    QTest::newRow("a folder appeared")
        << true << true
        << " - Encoding failed: could not replace %1 (" + QString::fromLocal8Bit(std::strerror(EISDIR)) + ").";
}

// A movie that cannot take its name says why, and what came in its way
// stays as it is.
void TestMovieStages::refusedRenameIsReported()
{
    QFETCH(bool, replace);
    QFETCH(bool, folder);
    QFETCH(QString, line);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString target = work.filePath(QStringLiteral("out.mp4"));
    {
        MovieOutput output(target, Error::Stage::Encoding);
        output.setReplace(replace);
        QVERIFY(!output.open());
        QVERIFY(nocta::test::writeFile(output.partial(), "a movie"));
        if (folder)
            QVERIFY(QDir().mkpath(target + QStringLiteral("/kept")));
        else
            QVERIFY(nocta::test::writeFile(target, "another run's movie"));
        QCOMPARE(output.commit(-1).line(), line.arg(target));
    }
    QCOMPARE(entries(work.path()), QStringList{QStringLiteral("out.mp4")});   // the partial file is gone
    QCOMPARE(QFileInfo(target).isDir(), folder);
    if (!folder)
        QCOMPARE(nocta::test::readFile(target), QByteArray("another run's movie"));
}

void TestMovieStages::decodeRemovesStaleFrames()
{
    requireFfmpeg();
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString screens = work.filePath(QStringLiteral("screens"));

    RecordingSink sink;
    QVERIFY2(decodeMovie(clip60, work.path(), sink), qPrintable(sink.lines.join('\n')));
    QCOMPARE(numberedFrames(screens, QStringLiteral("bmp")), expectedFrames(60, QStringLiteral("bmp")));

    const QStringList keep{"notes.txt", "cover.bmp", "001.bmp.txt", "12a.bmp", "001.png", ".hidden.bmp"};
    for (const QString &name : keep)
        QVERIFY(nocta::test::writeFile(QDir(screens).filePath(name), "keep me"));
    QVERIFY(QFile::copy(QDir(screens).filePath(QStringLiteral("001.bmp")), QDir(screens).filePath(QStringLiteral("1234.bmp"))));
    QVERIFY(QDir(screens).mkdir(QStringLiteral("999.bmp")));

    QVERIFY2(decodeMovie(clip40, work.path(), sink), qPrintable(sink.lines.join('\n')));
    QCOMPARE(sink.failures, QStringList());
    QCOMPARE(numberedFrames(screens, QStringLiteral("bmp")), expectedFrames(40, QStringLiteral("bmp")));
    for (const QString &name : keep)
        QCOMPARE(nocta::test::readFile(QDir(screens).filePath(name)), QByteArray("keep me"));
    QVERIFY(QFileInfo(QDir(screens).filePath(QStringLiteral("999.bmp"))).isDir());
}

// The whole pipeline on a 60-frame movie, then on a 40-frame one in the same
// directory: the second movie has 36 frames, every one of them denoised from
// the second movie's own frames.
void TestMovieStages::shorterMovieAfterLongerOne()
{
    requireFfmpeg();
    QTemporaryDir work, fresh;
    QVERIFY(work.isValid() && fresh.isValid());
    RecordingSink sink;
    for (const QString &clip : {clip60, clip40}) {
        QVERIFY2(decodeMovie(clip, work.path(), sink), qPrintable(sink.lines.join('\n')));
        QVERIFY(processMovie(work.path(), DenoiseMode::Fuzzy, sink).ok());
        QVERIFY2(encodeMovie(work.path(), sink), qPrintable(sink.lines.join('\n')));
    }
    const QString movie = work.filePath(QStringLiteral("out_movies/out.mp4"));
    QCOMPARE(countMovieFrames(movie), 36);
    const QString processed = work.filePath(QStringLiteral("processed"));
    QCOMPARE(numberedFrames(processed, QStringLiteral("png")), expectedFrames(36, QStringLiteral("png")));

    // The same frames as a run that never saw the longer movie.
    QVERIFY(decodeMovie(clip40, fresh.path(), sink));
    QVERIFY(processMovie(fresh.path(), DenoiseMode::Fuzzy, sink).ok());
    for (const QString &name : expectedFrames(36, QStringLiteral("png")))
        QVERIFY2(nocta::test::readFile(QDir(processed).filePath(name))
                     == nocta::test::readFile(fresh.filePath(QStringLiteral("processed/") + name)),
                 qPrintable(name));
}

void TestMovieStages::removeStaleOutputsRemovesNumberedPngsOnly()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QVERIFY(!WorkFolder(work.path()).removeOutputFrames());   // no processed/ yet
    QVERIFY(entries(work.path()).isEmpty());

    const QString processed = work.filePath(QStringLiteral("processed"));
    QVERIFY(writeNightFrames(processed, 5, 8, 8, 1, "png"));
    const QStringList keep{"notes.png", "001.bmp", "001.png.txt", "a001.png", "readme.txt", "1.5.png"};
    for (const QString &name : keep)
        QVERIFY(nocta::test::writeFile(QDir(processed).filePath(name), "keep me"));
    QVERIFY(nocta::test::writeFile(QDir(processed).filePath(QStringLiteral("1234.png")), "stale"));
    QVERIFY(QDir(processed).mkdir(QStringLiteral("777.png")));

    const Error error = WorkFolder(work.path()).removeOutputFrames();
    QVERIFY2(!error, qPrintable(error.text()));
    QStringList expected = keep;
    expected << "777.png";
    expected.sort();
    QCOMPARE(entries(processed), expected);
    for (const QString &name : keep)
        QCOMPARE(nocta::test::readFile(QDir(processed).filePath(name)), QByteArray("keep me"));
}

void TestMovieStages::removeStaleOutputsReportsAFileThatStays()
{
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString processed = work.filePath(QStringLiteral("processed"));
    QVERIFY(writeNightFrames(processed, 2, 8, 8, 1, "png"));
    QVERIFY(QFile::setPermissions(processed, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    // The superuser removes files from read-only directories all the same.
    const bool protectedDir = !QFile(QDir(processed).filePath(QStringLiteral("probe"))).open(QIODevice::WriteOnly);
    const Error refusal = WorkFolder(work.path()).removeOutputFrames();
    const bool removed = !refusal;
    const QString error = refusal.text();
    QFile::remove(QDir(processed).filePath(QStringLiteral("probe")));
    QFile::setPermissions(processed, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!protectedDir)
        QSKIP("running with rights that ignore directory permissions");
    QVERIFY(!removed);
    QVERIFY2(error.contains(QStringLiteral("processed/001.png")), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestMovieStages)
#include "tst_moviestages.moc"
