#pragma once

#include <QImage>

namespace nocta {

// Denoises the middle frame f2 of a five-frame window (oldest first).
//
// Temporal phase: each pixel of f2 is averaged with the pixels at the same
// place in f0, f1, f3, f4 whose channels all lie within 34 of it, with
// weights 0.25, 0.5, 1, 0.25, 0.5 by position, rounded to nearest with
// halves up. Spatial phase: away from a two-pixel border band, a pixel whose
// Sobel gray-level gradient reaches 20 is sharpened with a cross kernel,
// any other pixel is smoothed again with the 3x3 kernel.
//
// The result has the size and (for the 32-bit formats) the format of f0.
//
// Precondition: the five frames have one size (see filters/precondition.h;
// unchecked builds return a null image).
QImage denoiseStandard(const QImage &f0, const QImage &f1, const QImage &f2,
                       const QImage &f3, const QImage &f4);

} // namespace nocta
