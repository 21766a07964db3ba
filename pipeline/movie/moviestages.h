#pragma once

#include "pipeline/core/error.h"

#include <QString>
#include <QStringList>

namespace nocta {

class RunSink;

// How much ffmpeg writes to its error stream, where a failure finds its
// reason. Standard keeps the command lines of the window as they are (the
// decode with -loglevel quiet); Errors asks for every error and nothing
// else, as the command line does.
enum class FfmpegLog { Standard, Errors };

// A movie to read must be an existing, readable regular file (or a link to
// one): ffmpeg would wait forever on a pipe with no writer. Nor may it be a
// playlist, a list of files or a still picture (checkMovieFormat). An error
// ("night.mp4: no such file") when it is not.
Error checkMovie(const QString &moviePath);

// The argument lists handed to ffmpeg (started directly, never through a
// shell, in the work folder). The movie to decode is named by its absolute
// path (taken against the current directory), and a relative output path gets
// "./" in front, so that neither can be read as an option ("-clip.mp4") or
// a protocol ("a:b.mp4").
QStringList decodeArguments(const QString &moviePath, FfmpegLog log = FfmpegLog::Standard);
QStringList encodeArguments(const QString &outputPath, FfmpegLog log = FfmpegLog::Standard);

// "Decode movie": splits the movie into <workDir>/screens/%03d.bmp.
// Numbered .bmp frames left by an earlier decode are removed first.
// Logs " - Movie decoded." or a failure line; returns success. A stop
// request of the sink stops ffmpeg (" - Decoding stopped.").
bool decodeMovie(const QString &moviePath, const QString &workDir, RunSink &sink,
                 FfmpegLog log = FfmpegLog::Standard);

// "Code movie": encodes <workDir>/processed/%03d.png into the movie at
// outputPath (relative paths are taken from workDir; empty means
// out_movies/out.mp4). Frames that do not follow each other are refused
// before ffmpeg starts. The movie is written to a temporary file beside it,
// checked (ffmpeg reported no failed write; ffprobe, where there is one,
// reads every frame back), flushed to the disk, and only then replaces an
// earlier one. Logs " - Movie created." or a failure line; returns success.
// A stop request of the sink stops ffmpeg (" - Encoding stopped."). Without
// replace, a movie that appears at outputPath meanwhile is left as it is,
// and the stage fails.
bool encodeMovie(const QString &workDir, RunSink &sink, const QString &outputPath = QString(),
                 FfmpegLog log = FfmpegLog::Standard, bool replace = true);

} // namespace nocta
