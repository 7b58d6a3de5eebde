#include "audio/dsp/dsprnnfilter.h"

#include "audio/dsp/dsp_kernels.h"
#include "audio/dsp/rnnoise/rnnoise.h"

#include <QDebug>

#include <cmath>

DSPRNNFilter::DSPRNNFilter()
    : DSPRNNFilter(rnnoise_create(nullptr))
{
}

DSPRNNFilter::DSPRNNFilter(DenoiseState *state)
    : m_state(state)
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
    bool stopped = false;
    processWholeUnits(in, out, m_workFormat, true, m_pending, frameBytes,
                      [this, &stopped](char *bytes, qsizetype frames) {
        auto *samples = reinterpret_cast<int16_t *>(bytes);
        for (qsizetype f = 0; f < frames && !stopped; ++f) {
            int16_t *frame = samples + f * frameSamples;
            dsp::int16ToFloatUnscaled(frame, m_frame.data(), frameSamples);
            // A stopped module leaves this frame and the rest as they came.
            stopped = rnnoise_process_frame(m_state, m_frame.data(), m_frame.data()) < 0.0f;
            if (!stopped)
                dsp::mixDenoised(frame, m_frame.data(), frame, frameSamples, m_dryGain, m_strength);
        }
    });
    if (stopped)
        stopSuppressing(in, out);
    return true;
}

void DSPRNNFilter::stopSuppressing(const AudioSample &in, AudioSample &out)
{
    qWarning() << "DSPRNNFilter::process -> RNNoise stopped:" << rnnoise_failure(m_state)
               << "- passing audio through";
    rnnoise_destroy(m_state);
    m_state = nullptr;
    // From the next block on, input goes straight to the output: what is
    // still waiting for a whole frame follows now, so nothing is lost.
    QByteArray rest;
    resampleAudio(m_pending, rest, m_workFormat, in.format, true);
    out.data.append(rest);
    m_pending.clear();
}
