#pragma once

#include "filters/fuzzy/frameplanes.h"

#include <QImage>

namespace nocta {

// Denoises the middle frame s2 of a five-frame window of plane sets.
// A neighbour set is admitted at a pixel when, in every channel, its
// dark-to-bright range and that of s2 overlap once widened upward by 20.
// Admitted sets are averaged in (weights 0.25, 0.5, 1, 0.5, 0.25, single
// precision); a pixel whose averaged spread exceeds 30 (red), 40 (green) or
// 80 (blue) has its centre pushed away from the middle of its range, any
// other pixel takes that middle. Values are truncated and clamped to 0..255.
//
// Returns a width x height ARGB32 image, every pixel opaque; a null image
// when width or height is 0 or below.
//
// Precondition: every set is width x height (see filters/precondition.h;
// unchecked builds return a null image).
QImage denoiseFuzzy(const FramePlanes &s0, const FramePlanes &s1, const FramePlanes &s2,
                    const FramePlanes &s3, const FramePlanes &s4, int width, int height);
QImage denoiseFuzzy(const CompactFramePlanes &s0, const CompactFramePlanes &s1, const CompactFramePlanes &s2,
                    const CompactFramePlanes &s3, const CompactFramePlanes &s4, int width, int height);

} // namespace nocta
