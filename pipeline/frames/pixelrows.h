#pragma once

#include <QImage>

namespace nocta {

// Rows of raw pixels as frame files and ffmpeg's pipes hold them, three or
// four bytes a pixel, to and from the 0xAARRGGBB words of an image.

// B G R byte triples (24-bit BMP rows, ffmpeg's bgr24) to opaque words.
void bgr24ToWords(const uchar *src, QRgb *dst, int width);

// Words to R G B byte triples (PNG rows, ffmpeg's rgb24), or R G B A.
void wordsToRgb24(const QRgb *line, uchar *out, int width);
void wordsToRgba(const QRgb *line, uchar *out, int width);

// A frame of width x height bgr24 pixels, rows without padding, as an
// opaque RGB32 image; null when out of memory.
QImage imageFromBgr24(const uchar *bytes, int width, int height);

// Every pixel of an image as rgb24, rows without padding; out holds
// 3 x width x height bytes.
void imageToRgb24(const QImage &image, uchar *out);

} // namespace nocta
