#pragma once

#include "filters/quality/qualityplanes.h"
#include "pipeline/core/runsink.h"

#include <QImage>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

class QRandomGenerator;

namespace nocta::test {

// A sink that records everything a stage reports.
class RecordingSink : public RunSink
{
public:
    void log(const QString &message) override { lines << message; }
    void logFailure(const QString &message) override { lines << message; failures << message; }
    void setProgressVisible(bool visible) override { visibility << visible; }
    void setProgress(int framesDone, int framesExpected) override;
    void setPreview(const QImage &preview) override { previews << preview; }
    bool wantsPreview() const override { return keepPreviews; }
    bool stopRequested() const override { return stopAfterProgress >= 0 && progress.size() >= stopAfterProgress; }
    void timing(const QString &line) override { timings << line; }

    QStringList lines;
    QStringList failures;
    QVector<int> progress;              // the window's bar values
    QVector<QPair<int, int>> frameCounts;   // (frames done, frames expected)
    QVector<bool> visibility;
    QVector<QImage> previews;
    QStringList timings;
    bool keepPreviews = false;
    int stopAfterProgress = -1;   // ask to stop once this many values were set
};

// A frame of uniformly random colours (alpha random too, so that filters
// are seen to ignore it).
QImage randomFrame(int width, int height, quint32 seed, QImage::Format format = QImage::Format_RGB32);

// A plane of values spread evenly over [from, from + span), with a border
// of 8 repeating its edges.
quality::PlaneF randomPlane(QRandomGenerator &random, int width, int height, float from, float span);

// Whether two planes have the same size, borders and values.
template <typename T>
bool samePlane(const quality::Plane<T> &a, const quality::Plane<T> &b)
{
    return a.width == b.width && a.height == b.height && a.pad == b.pad && a.data == b.data;
}

// A night-like frame: a dark scene that moves with the index, plus noise.
QImage noisyNightFrame(int width, int height, int index, quint32 seed);

// Writes count frames <dir>/001.<suffix> ... made by noisyNightFrame.
bool writeNightFrames(const QString &dir, int count, int width, int height,
                      quint32 seed = 1, const char *suffix = "bmp");

// Spoils a 16x12 BMP frame written by noisyNightFrame, as a damaged disk or
// a hostile user would: "truncate" (cut short), "huge" (a 4 KB file whose
// header claims 65535 x 65535 pixels), "resize" (a frame of 20x12), or
// "unreadable" (listed, but reading it fails: a link to /proc/self/mem).
bool damageFrame(const QString &path, const QString &how);

// Whole-file helpers: true / the bytes when the file could be written / read.
bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

// The ffmpeg program on PATH, empty when there is none.
QString findFfmpeg();

// Runs a program to its end (no shell); true when it exited with status 0.
bool runProgram(const QString &program, const QStringList &arguments,
                QString *output = nullptr, int timeoutMs = 120000);

// A short synthetic night clip made with ffmpeg's lavfi sources: a moving
// test pattern, darkened, with temporal noise.
bool makeNightClip(const QString &path, int frames, int width = 160, int height = 120);

// A dark noisy 64x48 movie at FlashRate frames per second whose frames
// FlashFrames flash white while its sound (audioCodec; empty: none) beeps.
// videoOptions encode the picture: by default losslessly, a keyframe every
// 7 frames.
constexpr int FlashRate = 25;
constexpr int FlashFrames[] = {12, 31};
bool makeFlashMovie(const QString &path, const QString &audioCodec, int frames = 44,
                    const QStringList &videoOptions = {"-c:v", "ffv1", "-g", "7"});

// The time of the first loud sample of a movie's sound, in seconds; -1
// when silent. Works in dir.
double firstBeep(const QString &movie, const QString &dir);

// The index of the brightest frame of a directory of frames 001.bmp ...
int brightestFrame(const QString &dir);

// Decodes a movie's frames with ffmpeg into <dir>/%03d.bmp.
bool decodeWithFfmpeg(const QString &movie, const QString &dir);

// Number of video frames in a movie, counted by ffprobe; -1 on failure.
int countMovieFrames(const QString &movie);

// A stand-in for ffmpeg, to see how the stages meet an ffmpeg that fails
// in a chosen way: a fresh directory holding an executable shell script
// named ffmpeg (none when script is empty). withFfprobe links the real
// ffprobe beside it, so that the stages can check what the stand-in wrote;
// without a real ffprobe the object is not valid.
class StandInFfmpeg
{
public:
    explicit StandInFfmpeg(const QByteArray &script, bool withFfprobe = false);
    bool isValid() const { return m_valid; }
    QString path() const { return m_dir.path(); }
    // Another program beside it: a script, or (script empty) a link to
    // the real program of that name. False when it could not be made.
    bool add(const QString &name, const QByteArray &script = QByteArray());

private:
    QTemporaryDir m_dir;
    bool m_valid = false;
};

// Replaces PATH for the lifetime of the object.
class ScopedPath
{
public:
    explicit ScopedPath(const QString &path);
    ~ScopedPath();
    ScopedPath(const ScopedPath &) = delete;
    ScopedPath &operator=(const ScopedPath &) = delete;

private:
    QByteArray m_saved;
};

// nocta-cli run as a program: how it ended and what it said.
struct CliRun
{
    bool finished = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QString out;
    QString err;

    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QStringList errLines() const { return err.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QString describe() const;
};

// The nocta-cli of this build.
QString cliProgram();

// Starts nocta-cli in workingDir with no display in reach (no platform, no
// X, no Wayland); a path that is not null replaces PATH. A launcher (a
// program's full path) starts nocta-cli in its stead: setsid, script.
void startCli(QProcess &process, const QStringList &arguments, const QString &workingDir,
              const QString &path = QString(), const QString &launcher = QString());

// Waits for nocta-cli's end (killing it after timeoutMs) and collects what
// it said.
CliRun finishCli(QProcess &process, int timeoutMs = 180000);

// startCli, then finishCli.
CliRun runCli(const QStringList &arguments, const QString &workingDir, const QString &path = QString());

// A stand-in script that does what ffmpeg 5.1 does on a full disk: it
// writes part of the movie (its last argument), says that the end of the
// file could not be written, and exits with status 0.
QByteArray diskFullEncoder();

// What ffprobe says of a movie's first video stream: "width,height", or
// another entry such as "sample_aspect_ratio"; empty on failure.
QString videoEntry(const QString &movie, const QString &entry);

// Compares the frames of two movies (decoded by ffmpeg into dir), or of two
// directories of frames, bit for bit; empty when equal, else the first
// difference.
QString movieDifference(const QString &expected, const QString &actual, const QString &dir);
QString framesDifference(const QString &expectedDir, const QString &actualDir);

// Empty when the row kernels in use are the copy that NOCTA_CPU names, or
// it names none. Otherwise why not: "this processor cannot run the avx512
// kernels" (and *cannotRun set), or the copy that runs instead.
QString kernelCopyProblem(bool *cannotRun);

// The standard output of test function `function` of this test program,
// run in a child process once per kernel copy that the processor can run
// (NOCTA_CPU naming it, NOCTA_KERNEL_CHILD set), by copy name; empty for a
// child that failed or did not end.
QMap<QString, QByteArray> outputOfEveryKernelCopy(const QString &function);

// Whether this run is such a child.
bool isKernelCopyChild();

// Bytes of the pixels of an image as RGB32 with alpha forced to 0xFF, for
// pixel-exact comparisons that name the first difference.
QString firstDifference(const QImage &expected, const QImage &actual);

} // namespace nocta::test

// First thing in a suite that runs once per kernel copy: skips the suite
// where the processor cannot run the copy that NOCTA_CPU names, and fails
// it where another copy runs.
#define NOCTA_CHECK_KERNEL_COPY()                                              \
    do {                                                                       \
        bool cannotRun = false;                                                \
        const QString problem = nocta::test::kernelCopyProblem(&cannotRun);   \
        if (cannotRun)                                                         \
            QSKIP(qPrintable(problem));                                        \
        QVERIFY2(problem.isEmpty(), qPrintable(problem));                      \
    } while (false)
