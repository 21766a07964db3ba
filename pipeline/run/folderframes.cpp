#include "pipeline/run/folderframes.h"

#include "pipeline/frames/frameio.h"
#include "pipeline/frames/framelist.h"
#include "pipeline/core/runsink.h"

#include <QDir>

#include <system_error>

namespace nocta {

FolderSource::FolderSource(const WorkFolder &folder, RunSink &sink, bool overlapped)
    : m_sink(sink), m_entries(listFrames(folder.screens())), m_overlapped(overlapped)
{
}

FolderSource::~FolderSource()
{
    if (m_pending.valid())
        m_pending.wait();
}

Error FolderSource::noFrames() const
{
    return Error{Error::Stage::Processing, Error::Kind::NoFrames, QString(), QString(), WorkFolder::screensName()};
}

// The next entry as read, and its index. Every entry after the first frame
// is read against that frame's size.
FrameLoad FolderSource::take(int *index)
{
    *index = m_next;
    FrameLoad load = m_pending.valid() ? m_pending.get() : readFrame(m_entries.at(m_next).filePath(), m_size);
    ++m_next;
    if (load.ok() && !m_size.isValid())
        m_size = load.image.size();
    if (m_overlapped && m_next < m_entries.size()) {
        const QString path = m_entries.at(m_next).filePath();
        const QSize size = m_size;
        try {
            m_pending = std::async(std::launch::async, [path, size] { return readFrame(path, size); });
        } catch (const std::system_error &) {
            m_overlapped = false;   // no thread to be had: read in turn
        }
    }
    return load;
}

bool FolderSource::next(SourceFrame *frame)
{
    while (m_next < m_entries.size() && !m_failure) {
        int index = 0;
        const FrameLoad load = take(&index);
        const QFileInfo &entry = m_entries.at(index);
        switch (load.status) {
        case FrameLoad::Ok:
            *frame = SourceFrame{load.image, frameName(entry), entry.fileName()};
            return true;
        case FrameLoad::NotAnImage:
            ++m_skipped;
            m_sink.log(QStringLiteral(" - Skipped %1: not an image").arg(entry.fileName()));
            continue;
        case FrameLoad::WrongSize:
            // The reason reads "<its size>, not <the first frame's>".
            m_failure = Error{Error::Stage::Processing, Error::Kind::Stopped,
                              QStringLiteral("%1 is %2, the frames before it are %3x%4")
                                  .arg(entry.fileName(), load.fault.reason.section(QLatin1Char(','), 0, 0))
                                  .arg(m_size.width()).arg(m_size.height()),
                              QString(), entry.fileName()};
            break;
        default:
            m_failure = Error::failed(Error::Stage::Processing,
                                      QStringLiteral("%1: %2").arg(entry.fileName(), load.fault.reason));
            break;
        }
    }
    return false;
}

PngTarget::PngTarget(const WorkFolder &folder, bool overlapped)
    : m_folder(folder), m_overlapped(overlapped)
{
}

PngTarget::~PngTarget()
{
    finish();
}

namespace {

Error writeFrame(const QImage &image, const QString &path)
{
    return savePng(image, path).error(Error::Stage::Processing,
                                      QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(path)));
}

} // namespace

bool PngTarget::put(const QImage &output, const SourceFrame &oldest)
{
    finish();
    if (m_failure)
        return false;
    const QString path = m_folder.outputFrame(oldest.name);
    if (m_names.contains(oldest.name)) {
        m_failure = Error{Error::Stage::Processing, Error::Kind::Stopped,
                          QStringLiteral("%1 and %2 would both be saved as %3/%4.png.")
                              .arg(m_names.value(oldest.name), oldest.label, WorkFolder::processedName(), oldest.name),
                          QString(), oldest.label};
        return false;
    }
    m_names.insert(oldest.name, oldest.label);
    if (m_overlapped) {
        try {
            m_pending = std::async(std::launch::async, [output, path] { return writeFrame(output, path); });
            return !m_failure;
        } catch (const std::system_error &) {
            m_overlapped = false;   // no thread to be had: write in turn
        }
    }
    record(writeFrame(output, path));
    return !m_failure;
}

bool PngTarget::finish()
{
    if (m_pending.valid())
        record(m_pending.get());
    return !m_failure;
}

void PngTarget::record(const Error &error)
{
    if (!error)
        ++m_written;
    else if (!m_failure)
        m_failure = error;
}

} // namespace nocta
