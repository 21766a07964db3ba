#include "filters/fuzzy/frameplanes.h"

#include <atomic>
#include <cstdlib>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace nocta::detail {

namespace {

std::atomic<int> liveSets{0};

#ifdef __linux__
constexpr std::size_t LargeBlock = std::size_t(4) << 20;
#endif

} // namespace

void *allocatePlaneBlock(std::size_t bytes)
{
    void *block = nullptr;
#ifdef __linux__
    if (bytes >= LargeBlock) {
        block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            return nullptr;
        madvise(block, bytes, MADV_HUGEPAGE);   // a hint: fine if refused
    }
#endif
    if (!block)
        block = std::calloc(bytes, 1);
    if (block)
        ++liveSets;
    return block;
}

void freePlaneBlock(void *block, std::size_t bytes)
{
    if (!block)
        return;
    --liveSets;
#ifdef __linux__
    if (bytes >= LargeBlock) {
        munmap(block, bytes);
        return;
    }
#endif
    (void)bytes;
    std::free(block);
}

int livePlaneSets()
{
    return liveSets;
}

} // namespace nocta::detail
