// nocta-cli against what would cost the user a movie: outputs that are
// movies it reads, parts that are not finished, files named like its own,
// a second run to the same output, and signals at awkward moments. Each
// case runs the program on small clips made with ffmpeg's lavfi sources.

#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace nocta::test;

namespace {

constexpr int SourceFrames = 100;           // the movie of the parts: 96 output frames
constexpr int JoinedFrames = SourceFrames - 4;
constexpr double Rate = 25;

// ffmpeg that reads its input at the movie's own pace, so that a run lasts
// long enough for something to happen while it runs.
const QByteArray PacedFfmpeg = "#!/bin/sh\nexec \"$REAL_FFMPEG\" -re \"$@\"\n";

// ffprobe that, when it counts a movie's frames (the final check of a
// movie made), first leaves the file `marker` and waits two seconds.
QByteArray slowCheckFfprobe(const QString &marker)
{
    return "#!/bin/sh\ncase \"$*\" in *-count_packets*) : > '" + QFile::encodeName(marker)
           + "'; sleep 2 ;; esac\nexec \"$REAL_FFPROBE\" \"$@\"\n";
}

QString hostTag()
{
    QString host = QSysInfo::machineHostName();
    for (QChar &c : host)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != '.' && c != '-')
            c = '_';
    return host.isEmpty() ? QStringLiteral("localhost") : host;
}

QStringList filesIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// Waits until a file whose name holds ".partial-" is in dir (the movie
// being written); false after timeoutMs.
bool waitForPartial(const QString &dir, int timeoutMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (filesIn(dir).filter(".partial-").isEmpty()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

// The length of a movie's video as its container states it, in seconds;
// -1 when it states none.
double videoSeconds(const QString &movie)
{
    QString text;
    if (!runProgram("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                "stream=duration:stream_tags=DURATION", "-of", "default=nw=1:nk=1", movie},
                    &text))
        return -1;
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
        const QStringList clock = line.trimmed().split(':');
        bool ok = false;
        const double seconds = clock.size() == 3 ? clock.at(0).toDouble() * 3600 + clock.at(1).toDouble() * 60 + clock.at(2).toDouble(&ok)
                                                 : line.toDouble(&ok);
        if (ok)
            return seconds;
    }
    return -1;
}

} // namespace

class TestHostileOutputs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void neverWritesOverWhatItReads_data();
    void neverWritesOverWhatItReads();
    void joinTakesOnlyFinishedParts_data();
    void joinTakesOnlyFinishedParts();
    void oneOutcomeWhatHappensMeanwhile_data();
    void oneOutcomeWhatHappensMeanwhile();

private:
    // A fresh directory holding copies of the fixtures.
    QString rowDir(QTemporaryDir &dir) const;
    QStringList partArguments() const { return {"--codec", "h264", "--preset", "ultrafast", "-q"}; }

    QTemporaryDir fixtures;
    QString realFfmpeg;
};

void TestHostileOutputs::initTestCase()
{
    QVERIFY2(QFileInfo(cliProgram()).isExecutable(), "nocta-cli was not built");
    realFfmpeg = findFfmpeg();
    if (realFfmpeg.isEmpty() || QStandardPaths::findExecutable("ffprobe").isEmpty())
        QSKIP("ffmpeg and ffprobe are not on PATH");
    qputenv("REAL_FFMPEG", QFile::encodeName(realFfmpeg));
    qputenv("REAL_FFPROBE", QFile::encodeName(QStandardPaths::findExecutable("ffprobe")));
    const QDir dir(fixtures.path());
    QVERIFY(makeNightClip(dir.filePath("clip.mp4"), 12, 96, 64));
    QVERIFY(makeNightClip(dir.filePath("dusk.mp4"), 10, 64, 48));
    QVERIFY(makeNightClip(dir.filePath("night.mkv"), SourceFrames, 160, 120));
    // Both parts of night.mkv, in Matroska and in MP4.
    QVERIFY(dir.mkpath("parts"));
    for (const QString name : {"1.mkv", "2.mkv", "1.mp4", "2.mp4"}) {
        const CliRun run = runCli(QStringList{"all", "night.mkv", "--part", name.left(1) + "/2", "-o", "parts/" + name}
                                      + partArguments(),
                                  fixtures.path());
        QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.describe()));
    }
}

