#include "audio/dsp/dspagcfilter.h"

#include "audio/dsp/dsp_kernels.h"

#include <QDebug>

#include <algorithm>

void DSPAGCFilter::configure(double s, const AudioSample &, bool formatChanged)
{
    if (formatChanged)
        m_pending.clear();   // those bytes are in the old layout
    m_currentGain = 1.0f;
    m_targetLevel = float(std::max(0.3 * s, 0.001));
    qDebug() << "Init AGC target gain:" << m_targetLevel;
}

bool DSPAGCFilter::process(const Settings &settings, AudioSample &in, AudioSample &out)
{
    init(settings, in);
    processWholeUnits(in, out, floatFormatOf(in.format), false, m_pending, blockBytes,
                      [this](char *bytes, qsizetype blocks) {
        constexpr size_t blockSamples = blockBytes / sizeof(float);
        auto *samples = reinterpret_cast<float *>(bytes);
        for (qsizetype b = 0; b < blocks; ++b)
            m_currentGain = dsp::agcBlock(samples + b * blockSamples, blockSamples, m_currentGain,
                                          m_targetLevel);
    });
    return true;
}
