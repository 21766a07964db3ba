#pragma once

#include "filters/fuzzy/frameplanes.h"

#include <QImage>

namespace nocta {

// Fills the nine planes of one frame. For every pixel the window of
// (2 radius + 1)^2 positions inside the frame is scanned column by column;
// the first pixel of strictly lowest (highest) gray level is the darkest
// (brightest), starting from the pixel itself. Each channel stores the
// darkest pixel's value, the brightest pixel's value, and the pixel's own
// value pulled halfway toward their integer middle (rounded down).
//
// Precondition: the planes have the frame's size (see
// filters/precondition.h; unchecked builds leave the planes as they are).
void prefilterFrame(int radius, const QImage &frame, FramePlanes &planes);
void prefilterFrame(int radius, const QImage &frame, CompactFramePlanes &planes);

} // namespace nocta
