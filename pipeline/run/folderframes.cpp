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
                                  .arg(entry.fileName(), load.reason.section(QLatin1Char(','), 0, 0))
                                  .arg(m_size.width()).arg(m_size.height()),
                              QString(), entry.fileName()};
            break;
        default:
            m_failure = Error::failed(Error::Stage::Processing,
                                      QStringLiteral("%1: %2").arg(entry.fileName(), load.reason));
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

QString writeFrame(const QImage &image, const QString &path)
{
    QString reason;
    if (savePng(image, path, &reason))
        return QString();
    return QStringLiteral("cannot write %1 (%2)").arg(QDir::toNativeSeparators(path), reason);
}

} // namespace

bool PngTarget::put(const QImage &output, const SourceFrame &oldest)
{
    finish();
    if (!m_error.isEmpty())
        return false;
    const QString path = m_folder.outputFrame(oldest.name);
    if (m_names.contains(oldest.name)) {
        m_error = QStringLiteral("%1 and %2 would both be saved as %3/%4.png")
                      .arg(m_names.value(oldest.name), oldest.label, WorkFolder::processedName(), oldest.name);
        m_collision = Error{Error::Stage::Processing, Error::Kind::Stopped, m_error + QLatin1Char('.'), QString(),
                            oldest.label};
        return false;
    }
    m_names.insert(oldest.name, oldest.label);
    if (m_overlapped) {
        try {
            m_pending = std::async(std::launch::async, [output, path] { return writeFrame(output, path); });
            return m_error.isEmpty();
        } catch (const std::system_error &) {
            m_overlapped = false;   // no thread to be had: write in turn
        }
    }
    record(writeFrame(output, path));
    return m_error.isEmpty();
}

bool PngTarget::finish()
{
    if (m_pending.valid())
        record(m_pending.get());
    return m_error.isEmpty();
}

Error PngTarget::failure() const
{
    if (m_collision)
        return m_collision;
    return m_error.isEmpty() ? Error() : Error::failed(Error::Stage::Processing, m_error);
}

void PngTarget::record(const QString &error)
{
    if (error.isEmpty())
        ++m_written;
    else if (m_error.isEmpty())
        m_error = error;
}

} // namespace nocta
