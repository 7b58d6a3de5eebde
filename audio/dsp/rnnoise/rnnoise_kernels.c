#include "audio/dsp/rnnoise/rnnoise_kernels_impl.h"

#include <pthread.h>

const RnnoiseKernels *rnnoiseBaselineKernels(void)
{
    static const RnnoiseKernels table = RNNOISE_KERNEL_TABLE("baseline");
    return &table;
}

const RnnoiseKernels *rnnoiseAvx2Kernels(void)
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? rnnoiseAvx2KernelTable() : NULL;
}

static const RnnoiseKernels *s_best;

static void pickBest(void)
{
    s_best = rnnoiseAvx2Kernels();
    if (!s_best)
        s_best = rnnoiseBaselineKernels();
}

const RnnoiseKernels *rnnoiseBestKernels(void)
{
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, pickBest);
    return s_best;
}
