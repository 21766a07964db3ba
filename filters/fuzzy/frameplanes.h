#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace nocta {

// The nine planes of one frame for the fuzzy chain: for each channel the
// value of the darkest pixel around, the softened value of the pixel itself
// and the value of the brightest pixel around. Each plane is row-major,
// width x height 32-bit signed integers, value of (x, y) at y * width + x.
//
// The planes live in one block, cleared to 0 when allocated. A FramePlanes
// is move-only: the processing run hands references to the filters and
// never copies the planes.
class FramePlanes
{
public:
    using Value = std::int32_t;

    enum Plane {
        RedDark = 0, RedCentre, RedBright,
        GreenDark, GreenCentre, GreenBright,
        BlueDark, BlueCentre, BlueBright,
        PlaneCount
    };

    FramePlanes() = default;
    // Throws std::bad_alloc when the planes do not fit in memory.
    FramePlanes(int width, int height);
    FramePlanes(FramePlanes &&other) noexcept;
    FramePlanes &operator=(FramePlanes &&other) noexcept;
    FramePlanes(const FramePlanes &) = delete;
    FramePlanes &operator=(const FramePlanes &) = delete;
    ~FramePlanes();

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool isNull() const { return !m_data; }
    std::size_t planeSize() const { return std::size_t(m_width) * std::size_t(m_height); }

    Value *plane(int position) { return m_data.get() + std::size_t(position) * planeSize(); }
    const Value *plane(int position) const { return m_data.get() + std::size_t(position) * planeSize(); }

    Value at(int position, int x, int y) const { return plane(position)[std::size_t(y) * m_width + x]; }

    // Number of plane sets alive in this process; lets tests prove that a
    // run frees every set it allocates.
    static int liveCount();

private:
    struct Free { void operator()(Value *p) const; };
    std::unique_ptr<Value[], Free> m_data;
    int m_width = 0;
    int m_height = 0;
};

} // namespace nocta
