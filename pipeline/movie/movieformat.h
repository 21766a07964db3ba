#pragma once

#include "pipeline/core/error.h"

#include <QString>

namespace nocta {

// What ffprobe says a file is decides whether it is a movie to denoise:
// a playlist or a list of files (HLS, ffconcat, DASH, ...) would have
// ffmpeg read other files, whatever the list's own name, and a still
// picture (an image, or the cover art of a song) is no movie.

// Why a file that ffprobe reads as formatName (its names, comma
// separated: "mov,mp4,m4a,3gp,3g2,mj2") is no movie; stillPicture when its
// first video stream is a picture attached to sound. Empty when it is one.
QString movieFormatProblem(const QString &formatName, bool stillPicture);

// Asks ffprobe what moviePath is. A decoding error "<path> is <what>, not a
// movie file" for a format that movieFormatProblem() refuses; none
// otherwise, also when ffprobe is missing or cannot read the file (ffmpeg's
// own failure then says why).
Error checkMovieFormat(const QString &moviePath);

// The frames that seconds of a movie hold at rate frames per second,
// rounded; -1 when that is no count an int holds (not finite, negative,
// or too large: a damaged container's duration).
int framesInDuration(double seconds, double rate);

} // namespace nocta
