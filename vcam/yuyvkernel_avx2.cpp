// The YUYV conversion built with -mavx2 -mfma; picked at run time by yuyvkernel.cpp.
#include "vcam/yuyvkernel_impl.h"

namespace yuyv::detail {

yuyv::BgraToYuyvFn avx2Kernel() noexcept
{
    return bgraToYuyv;
}

} // namespace yuyv::detail
