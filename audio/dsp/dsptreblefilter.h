#pragma once

#include "audio/dsp/dspbassfilter.h"

/// High shelf at 2 kHz, ±10 dB by strength; otherwise the bass filter.
class DSPTrebleFilter : public DSPBassFilter
{
protected:
    void design(int rate, float gainDb) override;
};
