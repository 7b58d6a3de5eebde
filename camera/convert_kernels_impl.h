#pragma once

// Internal to convert_kernels.cpp and convert_kernels_avx2.cpp: the kernel bodies, compiled once
// per instruction set. Everything here has internal linkage, so a copy built with -mavx2 can never
// be the one the linker keeps for the baseline callers.

#include "camera/convert_kernels.h"

#include <cstddef>
#include <cstring>

namespace convert::detail {
/// The AVX2 table; only called after the CPU check in convert_kernels.cpp.
const Kernels &avx2KernelTable() noexcept;
} // namespace convert::detail

namespace {

// BT.601. The arithmetic is that of 16-bit SIMD lanes, so the scalar build and the AVX2 build
// give the very same bytes: inputs are centred and shifted left by 7, multiplied by Q15 gains
// with rounding ((a * b + 2^14) >> 15, the pmulhrsw step), which leaves terms in 1/64 steps; the
// sum is rounded and shifted down by 6. Gains (times 2^14 because of the shift by 7): luma and
// chroma scaled to full range, times 1.402 (V to R), 0.344 (U to G), 0.714 (V to G) and 1.772
// (U to B, applied as twice its half to stay below 2^15).

// Limited range: luma 255/219 from 16, chroma 255/224.
struct LimitedRange
{
    static constexpr int YOffset = 16;
    static constexpr int YGain = 19077;
    static constexpr int VToR = 26149;
    static constexpr int UToG = 6419;
    static constexpr int VToG = 13320;
    static constexpr int HalfUToB = 16525;
};

// Full range: luma and chroma as they are.
struct FullRange
{
    static constexpr int YOffset = 0;
    static constexpr int YGain = 16384;
    static constexpr int VToR = 22970;
    static constexpr int UToG = 5638;
    static constexpr int VToG = 11700;
    static constexpr int HalfUToB = 14516;
};

inline int mulRound(int a, int gain)
{
    return (a * gain + (1 << 14)) >> 15;
}

inline int clampByte(int v)
{
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}

// One pixel from its luma term and its pair's chroma terms (all in 1/64 steps).
inline void storeYuvPixel(uint8_t *d, int luma, int r, int g, int b)
{
    d[0] = static_cast<uint8_t>(clampByte((luma + b + 32) >> 6));
    d[1] = static_cast<uint8_t>(clampByte((luma - g + 32) >> 6));
    d[2] = static_cast<uint8_t>(clampByte((luma + r + 32) >> 6));
    d[3] = 255;
}

template <class Range> inline int lumaTerm(int y)
{
    return mulRound((y - Range::YOffset) << 7, Range::YGain);
}

// Two pixels that share one chroma sample. Written so the compiler vectorises the loops below
// (straight-line body, inlined helpers, restrict pointers).
template <class Range> inline void storeYuvPair(uint8_t *d, int y0, int y1, int u, int v)
{
    u = (u - 128) << 7;
    v = (v - 128) << 7;
    const int r = mulRound(v, Range::VToR);
    const int g = mulRound(u, Range::UToG) + mulRound(v, Range::VToG);
    const int b = 2 * mulRound(u, Range::HalfUToB);
    storeYuvPixel(d, lumaTerm<Range>(y0), r, g, b);
    storeYuvPixel(d + 4, lumaTerm<Range>(y1), r, g, b);
}

// The byte positions of Y0, U, Y1 and V within a packed pair.
struct YuyvOrder
{
    static constexpr int Y0 = 0, U = 1, Y1 = 2, V = 3;
};
struct UyvyOrder
{
    static constexpr int Y0 = 1, U = 0, Y1 = 3, V = 2;
};

// The scalar rows of one range; the AVX2 build hands their tails to these.
template <class Range> struct ScalarRows
{
    template <class Order>
    static void packed(const uint8_t *__restrict s, uint8_t *__restrict d, int width)
    {
        const int pairs = width / 2;
        for (int i = 0; i < pairs; ++i) {
            const uint8_t *p = s + 4 * i;
            storeYuvPair<Range>(d + 8 * i, p[Order::Y0], p[Order::Y1], p[Order::U], p[Order::V]);
        }
        if (width & 1) {
            const uint8_t *t = s + 4 * pairs;
            uint8_t pair[8];
            storeYuvPair<Range>(pair, t[Order::Y0], t[Order::Y0], t[Order::U], t[Order::V]);
            std::memcpy(d + 8 * pairs, pair, 4);
        }
    }

    static void yuyv(const uint8_t *s, uint8_t *d, int width) { packed<YuyvOrder>(s, d, width); }
    static void uyvy(const uint8_t *s, uint8_t *d, int width) { packed<UyvyOrder>(s, d, width); }

    static void nv12(const uint8_t *__restrict ys, const uint8_t *__restrict uv,
        uint8_t *__restrict d, int width)
    {
        const int pairs = width / 2;
        for (int i = 0; i < pairs; ++i)
            storeYuvPair<Range>(d + 8 * i, ys[2 * i], ys[2 * i + 1], uv[2 * i], uv[2 * i + 1]);
        if (width & 1) {
            uint8_t pair[8];
            storeYuvPair<Range>(
                pair, ys[2 * pairs], ys[2 * pairs], uv[2 * pairs], uv[2 * pairs + 1]);
            std::memcpy(d + 8 * pairs, pair, 4);
        }
    }

    static void i420(const uint8_t *__restrict ys, const uint8_t *__restrict us,
        const uint8_t *__restrict vs, uint8_t *__restrict d, int width)
    {
        const int pairs = width / 2;
        for (int i = 0; i < pairs; ++i)
            storeYuvPair<Range>(d + 8 * i, ys[2 * i], ys[2 * i + 1], us[i], vs[i]);
        if (width & 1) {
            uint8_t pair[8];
            storeYuvPair<Range>(pair, ys[2 * pairs], ys[2 * pairs], us[pairs], vs[pairs]);
            std::memcpy(d + 8 * pairs, pair, 4);
        }
    }
};

using PackedRowFn = void (*)(const uint8_t *, uint8_t *, int);
using Nv12RowFn = void (*)(const uint8_t *, const uint8_t *, uint8_t *, int);
using I420RowFn = void (*)(const uint8_t *, const uint8_t *, const uint8_t *, uint8_t *, int);

template <PackedRowFn Row>
void packedToBgra(
    const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int width, int height) noexcept
{
    for (int y = 0; y < height; ++y)
        Row(src + static_cast<std::ptrdiff_t>(y) * srcStride,
            dst + static_cast<std::ptrdiff_t>(y) * dstStride, width);
}

template <Nv12RowFn Row>
void nv12ToBgra(const uint8_t *srcY, int yStride, const uint8_t *srcUv, int uvStride, uint8_t *dst,
    int dstStride, int width, int height) noexcept
{
    for (int y = 0; y < height; ++y)
        Row(srcY + static_cast<std::ptrdiff_t>(y) * yStride,
            srcUv + static_cast<std::ptrdiff_t>(y / 2) * uvStride,
            dst + static_cast<std::ptrdiff_t>(y) * dstStride, width);
}

template <I420RowFn Row>
void i420ToBgra(const uint8_t *srcY, int yStride, const uint8_t *srcU, const uint8_t *srcV,
    int uvStride, uint8_t *dst, int dstStride, int width, int height) noexcept
{
    for (int y = 0; y < height; ++y) {
        const std::ptrdiff_t chroma = static_cast<std::ptrdiff_t>(y / 2) * uvStride;
        Row(srcY + static_cast<std::ptrdiff_t>(y) * yStride, srcU + chroma, srcV + chroma,
            dst + static_cast<std::ptrdiff_t>(y) * dstStride, width);
    }
}

// The YUV kernels of one build and range from its row functions.
template <class Rows> convert::YuvKernels yuvKernels()
{
    return { packedToBgra<Rows::yuyv>, packedToBgra<Rows::uyvy>, nv12ToBgra<Rows::nv12>,
        i420ToBgra<Rows::i420> };
}

void bgrxRow(const uint8_t *__restrict s, uint8_t *__restrict d, int width)
{
    for (int i = 0; i < width; ++i) {
        uint32_t p;
        std::memcpy(&p, s + 4 * i, 4);
        p |= 0xff000000u;
        std::memcpy(d + 4 * i, &p, 4);
    }
}

void bgrxToBgra(
    const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int width, int height) noexcept
{
    for (int y = 0; y < height; ++y)
        bgrxRow(src + static_cast<std::ptrdiff_t>(y) * srcStride,
            dst + static_cast<std::ptrdiff_t>(y) * dstStride, width);
}

void halveRow(
    const uint8_t *__restrict a, const uint8_t *__restrict b, uint8_t *__restrict d, int dstWidth)
{
    const int bytes = dstWidth * 4;
    for (int i = 0; i < bytes; i += 4) {
        const int j = 2 * i;
        d[i + 0] = static_cast<uint8_t>((a[j + 0] + a[j + 4] + b[j + 0] + b[j + 4] + 2) >> 2);
        d[i + 1] = static_cast<uint8_t>((a[j + 1] + a[j + 5] + b[j + 1] + b[j + 5] + 2) >> 2);
        d[i + 2] = static_cast<uint8_t>((a[j + 2] + a[j + 6] + b[j + 2] + b[j + 6] + 2) >> 2);
        d[i + 3] = static_cast<uint8_t>((a[j + 3] + a[j + 7] + b[j + 3] + b[j + 7] + 2) >> 2);
    }
}

void halveBgra(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int dstWidth,
    int dstHeight) noexcept
{
    for (int y = 0; y < dstHeight; ++y) {
        const uint8_t *a = src + static_cast<std::ptrdiff_t>(2 * y) * srcStride;
        halveRow(a, a + srcStride, dst + static_cast<std::ptrdiff_t>(y) * dstStride, dstWidth);
    }
}

// Vertical step: blends two source rows byte by byte into the row buffer.
void blendRows(const uint8_t *__restrict r0, const uint8_t *__restrict r1, uint8_t *__restrict out,
    int bytes, unsigned w)
{
    const unsigned iw = 256 - w;
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<uint8_t>((r0[i] * iw + r1[i] * w + 128) >> 8);
}

// Horizontal step: two channels per 32-bit multiply; each 16-bit field holds at most
// 255 * 256 + 128, so the fields never carry into each other.
void sampleRow(const uint8_t *__restrict row, int, uint8_t *__restrict d, const int32_t *__restrict x0,
    const int32_t *__restrict x1, const uint16_t *__restrict wx, int dstWidth)
{
    for (int x = 0; x < dstWidth; ++x) {
        uint32_t a, b;
        std::memcpy(&a, row + 4 * x0[x], 4);
        std::memcpy(&b, row + 4 * x1[x], 4);
        const uint32_t w = wx[x];
        const uint32_t iw = 256 - w;
        const uint32_t rb
            = (((a & 0xff00ffu) * iw + (b & 0xff00ffu) * w + 0x800080u) >> 8) & 0xff00ffu;
        const uint32_t ag
            = (((a >> 8) & 0xff00ffu) * iw + ((b >> 8) & 0xff00ffu) * w + 0x800080u) & 0xff00ff00u;
        const uint32_t p = rb | ag;
        std::memcpy(d + 4 * x, &p, 4);
    }
}

// A source row of `srcWidth` pixels sampled into dstWidth pixels.
using SampleRowFn = void (*)(const uint8_t *__restrict row, int srcWidth, uint8_t *__restrict d,
    const int32_t *__restrict x0, const int32_t *__restrict x1, const uint16_t *__restrict wx, int dstWidth);

template <SampleRowFn Sample>
void scaleBgra(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int dstWidth,
    int dstHeight, const convert::ScaleTables &tables) noexcept
{
    // Locals, so stores through the byte pointers cannot alias the table fields.
    const int32_t *x0 = tables.x0;
    const int32_t *x1 = tables.x1;
    const uint16_t *wx = tables.wx;
    const int rowBytes = tables.srcWidth * 4;
    uint8_t *row = tables.rowBuffer;
    for (int y = 0; y < dstHeight; ++y) {
        const uint8_t *r0 = src + static_cast<std::ptrdiff_t>(tables.y0[y]) * srcStride;
        const uint8_t *r1 = src + static_cast<std::ptrdiff_t>(tables.y1[y]) * srcStride;
        blendRows(r0, r1, row, rowBytes, tables.wy[y]);
        Sample(row, tables.srcWidth, dst + static_cast<std::ptrdiff_t>(y) * dstStride, x0, x1, wx, dstWidth);
    }
}

// The table of one build; its YUV rows (ScalarRows or the build's own hand-vectorised ones) are
// a template over the range, and its scaling takes the build's own horizontal step.
template <template <class> class Rows = ScalarRows, SampleRowFn Sample = sampleRow>
convert::Kernels kernelTable(const char *name)
{
    return { name, yuvKernels<Rows<LimitedRange>>(), yuvKernels<Rows<FullRange>>(), bgrxToBgra,
        halveBgra, scaleBgra<Sample> };
}

} // namespace
