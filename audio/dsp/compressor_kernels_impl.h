#pragma once

// Internal to compressor_kernels.cpp and compressor_kernels_avx2.cpp: the pass
// bodies, compiled once per instruction set.

#include "audio/dsp/compressor_kernels.h"
#include "audio/dsp/compressor_math.h"

#include <algorithm>
#include <cmath>

namespace dsp::detail {
/// The AVX2 table; only called after the CPU check in compressor_kernels.cpp.
const CompressorKernels &avx2CompressorTable() noexcept;
} // namespace dsp::detail

namespace {

// Per sample: the curve's attenuation, and the detector's rise rate should it
// rise toward it.
inline void attenuationPass(const CompressorState &s, const float *in, int count,
                            float *attenuation, float *riseRate)
{
    float level[dsp::compressorPassLength], levelDb[dsp::compressorPassLength];
    for (int i = 0; i < count; ++i) {
        level[i] = std::fabs(in[i] * s.pregain_lin);
        levelDb[i] = lin2db(level[i]);
    }
    for (int i = 0; i < count; ++i) {
        const float curve = compCurve(s, level[i], levelDb[i]);
        attenuation[i] = level[i] < 0.0001f ? 1.0f : curve / level[i];
    }
    for (int i = 0; i < count; ++i)
        riseRate[i] = std::max(-lin2db(attenuation[i]), 2.0f);
    for (int i = 0; i < count; ++i)
        riseRate[i] = db2lin(riseRate[i] * s.sat_release_inv) - 1.0f;
}

// Per sample: the sine-shaped gain in place of the raw one, and its level in dB.
inline void gainShapePass(const CompressorState &s, float *gains, float *premixDb, int count)
{
    for (int i = 0; i < count; ++i) {
        // The gain never leaves -1..1: the detector stays within it, and the
        // gain moves toward it or up to 1.
        premixDb[i] = fastSin(halfPi * gains[i]);
        gains[i] = s.dry + s.wet * s.master_gain * premixDb[i];
    }
    for (int i = 0; i < count; ++i)
        premixDb[i] = lin2db(premixDb[i]);
}

} // namespace

#define COMPRESSOR_KERNEL_TABLE(label) dsp::CompressorKernels{label, attenuationPass, gainShapePass}
