#pragma once

// Row kernels are plain loops that the compiler vectorises. On x86-64 each
// kernel marked NOCTA_ROW_KERNEL is compiled three times, for the baseline
// instruction set and for the AVX2 and AVX-512 levels (x86-64-v3, -v4), and
// the dynamic loader picks the best one the processor runs. The binary
// itself needs no more than baseline x86-64.
//
// Every copy gives the same bits: the build forbids contracting a multiply
// and an add into one rounding step, and no copy uses approximate
// reciprocals.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(NOCTA_NO_DISPATCH)
#define NOCTA_ROW_KERNEL __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define NOCTA_ROW_KERNEL
#endif

// Helpers of a row kernel: inlined into each copy, so that they are
// compiled for its instruction set.
#define NOCTA_INLINE inline __attribute__((always_inline))
