#pragma once

#include <QImage>

namespace nocta {

// Raw frames as ffmpeg reads and writes them on its pipes, three bytes a
// pixel with no padding between rows.

// A frame of B G R byte triples (ffmpeg's bgr24, the byte order of its
// 24-bit BMP frames) as an opaque RGB32 image; null when out of memory.
QImage imageFromBgr24(const uchar *bytes, int width, int height);

// The colour of every pixel as R G B byte triples (ffmpeg's rgb24, the
// byte order of PNG frames); out holds 3 x width x height bytes.
void imageToRgb24(const QImage &image, uchar *out);

} // namespace nocta
