#include "pipeline/run/processingrun.h"

#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/frameplanes.h"
#include "filters/fuzzy/prefilterframe.h"
#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "pipeline/run/folderframes.h"
#include "pipeline/core/runsink.h"
#include "pipeline/frames/workfolder.h"

#include <QDir>
#include <QElapsedTimer>

#include <deque>
#include <exception>
#include <new>

namespace nocta {

namespace {

constexpr int PreviewWidth = 220;

// The five-frame window of the Standard chain: frames are smoothed once,
// when they enter.
class StandardWindow
{
public:
    static constexpr int Radius = 2;

    void add(const QImage &frame) { m_frames.push_back(smoothFrame(frame)); }
    const QImage &oldest() const { return m_frames.front(); }
    QImage denoise() const { return denoiseStandard(m_frames[0], m_frames[1], m_frames[2], m_frames[3], m_frames[4]); }
    void dropOldest() { m_frames.pop_front(); }

private:
    std::deque<QImage> m_frames;
};

// The window of the Fuzzy chain: the plane sets computed once per frame,
// held as bytes (every plane value is 0..255), and the frames as loaded
// when a preview is shown. The set that leaves the window is kept for the
// next frame rather than freed and allocated again, so at most five sets
// are alive; all go when the window does.
class FuzzyWindow
{
public:
    static constexpr int Radius = 2;

    FuzzyWindow(int width, int height, bool keepFrames)
        : m_width(width), m_height(height), m_keepFrames(keepFrames) {}

