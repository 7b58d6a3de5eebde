// The capture kernels built with -mavx2 -mfma; picked at run time by convert_kernels.cpp. The YUV
// rows and the scale's horizontal step are written with intrinsics; the rest is the shared
// code compiled for AVX2.
#include "camera/convert_kernels_impl.h"

#include <immintrin.h>

namespace {

// 16 pixels from their luma and their pair's chroma, one 16-bit lane each, in pixel order within
// each 128-bit half: the same arithmetic as storeYuvPair.
template <class Range> inline void storeYuv16(uint8_t *d, __m256i y, __m256i u, __m256i v)
{
    const __m256i luma = _mm256_mulhrs_epi16(
        _mm256_slli_epi16(_mm256_sub_epi16(y, _mm256_set1_epi16(Range::YOffset)), 7),
        _mm256_set1_epi16(Range::YGain));
    u = _mm256_slli_epi16(_mm256_sub_epi16(u, _mm256_set1_epi16(128)), 7);
    v = _mm256_slli_epi16(_mm256_sub_epi16(v, _mm256_set1_epi16(128)), 7);
    const __m256i r = _mm256_mulhrs_epi16(v, _mm256_set1_epi16(Range::VToR));
    const __m256i g = _mm256_adds_epi16(_mm256_mulhrs_epi16(u, _mm256_set1_epi16(Range::UToG)),
        _mm256_mulhrs_epi16(v, _mm256_set1_epi16(Range::VToG)));
    const __m256i halfB = _mm256_mulhrs_epi16(u, _mm256_set1_epi16(Range::HalfUToB));
    const __m256i b = _mm256_adds_epi16(halfB, halfB);
    const __m256i round = _mm256_set1_epi16(32);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i max = _mm256_set1_epi16(255);
    auto channel = [&](__m256i sum) {
        return _mm256_min_epi16(
            _mm256_max_epi16(_mm256_srai_epi16(_mm256_adds_epi16(sum, round), 6), zero), max);
    };
    const __m256i bb = channel(_mm256_adds_epi16(luma, b));
    const __m256i gg = channel(_mm256_subs_epi16(luma, g));
    const __m256i rr = channel(_mm256_adds_epi16(luma, r));
    const __m256i bg = _mm256_or_si256(bb, _mm256_slli_epi16(gg, 8));
    const __m256i ra = _mm256_or_si256(rr, _mm256_set1_epi16(int16_t(0xff00)));
    const __m256i lo = _mm256_unpacklo_epi16(bg, ra); // pixels 0-3 | 8-11
    const __m256i hi = _mm256_unpackhi_epi16(bg, ra); // pixels 4-7 | 12-15
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(
        reinterpret_cast<__m256i *>(d + 32), _mm256_permute2x128_si256(lo, hi, 0x31));
}

// Interleaved U, V lanes to each pixel's U and its V.
inline __m256i spreadU(__m256i uv)
{
    return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, 0xa0), 0xa0);
}

inline __m256i spreadV(__m256i uv)
{
    return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, 0xf5), 0xf5);
}

