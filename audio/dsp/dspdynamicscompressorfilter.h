#pragma once

#include "audio/dsp/compressor.h"
#include "audio/dsp/dspfilter.h"

/// Dynamics compressor whose threshold, ratio, release and make-up gain all
/// follow the strength (threshold -30 dB, ratio 3.6 at the default 60).
/// Works on whole 32-sample units; the rest waits for the next block.
class DSPDynamicsCompressorFilter : public DSPFilter
{
public:
    bool process(const Settings &settings, AudioSample &in, AudioSample &out) override;

protected:
    void configure(double s, const AudioSample &in, bool formatChanged) override;

private:
    static constexpr qsizetype unitBytes = 128;   // 32 floats

    CompressorState m_compressor{};
    QByteArray m_pending;   // Float at the input's rate and channels
};
