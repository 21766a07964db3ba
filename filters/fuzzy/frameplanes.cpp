#include "filters/fuzzy/frameplanes.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace nocta {

namespace {
std::atomic<int> liveSets{0};
}

FramePlanes::FramePlanes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return;
    const std::size_t values = std::size_t(PlaneCount) * std::size_t(width) * std::size_t(height);
    // calloc: zeroed pages straight from the system, so a frame that fills
    // only part of its planes still gives deterministic output.
    auto *data = static_cast<Value *>(std::calloc(values, sizeof(Value)));
    if (!data)
        throw std::bad_alloc();
    m_data.reset(data);
    m_width = width;
    m_height = height;
    ++liveSets;
}

FramePlanes::FramePlanes(FramePlanes &&other) noexcept
    : m_data(std::move(other.m_data)), m_width(other.m_width), m_height(other.m_height)
{
    other.m_width = other.m_height = 0;
}

FramePlanes &FramePlanes::operator=(FramePlanes &&other) noexcept
{
    if (this != &other) {
        m_data = std::move(other.m_data);
        m_width = other.m_width;
        m_height = other.m_height;
        other.m_width = other.m_height = 0;
    }
    return *this;
}

FramePlanes::~FramePlanes() = default;

void FramePlanes::Free::operator()(Value *p) const
{
    std::free(p);
    --liveSets;
}

int FramePlanes::liveCount()
{
    return liveSets;
}

} // namespace nocta
