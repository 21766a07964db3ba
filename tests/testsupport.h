#pragma once

#include "pipeline/runsink.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

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

// A night-like frame: a dark scene that moves with the index, plus noise.
QImage noisyNightFrame(int width, int height, int index, quint32 seed);

// Writes count frames <dir>/001.<suffix> ... made by noisyNightFrame.
bool writeNightFrames(const QString &dir, int count, int width, int height,
                      quint32 seed = 1, const char *suffix = "bmp");

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

// Bytes of the pixels of an image as RGB32 with alpha forced to 0xFF, for
// pixel-exact comparisons that name the first difference.
QString firstDifference(const QImage &expected, const QImage &actual);

} // namespace nocta::test
