#pragma once

#include <cstdint>

/// BGRA to YUYV (BT.601 limited range, Y0 U Y1 V per pixel pair, the pair's chroma from their
/// average): the per-frame conversion of the loopback and PipeWire outputs. Width is even.
namespace yuyv {

using BgraToYuyvFn = void (*)(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int width,
                              int height) noexcept;

/// Built for the baseline x86-64 instruction set.
BgraToYuyvFn baseline() noexcept;
/// Built for AVX2; null when this CPU lacks it.
BgraToYuyvFn avx2() noexcept;
/// The fastest this CPU runs.
BgraToYuyvFn best() noexcept;

} // namespace yuyv
