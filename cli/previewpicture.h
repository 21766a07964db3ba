#pragma once

#include "pipeline/movie/moviepreview.h"

#include <QImage>
#include <QRect>

namespace nocta::cli {

// The widest a panel of the picture is drawn; wider frames are scaled down.
constexpr int MostPanelWidth = 960;

// The part of image of the given size with the most detail among the
// darker half of such parts (on a grid): where noise and its removal show
// best.
QRect detailedDarkArea(const QImage &image, QSize size);

// The picture to choose a mode by: the source frame and each mode's frame
// side by side, under them the same area of each, dark and detailed,
// twice as large; every panel labelled with its mode and its time per
// frame. Needs a QGuiApplication (fonts).
QImage previewPicture(const MoviePreview &preview);

} // namespace nocta::cli
