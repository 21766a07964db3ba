#pragma once

#include <QImage>

namespace nocta {

// 3x3 weighted smoothing (weights 2 4 2 / 4 6 4 / 2 4 2) of one frame.
// Neighbours outside the image are left out, weight and all; each channel
// is its weighted sum divided by the weight total, rounded down. Every
// output pixel is opaque. The result has the source's size and, for the
// 32-bit formats, its format (any other format gives ARGB32).
QImage smoothFrame(const QImage &frame);

} // namespace nocta
