#include "filters/fuzzy/frameplanes.h"

#include <atomic>

namespace nocta::detail {

namespace {
std::atomic<int> liveSets{0};
}

void countPlaneSet(int change)
{
    liveSets += change;
}

int livePlaneSets()
{
    return liveSets;
}

} // namespace nocta::detail
