#pragma once

#include <omp.h>

namespace nocta {

// Pixel loops are split into bands of rows, one band per thread, with
// OpenMP: a parallel region costs a few microseconds, needs no task objects,
// and a filter stays a plain loop. Every row is computed from inputs alone,
// so any number of threads gives the same bytes.
//
// Set the number of threads the filters use (0: one per core).
void setFilterThreads(int threads);
int filterThreads();

} // namespace nocta
