#pragma once

#include <QString>
#include <QStringList>

namespace nocta {

class RunSink;

// A movie to read must be an existing, readable file. Returns false with
// the reason in *error ("night.mp4: no such file").
bool checkMovie(const QString &moviePath, QString *error);

// The argument lists handed to ffmpeg (started directly, never through a
// shell, in the work folder). The movie to decode is named by its absolute
// path (taken against the current directory), and a relative output path gets
// "./" in front, so that neither can be read as an option ("-clip.mp4") or
// a protocol ("a:b.mp4").
QStringList decodeArguments(const QString &moviePath);
QStringList encodeArguments(const QString &outputPath);

// "Decode movie": splits the movie into <workDir>/screens/%03d.bmp.
// Numbered .bmp frames left by an earlier decode are removed first.
// Logs " - Movie decoded." or a failure line; returns success.
bool decodeMovie(const QString &moviePath, const QString &workDir, RunSink &sink);

// "Code movie": encodes <workDir>/processed/%03d.png into the movie at
// outputPath (relative paths are taken from workDir; empty means
// out_movies/out.mp4). The movie is written to a temporary file beside it
// and replaces an earlier one only when the encode succeeded.
// Logs " - Movie created." or a failure line; returns success.
bool encodeMovie(const QString &workDir, RunSink &sink, const QString &outputPath = QString());

} // namespace nocta
