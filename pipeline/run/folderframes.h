#pragma once

#include "pipeline/frames/frameio.h"
#include "pipeline/run/framesource.h"
#include "pipeline/frames/workfolder.h"

#include <QFileInfoList>
#include <QHash>

#include <future>
#include <memory>

namespace nocta {

class RunSink;

// The frames of a work folder's screens/, in natural order. When
// overlapped, the next file is loaded on a worker thread while the run
// works on the current frame. Files that are no image at all are left out,
// each with a console line; a frame that cannot be read (damaged, refused
// by the system, too large, of another size than the first, or too big for
// the memory left) stops the run with a line naming it.
class FolderSource : public FrameSource
{
public:
    FolderSource(const WorkFolder &folder, RunSink &sink, bool overlapped);
    ~FolderSource() override;

    bool isEmpty() const { return m_entries.isEmpty(); }

    bool next(SourceFrame *frame) override;
    int expectedFrames() const override { return int(m_entries.size()) - m_skipped; }
    Error failure() const override { return m_failure; }
    Error noFrames() const override;

private:
    FrameLoad take(int *index);

    RunSink &m_sink;
    QFileInfoList m_entries;
    bool m_overlapped;
    int m_next = 0;
    int m_skipped = 0;
    QSize m_size;                     // the first frame's, once read
    Error m_failure;
    std::future<FrameLoad> m_pending;
};

// Output frames as PNG files processed/<name>.png. When overlapped, a frame
// is encoded and written on a worker thread while the run computes the
// next one; at most one save is in flight. Two windows of one run whose
// oldest frames share a name (night.0001.bmp, night.0002.bmp) would write
// the same file: the second stops the run before it overwrites the first.
class PngTarget : public FrameTarget
{
public:
    PngTarget(const WorkFolder &folder, bool overlapped);
    ~PngTarget() override;

    bool put(const QImage &output, const SourceFrame &oldest) override;
    bool finish() override;
    Error failure() const override { return m_failure; }
    int written() const override { return m_written; }

private:
    void record(const Error &error);

    WorkFolder m_folder;
    QHash<QString, QString> m_names;     // output name -> the frame it came from
    bool m_overlapped;
    std::future<Error> m_pending;
    Error m_failure;                     // the first frame that failed, or a name used twice
    int m_written = 0;
};

} // namespace nocta
