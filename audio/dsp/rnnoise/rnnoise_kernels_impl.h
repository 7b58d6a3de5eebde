/* Internal to rnnoise_kernels.c and rnnoise_kernels_avx2.c: the kernel bodies,
 * compiled once per instruction set. All of it is static, so the copy built
 * with -mavx2 can never be the one the baseline callers get. Vector lanes
 * always run across outputs (neurons, lags, butterflies), written out for AVX2
 * and left to the compiler in the baseline build; each lane keeps its own
 * terms in the module's order, so nothing is reassociated. */
#pragma once

#include "audio/dsp/rnnoise/rnnoise_kernels.h"

#include <math.h>
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

enum { TanhTableLast = 200 };

static inline float tanhApprox(float x, const float *tanhTable)
{
    if (!(x < 8.0f))
        return 1.0f;
    if (!(x > -8.0f))
        return -1.0f;
    const int negative = x < 0.0f;
    const float a = negative ? -x : x;
    const int i = (int)floorf(a * 25.0f + 0.5f);
    const float d = (float)i * -0.04f + a;
    const float y = tanhTable[i];
    const float r = d * (1.0f - y * y) * (1.0f - y * d) + y;
    return negative ? -r : r;
}

/* The module takes the sigmoid's last step in double precision. */
static inline float sigmoidApprox(float x, const float *tanhTable)
{
    return (float)(0.5 * (double)tanhApprox(0.5f * x, tanhTable) + 0.5);
}

static inline float rectify(float x)
{
    return x != x ? x : (x > 0.0f ? x : 0.0f);
}

#ifdef __AVX2__
/* Eight lanes of tanhApprox; lanes outside ±8 read a table entry in range and
 * take ±1 at the end. */
static inline __m256 tanhApprox8(__m256 x, const float *tanhTable)
{
    const __m256 negative = _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_LT_OQ);
    const __m256 sign = _mm256_and_ps(negative, _mm256_set1_ps(-0.0f));
    const __m256 a = _mm256_xor_ps(x, sign);
    const __m256 rounded = _mm256_floor_ps(_mm256_add_ps(_mm256_mul_ps(a, _mm256_set1_ps(25.0f)),
                                                         _mm256_set1_ps(0.5f)));
    const __m256i i = _mm256_min_epi32(_mm256_max_epi32(_mm256_cvttps_epi32(rounded),
                                                        _mm256_setzero_si256()),
                                       _mm256_set1_epi32(TanhTableLast));
    const __m256 d = _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(i), _mm256_set1_ps(-0.04f)), a);
    const __m256 y = _mm256_i32gather_ps(tanhTable, i, 4);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 r = _mm256_add_ps(
        _mm256_mul_ps(_mm256_mul_ps(d, _mm256_sub_ps(one, _mm256_mul_ps(y, y))),
                      _mm256_sub_ps(one, _mm256_mul_ps(y, d))),
        y);
    __m256 result = _mm256_xor_ps(r, sign);
    result = _mm256_blendv_ps(result, _mm256_set1_ps(-1.0f),
                              _mm256_cmp_ps(x, _mm256_set1_ps(-8.0f), _CMP_NGT_UQ));
    return _mm256_blendv_ps(result, one, _mm256_cmp_ps(x, _mm256_set1_ps(8.0f), _CMP_NLT_UQ));
}
#endif

static void activate(float *values, int count, float scale, int activation,
                     const float *tanhTable)
{
    int i = 0;
#ifdef __AVX2__
    if (activation == 0 || activation == 1) {
        for (; i + 8 <= count; i += 8) {
            __m256 x = _mm256_mul_ps(_mm256_loadu_ps(values + i), _mm256_set1_ps(scale));
            if (activation == 1)
                x = _mm256_mul_ps(x, _mm256_set1_ps(0.5f));
            const __m256 t = tanhApprox8(x, tanhTable);
            if (activation == 1) {
                const __m256d half = _mm256_set1_pd(0.5);
                const __m256d low = _mm256_add_pd(
                    _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(t)), half), half);
                const __m256d high = _mm256_add_pd(
                    _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(t, 1)), half), half);
                _mm256_storeu_ps(values + i, _mm256_set_m128(_mm256_cvtpd_ps(high),
                                                             _mm256_cvtpd_ps(low)));
            } else {
                _mm256_storeu_ps(values + i, t);
            }
        }
    }
#endif
    for (; i < count; ++i) {
        const float x = values[i] * scale;
        values[i] = activation == 0   ? tanhApprox(x, tanhTable)
                    : activation == 1 ? sigmoidApprox(x, tanhTable)
                                      : rectify(x);
    }
}

