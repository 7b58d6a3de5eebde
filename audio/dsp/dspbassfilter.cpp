#include "audio/dsp/dspbassfilter.h"

#include <QDebug>

#include <algorithm>
#include <cmath>

void DSPBassFilter::configure(double s, const AudioSample &in, bool)
{
    m_shelfPosition = float(2.0 * (s - 0.5));
    const float gain = std::clamp(10.0f * m_shelfPosition, -10.0f, 10.0f);
    m_biquad = {};
    design(in.format.sampleRate(), gain);
}

void DSPBassFilter::design(int rate, float gainDb)
{
    biquadLowShelf(&m_biquad, rate, 500.0f, 1.0f, gainDb);
    qDebug() << "Init DSP Bass - gain:" << gainDb;
}

bool DSPBassFilter::process(const Settings &settings, AudioSample &in, AudioSample &out)
{
    init(settings, in);
    startOutput(in, out, true);
    if (std::fabs(m_shelfPosition) < 0.01f)
        return true;
    AudioSample work = in.getAsFormat(floatFormatOf(in.format), false);
    const auto count = int(work.data.size() / qsizetype(sizeof(float)));
    if (count < 1)
        return true;
    auto *samples = reinterpret_cast<float *>(work.data.data());
    biquadProcess(&m_biquad, count, samples, samples);
    resampleAudio(work.data, out.data, work.format, in.format, false);
    return true;
}
