#pragma once

#include "audio/audiodevice.h"

#include <memory>

class QTimer;

/// Plays queued audio into an output device: every millisecond it writes as
/// much of the queue as the device takes; what it does not take stays queued.
class AudioOutput : public AudioDevice
{
    Q_OBJECT
public:
    AudioOutput();
    ~AudioOutput() override;

    /// Converts `sample` to the working format and queues it.
    void putData(AudioBufferManager::AudioSample &sample, bool verbose);
    void close();
    AudioOutput *cloneEx(const QAudioFormat *format) const;

public slots:
    AudioDevice *clone(const QAudioFormat *format) const override;
    QAudio::Error open(QAudioDevice device, QAudioFormat format) override;

private:
    void writeTick();

    std::shared_ptr<QTimer> m_writeTimer;
    qint64 m_writeBytes = 0;
    bool m_failureReported = false;
};
