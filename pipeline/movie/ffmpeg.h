#pragma once

#include "pipeline/core/error.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace nocta {

// Everything about starting the external ffmpeg program lives here: how
// it is started (directly, never through a shell), what is kept of its
// error stream, and how its end becomes one reason. Where it is found, and
// whole runs of it or of ffprobe: ffmpegrun.h.

// A question asked now and then while ffmpeg runs: true stops it.
using StopRequest = std::function<bool()>;

// One run of ffmpeg. Its standard input is closed unless written to
// through a pipe; its standard output is discarded unless read through a
// pipe; the last part of its error stream is kept for the failure reason.
// On Linux the child dies with the thread that started it, so that no
// ffmpeg outlives a program that was killed.
//
// An object is used on one thread: the one that created it.
class FfmpegProcess
{
public:
    enum class Tool { Ffmpeg, Ffprobe };
    enum class Input { Closed, Pipe };
    enum class Output { Discarded, Pipe };

    explicit FfmpegProcess(Tool tool = Tool::Ffmpeg);
    ~FfmpegProcess();   // stops a process that still runs

    FfmpegProcess(const FfmpegProcess &) = delete;
    FfmpegProcess &operator=(const FfmpegProcess &) = delete;

    void setWorkingDirectory(const QString &directory);
    void setInput(Input input);
    void setOutput(Output output);

    // Asked every 50 ms while a call below waits: once it says true, the
    // call gives up and returns false (or what it has read so far), and a
    // wait for the end stops ffmpeg.
    void setStopCheck(StopRequest stopRequested);

    // Starts ffmpeg with these arguments. False when it is not on PATH or
    // could not be started; failure() then says why.
    bool start(const QStringList &arguments);
    bool isRunning() const;

    // Writes all of data to its input, blocking while the pipe is full.
    // False when ffmpeg ended or closed its input first.
    bool write(const char *data, qint64 size);
    // Ends its input (end of file for ffmpeg).
    void closeInput();

    // Reads exactly size bytes of its output, blocking while none are there.
    // Returns the bytes read: fewer than size only at the end of the output.
    qint64 read(char *data, qint64 size);
    // Reads its output to the end.
    QByteArray readAll();

    // Waits for the end, however long it takes; true when ffmpeg ended
    // normally with status 0 and reported no failed write.
    bool waitForFinished();

    // Stops it: the end of its input (an ffmpeg that waits on it ends at
    // once), a polite request, then a kill. Returns at once when it is not
    // running.
    void stop();

    // Why the run failed: no fault after a run that succeeded, else one
    // whose reason reads "ffmpeg exited with code 1: <its last meaningful
    // lines>". ffmpeg 5.1 exits with status 0 when it cannot write the end
    // of its output ("Error writing trailer of out.mp4: No space left on
    // device"); such a run failed as well, and the line is its reason.
    Fault failure() const;

    // The last lines of its error stream that say something (progress
    // lines left out), oldest first.
    QStringList errorLines(int count = 1) const;

    // The signal that stopped ffmpeg: SIGINT, SIGTERM or SIGHUP when it died
    // of one, -1 when it exited with status 255 (as it does once it caught
    // one), 0 for any other end.
    int stopSignal() const;

private:
    class Process;
    void collectErrors();
    void watchLines(const QByteArray &chunk);

    bool stopChecked() const { return m_stopCheck && m_stopCheck(); }
    void awaitOwnStop();

    Tool m_tool;
    std::unique_ptr<Process> m_process;
    StopRequest m_stopCheck;
    Input m_input = Input::Closed;
    Output m_output = Output::Discarded;
    QByteArray m_errors;
    QByteArray m_partialLine;   // the unfinished last line seen so far
    QString m_writeFailure;     // the first line that reports a failed write
    QString m_startFailure;
    bool m_started = false;
    bool m_stopped = false;
};

} // namespace nocta
