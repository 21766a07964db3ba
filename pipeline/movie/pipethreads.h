#pragma once

#include "pipeline/core/error.h"
#include "pipeline/frames/pixelrows.h"
#include "pipeline/movie/decodeplan.h"
#include "pipeline/movie/ffmpeg.h"
#include "pipeline/run/framesource.h"

#include <QImage>
#include <QSize>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace nocta {

// Frames waiting between the decoder and the run, and between the run and
// the encoder: enough to keep all three busy, few enough to keep memory flat.
constexpr std::size_t QueuedFrames = 2;


class PipeWorker
{
public:
    virtual ~PipeWorker() { halt(); }

    // Starts the thread that runs ffmpeg.
    Fault start()
    {
        m_thread.reset(QThread::create([this] { work(); }));
        m_thread->start();
        if (!m_thread->isRunning() && !m_thread->isFinished()) {
            m_thread.reset();
            return Fault::because(QStringLiteral("cannot start a thread"));
        }
        return Fault();
    }

protected:
    // The thread's job: ffmpeg from start to end. Returns why it failed.
    virtual Error run(FfmpegProcess &ffmpeg) = 0;

    // Why ffmpeg failed, for the worker's stage.
    virtual Error::Stage stage() const = 0;
    Error failed(const QString &reason) const { return Error::failed(stage(), reason); }
    Error failed(const FfmpegProcess &ffmpeg) const { return ffmpeg.failure().error(stage()); }
    // ffmpeg's end: an error when it failed.
    Error finished(FfmpegProcess &ffmpeg) const
    {
        return ffmpeg.waitForFinished() ? Error() : failed(ffmpeg);
    }

    // Waits for the thread's end.
    void join()
    {
        if (m_thread) {
            m_thread->wait();
            m_thread.reset();
        }
    }

    void halt()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_halt = true;
            m_changed.notify_all();
        }
        join();
    }

    // The producer's side: waits for room. False once the other side is
    // gone (halted, or the thread ended).
    bool push(const QImage &frame)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_queue.size() < QueuedFrames || m_halt || m_ended; });
        if (m_halt || m_ended)
            return false;
        m_queue.push_back(frame);
        m_changed.notify_all();
        return true;
    }

    // The consumer's side: waits for a frame. False when none will come:
    // the queue is closed (or the thread ended) and empty, or halted, or
    // giveUp (asked every 100 ms) says so.
    bool pop(QImage *frame, const std::function<bool()> &giveUp = {})
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_queue.empty() && !m_closed && !m_ended && !m_halt) {
            if (giveUp && giveUp())
                return false;
            m_changed.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (m_queue.empty() || m_halt)
            return false;
        *frame = std::move(m_queue.front());
        m_queue.pop_front();
        m_changed.notify_all();
        return true;
    }

    // No more frames will be pushed.
    void close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }

    bool halted() const { return m_halt; }

    mutable std::mutex m_mutex;
    bool m_ended = false;      // the thread is done with ffmpeg
    Error m_failure;           // why ffmpeg failed
    std::deque<QImage> m_queue;

private:
    void work()
    {
        FfmpegProcess ffmpeg;
        ffmpeg.setStopCheck([this] { return m_halt.load(); });
        const Error failure = run(ffmpeg);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_halt)
            m_failure = failure;
        m_ended = true;
        m_changed.notify_all();
    }

    std::unique_ptr<QThread> m_thread;
    std::condition_variable m_changed;
    std::atomic_bool m_halt{false};
    bool m_closed = false;
};

// The decoder: raw frames from ffmpeg's pipe, as images, in movie order.
class DecoderSource : public FrameSource, public PipeWorker
{
public:
    // Gives the frames of plan after its lead, numbered in messages from
    // firstNumber; expected is the count it expects, -1 when unknown.
    DecoderSource(const DecodePlan &plan, const MovieInfo &info, int expected, int firstNumber,
                  std::function<bool()> stopRequested)
        : m_arguments(plan.arguments), m_lead(plan.lead), m_info(info), m_expected(expected),
          m_firstNumber(firstNumber), m_stopRequested(std::move(stopRequested))
    {
    }

    ~DecoderSource() override { halt(); }

