#include "video/nn/kernels.h"

#define NN_KERNEL_NAMESPACE baseline
#include "video/nn/kernels_impl.inc"

namespace nn {
const Kernels &baselineKernels()
{
    return baseline::table;
}
} // namespace nn
