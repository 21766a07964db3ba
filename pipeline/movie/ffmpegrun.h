#pragma once

#include "pipeline/core/error.h"
#include "pipeline/movie/ffmpeg.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace nocta {

// Where ffmpeg and ffprobe are found, and whole runs of either.

// The program's name: "ffmpeg" ("ffmpeg.exe" on Windows).
QString ffmpegProgram();

// The program's full path when it is on PATH, else empty.
QString findFfmpeg();

// The reason given when findFfmpeg() finds nothing.
QString ffmpegMissingReason();

// ffprobe, which comes with ffmpeg: its full path, or empty.
QString findFfprobe();

// Runs ffmpeg to its end in directory with its input closed; a fault says
// why it failed. stopRequested as for FfmpegProcess::setStopCheck().
Fault runFfmpeg(const QString &directory, const QStringList &arguments,
                const StopRequest &stopRequested = StopRequest());

// Runs ffprobe to its end with these arguments and gives its standard
// output; a fault's reason is its last error line.
Fault runFfprobe(const QStringList &arguments, QByteArray *output);

// Counts the video packets of a movie (one per frame) with ffprobe, which
// reads the whole file without decoding it. *packets is -1 (not counted)
// when there is no ffprobe beside ffmpeg or on PATH; an error with
// ffprobe's reason when the movie cannot be read.
Error countVideoPackets(const QString &movie, int *packets);

} // namespace nocta
