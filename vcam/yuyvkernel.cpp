#include "vcam/yuyvkernel_impl.h"

#include "camera/convert_kernels.h"

namespace yuyv {

BgraToYuyvFn baseline() noexcept
{
    return bgraToYuyv<bgraRowToYuyv>;
}

BgraToYuyvFn avx2() noexcept
{
    // The capture kernels have made the CPU check already.
    return convert::avx2Kernels() ? detail::avx2Kernel() : nullptr;
}

BgraToYuyvFn best() noexcept
{
    static const BgraToYuyvFn kernel = avx2() ? avx2() : baseline();
    return kernel;
}

} // namespace yuyv
