#pragma once

#include <QString>

namespace nocta {

class RunSink;

enum class DenoiseMode { Standard, Fuzzy };

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
    QString error;      // the console message of a failure, empty otherwise
    quint32 elapsedMs = 0;

    bool ok() const { return status == Done; }
};

// The "Process movie" run: turns the frames in <workDir>/screens into
// denoised frames <workDir>/processed/<name>.png, one per window of five
// consecutive frames, named after the oldest frame of the window.
RunResult processMovie(const QString &workDir, DenoiseMode mode, RunSink &sink,
                       const RunOptions &options = {});

} // namespace nocta
