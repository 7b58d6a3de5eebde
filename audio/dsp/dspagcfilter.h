#pragma once

#include "audio/dsp/dspfilter.h"

/// Automatic gain control: every 240 samples the gain moves a little toward
/// the one that brings the RMS level to the target (0.3 × strength of full
/// scale), never above 6. Quiet blocks pull it back toward unity.
class DSPAGCFilter : public DSPFilter
{
public:
    bool process(const Settings &settings, AudioSample &in, AudioSample &out) override;

protected:
    void configure(double s, const AudioSample &in, bool formatChanged) override;

private:
    static constexpr qsizetype blockBytes = 960;   // 240 floats, 5 ms of 48 kHz mono

    QByteArray m_pending;   // Float at the input's rate and channels
    float m_currentGain = 1.0f;
    float m_targetLevel = 0.15f;
};
