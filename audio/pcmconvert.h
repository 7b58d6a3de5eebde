#pragma once

#include <cstddef>
#include <cstdint>

/// Per-sample PCM kernels behind AudioSample::getAsFormat. Plain loops over
/// contiguous memory so the compiler vectorises them; no allocation, no Qt.
namespace pcm {

// Float in -1..1 to Int16: scaled by 32767, truncated toward zero and limited
// to -32767..32767 so that the two directions stay symmetric. NaN becomes 0.
void floatToInt16(const float *in, int16_t *out, size_t count) noexcept;
// Int16 to Float: scaled by 1/32768, so -32768 maps to exactly -1.
void int16ToFloat(const int16_t *in, float *out, size_t count) noexcept;

// Mono to stereo: every sample written to both channels.
void monoToStereo(const float *in, float *out, size_t frames) noexcept;
void monoToStereo(const int16_t *in, int16_t *out, size_t frames) noexcept;
// Stereo to mono: half of each channel, Int16 halves truncated toward zero.
void stereoToMono(const float *in, float *out, size_t frames) noexcept;
void stereoToMono(const int16_t *in, int16_t *out, size_t frames) noexcept;

// Nearest-earlier-frame rate change with no interpolation: output frame i
// takes source frame trunc(i / ratio). Multichannel frames carry the mix of
// their first and last channel in both of those channels and zero between;
// mono frames carry the source sample. `out` holds outFrames * channels.
void resampleNearest(const float *in, size_t inFrames, float *out, size_t outFrames,
                     int channels, float ratio) noexcept;
void resampleNearest(const int16_t *in, size_t inFrames, int16_t *out, size_t outFrames,
                     int channels, float ratio) noexcept;

} // namespace pcm
