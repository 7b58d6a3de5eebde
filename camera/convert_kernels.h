#pragma once

#include <cstdint>

/// Pixel kernels of the capture path: camera formats to 32-bit BGRA (bytes B, G, R, A) and BGRA
/// scaling. YUV input is BT.601, in limited range (Y 16..235, U/V 16..240; what UVC cameras
/// usually send) or full range (0..255), each with kernels of its own.
/// Every kernel is a pure function over pointer + stride; none allocates, locks or logs.
namespace convert {

/// Tables for one bilinear scale, built once per format (see FrameConverter). Each destination
/// column x blends source columns x0[x] and x1[x] with weight wx[x] (0..256 towards x1); rows
/// likewise. `rowBuffer` holds one source row of BGRA (srcWidth * 4 bytes).
struct ScaleTables
{
    const int32_t *x0 = nullptr;
    const int32_t *x1 = nullptr;
    const uint16_t *wx = nullptr;
    const int32_t *y0 = nullptr;
    const int32_t *y1 = nullptr;
    const uint16_t *wy = nullptr;
    int srcWidth = 0;
    uint8_t *rowBuffer = nullptr;
};

/// Packed 4:2:2, YUYV (Y0 U Y1 V per pixel pair) or UYVY (U Y0 V Y1). A row holds
/// (width + 1) / 2 pairs.
using YuyvToBgraFn = void (*)(
    const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int width, int height) noexcept;
/// NV12: a Y plane and a half-size plane of interleaved U, V.
using Nv12ToBgraFn = void (*)(const uint8_t *srcY, int yStride, const uint8_t *srcUv, int uvStride,
    uint8_t *dst, int dstStride, int width, int height) noexcept;
/// I420 (YU12): a Y plane, then half-width, half-height U and V planes of one stride.
using I420ToBgraFn = void (*)(const uint8_t *srcY, int yStride, const uint8_t *srcU,
    const uint8_t *srcV, int uvStride, uint8_t *dst, int dstStride, int width,
    int height) noexcept;
/// BGRA or BGRX copy that forces alpha to opaque.
using BgrxToBgraFn = void (*)(
    const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int width, int height) noexcept;
/// Halves a BGRA picture with a 2x2 box; the source is at least 2 * dstWidth by 2 * dstHeight.
using HalveBgraFn = void (*)(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride,
    int dstWidth, int dstHeight) noexcept;
/// Bilinear BGRA scale by the given tables.
using ScaleBgraFn = void (*)(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride,
    int dstWidth, int dstHeight, const ScaleTables &tables) noexcept;

/// The YUV kernels of one quantisation range.
struct YuvKernels
{
    YuyvToBgraFn yuyvToBgra;
    YuyvToBgraFn uyvyToBgra;
    Nv12ToBgraFn nv12ToBgra;
    I420ToBgraFn i420ToBgra;
};

/// One complete set of kernels built for one instruction set.
struct Kernels
{
    const char *name;
    YuvKernels limitedRange;
    YuvKernels fullRange;
    BgrxToBgraFn bgrxToBgra;
    HalveBgraFn halveBgra;
    ScaleBgraFn scaleBgra;
};

/// The reference set, built for the baseline x86-64 instruction set; runs everywhere.
const Kernels &baselineKernels() noexcept;
/// The AVX2 set, or null when this CPU lacks AVX2.
const Kernels *avx2Kernels() noexcept;
/// The fastest set this CPU runs; chosen once.
const Kernels &bestKernels() noexcept;

} // namespace convert
