// The kernels built for AVX2 + FMA; only called on CPUs that have both.
#include "video/kernels.h"

#include <immintrin.h>

#include <cmath>
#include <cstring>

namespace kernels::avx2set {
constexpr const char *KernelSetName = "avx2";
#include "video/kernels_body.h"
} // namespace kernels::avx2set

namespace kernels {

const Table &avx2Table()
{
    return avx2set::table();
}

} // namespace kernels
