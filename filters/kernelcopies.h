// Compiles the kernels of the file that NOCTA_KERNELS names once per
// instruction-set level, in namespaces baseline, avx2 and avx512 of the
// including scope (see filters/simd.h). Included once per filter source,
// after the helpers that the kernels use; no include guard on purpose.
// Kernels may hold hand-written AVX2 code under NOCTA_KERNEL_HAS_AVX2,
// defined while the avx2 and avx512 copies compile.

#ifndef NOCTA_KERNELS
#error "define NOCTA_KERNELS as the file of kernels to compile"
#endif

#ifdef NOCTA_KERNEL_COPIES
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4")
namespace avx512 {
#define NOCTA_KERNEL_HAS_AVX2 1
#include NOCTA_KERNELS
#undef NOCTA_KERNEL_HAS_AVX2
}
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("arch=x86-64-v3")
namespace avx2 {
#define NOCTA_KERNEL_HAS_AVX2 1
#include NOCTA_KERNELS
#undef NOCTA_KERNEL_HAS_AVX2
}
#pragma GCC pop_options
#endif

namespace baseline {
#include NOCTA_KERNELS
}

#undef NOCTA_KERNELS
