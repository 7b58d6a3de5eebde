/* Internal to rnnoise_kernels.c and rnnoise_kernels_avx2.c: the kernel bodies,
 * compiled once per instruction set. All of it is static, so the copy built
 * with -mavx2 can never be the one the baseline callers get. The loops run
 * over outputs innermost, which the compiler turns into vector lanes; each
 * lane keeps its own sum in term order, so no reassociation happens. */
#pragma once

#include "audio/dsp/rnnoise/rnnoise_kernels.h"

#include <stddef.h>

const RnnoiseKernels *rnnoiseAvx2KernelTable(void);

#ifdef __AVX2__
#include <immintrin.h>

/* Eight int8 weights as floats. */
static inline __m256 weightsToFloats(__m128i bytes)
{
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(bytes));
}

/* Thirty-two outputs at a time stay in registers across all the inputs, then
 * eight, then one. A multiply then an add per term, as everywhere here. */
static void weightedSum(float *restrict sums, int count, const int8_t *restrict weights,
                        int stride, const float *restrict input, int inputs)
{
    int i0 = 0;
    for (; i0 + 32 <= count; i0 += 32) {
        __m256 a0 = _mm256_loadu_ps(sums + i0), a1 = _mm256_loadu_ps(sums + i0 + 8);
        __m256 a2 = _mm256_loadu_ps(sums + i0 + 16), a3 = _mm256_loadu_ps(sums + i0 + 24);
        for (int j = 0; j < inputs; ++j) {
            const __m256i w = _mm256_loadu_si256((const __m256i *)(weights + (size_t)j * stride + i0));
            const __m128i low = _mm256_castsi256_si128(w), high = _mm256_extracti128_si256(w, 1);
            const __m256 x = _mm256_set1_ps(input[j]);
            a0 = _mm256_add_ps(_mm256_mul_ps(weightsToFloats(low), x), a0);
            a1 = _mm256_add_ps(_mm256_mul_ps(weightsToFloats(_mm_srli_si128(low, 8)), x), a1);
            a2 = _mm256_add_ps(_mm256_mul_ps(weightsToFloats(high), x), a2);
            a3 = _mm256_add_ps(_mm256_mul_ps(weightsToFloats(_mm_srli_si128(high, 8)), x), a3);
        }
        _mm256_storeu_ps(sums + i0, a0);
        _mm256_storeu_ps(sums + i0 + 8, a1);
        _mm256_storeu_ps(sums + i0 + 16, a2);
        _mm256_storeu_ps(sums + i0 + 24, a3);
    }
    for (; i0 + 8 <= count; i0 += 8) {
        __m256 a = _mm256_loadu_ps(sums + i0);
        for (int j = 0; j < inputs; ++j) {
            const __m128i w = _mm_loadl_epi64((const __m128i *)(weights + (size_t)j * stride + i0));
            a = _mm256_add_ps(_mm256_mul_ps(weightsToFloats(w), _mm256_set1_ps(input[j])), a);
        }
        _mm256_storeu_ps(sums + i0, a);
    }
    for (; i0 < count; ++i0) {
        float sum = sums[i0];
        for (int j = 0; j < inputs; ++j)
            sum = (float)weights[(size_t)j * stride + i0] * input[j] + sum;
        sums[i0] = sum;
    }
}
#else
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
#endif

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
