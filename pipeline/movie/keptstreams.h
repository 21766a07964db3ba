#pragma once

#include "pipeline/movie/movieprobe.h"

#include <QStringList>

#include <functional>

namespace nocta {

class RunSink;

// A movie's stream to keep beside the denoised video: its encoder ("copy",
// or empty for the container's default), and the file it is read from:
// the movie, or for subtitles encoded beforehand a file of their own
// (index: the stream's index in that file).
struct KeptStream
{
    MovieInfo::Stream stream;
    QString codec;
    QString source;
    int index = -1;

    bool isSubtitle() const { return stream.type == QLatin1String("subtitle"); }
};

// Whether the container of outputPath takes the movie's stream index with
// this codec ("copy", or empty for the container's default encoder):
// ffmpeg writes the header of a file of that container holding the stream
// alone.
bool containerTakes(const QString &movie, const QString &outputPath, int index, const QString &codec);

// The movie's streams that go along with its denoised video into
// outputPath: audio unless audio is false, and subtitles; each copied where
// the container takes it, else re-encoded with the container's default
// (text subtitles into MP4 and QuickTime as mov_text), else left out with
// a console line.
QList<KeptStream> keptStreams(const QString &movie, const MovieInfo &info, const QString &outputPath, bool audio,
                              RunSink &sink);

// Subtitles that are not copied are encoded beforehand, at their own
// times, into a file in dir with the output's suffix, and copied from
// there: ffmpeg 5.1 keeps only the first cue of subtitles it has just
// encoded when it moves their times. A fault is ffmpeg's failure.
Fault encodeSubtitlesAhead(QList<KeptStream> *streams, const QString &dir, const QString &suffix,
                           const std::function<bool()> &stopRequested);

// The arguments that take the kept streams into an ffmpeg command, moved
// earlier by offset seconds so that they line up with output frame 0:
// their files as inputs; and the output options that map them from those
// inputs (the first is input firstInput), encode them as output streams
// firstOutput on, and drop what falls before the start. Sound is moved
// with its input and cut at the start (ffmpeg drops what falls before it
// by each stream's decode time, which would also drop the first packets of
// copied video with B-frames: video is never copied alongside). Subtitles
// take the last margin seconds of the move packet by packet: a cue that
// begins less than margin before the start (with the movie, say, whose
// first frames only fill the first window) begins with it instead,
// shortened by as much.
QStringList keptStreamInputs(const QList<KeptStream> &streams, double offset, double margin);
QStringList keptStreamOutputs(const QList<KeptStream> &streams, double offset, double margin, int firstInput = 1,
                              int firstOutput = 1);

} // namespace nocta
