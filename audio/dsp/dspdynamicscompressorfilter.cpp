#include "audio/dsp/dspdynamicscompressorfilter.h"

#include <QDebug>

#include <algorithm>

void DSPDynamicsCompressorFilter::configure(double s, const AudioSample &in, bool formatChanged)
{
    if (formatChanged)
        m_pending.clear();   // those bytes are in the old layout
    const double x = 2.0 * (s - 0.5);
    const auto threshold = float(std::clamp(-25.0 * x - 25.0, -50.0, -10.0));
    const auto ratio = float(std::clamp(3.0 * x + 3.0, 2.0, 6.0));
    const auto release = float(std::clamp(0.75 * x + 0.25, 0.25, 1.0));
    const auto makeUpGain = float(std::clamp(5.0 * x + 1.0, 1.0, 6.0));
    m_compressor = {};
    compressorSetup(&m_compressor, in.format.sampleRate(), 0.0f, threshold, 30.0f, ratio, 0.003f,
                    release, 0.006f, 0.09f, 0.16f, 0.42f, 0.98f, makeUpGain, 1.0f);
    qDebug() << "Init DSP Dynamics Compressor - threshold:" << threshold << " ratio:" << ratio
             << " makeUpGain:" << makeUpGain << " release:" << release;
}

bool DSPDynamicsCompressorFilter::process(const Settings &settings, AudioSample &in,
                                          AudioSample &out)
{
    init(settings, in);
    processWholeUnits(in, out, floatFormatOf(in.format), false, m_pending, unitBytes,
                      [this](char *bytes, qsizetype units) {
        auto *samples = reinterpret_cast<float *>(bytes);
        const int count = int(units * unitBytes / qsizetype(sizeof(float)));
        compressorProcess(&m_compressor, count, samples, samples);
    });
    return true;
}
