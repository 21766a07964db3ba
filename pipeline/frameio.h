#pragma once

#include <QImage>
#include <QString>

namespace nocta {

// Loads one frame from its own file. Uncompressed 24-bit BMP files,
// as the decoder writes them, are read directly; everything else goes
// through QImage. The result is RGB32 or ARGB32, or null when the file does
// not hold an image.
QImage loadFrame(const QString &path);

// Writes an image as PNG, the way QImage::save("png", 100) would store its
// pixels (no compression), but faster: no row filters, and an opaque image
// without alpha channel. The file is replaced atomically: a failed or
// interrupted write leaves no partial file. Returns false on failure with
// a reason in *error.
bool savePng(const QImage &image, const QString &path, QString *error = nullptr);

} // namespace nocta
