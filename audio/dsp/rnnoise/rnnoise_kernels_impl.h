/* Internal to rnnoise_kernels.c and rnnoise_kernels_avx2.c: the kernel bodies,
 * compiled once per instruction set. All of it is static, so the copy built
 * with -mavx2 can never be the one the baseline callers get. The loops run
 * over outputs innermost, which the compiler turns into vector lanes; each
 * lane keeps its own sum in term order, so no reassociation happens. */
#pragma once

#include "audio/dsp/rnnoise/rnnoise_kernels.h"

#include <stddef.h>

const RnnoiseKernels *rnnoiseAvx2KernelTable(void);

static void weightedSum(float *restrict sums, int count, const int8_t *restrict weights,
                        int stride, const float *restrict input, int inputs)
{
    for (int j = 0; j < inputs; ++j) {
        const int8_t *restrict row = weights + (size_t)j * stride;
        const float x = input[j];
        for (int i = 0; i < count; ++i)
            sums[i] = (float)row[i] * x + sums[i];
    }
}

static void gatedSum(float *restrict sums, int count, const int8_t *restrict weights, int stride,
                     const float *restrict input, const float *restrict gate, int inputs)
{
    for (int j = 0; j < inputs; ++j) {
        const int8_t *restrict row = weights + (size_t)j * stride;
        const float x = input[j];
        const float g = gate[j];
        for (int i = 0; i < count; ++i)
            sums[i] = x * (float)row[i] * g + sums[i];
    }
}

static void crossCorrelation(const float *restrict x, const float *restrict y,
                             float *restrict xcorr, int length, int lags)
{
    for (int k = 0; k < lags; ++k)
        xcorr[k] = 0.0f;
    for (int j = 0; j < length; ++j) {
        const float xj = x[j];
        const float *restrict yj = y + j;
        for (int k = 0; k < lags; ++k)
            xcorr[k] = xj * yj[k] + xcorr[k];
    }
}

#define RNNOISE_KERNEL_TABLE(label)                                                                \
    {                                                                                              \
        label, weightedSum, gatedSum, crossCorrelation                                             \
    }
