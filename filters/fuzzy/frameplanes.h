#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace nocta {

namespace detail {
// A zeroed block for a plane set (nullptr when out of memory), and its
// release. Large blocks come straight from the system, in huge pages where
// it has them, so that filling a fresh set costs few page faults.
void *allocatePlaneBlock(std::size_t bytes);
void freePlaneBlock(void *block, std::size_t bytes);

// Number of plane sets alive in the process, of either element type.
int livePlaneSets();
}

// The nine planes of one frame for the fuzzy chain: for each channel the
// value of the darkest pixel around, the softened value of the pixel itself
// and the value of the brightest pixel around. Each plane is row-major,
// width x height values, value of (x, y) at y * width + x; every value is
// 0..255.
//
// FramePlanes holds them as 32-bit signed integers, plane after plane.
// CompactFramePlanes holds the same values as bytes, and keeps the nine rows
// of one image row side by side (row y of plane k at (9 y + k) * width), so
// that a filter reading a row of all nine planes reads one stretch of
// memory: a quarter of the memory and far less memory traffic. That is what
// the processing run uses. Both filters accept either and give the same
// results.
//
// The planes live in one block, cleared to 0 when allocated. A set is
// move-only: the processing run hands references to the filters and never
// copies the planes.
template <typename T, bool RowsInterleaved>
class BasicFramePlanes
{
public:
    using Value = T;

    enum Plane {
        RedDark = 0, RedCentre, RedBright,
        GreenDark, GreenCentre, GreenBright,
        BlueDark, BlueCentre, BlueBright,
        PlaneCount
    };

    BasicFramePlanes() = default;

    // Throws std::bad_alloc when the planes do not fit in memory.
    BasicFramePlanes(int width, int height)
    {
        if (width <= 0 || height <= 0)
            return;
        const std::size_t bytes = std::size_t(PlaneCount) * std::size_t(width) * std::size_t(height) * sizeof(Value);
        auto *data = static_cast<Value *>(detail::allocatePlaneBlock(bytes));
        if (!data)
            throw std::bad_alloc();
        m_data = std::unique_ptr<Value[], Free>(data, Free{bytes});
        m_width = width;
        m_height = height;
    }

    BasicFramePlanes(BasicFramePlanes &&other) noexcept
        : m_data(std::move(other.m_data)), m_width(other.m_width), m_height(other.m_height)
    {
        other.m_width = other.m_height = 0;
    }

    BasicFramePlanes &operator=(BasicFramePlanes &&other) noexcept
    {
        if (this != &other) {
            m_data = std::move(other.m_data);
            m_width = other.m_width;
            m_height = other.m_height;
            other.m_width = other.m_height = 0;
        }
        return *this;
    }

    BasicFramePlanes(const BasicFramePlanes &) = delete;
    BasicFramePlanes &operator=(const BasicFramePlanes &) = delete;

    int width() const { return m_width; }
    int height() const { return m_height; }
    bool isNull() const { return !m_data; }
    std::size_t planeSize() const { return std::size_t(m_width) * std::size_t(m_height); }

    // Row y of the plane at a position (0..8), width values.
    Value *row(int position, int y) { return m_data.get() + offset(position, y); }
    const Value *row(int position, int y) const { return m_data.get() + offset(position, y); }

    // A whole plane, row-major (one block of width x height values).
    Value *plane(int position)
    {
        static_assert(!RowsInterleaved, "the rows of the planes are interleaved");
        return row(position, 0);
    }
    const Value *plane(int position) const
    {
        static_assert(!RowsInterleaved, "the rows of the planes are interleaved");
        return row(position, 0);
    }

    int at(int position, int x, int y) const { return int(row(position, y)[x]); }

    // Number of plane sets alive in this process; lets tests prove that a
    // run frees every set it allocates.
    static int liveCount() { return detail::livePlaneSets(); }

private:
    std::size_t offset(int position, int y) const
    {
        return RowsInterleaved ? (std::size_t(y) * PlaneCount + std::size_t(position)) * std::size_t(m_width)
                               : std::size_t(position) * planeSize() + std::size_t(y) * std::size_t(m_width);
    }

    struct Free {
        std::size_t bytes = 0;
        void operator()(Value *p) const { detail::freePlaneBlock(p, bytes); }
    };
    std::unique_ptr<Value[], Free> m_data;
    int m_width = 0;
    int m_height = 0;
};

using FramePlanes = BasicFramePlanes<std::int32_t, false>;
using CompactFramePlanes = BasicFramePlanes<std::uint8_t, true>;

} // namespace nocta
