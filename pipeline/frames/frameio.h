#pragma once

#include "pipeline/core/error.h"

#include <QImage>
#include <QSize>
#include <QString>

namespace nocta {

// Frames are at most this many pixels wide and high. (The fuzz build
// lowers it, to keep every input fast.)
#ifdef NOCTA_MAX_FRAME_SIDE
constexpr int MaxFrameSide = NOCTA_MAX_FRAME_SIDE;
#else
constexpr int MaxFrameSide = 16384;
#endif

// The outcome of reading one frame.
struct FrameLoad
{
    enum Status {
        Ok,           // image holds the frame
        NotAnImage,   // no image format recognises the file (a notes.txt)
        Damaged,      // an image file whose data is cut short or invalid
        Unreadable,   // missing, not a regular file, or the system refuses to read it
        TooLarge,     // its header claims more than MaxFrameSide pixels a side
        WrongSize,    // its header claims another size than the one expected
        OutOfMemory,  // a valid image that did not fit in memory
    };

    Status status = NotAnImage;
    QImage image;     // RGB32, or ARGB32 when the file has alpha; null unless Ok
    Fault fault;      // why not Ok, in words (the system's error text for
                      // Unreadable); none when Ok

    bool ok() const { return status == Ok; }
};

// Reads one frame from its own file.
//
// Only a regular file (or a link to one) is read: a FIFO, a socket or a
// device is Unreadable("not a regular file") and is never opened in a way
// that could block. The image header is read first: a frame larger than
// MaxFrameSide a side (TooLarge), or of another size than expectedSize when
// that is valid (WrongSize), is refused before any pixel memory is
// allocated. Data shorter than its header says is Damaged, never a frame
// with undefined pixels: BMP headers are checked against the file size and
// run-length coded BMPs are decoded here, every pixel defined; PNG and
// other formats are refused when their decoder reports an error, JPEG also
// when its end mark is missing. Uncompressed 24-bit BMP files, as the
// decoder writes them, are read directly; other formats go through Qt's
// image readers.
FrameLoad readFrame(const QString &path, QSize expectedSize = QSize());

// The same for the bytes of a whole file held in memory (no file checks).
FrameLoad decodeFrame(const QByteArray &bytes, QSize expectedSize = QSize());

// readFrame(path).image: the frame, or a null image on any failure.
QImage loadFrame(const QString &path);

// Writes an image as PNG, the way QImage::save("png", 100) stores its
// pixels (no compression), but several times faster: no row filters, SIMD
// checksums, and an opaque image without alpha channel. The file is written
// under a temporary name and renamed over the target, so a failed or
// interrupted write never leaves a partial file. A fault gives the
// system's reason.
Fault savePng(const QImage &image, const QString &path);

} // namespace nocta
