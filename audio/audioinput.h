#pragma once

#include "audio/audiodevice.h"

#include <memory>

class QAudioSource;
class QIODevice;

/// Captures a microphone in its preferred format and queues the audio in the
/// working format, cut into 25 ms blocks.
class AudioInput : public AudioDevice
{
    Q_OBJECT
public:
    AudioInput();
    ~AudioInput() override;

    /// Everything queued, removed from the queue.
    AudioBufferManager::AudioSample getData();
    void close();

public slots:
    AudioDevice *clone(const QAudioFormat *format) const override;
    QAudio::Error open(QAudioDevice device, QAudioFormat format) override;
    void setVolume(const float &volume) override;
    float getVolume() override;

signals:
    /// One or more blocks were queued; emitted on the device's worker thread.
    void onDataRead();

private:
    void readAvailable();

    std::shared_ptr<QAudioSource> m_source;
    QIODevice *m_readable = nullptr;
    QAudioFormat m_captureFormat;
    qint64 m_blockBytes = 0;
};
