// The YUYV conversion built with -mavx2 -mfma; picked at run time by yuyvkernel.cpp. Sixteen
// pixels a step, with the same integer arithmetic (and so the same bytes) as the baseline build.
#include "vcam/yuyvkernel_impl.h"

#include <immintrin.h>

namespace {

void bgraRowToYuyvAvx2(const uint8_t *src, uint8_t *dst, int width)
{
    const __m256i low = _mm256_set1_epi32(0xff);
    const __m256i yR = _mm256_set1_epi16(66), yG = _mm256_set1_epi16(129), yB = _mm256_set1_epi16(25);
    const __m256i yRound = _mm256_set1_epi16(128), yOffset = _mm256_set1_epi16(16);
    const __m256i uR = _mm256_set1_epi16(-38), uG = _mm256_set1_epi16(-74), uB = _mm256_set1_epi16(112);
    const __m256i vR = _mm256_set1_epi16(112), vG = _mm256_set1_epi16(-94), vB = _mm256_set1_epi16(-18);
    const __m256i cRound = _mm256_set1_epi32(256), cOffset = _mm256_set1_epi32(128);
    int x = 0;
    for (; x + 16 <= width; x += 16, src += 64, dst += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 32));
        // Each channel in 16-bit lanes, pixels 0-3, 8-11 | 4-7, 12-15: a pair stays side by side.
        const __m256i B = _mm256_packus_epi32(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
        const __m256i G = _mm256_packus_epi32(_mm256_and_si256(_mm256_srli_epi32(a, 8), low),
                                              _mm256_and_si256(_mm256_srli_epi32(b, 8), low));
        const __m256i R = _mm256_packus_epi32(_mm256_and_si256(_mm256_srli_epi32(a, 16), low),
                                              _mm256_and_si256(_mm256_srli_epi32(b, 16), low));
        // Luma's sum fits 16 bits unsigned (at most 220 * 255 + 128).
        __m256i Y = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(R, yR), _mm256_mullo_epi16(G, yG)),
                                     _mm256_add_epi16(_mm256_mullo_epi16(B, yB), yRound));
        Y = _mm256_add_epi16(_mm256_srli_epi16(Y, 8), yOffset);
        // madd adds the products of a pair's two pixels: chroma of the pair's sum, in 32 bits.
        __m256i U = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(R, uR), _mm256_madd_epi16(G, uG)),
                                     _mm256_add_epi32(_mm256_madd_epi16(B, uB), cRound));
        __m256i V = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(R, vR), _mm256_madd_epi16(G, vG)),
                                     _mm256_add_epi32(_mm256_madd_epi16(B, vB), cRound));
        U = _mm256_add_epi32(_mm256_srai_epi32(U, 9), cOffset);
        V = _mm256_add_epi32(_mm256_srai_epi32(V, 9), cOffset);
        const __m256i chroma = _mm256_or_si256(U, _mm256_slli_epi32(V, 16)); // U, V per pair
        const __m256i yuyv = _mm256_or_si256(Y, _mm256_slli_epi16(chroma, 8)); // Y0 U Y1 V
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst), _mm256_permute4x64_epi64(yuyv, 0xd8));
    }
    bgraRowToYuyv(src, dst, width - x);
}

} // namespace

namespace yuyv::detail {

yuyv::BgraToYuyvFn avx2Kernel() noexcept
{
    return bgraToYuyv<bgraRowToYuyvAvx2>;
}

} // namespace yuyv::detail
