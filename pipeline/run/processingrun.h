#pragma once

#include "pipeline/run/framesource.h"

#include <QSize>
#include <QString>

#include <functional>

namespace nocta {

class RunSink;

enum class DenoiseMode { Standard, Fuzzy };

// The run's sliding window of consecutive frames around the one denoised,
// as the chain of a mode declares it. Everything that counts frames (the
// run, a part's span, the sound's offset, the messages) reads it here.
struct TemporalWindow
{
    int radius = 2;           // frames on each side of the one denoised
    bool keepsEvery = false;  // the edges are denoised too: n frames in, n out

    int size() const { return 2 * radius + 1; }
    // Frames in that give no output of their own.
    int lost() const { return keepsEvery ? 0 : 2 * radius; }
    // Output frame k is input frame k + shift() denoised.
    int shift() const { return keepsEvery ? 0 : radius; }
    int outputs(int inputs) const { return inputs < 0 ? inputs : qMax(0, inputs - lost()); }
};

// The window of a mode's chain.
TemporalWindow temporalWindow(DenoiseMode mode);

// A mode's name in labels and messages, "standard", "fuzzy"; and back
// (false for a name of no mode).
QString modeName(DenoiseMode mode);
bool modeFromName(const QString &name, DenoiseMode *mode);

struct RunOptions
{
    // Load the next frame and save the previous output on worker threads
    // while the filters work. Off: every step runs in turn on the caller's
    // thread. Both write the same files and report the same values.
    bool overlapped = true;
};

struct RunResult
{
    enum Status {
        Done,      // every window was written ("Processing done")
        NoFrames,  // screens/ is missing or holds no image
        Stopped,   // the sink asked to stop; what was written is kept
        Failed     // a frame of another size, a failed save, out of memory
    };
    Status status = Done;
    int framesWritten = 0;
    Error error;        // why it failed or stopped
    quint32 elapsedMs = 0;

    bool ok() const { return status == Done; }
};

// One processing run, whatever its frames' source and target: the frames
// go one by one through a sliding window of five, the chosen chain denoises
// each window's middle frame, and the output goes to the target under the
// name of the window's oldest frame.
class ProcessingRun
{
public:
    ProcessingRun(DenoiseMode mode, RunSink &sink);

    // Opens the run (progress shown, clock started), runs body, and closes
    // it (progress hidden; on success " - Processing done" and the timing
    // line). Running out of memory or threads inside body ends the run with
    // a failure line instead of ending the program.
    RunResult exec(const std::function<void()> &body);

    // Inside body: ends the run, logging the error's console line. A
    // failure while the sink asks to stop is logged as the stop.
    void fail(const Error &error, RunResult::Status status = RunResult::Failed);
    bool failed() const { return m_result.status != RunResult::Done; }

    // Inside body: slides the window over every frame of source, handing
    // each output to target. Every frame must have the first frame's size:
    // one that differs stops the run before it reaches a filter.
    void slide(FrameSource &source, FrameTarget &target);

private:
    template <typename Window>
    void slideWith(Window &window, FrameSource &source, FrameTarget &target, SourceFrame &first);
    void preview(const QImage &image);

    DenoiseMode m_mode;
    RunSink &m_sink;
    QSize m_size;
    RunResult m_result;
};

// The "Process movie" run: turns the frames in <workDir>/screens into
// denoised frames <workDir>/processed/<name>.png, one per window of five
// consecutive frames, named after the oldest frame of the window.
RunResult processMovie(const QString &workDir, DenoiseMode mode, RunSink &sink,
                       const RunOptions &options = {});

} // namespace nocta
