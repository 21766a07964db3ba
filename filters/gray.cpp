#include "filters/gray.h"

#include "filters/simd.h"

namespace nocta {

namespace {
#define NOCTA_KERNELS "filters/gray_kernels.inc"
#include "filters/kernelcopies.h"
} // namespace

void grayRow(const std::uint32_t *pixels, std::uint8_t *gray, int width)
{
    NOCTA_KERNEL(grayRow)(pixels, gray, width);
}

} // namespace nocta
