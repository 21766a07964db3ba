#pragma once

#include <QImage>
#include <QString>

namespace nocta {

// Loads one frame from its own file. Uncompressed 24-bit BMP files,
// as the decoder writes them, are read directly; everything else goes
// through QImage. The result is RGB32 or ARGB32, or null when the file does
// not hold an image.
QImage loadFrame(const QString &path);

// Writes an image as PNG, the way QImage::save("png", 100) stores its
// pixels (no compression), but several times faster: no row filters, SIMD
// checksums, and an opaque image without alpha channel. The file is written
// under a temporary name and renamed over the target, so a failed or
// interrupted write never leaves a partial file. Returns false on failure
// with a reason in *error.
bool savePng(const QImage &image, const QString &path, QString *error = nullptr);

} // namespace nocta
