#pragma once

#include "audio/dsp/biquad.h"
#include "audio/dsp/dspfilter.h"

/// Low shelf at 500 Hz, ±10 dB by strength (0 dB at 50). Every channel of an
/// interleaved block runs through the one biquad as a single stream.
class DSPBassFilter : public DSPFilter
{
public:
    bool process(const Settings &settings, AudioSample &in, AudioSample &out) override;

protected:
    void configure(double s, const AudioSample &in, bool formatChanged) override;
    /// Designs the shelf into m_biquad and logs it.
    virtual void design(int rate, float gainDb);

    BiquadState m_biquad{};

private:
    float m_shelfPosition = 0.0f;   // -1..1, 0 = flat
};
