#include "pipeline/processingrun.h"

#include "filters/fuzzy/denoisefuzzy.h"
#include "filters/fuzzy/frameplanes.h"
#include "filters/fuzzy/prefilterframe.h"
#include "filters/standard/denoisestandard.h"
#include "filters/standard/smoothframe.h"
#include "pipeline/frameio.h"
#include "pipeline/framelist.h"
#include "pipeline/runsink.h"
#include "pipeline/workfolder.h"

#include <QDir>
#include <QElapsedTimer>

#include <deque>
#include <exception>
#include <future>
#include <new>

namespace nocta {

namespace {

constexpr int WindowSize = 5;
constexpr int PreviewWidth = 220;

// Reads the listed frames in order. When overlapped, the next entry is
// loaded on a worker thread while the caller works on the current one.
class FrameReader
{
public:
    FrameReader(const QFileInfoList &entries, bool overlapped)
        : m_entries(entries), m_overlapped(overlapped) {}
    ~FrameReader()
    {
        if (m_pending.valid())
            m_pending.wait();
    }

    bool atEnd() const { return m_next >= m_entries.size(); }

    // The image of the next entry (null if it holds none) and its index.
    QImage take(int *index)
    {
        *index = m_next;
        QImage image = m_pending.valid() ? m_pending.get() : loadFrame(m_entries.at(m_next).filePath());
        ++m_next;
        if (m_overlapped && !atEnd()) {
            const QString path = m_entries.at(m_next).filePath();
            m_pending = std::async(std::launch::async, [path] { return loadFrame(path); });
        }
        return image;
    }

private:
    QFileInfoList m_entries;
    bool m_overlapped;
    int m_next = 0;
    std::future<QImage> m_pending;
};

// Saves output frames. When overlapped, a frame is encoded and written on a
// worker thread while the caller computes the next one; at most one save is
// in flight. A failure is reported by the first call after it.
class FrameWriter
{
public:
    explicit FrameWriter(bool overlapped) : m_overlapped(overlapped) {}
    ~FrameWriter() { finish(); }

    void save(const QImage &image, const QString &path)
    {
        finish();
        if (!m_error.isEmpty())
            return;
        if (m_overlapped)
            m_pending = std::async(std::launch::async, [image, path] { return write(image, path); });
        else
            record(write(image, path));
    }

    // Waits for the save in flight; true when every save so far succeeded.
    bool finish()
    {
        if (m_pending.valid())
            record(m_pending.get());
        return m_error.isEmpty();
    }

    bool failed() const { return !m_error.isEmpty(); }
    QString error() const { return m_error; }
    int written() const { return m_written; }

private:
    void record(const QString &error)
    {
        if (error.isEmpty())
            ++m_written;
        else if (m_error.isEmpty())
            m_error = error;
    }

    static QString write(const QImage &image, const QString &path)
    {
        QString reason;
        if (savePng(image, path, &reason))
            return QString();
        return QStringLiteral("cannot write %1 (%2)").arg(QDir::toNativeSeparators(path), reason);
    }

    bool m_overlapped;
    std::future<QString> m_pending;
    QString m_error;
    int m_written = 0;
};

// The five-frame window of the Standard chain: frames are smoothed once,
// when they enter.
class StandardWindow
{
public:
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

class Run
{
public:
    Run(const QString &workDir, RunSink &sink, const RunOptions &options)
        : m_sink(sink), m_options(options),
          m_folder(workDir) {}

    RunResult exec(DenoiseMode mode)
    {
        m_timer.start();
        m_sink.setProgressVisible(true);
        try {
            execute(mode);
        } catch (const std::bad_alloc &) {
            fail(QStringLiteral(" - Processing failed: out of memory."));
        } catch (const std::exception &e) {
            // A worker thread that could not be started, and the like.
            fail(QStringLiteral(" - Processing failed: %1.").arg(QString::fromLocal8Bit(e.what())));
        }
        m_sink.setProgressVisible(false);
        m_result.elapsedMs = quint32(m_timer.elapsed());
        if (m_result.status == RunResult::Done) {
            m_sink.log(QStringLiteral(" - Processing done"));
            m_sink.timing(QStringLiteral("time%1ms").arg(m_result.elapsedMs));
        }
        return m_result;
    }

private:
    void fail(const QString &message, RunResult::Status status = RunResult::Failed)
    {
        m_result.status = status;
        m_result.error = message;
        m_sink.logFailure(message);
    }

