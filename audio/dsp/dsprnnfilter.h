#pragma once

#include "audio/dsp/dspfilter.h"

#include <array>

struct DenoiseState;

/// Noise suppression with RNNoise on 10 ms frames of 48 kHz mono, mixed with
/// the dry signal by strength. Input short of a whole frame waits for the
/// next block, so one call may return up to 10 ms less than it was given.
/// Without a working RNNoise state (it could not be set up, or its module
/// trapped) the filter says so once and passes audio through.
class DSPRNNFilter : public DSPFilter
{
public:
    DSPRNNFilter();
    /// Takes over `state` (from rnnoise_create; null when that failed).
    explicit DSPRNNFilter(DenoiseState *state);
    ~DSPRNNFilter() override;
    DSPRNNFilter(const DSPRNNFilter &) = delete;
    DSPRNNFilter &operator=(const DSPRNNFilter &) = delete;

    bool process(const Settings &settings, AudioSample &in, AudioSample &out) override;

protected:
    void configure(double s, const AudioSample &in, bool formatChanged) override;

private:
    void stopSuppressing(const AudioSample &in, AudioSample &out);

    static constexpr int frameSamples = 480;
    static constexpr qsizetype frameBytes = frameSamples * 2;

    DenoiseState *m_state = nullptr;   // created once, kept across re-initialisation
    QAudioFormat m_workFormat;         // 48 kHz mono Int16
    std::array<float, frameSamples> m_frame{};
    QByteArray m_pending;              // Int16 in m_workFormat, less than one frame after process
    float m_strength = 0.0f;
    float m_dryGain = 1.0f;
};
