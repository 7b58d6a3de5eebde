/* The kernels built with -mavx2; picked at run time by rnnoise_kernels.c. */
#include "audio/dsp/rnnoise/rnnoise_kernels_impl.h"

const RnnoiseKernels *rnnoiseAvx2KernelTable(void)
{
    static const RnnoiseKernels table = RNNOISE_KERNEL_TABLE("avx2");
    return &table;
}
