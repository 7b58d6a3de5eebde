#include "audio/dsp/dsptreblefilter.h"

#include <QDebug>

void DSPTrebleFilter::design(int rate, float gainDb)
{
    biquadHighShelf(&m_biquad, rate, 2000.0f, 1.0f, gainDb);
    qDebug() << "Init DSP Trevle - gain:" << gainDb;
}
