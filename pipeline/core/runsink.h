#pragma once

#include <QImage>
#include <QString>

namespace nocta {

// Where a stage reports to. The window, the command-line front end and the
// tests each provide one; the stages themselves know nothing of widgets.
// The progress bar's value after an output frame: (i / count) x 100 in
// extended precision, truncated, where i is the list index of the newest
// frame of the window and count the number of frames. framesDone outputs of
// framesExpected stand for i = framesDone + 3 and count = framesExpected + 4.
// The quotient may lie just below the exact value (53 / 100 gives 52).
int progressPercent(int framesDone, int framesExpected);

class RunSink
{
public:
    virtual ~RunSink() = default;

    // One console message. It begins with " - "; the sink adds the time of day.
    virtual void log(const QString &message) = 0;

    // A console message that reports a failure. The window makes sure the
    // console is in view; by default it is an ordinary line.
    virtual void logFailure(const QString &message) { log(message); }

    // The processing run's progress bar: shown at the start of a run,
    // hidden at its end.
    virtual void setProgressVisible(bool visible) { Q_UNUSED(visible); }

    // Called once per output frame: framesDone output frames are written of
    // the framesExpected that the run now expects to write (an entry left
    // out lowers the expectation). The window also pumps its events here.
    virtual void setProgress(int framesDone, int framesExpected)
    {
        Q_UNUSED(framesDone);
        Q_UNUSED(framesExpected);
    }

    // A frame preview, already scaled to 220 pixels wide. Only asked for
    // when wantsPreview() is true.
    virtual void setPreview(const QImage &preview) { Q_UNUSED(preview); }
    virtual bool wantsPreview() const { return false; }

    // Polled once per output frame: true stops the run after that frame.
    virtual bool stopRequested() const { return false; }

    // The timing line of a finished processing run, "time<N>ms".
    // By default it goes to standard output.
    virtual void timing(const QString &line);
};

} // namespace nocta
