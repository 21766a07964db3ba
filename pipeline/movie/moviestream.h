#pragma once

#include "pipeline/movie/encodeplan.h"
#include "pipeline/movie/partplan.h"
#include "pipeline/run/processingrun.h"

#include <QString>

namespace nocta {

class RunSink;

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
