#pragma once

#include "pipeline/frames/frameio.h"

class QIODevice;

namespace nocta::detail {

// Reads a BMP file (the device positioned at its first byte, size its
// length in bytes): headers checked against the file's length and the
// limits before any pixel memory is allocated, uncompressed 24-bit pixels
// read directly, run-length coded pixels decoded here into an image whose
// every pixel is defined, other depths handed to Qt's reader once the file
// is known to hold all their bytes.
FrameLoad readBmp(QIODevice &device, qint64 size, QSize expectedSize);

// The size check shared by every reader, on the size that a header claims:
// TooLarge or WrongSize, or Ok.
FrameLoad checkFrameSize(qint64 width, qint64 height, QSize expectedSize);

FrameLoad frameFailure(FrameLoad::Status status, const QString &reason);

} // namespace nocta::detail
