// nocta-cli, run as a program on small generated clips: each command end to
// end against the processing run called directly, wrong input, and batches.

#include "pipeline/run/processingrun.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

using namespace nocta;
using namespace nocta::test;

Q_DECLARE_METATYPE(nocta::DenoiseMode)

namespace {

constexpr int ClipFrames = 12;
constexpr int ClipOutputs = ClipFrames - 4;
constexpr int OtherClipFrames = 10;
constexpr int ClipWidth = 96;
constexpr int ClipHeight = 64;

const QRegularExpression timingLine(QStringLiteral("^time\\d+ms$"));

// A console line: the time of day, then the message.
QRegularExpression consoleLine(const QString &message)
{
    return QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d") + QRegularExpression::escape(message) + '$');
}

bool hasConsoleLine(const CliRun &run, const QString &message)
{
    const QRegularExpression pattern = consoleLine(message);
    for (const QString &line : run.errLines())
        if (pattern.match(line).hasMatch())
            return true;
    return false;
}

QStringList pngNames(const QString &dir)
{
    return QDir(dir).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void help();
    void stages_data();
    void stages();
    void allInOne_data();
    void allInOne();
    void badInput_data();
    void badInput();
    void batchChecksEveryMovieFirst();
    void batchResumes();
    void singleMovieNamedAfterIt();
    void cutIsThatSpanOfTheWholeRun();
    void outputIsNeverTheMovie_data();
    void outputIsNeverTheMovie();
    void batchKeepsWorkDirectories();
    void partsWithGnuParallel();
    void demo();
    void signalsStopFfmpeg_data();
    void signalsStopFfmpeg();
    void signalsStopTheStream_data();
    void signalsStopTheStream();
    void progressSaysWhatHappens_data();
    void progressSaysWhatHappens();

private:
    QString referenceFor(const QString &workDir, DenoiseMode mode);
    void compareProcessed(const QString &actualDir, const QString &expectedDir);

    QString cli;
    QTemporaryDir scratch;
    QString clip;       // 12 frames
    QString otherClip;  // 10 frames, another size
    QString junk;       // text named like a movie
};

void TestCli::initTestCase()
{
    cli = cliProgram();
    QVERIFY2(QFileInfo(cli).isExecutable(), qPrintable(cli + " was not built"));
    if (findFfmpeg().isEmpty())
        QSKIP("ffmpeg is not on PATH");
    QVERIFY(scratch.isValid());

    clip = scratch.filePath(QStringLiteral("night.mp4"));
    QVERIFY(makeNightClip(clip, ClipFrames, ClipWidth, ClipHeight));
    otherClip = scratch.filePath(QStringLiteral("dusk.mp4"));
    QVERIFY(makeNightClip(otherClip, OtherClipFrames, 64, 48));
    junk = scratch.filePath(QStringLiteral("notes.mp4"));
    QFile file(junk);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("these are notes, not a movie\n");
}

// What the window's run writes for the frames of workDir/screens: the
// processing run called directly on a copy of them.
QString TestCli::referenceFor(const QString &workDir, DenoiseMode mode)
{
    static int serial = 0;
    const QString reference = scratch.filePath(QStringLiteral("reference-%1").arg(++serial));
    const QString screens = QDir(reference).filePath(QStringLiteral("screens"));
    if (!QDir().mkpath(screens))
        return QString();
    const QDir source(QDir(workDir).filePath(QStringLiteral("screens")));
    for (const QString &name : source.entryList(QDir::Files))
        if (!QFile::copy(source.filePath(name), QDir(screens).filePath(name)))
            return QString();
    RecordingSink sink;
    if (!processMovie(reference, mode, sink).ok())
        return QString();
    return QDir(reference).filePath(QStringLiteral("processed"));
}

void TestCli::compareProcessed(const QString &actualDir, const QString &expectedDir)
{
    const QStringList expected = pngNames(expectedDir);
    QCOMPARE(expected.size(), ClipOutputs);
    QCOMPARE(pngNames(actualDir), expected);
    for (const QString &name : expected) {
        const QImage want(QDir(expectedDir).filePath(name));
        const QImage got(QDir(actualDir).filePath(name));
        QVERIFY2(!got.isNull(), qPrintable(name));
        const QString difference = firstDifference(want, got);
        QVERIFY2(difference.isEmpty(), qPrintable(name + ": " + difference));
    }
}

void TestCli::help()
{
    const CliRun run = runCli({QStringLiteral("--help")}, scratch.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QVERIFY(run.out.startsWith(QLatin1String("Usage: nocta-cli")));
    QVERIFY(run.out.contains(QLatin1String("Examples:")));
    QVERIFY(run.err.isEmpty());
}

void TestCli::stages_data()
{
    QTest::addColumn<QStringList>("modeArguments");
    QTest::addColumn<DenoiseMode>("mode");
    QTest::newRow("default is fuzzy") << QStringList() << DenoiseMode::Fuzzy;
    QTest::newRow("fuzzy") << QStringList{"--mode", "fuzzy"} << DenoiseMode::Fuzzy;
    QTest::newRow("standard") << QStringList{"--mode=standard"} << DenoiseMode::Standard;
}

// decode, process and encode one after another, as the window's buttons.
void TestCli::stages()
{
    QFETCH(QStringList, modeArguments);
    QFETCH(DenoiseMode, mode);
    QTemporaryDir base;
    const QString work = QDir(base.path()).filePath(QStringLiteral("work"));

    // decode creates the work directory it is given.
    CliRun run = runCli({"decode", clip, "--workdir", work}, base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QVERIFY2(hasConsoleLine(run, " - Movie decoded."), qPrintable(run.err));
    QCOMPARE(QDir(work + "/screens").entryList({"*.bmp"}, QDir::Files).size(), ClipFrames);

    const QString reference = referenceFor(work, mode);
    QVERIFY(!reference.isEmpty());
    // The modes must be told apart by the comparison below.
    const QString otherReference = referenceFor(work, mode == DenoiseMode::Fuzzy ? DenoiseMode::Standard
                                                                                  : DenoiseMode::Fuzzy);
    QVERIFY(!otherReference.isEmpty());
    QVERIFY(!firstDifference(QImage(reference + "/003.png"), QImage(otherReference + "/003.png")).isEmpty());

    // process works in the current directory when no --workdir is given;
    // standard error is a pipe here, so progress comes as plain lines.
    run = runCli(QStringList{"process"} + modeArguments, work);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QCOMPARE(run.outLines().size(), 1);
    QVERIFY2(timingLine.match(run.outLines().first()).hasMatch(), qPrintable(run.out));
    QVERIFY2(hasConsoleLine(run, " - Processing done"), qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral(" - %1/%1 frames").arg(ClipOutputs)), qPrintable(run.err));
    compareProcessed(work + "/processed", reference);

    run = runCli({"encode", "--workdir", work}, base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QVERIFY2(hasConsoleLine(run, " - Movie created."), qPrintable(run.err));
    QCOMPARE(countMovieFrames(work + "/out_movies/out.mp4"), ClipOutputs);

    // -o is taken from the current directory, not from the work directory;
    // a folder named with a final / is made, with a line saying so.
    run = runCli({"encode", "--workdir", "work", "-o", "elsewhere/"}, base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QVERIFY2(hasConsoleLine(run, " - Folder made: " + base.path() + "/elsewhere"), qPrintable(run.err));
    QVERIFY2(hasConsoleLine(run, " - Saved " + base.path() + "/elsewhere/out.mp4"), qPrintable(run.err));
    QCOMPARE(countMovieFrames(base.path() + "/elsewhere/out.mp4"), ClipOutputs);
    QVERIFY(!QFileInfo::exists(work + "/elsewhere"));
}

void TestCli::allInOne_data()
{
    QTest::addColumn<QString>("modeName");
    QTest::addColumn<DenoiseMode>("mode");
    QTest::newRow("fuzzy") << "fuzzy" << DenoiseMode::Fuzzy;
    QTest::newRow("standard") << "standard" << DenoiseMode::Standard;
}

void TestCli::allInOne()
{
    QFETCH(QString, modeName);
    QFETCH(DenoiseMode, mode);
    QTemporaryDir base;
    const QString work = QDir(base.path()).filePath(QStringLiteral("work"));
    const QString result = QDir(base.path()).filePath(QStringLiteral("result.mp4"));
    // An earlier movie at the output is replaced by a successful encode.
    QFile earlier(result);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier result");
    earlier.close();

    const CliRun run = runCli({"all", clip, "--via-frames", "-y", "--mode", modeName, "--workdir", work,
                               "-o", "result.mp4", "--quiet"},
                              base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QCOMPARE(run.outLines().size(), 1);
    QVERIFY2(timingLine.match(run.outLines().first()).hasMatch(), qPrintable(run.out));
    // The console lines of the three stages in order, and no progress.
    const QStringList lines = run.errLines();
    QCOMPARE(lines.size(), 4);
    QVERIFY2(consoleLine(" - Movie decoded.").match(lines.at(0)).hasMatch(), qPrintable(run.err));
    QVERIFY2(consoleLine(" - Processing done").match(lines.at(1)).hasMatch(), qPrintable(run.err));
    QVERIFY2(consoleLine(" - Movie created.").match(lines.at(2)).hasMatch(), qPrintable(run.err));
    QVERIFY2(consoleLine(" - Saved " + result).match(lines.at(3)).hasMatch(), qPrintable(run.err));

    const QString reference = referenceFor(work, mode);
    QVERIFY(!reference.isEmpty());
    compareProcessed(work + "/processed", reference);
    QCOMPARE(countMovieFrames(result), ClipOutputs);
    QVERIFY(!QFileInfo::exists(work + "/out_movies/out.mp4"));
}

void TestCli::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("setup");

    // %W: the work directory (missing unless the setup makes it), %T: the
    // test's directory, %C: a good clip, %J: a text file named .mp4,
    // %F: a regular file.
    QTest::newRow("unknown option") << QStringList{"all", "%C", "--workdir", "%W", "--frobnicate"}
                                    << 2 << "unknown option '--frobnicate'" << "";
    QTest::newRow("unknown short option") << QStringList{"process", "-x", "--workdir", "%W"}
                                          << 2 << "unknown option '-x'" << "";
    QTest::newRow("unknown command") << QStringList{"denoise", "%C"} << 2 << "unknown command 'denoise'" << "";
    QTest::newRow("no command") << QStringList{"--workdir", "%W"} << 2 << "no command given" << "";
    QTest::newRow("unknown mode") << QStringList{"all", "%C", "--mode", "blurry", "--workdir", "%W"}
                                  << 2 << "unknown mode 'blurry'" << "";
    QTest::newRow("mode for decode") << QStringList{"decode", "%C", "--mode", "fuzzy", "--workdir", "%W"}
                                     << 2 << "--mode does not apply to decode" << "";
    QTest::newRow("-o without a value") << QStringList{"all", "%C", "--workdir", "%W", "-o"}
                                        << 2 << "Missing value after '-o'" << "";
    QTest::newRow("decode without movie") << QStringList{"decode", "--workdir", "%W"}
                                          << 2 << "decode needs a movie" << "";
    QTest::newRow("missing movie") << QStringList{"all", "%T/nothing.mp4", "--workdir", "%W"}
                                   << 1 << "nothing.mp4: no such file" << "";
    QTest::newRow("missing movie, decode") << QStringList{"decode", "%T/nothing.mp4", "--workdir", "%W"}
                                           << 1 << "nothing.mp4: no such file" << "";
    QTest::newRow("movie is a directory") << QStringList{"all", "%T", "--workdir", "%W"}
                                          << 1 << "is a directory, not a movie" << "";
    QTest::newRow("not a movie") << QStringList{"all", "%J", "--workdir", "%W", "-o", "%T/out.mp4"}
                                 << 1 << " - Decoding failed: " << "";
    QTest::newRow("not a movie, via frames") << QStringList{"all", "%J", "--via-frames", "--workdir", "%W", "-o", "%T/out.mp4"}
                                             << 1 << junk + ": Invalid data found when processing input." << "";
    QTest::newRow("--keep without --via-frames") << QStringList{"all", "%C", "--keep"} << 2 << "--keep applies to all --via-frames" << "";
    QTest::newRow("encoding option with --via-frames") << QStringList{"all", "%C", "--via-frames", "--crf", "20"}
                                                       << 2 << "--crf does not apply with --via-frames" << "";
    QTest::newRow("encoding option for encode") << QStringList{"encode", "--codec", "h265"} << 2 << "--codec applies to all" << "";
    QTest::newRow("unknown codec") << QStringList{"all", "%C", "--codec", "vp9"} << 2 << "unknown codec 'vp9'" << "";
    QTest::newRow("quality out of range") << QStringList{"all", "%C", "--crf", "52"} << 2 << "--crf takes a whole number" << "";
    QTest::newRow("quality and bit rate") << QStringList{"all", "%C", "--crf", "20", "--bitrate", "8M", "-o", "%T/o.mp4"}
                                          << 2 << "--crf and --bitrate exclude each other" << "";
    QTest::newRow("bad rate") << QStringList{"all", "%C", "--fps", "0"} << 2 << "--fps takes frames per second" << "";
    QTest::newRow("FFV1 in MP4") << QStringList{"all", "%C", "--codec", "ffv1", "-o", "%T/o.mp4"}
                                 << 2 << "FFV1 goes in Matroska" << "";
    QTest::newRow("output is the movie") << QStringList{"all", "%C", "-o", "%C"} << 2 << "is the movie" << "";
    QTest::newRow("output exists") << QStringList{"all", "%C", "-o", "%T/earlier.mp4"} << 2 << "add -y" << "earlier";
    QTest::newRow("movie is a FIFO") << QStringList{"all", "%T/pipe.mp4", "--workdir", "%W"}
                                     << 1 << "pipe.mp4 is a pipe (FIFO), not a movie file" << "fifo";
    QTest::newRow("output is a device") << QStringList{"all", "%C", "--workdir", "%W", "-o", "%T/node"}
                                        << 2 << "cannot write the movie to %T/node: it is a character device"
                                        << "device";
    QTest::newRow("no ffmpeg") << QStringList{"all", "%C", "--workdir", "%W"}
                               << 1 << "ffmpeg not found on PATH" << "nopath";
    QTest::newRow("no ffmpeg, decode") << QStringList{"decode", "%C", "--workdir", "%W"}
                                       << 1 << "ffmpeg not found on PATH" << "nopath";
    QTest::newRow("output under a file") << QStringList{"all", "%C", "--workdir", "%W", "-o", "%F/out.mp4"}
                                         << 2 << "is not a directory" << "";
    QTest::newRow("output under a file, through frames")
        << QStringList{"all", "%C", "--via-frames", "--workdir", "%W", "-o", "%F/out.mp4"} << 2 << "is not a directory" << "";
    QTest::newRow("read-only output directory")
        << QStringList{"all", "%C", "--workdir", "%W", "-o", "%T/locked/out.mp4"}
        << 2 << "is not writable" << "locked";
    QTest::newRow("work directory under a file") << QStringList{"decode", "%C", "--workdir", "%F/work"}
                                                 << 1 << "is not a directory" << "";
    QTest::newRow("work directory is a file") << QStringList{"all", "%C", "--workdir", "%F"}
                                              << 1 << "is not a directory" << "";
    QTest::newRow("process, no work directory") << QStringList{"process", "--workdir", "%W"}
                                                << 1 << "does not exist" << "";
    QTest::newRow("process, no frames") << QStringList{"process", "--workdir", "%W"}
                                        << 1 << " - No frames to process in screens/" << "workdir";
    QTest::newRow("encode, no frames, earlier movie kept")
        << QStringList{"encode", "--workdir", "%W", "-o", "%T/earlier.mp4"}
        << 1 << " - Encoding failed: no PNG frames in processed/" << "workdir,earlier";
    QTest::newRow("batch into a file") << QStringList{"all", "%C", "%C", "--workdir", "%W", "-o", "%F"}
                                       << 2 << "-o must name a directory" << "";
    QTest::newRow("batch, same names") << QStringList{"all", "%C", "%T/sub/night.mp4", "--workdir", "%W"}
                                       << 2 << "would both be written to" << "";
    QTest::newRow("--part for a batch") << QStringList{"all", "%C", "%C", "--part", "1/2"} << 2 << "--part takes one movie" << "";
    QTest::newRow("--part beyond its count") << QStringList{"all", "%C", "--part", "3/2"} << 2 << "--part takes K/N" << "";
    QTest::newRow("--part with --via-frames") << QStringList{"all", "%C", "--part", "1/2", "--via-frames"}
                                              << 2 << "--part does not apply with --via-frames" << "";
    QTest::newRow("part without a label") << QStringList{"all", "%C", "--part", "1/2", "-o", "%T/part.avi"}
                                          << 2 << "a part goes in Matroska or MP4" << "";
    QTest::newRow("more parts than frames") << QStringList{"all", "%C", "--part", "1/20", "-o", "%T/part.mp4"}
                                            << 1 << "too few for 20 parts" << "";
    QTest::newRow("-o in a missing folder") << QStringList{"all", "%C", "-o", "%T/nowhere/out.mp4"}
                                            << 2 << "folder %T/nowhere does not exist" << "";
    QTest::newRow("encode -o in a missing folder") << QStringList{"encode", "--workdir", "%W", "-o", "%T/nowhere/out.mp4"}
                                                   << 2 << "folder %T/nowhere does not exist" << "workdir";
    QTest::newRow("join -o in a missing folder") << QStringList{"join", "%C", "-o", "%T/nowhere/out.mkv"}
                                                 << 2 << "folder %T/nowhere does not exist" << "";
    QTest::newRow("batch into a missing folder") << QStringList{"all", "%C", "%J", "-o", "%T/nowhere"}
                                                 << 2 << "folder %T/nowhere does not exist" << "";
    QTest::newRow("-o names no container") << QStringList{"all", "%C", "-o", "%T/n.txt"}
                                           << 2 << "the accepted suffixes are .mp4, .mkv" << "";
    QTest::newRow("-o names no container, via frames")
        << QStringList{"all", "%C", "--via-frames", "--workdir", "%W", "-o", "%T/n.txt"}
        << 2 << "the accepted suffixes are .mp4, .mkv" << "";
    QTest::newRow("-o names no container, encode") << QStringList{"encode", "--workdir", "%W", "-o", "%T/n.txt"}
                                                   << 2 << "the accepted suffixes are .mp4, .mkv" << "workdir";
    QTest::newRow("--start with --via-frames") << QStringList{"all", "%C", "--via-frames", "--start", "1"}
                                               << 2 << "--start does not apply with --via-frames" << "";
    QTest::newRow("--duration for decode") << QStringList{"decode", "%C", "--duration", "1"}
                                           << 2 << "--duration applies to all" << "";
    QTest::newRow("--part with --start") << QStringList{"all", "%C", "--part", "1/2", "--start", "1"}
                                         << 2 << "leave out --start" << "";
    QTest::newRow("--start past the end") << QStringList{"all", "%C", "--start", "5", "-o", "%T/o.mp4"}
                                          << 1 << "before the cut's start at 5.000 s" << "";
    QTest::newRow("join without -o") << QStringList{"join", "%C"} << 2 << "join needs -o" << "";
    QTest::newRow("join of no part") << QStringList{"join", "%C", "-o", "%T/joined.mp4"} << 2 << "is not a part" << "";
    QTest::newRow("--audio-from for all") << QStringList{"all", "%C", "--audio-from", "%C"}
                                          << 2 << "--audio-from applies to join" << "";
}

// Each mistake: a clear line, a non-zero exit, no crash, no hang, and no
// frame, movie or partial file left behind.
void TestCli::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, setup);
    QTemporaryDir base;
    const QString work = QDir(base.path()).filePath(QStringLiteral("work"));
    const QString plainFile = QDir(base.path()).filePath(QStringLiteral("plain.txt"));
    {
        QFile file(plainFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("plain");
    }
    const QStringList steps = setup.split(QLatin1Char(','), Qt::SkipEmptyParts);
    QString path;
    if (steps.contains("nopath")) {
        path = QDir(base.path()).filePath(QStringLiteral("empty-bin"));
        QVERIFY(QDir().mkpath(path));
    }
    if (steps.contains("workdir"))
        QVERIFY(QDir().mkpath(work));
    const QString earlier = QDir(base.path()).filePath(QStringLiteral("earlier.mp4"));
    if (steps.contains("earlier")) {
        QFile file(earlier);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("an earlier movie");
    }
    const QString fifo = QDir(base.path()).filePath(QStringLiteral("pipe.mp4"));
    if (steps.contains("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    const QString node = QDir(base.path()).filePath(QStringLiteral("node"));
    if (steps.contains("device") && ::mknod(QFile::encodeName(node).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("making a device needs the superuser");
    const QString locked = QDir(base.path()).filePath(QStringLiteral("locked"));
    if (steps.contains("locked")) {
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QFile probe(locked + "/probe");
        if (probe.open(QIODevice::WriteOnly)) {
            probe.close();
            probe.remove();
            QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            QSKIP("permissions do not bind this user (root)");
        }
    }

    for (QString &argument : arguments) {
        argument.replace("%W", work);
        argument.replace("%T", base.path());
        argument.replace("%C", clip);
        argument.replace("%J", junk);
        argument.replace("%F", plainFile);
    }
    message.replace("%T", base.path());
    const CliRun run = runCli(arguments, base.path(), path);
    if (steps.contains("locked"))
        QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QVERIFY2(run.finished, "nocta-cli did not end");
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.describe()));
    QVERIFY2(run.out.isEmpty(), qPrintable(run.describe()));
    // The reason stands on one line of its own.
    bool found = false;
    for (const QString &line : run.errLines())
        found = found || line.contains(message);
    QVERIFY2(found, qPrintable(run.describe()));
    if (exitCode == 2) {
        QCOMPARE(run.errLines().size(), 1);
        QVERIFY(run.err.startsWith(QLatin1String("nocta-cli: ")));
    }

    QDirIterator it(base.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        if (file == plainFile || file == earlier || file == fifo || file == node)
            continue;
        QFAIL(qPrintable("left behind: " + file + "\n" + run.describe()));
    }
    if (steps.contains("earlier")) {
        QFile file(earlier);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("an earlier movie"));
    }
    struct stat status = {};
    if (steps.contains("device"))
        QVERIFY2(::lstat(QFile::encodeName(node).constData(), &status) == 0 && S_ISCHR(status.st_mode),
                 "the device was replaced");
}

// A batch looks at every movie before the first starts: one that cannot be
// read stops it all before any work, with a line naming it.
void TestCli::batchChecksEveryMovieFirst()
{
    QTemporaryDir base;
    const QString movies = QDir(base.path()).filePath(QStringLiteral("movies"));
    QVERIFY(QDir().mkpath(movies));
    QVERIFY(QFile::copy(clip, movies + "/first.mp4"));
    QVERIFY(QFile::copy(junk, movies + "/broken.mp4"));
    QVERIFY(QFile::copy(otherClip, movies + "/third.mp4"));

    const CliRun run = runCli({"all", "movies/first.mp4", "movies/broken.mp4", "movies/third.mp4",
                               "-o", "denoised/", "--mode", "standard", "-q"},
                              base.path());
    QVERIFY2(run.finished && run.exitCode == 1, qPrintable(run.describe()));
    QVERIFY2(run.err.contains("broken.mp4"), qPrintable(run.err));
    QVERIFY2(run.errLines().last().contains("nothing was started"), qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(QDir(base.path()).filePath("denoised")));
}

// A batch run again skips the movies whose result is there already, so a
// stopped batch goes on where it stopped; -y does them all again.
void TestCli::batchResumes()
{
    QTemporaryDir base;
    const QString out = QDir(base.path()).filePath(QStringLiteral("denoised"));
    QVERIFY(QDir().mkpath(out));
    QVERIFY(writeFile(out + "/night.denoised.mp4", "done before the stop"));

    const CliRun run = runCli({"all", clip, otherClip, "-o", "denoised/", "-q"}, base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QVERIFY2(run.err.contains(" - Skipped: "), qPrintable(run.err));
    QCOMPARE(readFile(out + "/night.denoised.mp4"), QByteArray("done before the stop"));
    QCOMPARE(countMovieFrames(out + "/dusk.denoised.mp4"), OtherClipFrames - 4);
    QCOMPARE(run.outLines().size(), 1);   // one processing run
    QVERIFY2(run.errLines().last().endsWith("1 denoised, 1 skipped (already denoised) in " + out), qPrintable(run.err));

    const CliRun done = runCli({"all", clip, otherClip, "-o", "denoised/", "-q"}, base.path());
    QVERIFY2(done.finished && done.exitCode == 0 && done.out.isEmpty(), qPrintable(done.describe()));
    QVERIFY2(done.errLines().last().contains("2 movies already denoised in " + out + ", skipped; nothing to do"),
             qPrintable(done.err));

    const CliRun again = runCli({"all", clip, otherClip, "-o", "denoised/", "-q", "-y"}, base.path());
    QVERIFY2(again.finished && again.exitCode == 0, qPrintable(again.describe()));
    QCOMPARE(countMovieFrames(out + "/night.denoised.mp4"), ClipFrames - 4);
}

// Without -o a movie goes to <name>.denoised.mp4 in the work directory,
// as in a batch, so that one movie after another needs no -o; the last
// line says where it went.
void TestCli::singleMovieNamedAfterIt()
{
    QTemporaryDir base;
    for (const QString &movie : {clip, otherClip}) {
        const QString name = QFileInfo(movie).completeBaseName();
        const CliRun run = runCli({"all", movie, "-q"}, base.path());
        QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
        const QString output = base.filePath(name + ".denoised.mp4");
        QVERIFY2(consoleLine(" - Saved " + output).match(run.errLines().last()).hasMatch(), qPrintable(run.err));
        QCOMPARE(countMovieFrames(output), (movie == clip ? ClipFrames : OtherClipFrames) - 4);
    }
    QVERIFY(!QFileInfo::exists(base.filePath("out_movies")));
}

namespace {

// A lossless read-back of a movie's frames, <dir>/001.bmp ...
QStringList framesOf(const QString &movie, const QString &dir)
{
    if (!decodeWithFfmpeg(movie, dir))
        return {};
    return QDir(dir).entryList({"*.bmp"}, QDir::Files, QDir::Name);
}

} // namespace

// --start 1 --duration 1 gives the frames of a whole run that show the
// movie's second second, byte for byte, with a second of sound in step:
// the flash of movie frame 31 and its beep both 6 frames in.
void TestCli::cutIsThatSpanOfTheWholeRun()
{
    QTemporaryDir base;
    const QString movie = base.filePath("flash.mkv");
    QVERIFY(makeFlashMovie(movie, "pcm_s16le", 3 * FlashRate));
    CliRun run = runCli({"all", movie, "--codec", "ffv1", "-o", "whole.mkv", "-q"}, base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    run = runCli({"all", movie, "--codec", "ffv1", "--start", "0:01", "--duration", "1", "-o", "cut.mkv", "-q"},
                 base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));

    const QStringList whole = framesOf(base.filePath("whole.mkv"), base.filePath("whole"));
    const QStringList cut = framesOf(base.filePath("cut.mkv"), base.filePath("cut"));
    QCOMPARE(whole.size(), 3 * FlashRate - 4);
    QCOMPARE(cut.size(), FlashRate);
    // Whole-run output frame k is movie frame k + 2; the cut starts at movie frame 25.
    for (int i = 0; i < cut.size(); ++i)
        QVERIFY2(readFile(base.filePath("cut/" + cut.at(i))) == readFile(base.filePath("whole/" + whole.at(i + FlashRate - 2))),
                 qPrintable(cut.at(i)));

    const int flash = FlashFrames[1] - FlashRate;
    QCOMPARE(brightestFrame(base.filePath("cut")), flash);
    const double beep = firstBeep(base.filePath("cut.mkv"), base.path());
    QVERIFY2(std::abs(beep - double(flash) / FlashRate) < 1.0 / FlashRate, qPrintable(QString::number(beep)));
    const double sound = readFile(base.filePath("sound.raw")).size() / 2 / 48000.0;   // firstBeep's mono samples
    QVERIFY2(std::abs(sound - 1.0) < 1.0 / FlashRate, qPrintable(QString::number(sound)));
}

// The output is never the movie, by whatever path.
void TestCli::outputIsNeverTheMovie_data()
{
    QTest::addColumn<QString>("link");
    QTest::newRow("symbolic link") << "symbolic";
    QTest::newRow("hard link") << "hard";
}

void TestCli::outputIsNeverTheMovie()
{
    QFETCH(QString, link);
    QTemporaryDir base;
    const QString movie = base.filePath("night.mp4");
    const QString other = base.filePath("other.mp4");
    QVERIFY(QFile::copy(clip, movie));
    if (link == "symbolic")
        QVERIFY(QFile::link(movie, other));
    else
        QCOMPARE(::link(QFile::encodeName(movie).constData(), QFile::encodeName(other).constData()), 0);
    const QByteArray before = readFile(movie);

    const CliRun run = runCli({"all", movie, "-o", other, "-y", "-q"}, base.path());
    QVERIFY2(run.finished && run.exitCode == 2, qPrintable(run.describe()));
    QVERIFY2(run.err.contains("is the movie"), qPrintable(run.err));
    QCOMPARE(readFile(movie), before);
}

void TestCli::batchKeepsWorkDirectories()
{
    QTemporaryDir base;
    const CliRun run = runCli({"all", clip, otherClip, "--via-frames", "--keep", "--workdir", base.path(), "-q"},
                              base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    // Without -o the movies land in the work directory.
    QCOMPARE(countMovieFrames(base.path() + "/night.denoised.mp4"), ClipFrames - 4);
    QCOMPARE(countMovieFrames(base.path() + "/dusk.denoised.mp4"), OtherClipFrames - 4);
    const QStringList kept = QDir(base.path()).entryList({"nocta-*"}, QDir::Dirs, QDir::Name);
    QCOMPARE(kept.size(), 2);
    QVERIFY(kept.at(0).startsWith("nocta-dusk-"));
    QVERIFY(kept.at(1).startsWith("nocta-night-"));
    QCOMPARE(pngNames(base.path() + "/" + kept.at(0) + "/processed").size(), OtherClipFrames - 4);
    QCOMPARE(pngNames(base.path() + "/" + kept.at(1) + "/processed").size(), ClipFrames - 4);
}

// The README's recipe for one long movie, run for real: GNU parallel makes
// four parts two at a time, join puts them together, and the result is the
// whole run's movie. join refuses a set with a part missing, and never
// writes over a part.
void TestCli::partsWithGnuParallel()
{
    if (QStandardPaths::findExecutable(QStringLiteral("parallel")).isEmpty())
        QSKIP("GNU parallel is not installed (scripts/debian-packages lists it)");
    QTemporaryDir base;
    QVERIFY(QFile::copy(clip, base.filePath("night.mp4")));

    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", QFileInfo(cli).absolutePath() + ":" + environment.value("PATH"));
    environment.insert("HOME", base.path());   // parallel keeps its files there
    shell.setProcessEnvironment(environment);
    shell.setWorkingDirectory(base.path());
    shell.setStandardInputFile(QProcess::nullDevice());
    shell.start("bash", {"-c", "mkdir -p parts && parallel -j2 nocta-cli all night.mp4 --part {}/4 --codec ffv1 -o parts/{}.mkv -q "
                               "::: $(seq 4) && nocta-cli join parts/*.mkv -o joined.mkv -q"});
    QVERIFY(shell.waitForFinished(180000));
    QVERIFY2(shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0,
             qPrintable(shell.readAllStandardError()));

    CliRun run = runCli({"all", "night.mp4", "--codec", "ffv1", "-o", "whole.mkv", "-q"}, base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    QVERIFY(decodeWithFfmpeg(base.filePath("whole.mkv"), base.filePath("whole")));
    QVERIFY(decodeWithFfmpeg(base.filePath("joined.mkv"), base.filePath("joined")));
    const QStringList frames = QDir(base.filePath("whole")).entryList({"*.bmp"}, QDir::Files, QDir::Name);
    QCOMPARE(frames.size(), ClipOutputs);
    QCOMPARE(QDir(base.filePath("joined")).entryList({"*.bmp"}, QDir::Files, QDir::Name), frames);
    for (const QString &name : frames)
        QCOMPARE(readFile(base.filePath("joined/" + name)), readFile(base.filePath("whole/" + name)));

    run = runCli({"join", "parts/1.mkv", "parts/2.mkv", "parts/4.mkv", "-o", "again.mkv"}, base.path());
    QVERIFY2(run.finished && run.exitCode == 2, qPrintable(run.describe()));
    QCOMPARE(run.errLines().size(), 1);
    QVERIFY2(run.err.contains("part 3 of 4 is missing"), qPrintable(run.err));
    QVERIFY(!QFileInfo::exists(base.filePath("again.mkv")));

    const QByteArray part = readFile(base.filePath("parts/1.mkv"));
    run = runCli({"join", "parts/1.mkv", "parts/2.mkv", "parts/3.mkv", "parts/4.mkv", "-o", "parts/1.mkv", "-y"},
                 base.path());
    QVERIFY2(run.finished && run.exitCode == 2 && run.err.contains("itself"), qPrintable(run.describe()));
    QCOMPARE(readFile(base.filePath("parts/1.mkv")), part);
}

void TestCli::demo()
{
    QTemporaryDir base;
    const CliRun run = runCli({"demo", "--workdir", base.path(), "--quiet"}, base.path());
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    const QStringList lines = run.outLines();
    QCOMPARE(lines.size(), 3);
    QVERIFY(timingLine.match(lines.at(0)).hasMatch());
    QVERIFY(lines.at(1).startsWith("Noisy movie:"));
    QVERIFY(lines.at(2).startsWith("Denoised movie:"));
    const QString noisy = lines.at(1).section(':', 1).trimmed();
    const QString denoised = lines.at(2).section(':', 1).trimmed();
    QVERIFY2(noisy.startsWith(base.path() + "/nocta-demo-"), qPrintable(noisy));
    const int frames = countMovieFrames(noisy);
    QVERIFY(frames >= 5);
    QCOMPARE(countMovieFrames(denoised), frames - 4);
}

namespace {

// True once the process has ended (a zombie counts as ended).
bool processGone(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0)
        return true;
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

void TestCli::signalsStopFfmpeg_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stoppedLine");

    QTest::newRow("encode, SIGINT") << "encode" << SIGINT << 130 << " - Encoding stopped.";
    QTest::newRow("encode, SIGTERM") << "encode" << SIGTERM << 143 << " - Encoding stopped.";
    QTest::newRow("decode, SIGHUP") << "decode" << SIGHUP << 129 << " - Decoding stopped.";
    QTest::newRow("encode, SIGKILL") << "encode" << SIGKILL << -1 << "";
}

// A signal sent to nocta-cli alone (kill PID, a service manager), not to
// its process group, stops ffmpeg as well; the unfinished movie goes and
// the earlier one stays. After SIGKILL, ffmpeg dies with nocta-cli and the
// next encode removes the partial movie that was left.
void TestCli::signalsStopFfmpeg()
{
    QFETCH(QString, command);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QString, stoppedLine);

    QTemporaryDir base;
    const QString work = QDir(base.path()).filePath(QStringLiteral("work"));
    QVERIFY(writeNightFrames(work + "/processed", 3, 8, 8, 1, "png"));
    QVERIFY(QDir().mkpath(work + "/out_movies"));
    const QString movie = work + "/out_movies/out.mp4";
    QVERIFY(writeFile(movie, "the earlier movie"));
    QVERIFY(writeFile(base.path() + "/night.mp4", "a movie to decode"));
    // It runs until stopped, unless told to be quick.
    const StandInFfmpeg standIn("#!/bin/sh\n"
                                "for a; do last=$a; done\n"
                                "if [ -e quick ]; then printf movie > \"$last\"; exit 0; fi\n"
                                "case \"$last\" in *.mp4) printf partial > \"$last\" ;; esac\n"
                                "echo $$ > ffmpeg.pid\n"
                                "exec /bin/sleep 30\n");
    QVERIFY(standIn.isValid());

    QProcess process;
    startCli(process, command == "encode" ? QStringList{"encode", "--workdir", work, "-q"}
                                          : QStringList{"decode", base.path() + "/night.mp4", "--workdir", work, "-q"},
             base.path(), standIn.path());
    QTRY_VERIFY_WITH_TIMEOUT(!readFile(work + "/ffmpeg.pid").isEmpty(), 10000);
    const qint64 ffmpegPid = readFile(work + "/ffmpeg.pid").trimmed().toLongLong();
    QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
    const CliRun run = finishCli(process, 10000);

    QVERIFY2(run.finished, "nocta-cli did not end");
    QTRY_VERIFY2_WITH_TIMEOUT(processGone(ffmpegPid), "ffmpeg runs on", 3000);
    QVERIFY2(!run.err.contains("Movie created"), qPrintable(run.describe()));
    if (signal == SIGKILL) {
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
        QCOMPARE(QDir(work + "/out_movies").entryList(QDir::Files).size(), 2);
        QVERIFY(writeFile(work + "/quick", ""));
        const CliRun next = runCli({"encode", "--workdir", work, "-q"}, base.path(), standIn.path());
        QVERIFY2(next.finished && next.exitCode == 0, qPrintable(next.describe()));
        QCOMPARE(QDir(work + "/out_movies").entryList(QDir::Files), QStringList{"out.mp4"});
        QCOMPARE(readFile(movie), QByteArray("movie"));
        return;
    }
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.describe()));
    QVERIFY2(hasConsoleLine(run, stoppedLine), qPrintable(run.describe()));
    QCOMPARE(QDir(work + "/out_movies").entryList(QDir::Files), QStringList{"out.mp4"});
    QCOMPARE(readFile(movie), QByteArray("the earlier movie"));
}

void TestCli::signalsStopTheStream_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGINT") << SIGINT << 130;
    QTest::newRow("SIGTERM") << SIGTERM << 143;
}

// A signal to nocta-cli in the middle of a streamed all stops both ffmpeg
// processes and removes the partial movie.
void TestCli::signalsStopTheStream()
{
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QTemporaryDir base;
    const QString movie = base.filePath("long.mp4");
    QVERIFY(makeNightClip(movie, 600, 160, 120));
    QVERIFY(QDir().mkpath(base.filePath("out")));

    QProcess process;
    startCli(process, {"all", movie, "-o", base.filePath("out/clean.mp4"), "--preset", "ultrafast", "-q"},
             base.path(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(base.filePath("out")).entryList(QDir::Files).isEmpty(), 20000);
    // The decoder and the encoder, children of the threads that started them.
    QStringList children;
    for (const QString &task : QDir(QStringLiteral("/proc/%1/task").arg(process.processId())).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        children += QString::fromLatin1(readFile(QStringLiteral("/proc/%1/task/%2/children").arg(process.processId()).arg(task)))
                        .split(' ', Qt::SkipEmptyParts);
    QCOMPARE(children.size(), 2);
    QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
    const CliRun run = finishCli(process, 20000);

    QVERIFY2(run.finished && run.exitStatus == QProcess::NormalExit && run.exitCode == exitCode, qPrintable(run.describe()));
    QVERIFY2(!run.err.contains("Movie created"), qPrintable(run.describe()));
    for (const QString &child : children)
        QTRY_VERIFY2_WITH_TIMEOUT(processGone(child.toLongLong()), "ffmpeg runs on", 3000);
    QCOMPARE(QDir(base.filePath("out")).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestCli)

void TestCli::progressSaysWhatHappens_data()
{
    QTest::addColumn<bool>("terminal");   // else pipes, read by a script
    QTest::addColumn<QString>("said");
    QTest::addColumn<QString>("unsaid");   // a whole line
    QTest::newRow("pipes") << false << "8/8 frames (100%), finishing..." << "";
    QTest::newRow("terminal") << true << "Processing took " << "time\\d+ms";
}

// The end of the frames says that the movie is still being finished; a
// person at a terminal reads the processing time in words, a script the
// timing line.
void TestCli::progressSaysWhatHappens()
{
    QFETCH(bool, terminal);
    QFETCH(QString, said);
    QFETCH(QString, unsaid);
    QTemporaryDir dir;
    const QStringList arguments{"all", clip, "-o", dir.filePath("clean.mp4")};
    QProcess process;
    if (terminal) {
        if (QStandardPaths::findExecutable("script").isEmpty())
            QSKIP("no script(1) to give nocta-cli a terminal");
        process.start("script", {"-qefc", QStringList(QStringList{cli} + arguments).join(' '), "/dev/null"});
    } else {
        process.start(cli, arguments);
    }
    const CliRun run = finishCli(process, 180000);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    const QString all = QString(run.out + run.err).remove('\r');
    QVERIFY2(all.contains(said), qPrintable(all));
    if (!unsaid.isEmpty())
        QVERIFY2(!all.contains(QRegularExpression("(^|\\n|\\x1b\\[K)" + unsaid + "\\n")), qPrintable(all));
    else
        QVERIFY2(timingLine.match(run.outLines().value(0)).hasMatch(), qPrintable(run.out));
}

#include "tst_cli.moc"
