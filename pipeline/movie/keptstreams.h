#pragma once

#include "pipeline/movie/movieprobe.h"

#include <QPair>
#include <QStringList>

namespace nocta {

class RunSink;

// A movie's stream to keep beside the denoised video, with "copy" or an
// empty codec (the container's default encoder).
using KeptStream = QPair<MovieInfo::Stream, QString>;

// Whether the container of outputPath takes the movie's stream index with
// this codec ("copy", or empty for the container's default encoder):
// ffmpeg writes the header of a file of that container holding the stream
// alone.
bool containerTakes(const QString &movie, const QString &outputPath, int index, const QString &codec);

// The movie's streams that go along with its denoised video into
// outputPath: audio unless audio is false, and subtitles; each copied where
// the container takes it, else re-encoded with the container's default,
// else left out with a console line.
QList<KeptStream> keptStreams(const QString &movie, const MovieInfo &info, const QString &outputPath, bool audio,
                              RunSink &sink);

// The arguments that take the movie's kept streams into an ffmpeg
// command: the movie as an input, moved earlier by `shift` frames of rate
// (TemporalWindow::shift()) so that its streams line up with output frame
// 0, the denoised movie frame `shift`; and the output options that map
// them from that input (its index among the inputs), encode them as output streams firstOutput on, and
// drop what falls before the start. (ffmpeg drops that by each stream's
// decode time, which would also drop the first packets of copied video
// with B-frames: video is never copied alongside.)
QStringList keptStreamInputs(const QString &moviePath, double rate, int shift, const QList<KeptStream> &streams);
QStringList keptStreamOutputs(const QList<KeptStream> &streams, int input = 1, int firstOutput = 1);

} // namespace nocta