QString TestHostileOutputs::rowDir(QTemporaryDir &dir) const
{
    if (!dir.isValid() || !runProgram("cp", {"-a", fixtures.path() + "/.", dir.path()}))
        return QString();
    return dir.path();
}

// Before any work starts, an output that is a movie of the run, by its
// path or by a link, is refused, and so is one that is the movie join was
// told to take the sound from, even with -y. The clean-up of partial files
// left by killed runs never takes a movie named like one.
void TestHostileOutputs::neverWritesOverWhatItReads_data()
{
    QTest::addColumn<QString>("setup");        // shell commands in the directory
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("kept");         // a movie that must stay as it was

    QTest::newRow("batch, a later movie is an output")
        << "cp dusk.mp4 clip.denoised.mp4" << QStringList{"all", "clip.mp4", "clip.denoised.mp4", "-o", ".", "-y", "-q"}
        << 2 << "clip.denoised.mp4";
    QTest::newRow("batch, an output links to a movie")
        << "mkdir out && ln -s ../dusk.mp4 out/clip.denoised.mp4"
        << QStringList{"all", "clip.mp4", "dusk.mp4", "-o", "out", "-y", "-q"} << 2 << "dusk.mp4";
    QTest::newRow("batch, an output is a hard link to a movie")
        << "mkdir out && ln dusk.mp4 out/clip.denoised.mp4"
        << QStringList{"all", "clip.mp4", "dusk.mp4", "-o", "out", "-y", "-q"} << 2 << "dusk.mp4";
    QTest::newRow("join, the movie told of with --no-audio")
        << "cp night.mkv moved.mkv"
        << QStringList{"join", "parts/1.mkv", "parts/2.mkv", "--audio-from", "moved.mkv", "--no-audio", "-o", "moved.mkv",
                       "-y", "-q"}
        << 2 << "moved.mkv";
    for (const QString random : {"0123abcd", "0123abcd4567ef89"}) {
        const QString name = QStringLiteral("clean.partial-%1-2147483646-%2.mp4").arg(hostTag(), random);
        QTest::newRow(qPrintable("a movie named like a partial file, " + random))
            << "cp clip.mp4 " + name << QStringList{"all", name, "-o", "clean.mp4", "-q"} << 0 << name;
    }
}

void TestHostileOutputs::neverWritesOverWhatItReads()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, kept);
    QTemporaryDir temporary;
    const QString dir = rowDir(temporary);
    QVERIFY(!dir.isEmpty());
    QVERIFY(runProgram("bash", {"-c", "cd \"$0\" && " + setup, dir}));
    const QByteArray before = readFile(QDir(dir).filePath(kept));
    QVERIFY(!before.isEmpty());

    const CliRun run = runCli(arguments, dir);
    QVERIFY2(run.finished && run.exitCode == exitCode, qPrintable(run.describe()));
    QVERIFY2(readFile(QDir(dir).filePath(kept)) == before, qPrintable(kept + " was changed\n" + run.describe()));
    if (exitCode != 0)
        QVERIFY2(!run.err.contains("Denoising") && !run.err.contains("Joining"), qPrintable(run.describe()));
}

