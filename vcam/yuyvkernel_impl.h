#pragma once

// Internal to yuyvkernel.cpp and yuyvkernel_avx2.cpp: the portable row kernel, compiled once per
// instruction set (the AVX2 build uses it for a row's last pixels). Internal linkage, so the
// -mavx2 copy is never the one baseline callers get.

#include "vcam/yuyvkernel.h"

#include <cstddef>

namespace yuyv::detail {
yuyv::BgraToYuyvFn avx2Kernel() noexcept;
} // namespace yuyv::detail

namespace {

// 8-bit fixed point; written as straight-line code over restrict pointers so that it vectorises.
void bgraRowToYuyv(const uint8_t *__restrict src, uint8_t *__restrict dst, int width)
{
    for (int x = 0; x + 1 < width; x += 2, src += 8, dst += 4) {
        const int b0 = src[0], g0 = src[1], r0 = src[2];
        const int b1 = src[4], g1 = src[5], r1 = src[6];
        const int r = r0 + r1, g = g0 + g1, b = b0 + b1;
        dst[0] = uint8_t(((66 * r0 + 129 * g0 + 25 * b0 + 128) >> 8) + 16);
        dst[1] = uint8_t(((-38 * r - 74 * g + 112 * b + 256) >> 9) + 128);
        dst[2] = uint8_t(((66 * r1 + 129 * g1 + 25 * b1 + 128) >> 8) + 16);
        dst[3] = uint8_t(((112 * r - 94 * g - 18 * b + 256) >> 9) + 128);
    }
}

/// A whole frame, row by row with `Row`.
template <void (*Row)(const uint8_t *, uint8_t *, int)>
void bgraToYuyv(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int width, int height) noexcept
{
    for (int y = 0; y < height; ++y)
        Row(src + std::ptrdiff_t(y) * srcStride, dst + std::ptrdiff_t(y) * dstStride, width);
}

} // namespace
