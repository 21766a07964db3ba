#pragma once

#include <QRgb>

namespace nocta {

// Gray level of a colour, 0..255: (11 R + 16 G + 5 B) >> 5.
// Only pure white reaches 255.
constexpr int grayLevel(int r, int g, int b)
{
    return (11 * r + 16 * g + 5 * b) >> 5;
}

constexpr int grayLevel(QRgb colour)
{
    return grayLevel(qRed(colour), qGreen(colour), qBlue(colour));
}

} // namespace nocta