// join takes only whole parts of one container: a part that was killed
// (its partial file), or is cut short, or parts of different containers,
// are refused before anything is written. Whole parts join into a movie
// of the right length.
void TestHostileOutputs::joinTakesOnlyFinishedParts_data()
{
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<QString>("spoil");     // how: "cut 1.mkv", "stop 2.mkv", "kill 2.mkv"
    QTest::addColumn<int>("exitCode");

    QTest::newRow("whole Matroska parts") << QStringList{"1.mkv", "2.mkv"} << "" << 0;
    QTest::newRow("whole MP4 parts") << QStringList{"1.mp4", "2.mp4"} << "" << 0;
    QTest::newRow("the last part killed while written") << QStringList{"1.mkv", "*"} << "stop 2.mkv" << 2;
    QTest::newRow("the last part killed while checked") << QStringList{"1.mkv", "*"} << "kill 2.mkv" << 2;
    QTest::newRow("the last part cut short") << QStringList{"1.mkv", "2.mkv"} << "cut 2.mkv" << 2;
    QTest::newRow("the first part cut short") << QStringList{"1.mkv", "2.mkv"} << "cut 1.mkv" << 2;
    QTest::newRow("Matroska and MP4") << QStringList{"1.mkv", "2.mp4"} << "" << 2;
    QTest::newRow("MP4 and Matroska") << QStringList{"1.mp4", "2.mkv"} << "" << 2;
}

void TestHostileOutputs::joinTakesOnlyFinishedParts()
{
    QFETCH(QStringList, parts);
    QFETCH(QString, spoil);
    QFETCH(int, exitCode);
    QTemporaryDir temporary;
    const QString dir = rowDir(temporary);
    QVERIFY(!dir.isEmpty());
    const QString spoiled = QDir(dir).filePath("parts/" + spoil.section(' ', 1));
    if (spoil.startsWith("cut")) {
        QFile file(spoiled);
        QVERIFY(file.resize(file.size() * 6 / 10));
    } else if (spoil.startsWith("stop")) {
        // What a part killed while written leaves: its label, some of its
        // frames, and nothing that a finished file records at its end.
        QVERIFY(runProgram("bash", {"-c", "ffmpeg -v error -i \"$0\" -c copy -map_metadata 0 -frames:v 20 -f matroska - > \"$1\"",
                                    spoiled, QDir(dir).filePath("parts/2.partial-" + hostTag() + "-2147483646-0123abcd.mkv")}));
        QVERIFY(QFile::remove(spoiled));
    } else if (spoil.startsWith("kill")) {
        // The part made again, killed while its movie is checked, complete
        // but under its partial name.
        QVERIFY(QFile::remove(spoiled));
        const QString checking = QDir(dir).filePath("checking");
        StandInFfmpeg tools(QByteArray(), false);
        QVERIFY(tools.add("ffmpeg") && tools.add("ffprobe", slowCheckFfprobe(checking)));
        QProcess part;
        startCli(part, QStringList{"all", "night.mkv", "--part", "2/2", "-o", spoiled} + partArguments(), dir,
                 tools.path() + ":/usr/bin:/bin");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(checking), 30000);
        QCOMPARE(::kill(pid_t(part.processId()), SIGKILL), 0);
        finishCli(part, 10000);
        QVERIFY(!QFileInfo::exists(spoiled));
    }
    QStringList arguments{"join"};
    for (const QString &part : parts)
        arguments << (part == "*" ? filesIn(QDir(dir).filePath("parts")).filter(".partial-").value(0) : part);
    for (int i = 1; i < arguments.size(); ++i)
        arguments[i] = "parts/" + arguments.at(i);
    const QString joined = QDir(dir).filePath("joined." + QFileInfo(parts.first()).suffix());
    const CliRun run = runCli(arguments + QStringList{"-o", joined, "-q"}, dir);

    QVERIFY2(run.finished && run.exitCode == exitCode, qPrintable(run.describe()));
    if (exitCode != 0) {
        QVERIFY(!QFileInfo::exists(joined));
        QVERIFY2(!run.err.contains("Joining"), qPrintable(run.describe()));
        return;
    }
    QCOMPARE(countMovieFrames(joined), JoinedFrames);
    QVERIFY2(qAbs(videoSeconds(joined) - JoinedFrames / Rate) < 0.5 / Rate, qPrintable(QString::number(videoSeconds(joined))));
}

