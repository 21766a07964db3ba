#pragma once

// Row kernels are plain loops that the compiler vectorises. On x86-64 each
// filter's kernels (its *_kernels.inc file) are compiled three times, for
// the baseline instruction set and for the AVX2 and AVX-512 levels
// (x86-64-v3, -v4), each copy in a namespace of its own, and the copy that
// runs is chosen once per process: the best one the processor runs, or the
// one that the environment variable NOCTA_CPU names (baseline, avx2 or
// avx512), so that tests and measurements can run every copy on one
// machine. The binary itself needs no more than baseline x86-64.
//
// Every copy gives the same bits: the build forbids contracting a multiply
// and an add into one rounding step, and no copy uses approximate
// reciprocals.
//
// In a filter's source, after its helpers:
//
//     #define NOCTA_KERNELS "filters/standard/smoothframe_kernels.inc"
//     #include "filters/kernelcopies.h"
//
// then NOCTA_KERNEL(smoothRow) is the copy in use of kernel smoothRow, and
// NOCTA_KERNEL_OF(Type, name) that of an overloaded kernel, by its type.

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(NOCTA_NO_DISPATCH)
#define NOCTA_KERNEL_COPIES 1
#endif

// Helpers of a row kernel: inlined into each copy, so that they are
// compiled for its instruction set.
#define NOCTA_INLINE inline __attribute__((always_inline))

namespace nocta {

enum class KernelLevel { Baseline, Avx2, Avx512 };

// The copy of the kernels that this process runs. Chosen on first use from
// the processor and NOCTA_CPU; a level that the processor (or the build)
// cannot run is lowered to the best one it can, with a line on standard
// error.
KernelLevel kernelLevel();

// Whether this processor and build can run a copy.
bool canRunKernels(KernelLevel level);

// "baseline", "avx2", "avx512".
const char *kernelLevelName(KernelLevel level);

namespace detail {

template <typename F>
F *pickKernel(F *baseline, F *avx2, F *avx512)
{
    switch (kernelLevel()) {
    case KernelLevel::Avx512: return avx512;
    case KernelLevel::Avx2: return avx2;
    case KernelLevel::Baseline: break;
    }
    return baseline;
}

} // namespace detail

} // namespace nocta

#ifdef NOCTA_KERNEL_COPIES
#define NOCTA_KERNEL(name) ::nocta::detail::pickKernel(baseline::name, avx2::name, avx512::name)
#define NOCTA_KERNEL_OF(Type, name) ::nocta::detail::pickKernel<Type>(baseline::name, avx2::name, avx512::name)
#else
#define NOCTA_KERNEL(name) (baseline::name)
#define NOCTA_KERNEL_OF(Type, name) (static_cast<Type *>(baseline::name))
#endif
