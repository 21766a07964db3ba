#pragma once

#include "filters/fuzzy/frameplanes.h"

#include <QImage>

// The plain per-pixel implementation of both filter chains.
//
// Every read is one QImage::pixel(x, y), every write one QImage::setPixel,
// and every rule is written out the way the chains are described, without
// any shortcut. It is slow on purpose: it is the yardstick that the fast
// kernels of noctacore are compared against, bit for bit.
namespace nocta::reference {

// 3x3 smoothing with weights 2 4 2 / 4 6 4 / 2 4 2; neighbours outside the
// image are left out, weight and all; each channel rounded down; output
// opaque. The result keeps the source's format for RGB32, ARGB32 and
// ARGB32_Premultiplied and is ARGB32 for any other format.
QImage smoothFrame(const QImage &frame);

// Temporal phase (similar pixels of f0, f1, f3, f4 averaged into f2 with
// weights 0.25, 0.5, 1, 0.25, 0.5 in double precision, halves rounded up)
// followed by the spatial phase (Sobel edge test on gray levels, cross
// sharpening or 3x3 smoothing, two-pixel border band kept).
// The result has f0's size and format (same rule as smoothFrame).
//
// The same preconditions as the library's chains (frames and plane sets of
// one size), checked the same way (filters/precondition.h).
QImage denoiseStandard(const QImage &f0, const QImage &f1, const QImage &f2,
                       const QImage &f3, const QImage &f4);

// Local-extremes pre-filter with the given radius, into planes of the
// frame's size.
void prefilterFrame(int radius, const QImage &frame, nocta::FramePlanes &planes);

// Fuzzy temporal filter of s2, all arithmetic of the averaging step in
// single precision. Returns a width x height ARGB32 image, a null image
// when width or height is 0 or below. Every set is width x height.
QImage denoiseFuzzy(const nocta::FramePlanes &s0, const nocta::FramePlanes &s1,
                    const nocta::FramePlanes &s2, const nocta::FramePlanes &s3,
                    const nocta::FramePlanes &s4, int width, int height);

} // namespace nocta::reference
