#include "filters/parallel.h"

#include <atomic>

namespace nocta {

namespace {
std::atomic<int> requestedThreads{0};
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
