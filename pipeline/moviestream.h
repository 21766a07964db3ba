#pragma once

#include "pipeline/processingrun.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

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

    int width = 0;             // of the frames as shown: turned upright
    int height = 0;
    int sarNum = 1;            // the shape of a pixel (sample aspect ratio),
    int sarDen = 1;            // as shown
    int rotation = 0;          // the turn ffmpeg gives the stored frames: 0, 90, 180 or 270
    qint64 rateNum = 0;        // frames per second as a fraction: the rate
    qint64 rateDen = 1;        // at which ffmpeg hands out the frames
    int frames = -1;           // from the container, else estimated; -1 unknown
    QList<Stream> others;      // audio and subtitle streams, in movie order

    double rate() const { return rateDen ? double(rateNum) / double(rateDen) : 0.0; }
    QString rateText() const { return QStringLiteral("%1/%2").arg(rateNum).arg(rateDen); }
    bool squarePixels() const { return sarNum == sarDen; }
};

// "30000/1001" -> 30000, 1001; "25" -> 25, 1; "29.97" -> 2997, 100: a rate
// as a fraction, exactly and in lowest terms; false for "0/0" and the like.
bool parseRate(const QString &text, qint64 *num, qint64 *den);

// A rate as its fraction in lowest terms: "29.97" -> "2997/100", "25" ->
// "25/1"; text that is no rate as it is.
QString exactRate(const QString &text);

// Frame `frame` of a rate's grid as a time in seconds, to the microsecond,
// as ffmpeg reads times: "1.001000".
QString gridTime(qint64 rateNum, qint64 rateDen, qint64 frame);

// Reads the first video stream's size, pixel shape, rate and frame count
// and the other streams of a movie. A movie whose header says to turn its
// pictures (a phone's display matrix) is described as shown: ffmpeg turns
// the frames upright as it decodes them. False with the reason in *error when the movie
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
// encoded when it moves their times. Returns ffmpeg's failure, or an empty
// text.
QString encodeSubtitlesAhead(QList<KeptStream> *streams, const QString &dir, const QString &suffix,
                             const std::function<bool()> &stopRequested);

// The arguments that take the kept streams into an ffmpeg command, moved
// earlier by offset seconds (two frames of the movie's rate) so that they
// line up with output frame 0, the denoised movie frame 2: their files as
// inputs; and the output options that map them from those inputs (the
// first is input firstInput), encode them as output streams firstOutput
// on, and drop what falls before the start. Sound is moved with its input
// and cut at the start (ffmpeg drops what falls before it by each
// stream's decode time, which would also drop the first packets of copied
// video with B-frames: video is never copied alongside). Subtitles keep
// their input's times and are moved packet by packet, a cue that begins
// before the start cut to begin with it.
QStringList keptStreamInputs(const QList<KeptStream> &streams, double offset);
QStringList keptStreamOutputs(const QList<KeptStream> &streams, double offset, int firstInput = 1,
                              int firstOutput = 1);

// Frames [first, first + count) of those a decode of the whole movie gives;
// count -1: to the end.
struct FrameSpan
{
    int first = 0;
    int count = -1;
};

// How ffmpeg gives a span: its arguments, and how many frames it gives
// before the span's first (they are read and dropped).
struct DecodePlan
{
    QStringList arguments;
    int lead = 0;
};

// What a decode of frames [first, first + expected) that gave only the
// first `given` of them and ended with ffmpeg's complaint about the movie
// lost: "the movie is damaged: frames 49-96 (1.92-3.84 s) could not be
// decoded (<complaint>)"; empty when nothing is missing or ffmpeg did not
// complain (the movie's frame count was only an estimate).
QString lostFrames(const MovieInfo &info, int first, int given, int expected, const QString &complaint);

// The ffmpeg arguments of the streamed route: the decoder that writes raw
// frames to its standard output, and the encoder that reads the denoised
// frames from its standard input and takes the kept streams from the
// movie, with metadata ("KEY=value") for the output's header.
QStringList streamDecodeArguments(const QString &moviePath, const MovieInfo &info);
QStringList streamEncodeArguments(const MovieInfo &info,
                                  const EncodeSettings &settings, const QList<KeptStream> &streams,
                                  const QString &outputPath, const QStringList &metadata = {});

// The decode of a span, frame for frame the frames of a whole decode. A
// span that starts further in is reached by a seek, whatever the movie's
// keyframes: ffmpeg keeps the whole decode's time origin and frame grid
// (-copyts -start_at_zero, its rate's grid started a few frames before the
// span), and where decoding after the seek would begin too late (a
// container that cannot seek to a keyframe) it seeks further back, down to
// the start. Runs ffmpeg to find where decoding begins.
DecodePlan planDecode(const QString &moviePath, const MovieInfo &info, const FrameSpan &span);

// Part K of N of a movie (see movieparts.h); count 0: the whole movie.
struct PartSpec
{
    int index = 0;
    int count = 0;

    bool isPart() const { return count > 0; }
    bool isLast() const { return index == count; }
};

struct StreamJob
{
    QString movie;
    QString output;
    DenoiseMode mode = DenoiseMode::Fuzzy;
    EncodeSettings encode;
    PartSpec part;             // a part only, labelled for joining
};

// The whole job in one go, with no frame on disk: ffmpeg decodes the movie
// into a pipe, the processing run denoises the frames, and a second ffmpeg
// encodes them from a pipe into the output, with the movie's sound. The
// output takes its name only when complete; on a failure or a stop the
// partial file is removed. A part decodes only the frames its windows need
// and writes no other stream. Logs as the stages do; returns success.
bool denoiseMovie(const StreamJob &job, RunSink &sink);

} // namespace nocta
