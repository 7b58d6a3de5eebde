// The compressor passes built with -mavx2 -mfma; picked at run time by compressor_kernels.cpp.
#include "audio/dsp/compressor_kernels_impl.h"

const dsp::CompressorKernels &dsp::detail::avx2CompressorTable() noexcept
{
    static const CompressorKernels table = COMPRESSOR_KERNEL_TABLE("avx2");
    return table;
}
