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
// FramePlanes holds them as 32-bit signed integers, plane after plane, each
// row-major. CompactFramePlanes holds the same values as bytes, in tiles:
// 64 pixels of a row of all nine planes side by side, tile after tile, so a
// filter that works through the nine planes 64 pixels at a time reads one
// stretch of memory per frame. A quarter of the memory and far less memory
// traffic: that is what the processing run uses. Both filters accept either
// and give the same results.
//
// The planes live in one block, cleared to 0 when allocated. A set is
// move-only: the processing run hands references to the filters and never
// copies the planes.
template <typename T, bool Tiled>
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

    // Pixels of one tile. Values from (x, y) to the end of its tile of 64
    // (x a multiple of 64 starts a tile) lie next to each other in every
    // layout.
    static constexpr int TileWidth = 64;

    BasicFramePlanes() = default;

    // Throws std::bad_alloc when the planes do not fit in memory.
    BasicFramePlanes(int width, int height)
    {
        if (width <= 0 || height <= 0)
            return;
        const std::size_t rowValues = Tiled ? std::size_t(tilesPerRow(width)) * TileWidth : std::size_t(width);
        const std::size_t bytes = std::size_t(PlaneCount) * rowValues * std::size_t(height) * sizeof(Value);
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

    // The value of pixel (x, y) in the plane at a position (0..8), and the
    // values after it up to the end of its tile.
    Value *span(int position, int x, int y) { return m_data.get() + offset(position, x, y); }
    const Value *span(int position, int x, int y) const { return m_data.get() + offset(position, x, y); }

    // The distance from a value of one plane to the value of the same pixel
    // in the next plane: span(k, x, y) == span(0, x, y) + k * planeStride().
    std::size_t planeStride() const { return Tiled ? std::size_t(TileWidth) : planeSize(); }

    // A whole plane, row-major (one block of width x height values).
    Value *plane(int position)
    {
        static_assert(!Tiled, "the planes are held in tiles");
        return span(position, 0, 0);
    }
    const Value *plane(int position) const
    {
        static_assert(!Tiled, "the planes are held in tiles");
        return span(position, 0, 0);
    }

    int at(int position, int x, int y) const { return int(*span(position, x, y)); }

    // Number of plane sets alive in this process; lets tests prove that a
    // run frees every set it allocates.
    static int liveCount() { return detail::livePlaneSets(); }

private:
    static int tilesPerRow(int width) { return (width + TileWidth - 1) / TileWidth; }

    std::size_t offset(int position, int x, int y) const
    {
        if (Tiled) {
            const std::size_t tile = std::size_t(y) * std::size_t(tilesPerRow(m_width)) + std::size_t(x / TileWidth);
            return (tile * PlaneCount + std::size_t(position)) * TileWidth + std::size_t(x % TileWidth);
        }
        return std::size_t(position) * planeSize() + std::size_t(y) * std::size_t(m_width) + std::size_t(x);
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