    void execute(DenoiseMode mode)
    {
        if (!m_folder.makeProcessed()) {
            fail(QStringLiteral(" - Processing failed: cannot create %1.").arg(QDir::toNativeSeparators(m_folder.processed())));
            return;
        }
        m_entries = listFrames(m_folder.screens());
        m_count = m_entries.size();
        if (m_count == 0) {
            fail(QStringLiteral(" - No frames to process in screens/"), RunResult::NoFrames);
            return;
        }
        QString error;
        if (!m_folder.removeOutputFrames(&error)) {
            fail(QStringLiteral(" - Processing failed: %1").arg(error));
            return;
        }

        FrameReader reader(m_entries, m_options.overlapped);
        int index = -1;
        const QImage first = nextFrame(reader, &index);
        if (first.isNull()) {
            if (m_result.status == RunResult::Done)
                fail(QStringLiteral(" - No frames to process in screens/"), RunResult::NoFrames);
            return;
        }
        m_size = first.size();
        if (mode == DenoiseMode::Standard) {
            StandardWindow window;
            slide(window, reader, first, index);
        } else {
            FuzzyWindow window(m_size.width(), m_size.height(), m_sink.wantsPreview());
            slide(window, reader, first, index);
        }
    }

    // The next entry that holds an image. Entries that hold none are left
    // out with a console line; a frame of another size stops the run.
    QImage nextFrame(FrameReader &reader, int *index)
    {
        while (!reader.atEnd()) {
            QImage image = reader.take(index);
            const QFileInfo &entry = m_entries.at(*index);
            if (image.isNull()) {
                ++m_skipped;
                m_sink.log(QStringLiteral(" - Skipped %1: not an image").arg(entry.fileName()));
                continue;
            }
            if (m_size.isValid() && image.size() != m_size) {
                fail(QStringLiteral(" - Processing stopped: %1 is %2x%3, the frames before it are %4x%5")
                         .arg(entry.fileName())
                         .arg(image.width()).arg(image.height())
                         .arg(m_size.width()).arg(m_size.height()));
                return QImage();
            }
            return image;
        }
        return QImage();
    }

    void preview(const QImage &image)
    {
        if (m_sink.wantsPreview())
            m_sink.setPreview(image.scaledToWidth(PreviewWidth, Qt::FastTransformation));
    }

    template <typename Window>
    void slide(Window &window, FrameReader &reader, const QImage &first, int firstIndex)
    {
        std::deque<QString> names;
        window.add(first);
        names.push_back(frameName(m_entries.at(firstIndex)));
        preview(window.oldest());

        FrameWriter writer(m_options.overlapped);
        int index = firstIndex;
        while (true) {
            const QImage frame = nextFrame(reader, &index);
            if (frame.isNull())
                break;
            window.add(frame);
            names.push_back(frameName(m_entries.at(index)));
            if (int(names.size()) < WindowSize)
                continue;

            preview(window.oldest());
            const QImage out = window.denoise();
            if (out.isNull())
                throw std::bad_alloc();
            writer.save(out, m_folder.outputFrame(names.front()));
            window.dropOldest();
            names.pop_front();
            ++m_outputs;
            m_sink.setProgress(m_outputs, m_count - m_skipped - (WindowSize - 1));

            if (writer.failed())
                break;
            if (m_sink.stopRequested()) {
                writer.finish();
                if (!writer.failed())
                    fail(QStringLiteral(" - Processing stopped."), RunResult::Stopped);
                break;
            }
        }
        if (!writer.finish())
            fail(QStringLiteral(" - Processing failed: %1.").arg(writer.error()));
        m_result.framesWritten = writer.written();
    }

    RunSink &m_sink;
    RunOptions m_options;
    WorkFolder m_folder;
    QFileInfoList m_entries;
    int m_count = 0;     // entries listed
    int m_skipped = 0;   // entries left out so far
    int m_outputs = 0;   // windows denoised so far
    QSize m_size;
    QElapsedTimer m_timer;
    RunResult m_result;
};

} // namespace

RunResult processMovie(const QString &workDir, DenoiseMode mode, RunSink &sink, const RunOptions &options)
{
    return Run(workDir, sink, options).exec(mode);
}

} // namespace nocta
