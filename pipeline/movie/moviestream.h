#pragma once

#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/partplan.h"
#include "pipeline/run/processingrun.h"

#include <QString>

namespace nocta {

class RunSink;

// A piece of a movie, in seconds from its start: from start, for duration
// (-1: to the end). It takes the frames of the movie's frame grid that
// show in it, the frames that start at or after start and before its end.
struct MovieCut
{
    double start = 0;
    double duration = -1;

    bool isCut() const { return start > 0 || duration >= 0; }
};

struct StreamJob
{
    QString movie;
    QString output;
    DenoiseMode mode = DenoiseMode::Fuzzy;
    EncodeSettings encode;
    PartSpec part;             // a part only, labelled for joining
    MovieCut cut;              // that piece only, its sound and subtitles alike
    bool replace = true;       // an existing output may be replaced
};

// The whole job in one go, with no frame on disk: ffmpeg decodes the movie
// into a pipe, the processing run denoises the frames, and a second ffmpeg
// encodes them from a pipe into the output, with the movie's sound. The
// output takes its name only when complete; on a failure or a stop the
// partial file is removed. A cut gives the frames of a whole run that
// show the cut's frames, with the sound and subtitles of the same time. A
// part decodes only the frames its windows need
// and writes no other stream. Logs as the stages do; returns success.
bool denoiseMovie(const StreamJob &job, RunSink &sink);

} // namespace nocta
