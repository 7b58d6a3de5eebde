#pragma once

#include "audio/audiodevice.h"

#include <atomic>

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

signals:
    /// One or more blocks were queued; emitted on the device's worker thread.
    void onDataRead();

private:
    void readAvailable();

    // Set while a read waits on the device thread, so that the server's
    // notifications do not pile up behind it.
    std::atomic<bool> m_readPending{false};
    QAudioFormat m_captureFormat;
    // Captured audio short of a whole block, waiting for the rest.
    QByteArray m_partialBlock;
    qint64 m_blockBytes = 0;
};
