// The kernels for every x86-64 CPU (SSE2).
#include "video/kernels.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

namespace kernels::baselineset {
constexpr const char *KernelSetName = "baseline";
#include "video/kernels_body.h"
} // namespace kernels::baselineset

namespace kernels {

const Table &baseline()
{
    return baselineset::table();
}

size_t skinToneWorkBytes(int width)
{
    return baselineset::skinToneWork(width);
}

size_t blurWorkBytes(int width, int height)
{
    return baselineset::blurWork(width, height);
}

size_t blendWorkBytes(int width)
{
    return baselineset::blendWork(width);
}

} // namespace kernels
