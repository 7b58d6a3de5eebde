#include "audio/dsp/dsprnnfilter.h"

#include "audio/dsp/dsp_kernels.h"
#include "audio/dsp/rnnoise/rnnoise.h"

#include <QDebug>

#include <cmath>

DSPRNNFilter::DSPRNNFilter()
    : m_state(rnnoise_create(nullptr))
{
    if (!m_state)
        qWarning() << "DSPRNNFilter::DSPRNNFilter -> RNNoise could not be set up, passing audio through";
    m_workFormat.setSampleRate(48000);
    m_workFormat.setChannelCount(1);
    m_workFormat.setSampleFormat(QAudioFormat::Int16);
}

DSPRNNFilter::~DSPRNNFilter()
{
    rnnoise_destroy(m_state);
}

void DSPRNNFilter::configure(double s, const AudioSample &, bool)
{
    m_strength = float(s);
    m_dryGain = float(1.0 - s);
    qDebug() << "Init DSP RNN strength:" << m_strength;
}

bool DSPRNNFilter::process(const Settings &settings, AudioSample &in, AudioSample &out)
{
    init(settings, in);
    if (std::fabs(m_strength) < 0.01f || !m_state) {
        startOutput(in, out, true);
        return true;
    }
    processWholeUnits(in, out, m_workFormat, true, m_pending, frameBytes,
                      [this](char *bytes, qsizetype frames) {
        auto *samples = reinterpret_cast<int16_t *>(bytes);
        for (qsizetype f = 0; f < frames; ++f) {
            int16_t *frame = samples + f * frameSamples;
            dsp::int16ToFloatUnscaled(frame, m_frame.data(), frameSamples);
            rnnoise_process_frame(m_state, m_frame.data(), m_frame.data());
            dsp::mixDenoised(frame, m_frame.data(), frame, frameSamples, m_dryGain, m_strength);
        }
    });
    return true;
}
