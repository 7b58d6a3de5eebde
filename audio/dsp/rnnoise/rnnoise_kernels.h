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

/* A complex FFT plan as the module keeps it: (radix, span) per stage from the
 * outermost, whose radix times span is the size, to the innermost, of span 1.
 * The innermost runs first. */
typedef struct RnnoiseFft
{
    int size;
    float scale;
    int twiddleShift;        /* twiddle steps are scaled by 2^twiddleShift, 0 or more */
    const int16_t *factors;  /* (radix, span) per stage */
    int stages;
    const int16_t *bitReverse;
    const float *twiddles;   /* `size` complex values, real then imaginary */
} RnnoiseFft;

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
    /* values[i] = f(values[i] × scale), f by `activation`: 0 tanh, 1 sigmoid,
     * else the rectifier, with the module's tanh approximation (its table of
     * 201 values at steps of 1/25, plus a correction term). */
    void (*activate)(float *values, int count, float scale, int activation,
                     const float *tanhTable);
    /* out[bitReverse[k]] = scale × in[k], then the stages in place: radix 3,
     * 4 and 5 only, which is all the module builds. */
    void (*fft)(const RnnoiseFft *plan, const float *in, float *out);
} RnnoiseKernels;

const RnnoiseKernels *rnnoiseBaselineKernels(void);
/* NULL when the CPU has no AVX2. */
const RnnoiseKernels *rnnoiseAvx2Kernels(void);
const RnnoiseKernels *rnnoiseBestKernels(void);

#ifdef __cplusplus
}
#endif
