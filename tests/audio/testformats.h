#pragma once

#include <QAudioFormat>

// Audio formats the audio tests build their samples in.
inline QAudioFormat makeFormat(int rate, int channels, QAudioFormat::SampleFormat sampleFormat)
{
    QAudioFormat f;
    f.setSampleRate(rate);
    f.setChannelCount(channels);
    f.setSampleFormat(sampleFormat);
    return f;
}

inline const QAudioFormat mono48i = makeFormat(48000, 1, QAudioFormat::Int16);
inline const QAudioFormat mono48f = makeFormat(48000, 1, QAudioFormat::Float);