static void crossCorrelation(const float *restrict x, const float *restrict y,
                             float *restrict xcorr, int length, int lags)
{
    int k0 = 0;
#ifdef __AVX2__
    /* Thirty-two lags at a time stay in registers across the whole length. */
    for (; k0 + 32 <= lags; k0 += 32) {
        __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps();
        __m256 a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
        for (int j = 0; j < length; ++j) {
            const __m256 xj = _mm256_set1_ps(x[j]);
            const float *yj = y + k0 + j;
            a0 = _mm256_add_ps(_mm256_mul_ps(xj, _mm256_loadu_ps(yj)), a0);
            a1 = _mm256_add_ps(_mm256_mul_ps(xj, _mm256_loadu_ps(yj + 8)), a1);
            a2 = _mm256_add_ps(_mm256_mul_ps(xj, _mm256_loadu_ps(yj + 16)), a2);
            a3 = _mm256_add_ps(_mm256_mul_ps(xj, _mm256_loadu_ps(yj + 24)), a3);
        }
        _mm256_storeu_ps(xcorr + k0, a0);
        _mm256_storeu_ps(xcorr + k0 + 8, a1);
        _mm256_storeu_ps(xcorr + k0 + 16, a2);
        _mm256_storeu_ps(xcorr + k0 + 24, a3);
    }
#endif
    for (int k = k0; k < lags; ++k)
        xcorr[k] = 0.0f;
    for (int j = 0; j < length; ++j) {
        const float xj = x[j];
        const float *restrict yj = y + j;
        for (int k = k0; k < lags; ++k)
            xcorr[k] = xj * yj[k] + xcorr[k];
    }
}

/* The FFT's butterflies, term by term as the module computes them. They are
 * written once, as macros, for plain floats and for AVX2 lanes alike: every
 * operation in them works on either, one lane at a time. Each declares its
 * outputs o0, o1, ... of type T in the caller. */
typedef struct
{
    float r, i;
} Complex;

#define COMPLEX_MUL(T, out, a, t)                                                                  \
    const T out = { (a).r * (t).r - (t).i * (a).i, (a).r * (t).i + (t).r * (a).i }

#define RADIX3(T, f0, f1, f2, t1, t2, epi3)                                                        \
    COMPLEX_MUL(T, s1, f1, t1);                                                                    \
    COMPLEX_MUL(T, s2, f2, t2);                                                                    \
    const T s3 = { s1.r + s2.r, s1.i + s2.i };                                                     \
    const T s0 = { (s1.r - s2.r) * (epi3), (s1.i - s2.i) * (epi3) };                               \
    const T half = { (f0).r - s3.r * 0.5f, (f0).i - s3.i * 0.5f };                                 \
    const T o0 = { s3.r + (f0).r, s3.i + (f0).i };                                                 \
    const T o1 = { half.r - s0.i, s0.r + half.i };                                                 \
    const T o2 = { s0.i + half.r, half.i - s0.r }

#define RADIX4(T, f0, f1, f2, f3, t1, t2, t3)                                                      \
    COMPLEX_MUL(T, s0, f1, t1);                                                                    \
    COMPLEX_MUL(T, s1, f2, t2);                                                                    \
    COMPLEX_MUL(T, s2, f3, t3);                                                                    \
    const T s5 = { (f0).r - s1.r, (f0).i - s1.i };                                                 \
    const T a1 = { (f0).r + s1.r, (f0).i + s1.i };                                                 \
    const T s3 = { s0.r + s2.r, s0.i + s2.i };                                                     \
    const T s4 = { s0.r - s2.r, s0.i - s2.i };                                                     \
    const T o0 = { s3.r + a1.r, s3.i + a1.i };                                                     \
    const T o1 = { s5.r + s4.i, s5.i - s4.r };                                                     \
    const T o2 = { a1.r - s3.r, a1.i - s3.i };                                                     \
    const T o3 = { s5.r - s4.i, s5.i + s4.r }

