#include "filters/simd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace nocta {

namespace {

KernelLevel bestLevel()
{
#ifdef NOCTA_KERNEL_COPIES
    __builtin_cpu_init();
    if (__builtin_cpu_supports("x86-64-v4"))
        return KernelLevel::Avx512;
    if (__builtin_cpu_supports("x86-64-v3"))
        return KernelLevel::Avx2;
#endif
    return KernelLevel::Baseline;
}

KernelLevel chooseLevel()
{
    const KernelLevel best = bestLevel();
    const char *wanted = std::getenv("NOCTA_CPU");
    if (!wanted || !*wanted)
        return best;
    for (KernelLevel level : {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (std::strcmp(wanted, kernelLevelName(level)) != 0)
            continue;
        if (level <= best)
            return level;
        std::fprintf(stderr, "NOCTA_CPU=%s: this processor cannot run those kernels; using %s\n",
                     wanted, kernelLevelName(best));
        return best;
    }
    std::fprintf(stderr, "NOCTA_CPU=%s: not one of baseline, avx2, avx512; using %s\n",
                 wanted, kernelLevelName(best));
    return best;
}

} // namespace

KernelLevel kernelLevel()
{
    static const KernelLevel level = chooseLevel();
    return level;
}

bool canRunKernels(KernelLevel level)
{
    static const KernelLevel best = bestLevel();
    return level <= best;
}

const char *kernelLevelName(KernelLevel level)
{
    switch (level) {
    case KernelLevel::Avx512: return "avx512";
    case KernelLevel::Avx2: return "avx2";
    case KernelLevel::Baseline: break;
    }
    return "baseline";
}

} // namespace nocta