template <class Range> struct Avx2Rows
{
    // Packed pairs: luma in the low bytes of the 16-bit lanes for YUYV, in the high ones for UYVY.
    template <bool LumaFirst> static void packed(const uint8_t *s, uint8_t *d, int width)
    {
        int i = 0;
        for (; i + 16 <= width; i += 16) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 2 * i));
            const __m256i low = _mm256_and_si256(bytes, _mm256_set1_epi16(0x00ff));
            const __m256i high = _mm256_srli_epi16(bytes, 8);
            const __m256i uv = LumaFirst ? high : low;
            storeYuv16<Range>(d + 4 * i, LumaFirst ? low : high, spreadU(uv), spreadV(uv));
        }
        if (LumaFirst)
            ScalarRows<Range>::yuyv(s + 2 * i, d + 4 * i, width - i);
        else
            ScalarRows<Range>::uyvy(s + 2 * i, d + 4 * i, width - i);
    }

    static void yuyv(const uint8_t *s, uint8_t *d, int width) { packed<true>(s, d, width); }
    static void uyvy(const uint8_t *s, uint8_t *d, int width) { packed<false>(s, d, width); }

    static void nv12(const uint8_t *ys, const uint8_t *uvs, uint8_t *d, int width)
    {
        int i = 0;
        for (; i + 16 <= width; i += 16) {
            const __m256i y
                = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(ys + i)));
            const __m256i uv
                = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(uvs + i)));
            storeYuv16<Range>(d + 4 * i, y, spreadU(uv), spreadV(uv));
        }
        ScalarRows<Range>::nv12(ys + i, uvs + i, d + 4 * i, width - i);
    }

    // The U and V planes interleaved on the fly into NV12's layout.
    static void i420(const uint8_t *ys, const uint8_t *us, const uint8_t *vs, uint8_t *d, int width)
    {
        int i = 0;
        for (; i + 16 <= width; i += 16) {
            const __m256i y
                = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(ys + i)));
            const __m128i u = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(us + i / 2));
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(vs + i / 2));
            const __m256i uv = _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(u, v));
            storeYuv16<Range>(d + 4 * i, y, spreadU(uv), spreadV(uv));
        }
        ScalarRows<Range>::i420(ys + i, us + i / 2, vs + i / 2, d + 4 * i, width - i);
    }
};

// The horizontal step of the bilinear scale, eight pixels a step: the arithmetic of sampleRow
// per 16-bit lane (B and R in one register, G and A in the other), so the bytes are the same.
// Where the eight outputs read no more than eight neighbouring source pixels (any enlargement),
// those are loaded once and picked out by lane; elsewhere each sample is gathered.
void sampleRowAvx2(const uint8_t *__restrict row, int srcWidth, uint8_t *__restrict d,
    const int32_t *__restrict x0, const int32_t *__restrict x1, const uint16_t *__restrict wx,
    int dstWidth)
{
    const __m256i lowBytes = _mm256_set1_epi32(0x00ff00ff);
    const __m256i full = _mm256_set1_epi16(256);
    const __m256i round = _mm256_set1_epi16(128);
    const int *pixels = reinterpret_cast<const int *>(row);
    int x = 0;
    for (; x + 8 <= dstWidth; x += 8) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x0 + x));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(x1 + x));
        // Source indices only grow along a row: x0[x] is the least of the eight, x1[x + 7]
        // the greatest.
        const int base = x0[x];
        __m256i a, b;
        if (x1[x + 7] - base < 8 && base + 8 <= srcWidth) {
            const __m256i near = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pixels + base));
            const __m256i offset = _mm256_set1_epi32(base);
            a = _mm256_permutevar8x32_epi32(near, _mm256_sub_epi32(first, offset));
            b = _mm256_permutevar8x32_epi32(near, _mm256_sub_epi32(second, offset));
        } else {
            a = _mm256_i32gather_epi32(pixels, first, 4);
            b = _mm256_i32gather_epi32(pixels, second, 4);
        }
        const __m256i w32 = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(wx + x)));
        const __m256i w = _mm256_or_si256(w32, _mm256_slli_epi32(w32, 16));
        const __m256i iw = _mm256_sub_epi16(full, w);
        const auto mix = [&](__m256i p, __m256i q) {
            const __m256i sum = _mm256_add_epi16(
                _mm256_add_epi16(_mm256_mullo_epi16(p, iw), _mm256_mullo_epi16(q, w)), round);
            return _mm256_srli_epi16(sum, 8);
        };
        const __m256i even = mix(_mm256_and_si256(a, lowBytes), _mm256_and_si256(b, lowBytes));
        const __m256i odd = mix(_mm256_and_si256(_mm256_srli_epi32(a, 8), lowBytes),
            _mm256_and_si256(_mm256_srli_epi32(b, 8), lowBytes));
        _mm256_storeu_si256(
            reinterpret_cast<__m256i *>(d + 4 * x), _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
    }
    sampleRow(row, srcWidth, d + 4 * x, x0 + x, x1 + x, wx + x, dstWidth - x);
}

} // namespace

namespace convert::detail {

const Kernels &avx2KernelTable() noexcept
{
    static const Kernels table = kernelTable<Avx2Rows, sampleRowAvx2>("avx2");
    return table;
}

} // namespace convert::detail
