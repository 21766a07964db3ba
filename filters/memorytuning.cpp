#include "filters/memorytuning.h"

#include <cstdlib>   // defines __GLIBC__ where that is the C library

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace nocta {

void tuneMemoryForFrames()
{
#ifdef __GLIBC__
    // Every filter call returns a new frame of several megabytes. By default
    // glibc gives such blocks back to the system when they are freed, and
    // every new one then costs a page fault per 4 KiB on first touch, more
    // than the filters themselves. Keep them in the heap for reuse instead,
    // and in one heap for all threads: frames are made on one thread and
    // freed on another, and separate heaps per thread would each keep their
    // own spare frames.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
    mallopt(M_ARENA_MAX, 1);
#endif
}

} // namespace nocta
