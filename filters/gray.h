#pragma once

#include <QRgb>

#include <cstdint>

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

// The gray levels of a row of 0xAARRGGBB words, one byte each.
void grayRow(const std::uint32_t *pixels, std::uint8_t *gray, int width);

} // namespace nocta
