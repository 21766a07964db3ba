#pragma once

#include <QFileInfoList>
#include <QString>

namespace nocta {

// Natural order of frame names: runs of digits compare by their number,
// everything else by character code of the lower-cased text. So 999.bmp
// comes before 1000.bmp, and three-digit names keep their order.
bool naturalLess(const QString &a, const QString &b);

// The files of a frame directory (no subdirectories, no hidden or special
// files, any extension) in natural order. Empty when the directory is
// missing.
QFileInfoList listFrames(const QString &directory);

// The name a frame's output is saved under: the file name up to its first dot.
QString frameName(const QFileInfo &entry);

} // namespace nocta
