#pragma once

#include "pipeline/core/error.h"

#include <QImage>
#include <QString>

namespace nocta {

// One frame on its way into the processing run.
struct SourceFrame
{
    QImage image;
    QString name;    // the name its window's output takes ("001")
    QString label;   // how messages call it (its file name, or "frame 17")
};

// Where the processing run takes its frames from: the decoded frames of a
// work folder, or a decoder's pipe. Used by the run's thread only.
class FrameSource
{
public:
    virtual ~FrameSource() = default;

    // The next frame, in movie order. False at the end, and on a failure,
    // which failure() then gives.
    virtual bool next(SourceFrame *frame) = 0;

    // How many frames the source expects to give in all, counting those
    // already given; -1 while unknown. It may change as the run goes on
    // (an entry left out, an estimate corrected).
    virtual int expectedFrames() const = 0;

    // Why next() failed; no error when the frames only ran out.
    virtual Error failure() const = 0;

    // What a source that gave no frame at all says.
    virtual Error noFrames() const = 0;
};

// Where the processing run hands its denoised frames: PNG files in a work
// folder, or an encoder's pipe.
class FrameTarget
{
public:
    virtual ~FrameTarget() = default;

    // Takes the output of the window whose oldest frame is oldest. It may
    // finish the work later, on a thread of its own; false when this or an
    // earlier frame failed.
    virtual bool put(const QImage &output, const SourceFrame &oldest) = 0;

    // Waits for the frames handed over so far; false on a failure.
    virtual bool finish() = 0;

    // Why it failed, if it did.
    virtual Error failure() const = 0;

    // Frames completely written.
    virtual int written() const = 0;
};

} // namespace nocta