    bool next(SourceFrame *frame) override
    {
        QImage image;
        if (!pop(&image, m_stopRequested)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_ended && m_stopRequested())
                m_stopped = true;
            return false;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_given;
        *frame = SourceFrame{image, QStringLiteral("%1").arg(m_given, 3, 10, QLatin1Char('0')),
                             QStringLiteral("frame %1").arg(m_firstNumber + m_given - 1)};
        return true;
    }

    int expectedFrames() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int known = m_given + int(m_queue.size());
        return m_ended ? known : qMax(known, m_expected);
    }

    Error failure() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopped ? Error::stopped(Error::Stage::Processing) : m_failure;
    }

    Error noFrames() const override { return failed(QStringLiteral("ffmpeg gave no frame")); }

    // The frames given, and ffmpeg's last complaint about the movie.
    int given() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_given;
    }
    QString complaint() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_complaint;
    }

private:
    Error::Stage stage() const override { return Error::Stage::Decoding; }
    Error run(FfmpegProcess &ffmpeg) override
    {
        ffmpeg.setOutput(FfmpegProcess::Output::Pipe);
        if (!ffmpeg.start(m_arguments))
            return failed(ffmpeg);
        const qint64 frameBytes = qint64(m_info.width) * m_info.height * 3;
        std::vector<uchar> bytes(std::size_t(frameBytes), 0);
        int lead = m_lead;   // frames before the first wanted one
        while (ffmpeg.read(reinterpret_cast<char *>(bytes.data()), frameBytes) == frameBytes) {
            if (lead > 0) {
                --lead;
                continue;
            }
            const QImage image = imageFromBgr24(bytes.data(), m_info.width, m_info.height);
            if (image.isNull()) {
                ffmpeg.stop();
                return failed(QStringLiteral("out of memory"));
            }
            if (!push(image)) {
                ffmpeg.stop();
                return Error();
            }
        }
        if (halted()) {
            ffmpeg.stop();
            return Error();
        }
        if (Error error = finished(ffmpeg))
            return error;
        // ffmpeg ends a damaged movie with success where it can no longer
        // read it; what it said on the way is all that tells of the damage.
        const QStringList complaints = ffmpeg.errorLines(1);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_complaint = complaints.value(0);
        return Error();
    }

    const QStringList m_arguments;
    const int m_lead;
    const MovieInfo m_info;
    const int m_expected;
    const int m_firstNumber;
    const std::function<bool()> m_stopRequested;
    int m_given = 0;
    bool m_stopped = false;
    QString m_complaint;   // ffmpeg's last error line of a decode that succeeded
};

// The encoder: denoised frames into ffmpeg's pipe.
class EncoderTarget : public FrameTarget, public PipeWorker
{
public:
    EncoderTarget(const QStringList &arguments, QSize size) : m_arguments(arguments), m_size(size) {}

    ~EncoderTarget() override { halt(); }

    bool put(const QImage &output, const SourceFrame &) override { return push(output); }

    bool finish() override
    {
        close();
        join();
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_failure;
    }

    Error failure() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_failure;
    }

    int written() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_written;
    }

private:
    Error::Stage stage() const override { return Error::Stage::Encoding; }
    Error run(FfmpegProcess &ffmpeg) override
    {
        ffmpeg.setInput(FfmpegProcess::Input::Pipe);
        if (!ffmpeg.start(m_arguments))
            return failed(ffmpeg);
        std::vector<uchar> bytes(std::size_t(m_size.width()) * std::size_t(m_size.height()) * 3);
        QImage frame;
        int written = 0;
        while (pop(&frame)) {
            imageToRgb24(frame, bytes.data());
            if (!ffmpeg.write(reinterpret_cast<const char *>(bytes.data()), qint64(bytes.size()))) {
                if (halted())
                    break;
                ffmpeg.waitForFinished();
                return ffmpeg.failure() ? failed(ffmpeg) : failed(QStringLiteral("ffmpeg stopped reading frames"));
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_written = ++written;
        }
        if (halted() || written == 0) {
            // Stopped, or no frame came: there is no movie to finish.
            ffmpeg.stop();
            return Error();
        }
        ffmpeg.closeInput();
        return finished(ffmpeg);
    }

    const QStringList m_arguments;
    const QSize m_size;
    int m_written = 0;
};

} // namespace nocta
