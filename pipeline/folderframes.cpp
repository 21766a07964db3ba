#include "pipeline/folderframes.h"

#include "pipeline/frameio.h"
#include "pipeline/framelist.h"
#include "pipeline/runsink.h"

#include <QDir>

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

QString FolderSource::noFramesMessage() const
{
    return QStringLiteral(" - No frames to process in %1/").arg(WorkFolder::screensName());
}

// The image of the next entry (null if it holds none) and its index.
QImage FolderSource::take(int *index)
{
    *index = m_next;
    QImage image = m_pending.valid() ? m_pending.get() : loadFrame(m_entries.at(m_next).filePath());
    ++m_next;
    if (m_overlapped && m_next < m_entries.size()) {
        const QString path = m_entries.at(m_next).filePath();
        m_pending = std::async(std::launch::async, [path] { return loadFrame(path); });
    }
    return image;
}

bool FolderSource::next(SourceFrame *frame)
{
    while (m_next < m_entries.size()) {
        int index = 0;
        QImage image = take(&index);
        const QFileInfo &entry = m_entries.at(index);
        if (image.isNull()) {
            ++m_skipped;
            m_sink.log(QStringLiteral(" - Skipped %1: not an image").arg(entry.fileName()));
            continue;
        }
        *frame = SourceFrame{image, frameName(entry), entry.fileName()};
        return true;
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
        m_collision = QStringLiteral(" - Processing stopped: %1.").arg(m_error);
        return false;
    }
    m_names.insert(oldest.name, oldest.label);
    if (m_overlapped)
        m_pending = std::async(std::launch::async, [output, path] { return writeFrame(output, path); });
    else
        record(writeFrame(output, path));
    return m_error.isEmpty();
}

bool PngTarget::finish()
{
    if (m_pending.valid())
        record(m_pending.get());
    return m_error.isEmpty();
}

QString PngTarget::failure() const
{
    if (!m_collision.isEmpty())
        return m_collision;
    return m_error.isEmpty() ? QString() : QStringLiteral(" - Processing failed: %1.").arg(m_error);
}

void PngTarget::record(const QString &error)
{
    if (error.isEmpty())
        ++m_written;
    else if (m_error.isEmpty())
        m_error = error;
}

} // namespace nocta