#define RADIX5(T, f0, f1, f2, f3, f4, t1, t2, t3, t4, ya, yb)                                      \
    COMPLEX_MUL(T, s1, f1, t1);                                                                    \
    COMPLEX_MUL(T, s2, f2, t2);                                                                    \
    COMPLEX_MUL(T, s3, f3, t3);                                                                    \
    COMPLEX_MUL(T, s4, f4, t4);                                                                    \
    const T s7 = { s1.r + s4.r, s1.i + s4.i };                                                     \
    const T s10 = { s1.r - s4.r, s1.i - s4.i };                                                    \
    const T s8 = { s2.r + s3.r, s2.i + s3.i };                                                     \
    const T s9 = { s2.r - s3.r, s2.i - s3.i };                                                     \
    const T s5 = { (f0).r + (s7.r * (ya).r + (yb).r * s8.r),                                       \
                   (f0).i + (s7.i * (ya).r + (yb).r * s8.i) };                                     \
    const T s6 = { s10.i * (ya).i + (yb).i * s9.i, s10.r * (ya).i + (yb).i * s9.r };               \
    const T s11 = { (f0).r + (s7.r * (yb).r + (ya).r * s8.r),                                      \
                    (f0).i + (s7.i * (yb).r + (ya).r * s8.i) };                                    \
    const T s12 = { s9.i * (ya).i - (yb).i * s10.i, s10.r * (yb).i - (ya).i * s9.r };              \
    const T o0 = { (f0).r + (s8.r + s7.r), (f0).i + (s8.i + s7.i) };                               \
    const T o1 = { s5.r - s6.r, s5.i + s6.i };                                                     \
    const T o2 = { s12.r + s11.r, s11.i + s12.i };                                                 \
    const T o3 = { s11.r - s12.r, s11.i - s12.i };                                                 \
    const T o4 = { s6.r + s5.r, s5.i - s6.i }

#ifdef __AVX2__
/* Eight complex values as lanes of real and imaginary parts. The lanes hold
 * elements 0 1 4 5 2 3 6 7, the order an in-lane deinterleave leaves; the
 * twiddles are gathered in that order too, and storing undoes it. */
typedef struct
{
    __m256 r, i;
} Complex8;

static inline Complex8 load8(const Complex *p)
{
    const __m256 low = _mm256_loadu_ps(&p[0].r), high = _mm256_loadu_ps(&p[4].r);
    const Complex8 v = { _mm256_shuffle_ps(low, high, 0x88), _mm256_shuffle_ps(low, high, 0xdd) };
    return v;
}

static inline void store8(Complex *p, Complex8 v)
{
    _mm256_storeu_ps(&p[0].r, _mm256_unpacklo_ps(v.r, v.i));
    _mm256_storeu_ps(&p[4].r, _mm256_unpackhi_ps(v.r, v.i));
}

