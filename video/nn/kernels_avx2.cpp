#include "video/nn/kernels.h"

#define NN_KERNEL_NAMESPACE avx2
#include "video/nn/kernels_impl.inc"

namespace nn {
const Kernels &avx2Kernels()
{
    return avx2::table;
}
} // namespace nn