// Whatever happens while a movie is made gives one outcome: a signal to
// the whole process group (Ctrl-C) or one that comes during the final
// check of the movie stops it (no movie, the exit status of the signal,
// no failure and no "Movie created."); a file that appears at the output
// meanwhile is not replaced without -y.
void TestHostileOutputs::oneOutcomeWhatHappensMeanwhile_data()
{
    QTest::addColumn<QString>("command");   // all, join
    QTest::addColumn<QString>("event");     // "group SIGINT", "check SIGTERM", "output appears"
    QTest::addColumn<int>("exitCode");

    QTest::newRow("all, Ctrl-C") << "all" << "group SIGINT" << 130;
    QTest::newRow("all, SIGTERM to the group") << "all" << "group SIGTERM" << 143;
    QTest::newRow("join, Ctrl-C") << "join" << "group SIGINT" << 130;
    QTest::newRow("all, SIGTERM during the final check") << "all" << "check SIGTERM" << 143;
    QTest::newRow("all, the output appears") << "all" << "output appears" << 1;
    QTest::newRow("join, the output appears") << "join" << "output appears" << 1;
}

void TestHostileOutputs::oneOutcomeWhatHappensMeanwhile()
{
    QFETCH(QString, command);
    QFETCH(QString, event);
    QFETCH(int, exitCode);
    QTemporaryDir temporary;
    const QString dir = rowDir(temporary);
    QVERIFY(!dir.isEmpty());
    QVERIFY(QDir(dir).mkpath("out"));
    const QString output = QDir(dir).filePath(command == "all" ? "out/clean.mp4" : "out/clean.mkv");
    const QString checking = QDir(dir).filePath("checking");
    // ffmpeg at the movie's pace; ffprobe, for a signal during the check,
    // slow to count the movie's frames.
    StandInFfmpeg tools(PacedFfmpeg);
    QVERIFY(tools.isValid());
    QVERIFY(tools.add("ffprobe", event.startsWith("check") ? slowCheckFfprobe(checking) : QByteArray()));

    const QStringList arguments = command == "all"
                                      ? QStringList{"all", "night.mkv", "-o", output, "--preset", "ultrafast", "-q"}
                                      : QStringList{"join", "parts/1.mkv", "parts/2.mkv", "-o", output, "-q"};
    QProcess process;
    // setsid puts nocta-cli (and so its ffmpeg) in a process group of its own.
    startCli(process, arguments, dir, tools.path() + ":/usr/bin:/bin", QStandardPaths::findExecutable("setsid"));
    QVERIFY(process.waitForStarted());
    const pid_t pid = pid_t(process.processId());
    QVERIFY2(waitForPartial(QDir(dir).filePath("out")), "no partial file");
    if (event.startsWith("group")) {
        QThread::msleep(300);
        QCOMPARE(::kill(-pid, event.endsWith("SIGINT") ? SIGINT : SIGTERM), 0);
    } else if (event.startsWith("check")) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(checking), 20000);
        QCOMPARE(::kill(pid, SIGTERM), 0);
    } else {
        QVERIFY(writeFile(output, "another run's movie"));
    }
    const CliRun run = finishCli(process, 60000);

    QVERIFY2(run.finished && run.exitStatus == QProcess::NormalExit && run.exitCode == exitCode,
             qPrintable(run.describe()));
    QVERIFY2(!run.err.contains("Movie created."), qPrintable(run.describe()));
    if (event == "output appears") {
        QCOMPARE(filesIn(QDir(dir).filePath("out")), QStringList{QFileInfo(output).fileName()});
        QCOMPARE(readFile(output), QByteArray("another run's movie"));
        return;
    }
    QVERIFY2(!run.err.contains("failed"), qPrintable(run.describe()));
    QVERIFY2(run.err.contains("stopped."), qPrintable(run.describe()));
    QCOMPARE(filesIn(QDir(dir).filePath("out")), QStringList());
}

QTEST_GUILESS_MAIN(TestHostileOutputs)

#include "tst_hostile_outputs.moc"
