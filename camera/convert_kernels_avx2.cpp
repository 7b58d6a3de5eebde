// The capture kernels built with -mavx2 -mfma; picked at run time by convert_kernels.cpp.
#include "camera/convert_kernels_impl.h"

namespace convert::detail {

const Kernels &avx2KernelTable() noexcept
{
    static const Kernels table = kernelTable("avx2");
    return table;
}

} // namespace convert::detail
