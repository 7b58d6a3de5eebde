#pragma once

struct CompressorState;

/// The compressor's per-sample passes that depend on nothing but their input:
/// float approximations of its curve, in vector lanes, free of any chain from
/// one sample to the next. A baseline build and an AVX2 build, picked at run
/// time.
namespace dsp {

/// Samples per run of the passes; the caller's arrays hold this many.
constexpr int compressorPassLength = 256;

struct CompressorKernels
{
    const char *name;
    /// Per sample of `in`: the curve's attenuation, and the detector's rise
    /// rate should it rise toward it.
    void (*attenuation)(const CompressorState &s, const float *in, int count,
                        float *attenuation, float *riseRate);
    /// Per sample: the sine-shaped gain in place of the raw one, and its level in dB.
    void (*gainShape)(const CompressorState &s, float *gains, float *premixDb, int count);
};

const CompressorKernels &baselineCompressorKernels() noexcept;
/// Null when the CPU has no AVX2 and FMA.
const CompressorKernels *avx2CompressorKernels() noexcept;
const CompressorKernels &compressorKernels() noexcept;

} // namespace dsp
