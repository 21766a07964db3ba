#pragma once

#include <QFileInfoList>
#include <QString>

namespace nocta {

// Natural order of frame names: runs of digits compare by their number,
// everything else by character code of the lower-cased text. So 999.bmp
// comes before 1000.bmp, and three-digit names keep their order.
bool naturalLess(const QString &a, const QString &b);

// The regular files of a frame directory, and links to regular files (no
// subdirectories, hidden files, FIFOs, sockets, devices or links to them,
// and no broken links), any extension, in natural order. Nothing is opened.
// Empty when the directory is missing.
QFileInfoList listFrames(const QString &directory);

// The name a frame's output is saved under: the file name up to its first dot.
QString frameName(const QFileInfo &entry);

} // namespace nocta