/* tw[k × step × (j + lane)] for the eight lanes. */
static inline Complex8 twiddles8(const Complex *tw, int j, int k, int step)
{
    const __m256i lanes = _mm256_add_epi32(_mm256_set1_epi32(j), _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
    const __m256i at = _mm256_slli_epi32(_mm256_mullo_epi32(lanes, _mm256_set1_epi32(k * step)), 1);
    const Complex8 t = { _mm256_i32gather_ps(&tw[0].r, at, 4), _mm256_i32gather_ps(&tw[0].i, at, 4) };
    return t;
}
#endif

/* Every stage runs column by column (j, across all n groups), so each column's
 * twiddles are fetched once; the butterflies are independent of each other. */
static void fftRadix3(Complex *restrict out, const Complex *restrict tw, int step, int m, int n,
                      int mm)
{
    const float epi3 = tw[m * step].i;
    int j = 0;
#ifdef __AVX2__
    for (; j + 8 <= m; j += 8) {
        const Complex8 t1 = twiddles8(tw, j, 1, step), t2 = twiddles8(tw, j, 2, step);
        for (int g = 0; g < n; ++g) {
            Complex *f = out + g * mm + j;
            const Complex8 f0 = load8(f), f1 = load8(f + m), f2 = load8(f + 2 * m);
            RADIX3(Complex8, f0, f1, f2, t1, t2, epi3);
            store8(f, o0);
            store8(f + m, o1);
            store8(f + 2 * m, o2);
        }
    }
#endif
    for (; j < m; ++j) {
        const Complex t1 = tw[j * step], t2 = tw[2 * j * step];
        for (int g = 0; g < n; ++g) {
            Complex *f = out + g * mm + j;
            RADIX3(Complex, f[0], f[m], f[2 * m], t1, t2, epi3);
            f[0] = o0;
            f[m] = o1;
            f[2 * m] = o2;
        }
    }
}

static void fftRadix4(Complex *restrict out, const Complex *restrict tw, int step, int m, int n,
                      int mm)
{
    if (m == 1) {
        /* The innermost stage: no twiddles, groups side by side. */
        for (Complex *f = out; f < out + 4 * n; f += 4) {
            const Complex sum02 = { f[0].r + f[2].r, f[0].i + f[2].i };
            const Complex sum13 = { f[1].r + f[3].r, f[1].i + f[3].i };
            const Complex diff02 = { f[0].r - f[2].r, f[0].i - f[2].i };
            const Complex diff13 = { f[1].r - f[3].r, f[1].i - f[3].i };
            f[0].r = sum02.r + sum13.r;
            f[0].i = sum02.i + sum13.i;
            f[2].r = sum02.r - sum13.r;
            f[2].i = sum02.i - sum13.i;
            f[1].r = diff02.r + diff13.i;
            f[1].i = diff02.i - diff13.r;
            f[3].r = diff02.r - diff13.i;
            f[3].i = diff02.i + diff13.r;
        }
        return;
    }
    int j = 0;
#ifdef __AVX2__
    for (; j + 8 <= m; j += 8) {
        const Complex8 t1 = twiddles8(tw, j, 1, step), t2 = twiddles8(tw, j, 2, step),
                       t3 = twiddles8(tw, j, 3, step);
        for (int g = 0; g < n; ++g) {
            Complex *f = out + g * mm + j;
            const Complex8 f0 = load8(f), f1 = load8(f + m), f2 = load8(f + 2 * m),
                           f3 = load8(f + 3 * m);
            RADIX4(Complex8, f0, f1, f2, f3, t1, t2, t3);
            store8(f, o0);
            store8(f + m, o1);
            store8(f + 2 * m, o2);
            store8(f + 3 * m, o3);
        }
    }
#endif
    for (; j < m; ++j) {
        const Complex t1 = tw[j * step], t2 = tw[2 * j * step], t3 = tw[3 * j * step];
        for (int g = 0; g < n; ++g) {
            Complex *f = out + g * mm + j;
            RADIX4(Complex, f[0], f[m], f[2 * m], f[3 * m], t1, t2, t3);
            f[0] = o0;
            f[m] = o1;
            f[2 * m] = o2;
            f[3 * m] = o3;
        }
    }
}

static void fftRadix5(Complex *restrict out, const Complex *restrict tw, int step, int m, int n,
                      int mm)
{
    const Complex ya = tw[m * step], yb = tw[2 * m * step];
    int u = 0;
#ifdef __AVX2__
    for (; u + 8 <= m; u += 8) {
        const Complex8 t1 = twiddles8(tw, u, 1, step), t2 = twiddles8(tw, u, 2, step),
                       t3 = twiddles8(tw, u, 3, step), t4 = twiddles8(tw, u, 4, step);
        for (int g = 0; g < n; ++g) {
            Complex *f = out + g * mm + u;
            const Complex8 f0 = load8(f), f1 = load8(f + m), f2 = load8(f + 2 * m),
                           f3 = load8(f + 3 * m), f4 = load8(f + 4 * m);
            RADIX5(Complex8, f0, f1, f2, f3, f4, t1, t2, t3, t4, ya, yb);
            store8(f, o0);
            store8(f + m, o1);
            store8(f + 2 * m, o2);
            store8(f + 3 * m, o3);
            store8(f + 4 * m, o4);
        }
    }
#endif
    for (; u < m; ++u) {
        const Complex t1 = tw[u * step], t2 = tw[2 * u * step], t3 = tw[3 * u * step],
                      t4 = tw[4 * u * step];
        for (int g = 0; g < n; ++g) {
            Complex *f = out + g * mm + u;
            RADIX5(Complex, f[0], f[m], f[2 * m], f[3 * m], f[4 * m], t1, t2, t3, t4, ya, yb);
            f[0] = o0;
            f[m] = o1;
            f[2 * m] = o2;
            f[3 * m] = o3;
            f[4 * m] = o4;
        }
    }
}

static void fft(const RnnoiseFft *plan, const float *in, float *out)
{
    const Complex *restrict x = (const Complex *)in;
    Complex *restrict y = (Complex *)out;
    for (int k = 0; k < plan->size; ++k) {
        const Complex scaled = { plan->scale * x[k].r, plan->scale * x[k].i };
        y[plan->bitReverse[k]] = scaled;
    }
    /* Stage s runs stride[s] groups; the innermost stage first. */
    int stride[16];
    stride[0] = 1;
    for (int s = 0; s < plan->stages; ++s)
        stride[s + 1] = stride[s] * plan->factors[2 * s];
    const int shift = plan->twiddleShift;
    const Complex *tw = (const Complex *)plan->twiddles;
    for (int s = plan->stages - 1; s >= 0; --s) {
        const int m = plan->factors[2 * s + 1];
        const int mm = s > 0 ? plan->factors[2 * s - 1] : 1;
        const int n = stride[s];
        switch (plan->factors[2 * s]) {
        case 3:
            fftRadix3(y, tw, n << shift, m, n, mm);
            break;
        case 4:
            fftRadix4(y, tw, n << shift, m, n, mm);
            break;
        case 5:
            fftRadix5(y, tw, n << shift, m, n, mm);
            break;
        }
    }
}

#define RNNOISE_KERNEL_TABLE(label)                                                                \
    {                                                                                              \
        label, weightedSum, gatedSum, crossCorrelation, activate, fft                              \
    }