    void add(const QImage &frame)
    {
        CompactFramePlanes planes = m_spare.isNull() ? CompactFramePlanes(m_width, m_height) : std::move(m_spare);
        prefilterFrame(1, frame, planes);
        m_frames.push_back(m_keepFrames ? frame : QImage());
        m_planes.push_back(std::move(planes));
    }
    // The oldest frame as loaded; null when frames are not kept.
    const QImage &oldest() const { return m_frames.front(); }
    QImage denoise() const
    {
        return denoiseFuzzy(m_planes[0], m_planes[1], m_planes[2], m_planes[3], m_planes[4], m_width, m_height);
    }
    void dropOldest()
    {
        m_frames.pop_front();
        m_spare = std::move(m_planes.front());
        m_planes.pop_front();
    }

private:
    int m_width;
    int m_height;
    bool m_keepFrames;
    std::deque<QImage> m_frames;
    std::deque<CompactFramePlanes> m_planes;
    CompactFramePlanes m_spare;
};

} // namespace

ProcessingRun::ProcessingRun(DenoiseMode mode, RunSink &sink) : m_mode(mode), m_sink(sink) {}

RunResult ProcessingRun::exec(const std::function<void()> &body)
{
    QElapsedTimer timer;
    timer.start();
    m_sink.setProgressVisible(true);
    try {
        body();
    } catch (const std::bad_alloc &) {
        fail(Error::failed(Error::Stage::Processing, QStringLiteral("out of memory")));
    } catch (const std::exception &e) {
        // A worker thread that could not be started, and the like.
        fail(Error::failed(Error::Stage::Processing, QString::fromLocal8Bit(e.what())));
    }
    m_sink.setProgressVisible(false);
    m_result.elapsedMs = quint32(timer.elapsed());
    if (m_result.status == RunResult::Done) {
        m_sink.log(QStringLiteral(" - Processing done"));
        m_sink.timing(QStringLiteral("time%1ms").arg(m_result.elapsedMs));
    }
    return m_result;
}

void ProcessingRun::fail(const Error &error, RunResult::Status status)
{
    if (failed())
        return;
    // A failure while a stop is asked for comes of the stop: a signal to
    // the whole process group (Ctrl-C) stops ffmpeg too, and its end is no
    // failure of its own.
    if (status == RunResult::Failed && error.kind == Error::Kind::Failed && m_sink.stopRequested()) {
        fail(Error::stopped(error.stage), RunResult::Stopped);
        return;
    }
    m_result.status = status;
    m_result.error = error;
    m_sink.logFailure(error.line());
}

void ProcessingRun::preview(const QImage &image)
{
    if (m_sink.wantsPreview() && !image.isNull())
        m_sink.setPreview(image.scaledToWidth(PreviewWidth, Qt::FastTransformation));
}

void ProcessingRun::slide(FrameSource &source, FrameTarget &target)
{
    SourceFrame first;
    if (!source.next(&first)) {
        if (const Error error = source.failure())
            fail(error);
        else
            fail(source.noFrames(), RunResult::NoFrames);
        return;
    }
    m_size = first.image.size();
    if (m_mode == DenoiseMode::Standard) {
        StandardWindow window;
        slideWith(window, source, target, first);
    } else {
        FuzzyWindow window(m_size.width(), m_size.height(), m_sink.wantsPreview());
        slideWith(window, source, target, first);
    }
    m_result.framesWritten = target.written();
}

template <typename Window>
void ProcessingRun::slideWith(Window &window, FrameSource &source, FrameTarget &target, SourceFrame &first)
{
    // The frames of the window, oldest first, without their images: the
    // window holds what the chain needs of them.
    std::deque<SourceFrame> frames;
    window.add(first.image);
    first.image = QImage();
    frames.push_back(first);
    preview(window.oldest());

    int outputs = 0;
    while (true) {
        SourceFrame frame;
        if (!source.next(&frame)) {
            if (const Error error = source.failure())
                fail(error);
            break;
        }
        if (frame.image.size() != m_size) {
            fail(Error{Error::Stage::Processing, Error::Kind::Stopped,
                       QStringLiteral("%1 is %2x%3, the frames before it are %4x%5")
                           .arg(frame.label)
                           .arg(frame.image.width()).arg(frame.image.height())
                           .arg(m_size.width()).arg(m_size.height()),
                       QString(), frame.label});
            break;
        }
        window.add(frame.image);
        frame.image = QImage();
        frames.push_back(frame);
        if (int(frames.size()) < 2 * Window::Radius + 1)
            continue;

        preview(window.oldest());
        const QImage out = window.denoise();
        if (out.isNull())
            throw std::bad_alloc();
        const bool saved = target.put(out, frames.front());
        window.dropOldest();
        frames.pop_front();
        ++outputs;
        const int expected = source.expectedFrames() - 2 * Window::Radius;
        m_sink.setProgress(outputs, expected < 0 ? 0 : qMax(outputs, expected));

        if (!saved)
            break;
        if (m_sink.stopRequested()) {
            if (target.finish())
                fail(Error::stopped(Error::Stage::Processing), RunResult::Stopped);
            break;
        }
    }
    if (!target.finish())
        fail(target.failure());
}

TemporalWindow temporalWindow(DenoiseMode mode)
{
    TemporalWindow window;
    window.radius = mode == DenoiseMode::Standard ? StandardWindow::Radius : FuzzyWindow::Radius;
    return window;
}

QString modeName(DenoiseMode mode)
{
    return mode == DenoiseMode::Standard ? QStringLiteral("standard") : QStringLiteral("fuzzy");
}

bool modeFromName(const QString &name, DenoiseMode *mode)
{
    for (const DenoiseMode candidate : {DenoiseMode::Standard, DenoiseMode::Fuzzy}) {
        if (name == modeName(candidate)) {
            *mode = candidate;
            return true;
        }
    }
    return false;
}

RunResult processMovie(const QString &workDir, DenoiseMode mode, RunSink &sink, const RunOptions &options)
{
    ProcessingRun run(mode, sink);
    return run.exec([&] {
        const WorkFolder folder(workDir);
        if (!folder.makeProcessed()) {
            run.fail(Error::failed(Error::Stage::Processing,
                                   QStringLiteral("cannot create %1").arg(QDir::toNativeSeparators(folder.processed()))));
            return;
        }
        FolderSource source(folder, sink, options.overlapped);
        if (source.isEmpty()) {
            run.fail(source.noFrames(), RunResult::NoFrames);
            return;
        }
        if (const Error error = folder.removeOutputFrames()) {
            run.fail(error);
            return;
        }
        PngTarget target(folder, options.overlapped);
        run.slide(source, target);
    });
}

} // namespace nocta
