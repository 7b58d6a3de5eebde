#include "camera/convert_kernels_impl.h"

namespace convert {

const Kernels &baselineKernels() noexcept
{
    static const Kernels table = kernelTable("baseline");
    return table;
}

const Kernels *avx2Kernels() noexcept
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported ? &detail::avx2KernelTable() : nullptr;
}

const Kernels &bestKernels() noexcept
{
    static const Kernels &best = avx2Kernels() ? *avx2Kernels() : baselineKernels();
    return best;
}

} // namespace convert
