#pragma once

/* The noise suppressor's hottest loops, run natively on the module's memory
 * instead of through the translated code. Every output is accumulated in the
 * same order, with the same roundings, as the module's own arithmetic (one
 * multiply then one add per term, never fused), so the results are the very
 * same bits; only the work across outputs runs side by side. */

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct RnnoiseKernels
{
    const char *name;
    /* sums[i] += weights[j × stride + i] × input[j] for j = 0, 1, ... inputs-1. */
    void (*weightedSum)(float *sums, int count, const int8_t *weights, int stride,
                        const float *input, int inputs);
    /* sums[i] += (input[j] × weights[j × stride + i]) × gate[j], j in the same order. */
    void (*gatedSum)(float *sums, int count, const int8_t *weights, int stride,
                     const float *input, const float *gate, int inputs);
    /* xcorr[k] = Σ x[j] × y[k + j] over j = 0 .. length-1, from 0, for k < lags. */
    void (*crossCorrelation)(const float *x, const float *y, float *xcorr, int length, int lags);
} RnnoiseKernels;

const RnnoiseKernels *rnnoiseBaselineKernels(void);
/* NULL when the CPU has no AVX2. */
const RnnoiseKernels *rnnoiseAvx2Kernels(void);
const RnnoiseKernels *rnnoiseBestKernels(void);

#ifdef __cplusplus
}
#endif
