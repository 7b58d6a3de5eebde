#include "audio/pcmconvert.h"

#include <algorithm>
#include <cstring>

namespace pcm {

void floatToInt16(const float *in, int16_t *out, size_t count) noexcept
{
    for (size_t i = 0; i < count; ++i) {
        float v = in[i] * 32767.0f;
        v = v == v ? v : 0.0f;              // NaN would make the cast undefined
        v = v > 32767.0f ? 32767.0f : v;
        v = v < -32767.0f ? -32767.0f : v;
        out[i] = static_cast<int16_t>(v);   // truncates toward zero
    }
}

void int16ToFloat(const int16_t *in, float *out, size_t count) noexcept
{
    constexpr float scale = 1.0f / 32768.0f;
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(in[i]) * scale;   // always within -1..1
}

template<typename T>
static void duplicate(const T *in, T *out, size_t frames) noexcept
{
    for (size_t i = 0; i < frames; ++i) {
        out[2 * i] = in[i];
        out[2 * i + 1] = in[i];
    }
}

void monoToStereo(const float *in, float *out, size_t frames) noexcept { duplicate(in, out, frames); }
void monoToStereo(const int16_t *in, int16_t *out, size_t frames) noexcept { duplicate(in, out, frames); }

static inline float mix(float a, float b) { return 0.5f * a + 0.5f * b; }
static inline int16_t mix(int16_t a, int16_t b) { return static_cast<int16_t>(a / 2 + b / 2); }

template<typename T>
static void downmix(const T *in, T *out, size_t frames) noexcept
{
    for (size_t i = 0; i < frames; ++i)
        out[i] = mix(in[2 * i], in[2 * i + 1]);
}

void stereoToMono(const float *in, float *out, size_t frames) noexcept { downmix(in, out, frames); }
void stereoToMono(const int16_t *in, int16_t *out, size_t frames) noexcept { downmix(in, out, frames); }

template<typename T>
static void nearest(const T *in, size_t inFrames, T *out, size_t outFrames, int channels,
                    float ratio) noexcept
{
    if (inFrames == 0)
        return;
    const size_t c = static_cast<size_t>(channels);
    const size_t last = inFrames - 1;
    if (c > 2)
        std::memset(out, 0, outFrames * c * sizeof(T));
    for (size_t i = 0; i < outFrames; ++i) {
        // Rounding of i / ratio can reach inFrames for extreme ratios.
        const size_t j = std::min(static_cast<size_t>(static_cast<float>(i) / ratio), last);
        const T *src = in + j * c;
        T *dst = out + i * c;
        if (c == 1) {
            dst[0] = src[0];
        } else {
            const T v = mix(src[0], src[c - 1]);
            dst[0] = v;
            dst[c - 1] = v;
        }
    }
}

void resampleNearest(const float *in, size_t inFrames, float *out, size_t outFrames,
                     int channels, float ratio) noexcept
{
    nearest(in, inFrames, out, outFrames, channels, ratio);
}

void resampleNearest(const int16_t *in, size_t inFrames, int16_t *out, size_t outFrames,
                     int channels, float ratio) noexcept
{
    nearest(in, inFrames, out, outFrames, channels, ratio);
}

} // namespace pcm
