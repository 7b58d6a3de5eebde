#pragma once

#include <cstddef>
#include <cstdint>

/// Per-sample loops of the filter chain: no allocation, no Qt, no locks.
namespace dsp {

// Int16 samples as floats without scaling (-32768..32767), the range the
// noise suppressor works in.
void int16ToFloatUnscaled(const int16_t *in, float *out, size_t count) noexcept;

// out = trunc(dry × dryGain) + trunc(wet × wetGain), limited to ±32767.
void mixDenoised(const int16_t *dry, const float *wet, int16_t *out, size_t count, float dryGain,
                 float wetGain) noexcept;

// One automatic-gain-control step over a block: moves `gain` a little toward
// the gain that brings the block's RMS to `targetLevel` (toward 1 for quiet
// blocks), limited to 6, applies it with clipping to ±1 and returns it.
float agcBlock(float *samples, size_t count, float gain, float targetLevel) noexcept;

} // namespace dsp
