#pragma once

#include "filters/quality/qualityfilter.h"
#include "pipeline/core/error.h"

#include <QImage>
#include <QString>
#include <QVector>

namespace nocta {

// One frame of a movie as each mode makes it, to choose a mode by.
struct ModePreview
{
    QString mode;        // "Standard", "Fuzzy", "quality"
    QImage frame;
    double msPerFrame = 0;
};

struct MoviePreview
{
    int frameIndex = 0;          // the frame shown, from 0
    double seconds = 0;          // its time in the movie
    QImage source;               // as decoded
    QVector<ModePreview> modes;  // Standard, Fuzzy, quality
};

// Decodes the frames around `seconds` (below 0: the middle of the movie),
// frame for frame as a part does, and denoises the frame there with every
// mode, each as a whole run of the movie would. The frame is moved in so
// that the Standard and Fuzzy windows are whole; an error when the movie
// has fewer than five frames, ends before `seconds` or cannot be read.
Error previewMovie(const QString &moviePath, double seconds, const QualityOptions &quality, MoviePreview *preview);

} // namespace nocta
