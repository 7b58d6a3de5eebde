#include "video/nn/kernels.h"

#include <algorithm>
#include <cmath>

namespace nn {

void bilinearTable(int in, int out, bool alignCorners, bool halfPixelCenters, std::vector<int32_t> &i0,
                   std::vector<int32_t> &i1, std::vector<float> &f)
{
    i0.resize(size_t(out));
    i1.resize(size_t(out));
    f.resize(size_t(out));
    const float scale = alignCorners && out > 1 ? float(in - 1) / float(out - 1) : float(in) / float(out);
    for (int o = 0; o < out; ++o) {
        const float src = halfPixelCenters ? (float(o) + 0.5f) * scale - 0.5f : float(o) * scale;
        const int lo = std::clamp(int(std::floor(src)), 0, in - 1);
        i0[size_t(o)] = lo;
        i1[size_t(o)] = std::clamp(int(std::ceil(src)), 0, in - 1);
        f[size_t(o)] = src - float(lo);
    }
}

const Kernels &bestKernels()
{
    static const Kernels &best = [] () -> const Kernels & {
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
            return avx2Kernels();
        return baselineKernels();
    }();
    return best;
}

} // namespace nn
