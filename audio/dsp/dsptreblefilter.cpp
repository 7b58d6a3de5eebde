#include "audio/dsp/dsptreblefilter.h"

#include <QDebug>

void DSPTrebleFilter::design(int rate, float gainDb)
{
    sf_highshelf(&m_biquad, rate, 2000.0f, 1.0f, gainDb);
    qDebug() << "Init DSP Trevle - gain:" << gainDb;
}
