#include "audio/dsp/compressor_kernels_impl.h"

namespace dsp {

const CompressorKernels &baselineCompressorKernels() noexcept
{
    static const CompressorKernels table = COMPRESSOR_KERNEL_TABLE("baseline");
    return table;
}

const CompressorKernels *avx2CompressorKernels() noexcept
{
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return supported ? &detail::avx2CompressorTable() : nullptr;
}

const CompressorKernels &compressorKernels() noexcept
{
    static const CompressorKernels &best =
        avx2CompressorKernels() ? *avx2CompressorKernels() : baselineCompressorKernels();
    return best;
}

} // namespace dsp
