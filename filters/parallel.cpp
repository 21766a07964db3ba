#include "filters/parallel.h"

#include <atomic>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace nocta {

namespace {
std::atomic<int> requestedThreads{0};

#ifdef __GLIBC__
// Every filter call returns a new frame of several megabytes. By default
// glibc gives such blocks back to the system when they are freed, and every
// new one then costs a page fault per 4 KiB on first touch, more than the
// filters themselves. Keep them in the heap for reuse instead.
const bool largeBlocksReused = [] {
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    return true;
}();
#endif
}

void setFilterThreads(int threads)
{
    requestedThreads = threads > 0 ? threads : 0;
}

int filterThreads()
{
    const int n = requestedThreads;
    return n > 0 ? n : omp_get_num_procs();
}

} // namespace nocta
