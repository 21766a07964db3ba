#pragma once

#include "pipeline/movie/movieprobe.h"

#include <QStringList>

#include <functional>

namespace nocta {

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

// The decoder of the streamed route: raw frames of the whole movie on its
// standard output.
QStringList streamDecodeArguments(const QString &moviePath, const MovieInfo &info);

// The grid place of the first frame ffmpeg decodes after a seek to grid
// frame `from`, in the whole decode's time origin; -1 when it gives none.
using SeekProbe = std::function<qint64(qint64 from)>;

// The SeekProbe that asks ffmpeg.
SeekProbe ffmpegSeekProbe(const QString &moviePath, const MovieInfo &info);

// The decode of a span, frame for frame the frames of a whole decode. A
// span that starts further in is reached by a seek, whatever the movie's
// keyframes: ffmpeg keeps the whole decode's time origin and frame grid
// (-copyts -start_at_zero, its rate's grid started a few frames before the
// span), and where decoding after the seek would begin too late (a
// container that cannot seek to a keyframe) it seeks further back, down to
// the start. Asks seekProbe (by default ffmpeg) where decoding begins.
DecodePlan planDecode(const QString &moviePath, const MovieInfo &info, const FrameSpan &span,
                      SeekProbe seekProbe = {});

} // namespace nocta
