#include "video/kernels.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

namespace kernels {

const Table &avx2Table();  // kernels_avx2.cpp

namespace {
std::atomic<bool> g_preferBaseline{false};
}

const Table *avx2()
{
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return supported ? &avx2Table() : nullptr;
}

const Table &best()
{
    const Table *fast = avx2();
    return fast && !g_preferBaseline.load(std::memory_order_relaxed) ? *fast : baseline();
}

void preferBaseline(bool on)
{
    g_preferBaseline.store(on, std::memory_order_relaxed);
}

void hueRotation(float radians, float *m)
{
    // Rodrigues' rotation about the unit axis (1, 1, 1) / sqrt(3).
    const float c = std::cos(radians), s = std::sin(radians);
    const float diagonal = c + (1.0f - c) / 3.0f;
    const float behind = (1.0f - c) / 3.0f - s / std::sqrt(3.0f);
    const float ahead = (1.0f - c) / 3.0f + s / std::sqrt(3.0f);
    const float rows[9] = {diagonal, behind, ahead, ahead, diagonal, behind, behind, ahead, diagonal};
    std::memcpy(m, rows, sizeof rows);
}

namespace {
// Variances add: the 4-wide box has (4^2 - 1) / 12, the bilinear 4x upscale a tent
// of half-width 4, 4^2 / 6.
constexpr float QuarterSizeFloorVariance = 15.0f / 12.0f + 16.0f / 6.0f;
} // namespace

float quarterSizeSigma(float sigma)
{
    return std::sqrt(std::max(0.0f, sigma * sigma - QuarterSizeFloorVariance)) / 4.0f;
}

float quarterSizeFloor()
{
    return std::sqrt(QuarterSizeFloorVariance);
}

void copy(ConstBgra src, Bgra dst)
{
    if (src.stride == dst.stride) {
        std::memcpy(dst.data, src.data, size_t(src.stride) * src.height);
        return;
    }
    for (int y = 0; y < src.height; ++y)
        std::memcpy(dst.data + size_t(y) * dst.stride, src.data + size_t(y) * src.stride,
                    size_t(src.width) * 4);
}

} // namespace kernels
