#pragma once

#include "pipeline/core/runsink.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>

namespace nocta::cli {

// How progress is shown on standard error.
enum class ProgressStyle {
    None,   // --quiet
    Bar,    // standard error is a terminal: one line redrawn in place
    Lines   // a pipe or a file: a plain line now and then
};

// The style that suits standard error: Bar on a terminal, Lines otherwise.
ProgressStyle progressStyleFor(bool quiet);

// Reports the stages to the terminal: each console message as the time of
// day followed by the message on standard error, the timing line on
// standard output, and the processing run's progress in the chosen style.
class TerminalSink : public RunSink
{
public:
    TerminalSink(ProgressStyle style, const std::atomic_bool &stop);
    ~TerminalSink() override;

    void log(const QString &message) override;
    void setProgressVisible(bool visible) override;
    void setProgress(int framesDone, int framesExpected) override;
    bool stopRequested() const override { return m_stop.load(); }
    void timing(const QString &line) override;

    // A line of the command line front end itself, "nocta-cli: ...".
    void note(const QString &text);

private:
    void drawBar();
    void clearBar();
    void printLine();
    int shownPercent() const;
    QString summary() const;

    ProgressStyle m_style;
    const std::atomic_bool &m_stop;
    bool m_running = false;
    bool m_barShown = false;
    int m_expected = 0;
    int m_done = 0;
    int m_lastLineDecile = 0;
    int m_lastLineDone = 0;
    qint64 m_lastLineMs = 0;
    qint64 m_lastDrawMs = -1;
    qint64 m_firstFrameMs = -1;   // when the first frame was done; -1: none yet
    int m_firstFrameDone = 0;     // how many frames were done then
    QElapsedTimer m_clock;
};

} // namespace nocta::cli
