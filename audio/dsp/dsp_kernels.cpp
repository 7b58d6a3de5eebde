#include "audio/dsp/dsp_kernels.h"

#include <cmath>

namespace dsp {

void int16ToFloatUnscaled(const int16_t *in, float *out, size_t count) noexcept
{
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(in[i]);
}

static inline float clampPcm16(float v)
{
    v = v == v ? v : 0.0f;   // a NaN must not reach the integer cast
    v = v > 32767.0f ? 32767.0f : v;
    return v < -32767.0f ? -32767.0f : v;
}

void mixDenoised(const int16_t *dry, const float *wet, int16_t *out, size_t count, float dryGain,
                 float wetGain) noexcept
{
    for (size_t i = 0; i < count; ++i) {
        const float d = std::trunc(static_cast<float>(dry[i]) * dryGain);
        const float w = std::trunc(wet[i] * wetGain);
        out[i] = static_cast<int16_t>(clampPcm16(d + w));
    }
}

float agcBlock(float *samples, size_t count, float gain, float targetLevel) noexcept
{
    float energy = 0.0f;
    for (size_t i = 0; i < count; ++i)
        energy += samples[i] * samples[i];
    const float rms = std::sqrt(energy / static_cast<float>(count));
    // Quiet blocks pull the gain back toward unity instead of raising noise.
    const float wanted = rms > 0.015f ? targetLevel / rms : 1.0f;
    gain = std::fmin(gain * 0.997f + wanted * 0.003f, 6.0f);
    for (size_t i = 0; i < count; ++i) {
        const float v = samples[i] * gain;
        samples[i] = v > 1.0f ? 1.0f : (v < -1.0f ? -1.0f : v);
    }
    return gain;
}

} // namespace dsp
