#pragma once

#include <QImage>
#include <QString>

namespace nocta {

// Where a stage reports to. The window, the command-line front end and the
// tests each provide one; the stages themselves know nothing of widgets.
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

    // A new progress value, 0..100. The window also pumps its events here,
    // once per output frame.
    virtual void setProgress(int value) { Q_UNUSED(value); }

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
