#pragma once

#include "pipeline/processingrun.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace nocta {

class RunSink;

// What ffprobe tells of a movie.
struct MovieInfo
{
    struct Stream
    {
        int index = -1;        // in the movie
        QString type;          // "audio", "subtitle"
        QString codec;
    };

    int width = 0;
    int height = 0;
    qint64 rateNum = 0;        // frames per second as a fraction: the rate
    qint64 rateDen = 1;        // at which ffmpeg hands out the frames
    int frames = -1;           // from the container, else estimated; -1 unknown
    QList<Stream> others;      // audio and subtitle streams, in movie order

    double rate() const { return rateDen ? double(rateNum) / double(rateDen) : 0.0; }
    QString rateText() const { return QStringLiteral("%1/%2").arg(rateNum).arg(rateDen); }
};

// Reads the first video stream's size, rate and frame count and the
// other streams of a movie. False with the reason in *error when the movie
// cannot be read or has no video.
bool probeMovie(const QString &moviePath, MovieInfo *info, QString *error);

// How the denoised movie is encoded.
struct EncodeSettings
{
    enum class Codec { H264, H265, Ffv1 };
    Codec codec = Codec::H264;
    int crf = -1;              // quality; -1: the codec's default (18 for H.264, 20 for H.265)
    QString preset;            // x264/x265 preset; empty: "medium"
    QString bitrate;           // "8M": a bit rate instead of a quality
    QString fps;               // "30", "30000/1001": time the frames at this rate
    bool audio = true;         // keep audio streams
    bool likeWindow = false;   // the window's movie: H.264 at 7500 kb/s, 29 fps, no audio

    // The x264/x265 presets.
    static QStringList presets();
    // Checks the settings against each other and the output's container;
    // false with a reason.
    bool check(const QString &outputPath, QString *error) const;
    // The default suffix of the output: ".mkv" for FFV1, else ".mp4".
    QString defaultSuffix() const;
};

// The ffmpeg arguments of the streamed route: the decoder that writes raw
// frames to its standard output, and the encoder that reads the denoised
// frames from its standard input and takes the other streams from the
// movie. streams lists the movie's streams to keep, each with "copy" or
// an empty codec (the container's default encoder).
QStringList streamDecodeArguments(const QString &moviePath, const MovieInfo &info);
QStringList streamEncodeArguments(const QString &moviePath, const MovieInfo &info,
                                  const EncodeSettings &settings,
                                  const QList<QPair<MovieInfo::Stream, QString>> &streams,
                                  const QString &outputPath);

struct StreamJob
{
    QString movie;
    QString output;
    DenoiseMode mode = DenoiseMode::Fuzzy;
    EncodeSettings encode;
};

// The whole job in one go, with no frame on disk: ffmpeg decodes the movie
// into a pipe, the processing run denoises the frames, and a second ffmpeg
// encodes them from a pipe into the output, with the movie's sound. The
// output takes its name only when complete; on a failure or a stop the
// partial file is removed. Logs as the stages do; returns success.
bool denoiseMovie(const StreamJob &job, RunSink &sink);

} // namespace nocta
