#pragma once

#include "audio/audiodevice.h"

#include <atomic>

/// Captures a microphone in its preferred format and queues the audio in the
/// working format, cut into blocks of at most 25 ms as it arrives.
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

protected:
    /// Sets the formats and the queue up as a successful open does.
    void prepareQueue(const QAudioDevice &device, const QAudioFormat &format, const QAudioFormat &captureFormat);
    /// What the read handler does with the bytes of one read (capture format):
    /// converts them to the working format and queues them in blocks of at
    /// most 25 ms, the rest included, each followed by onDataRead.
    void queueCaptured(QByteArray bytes);

private:
    void readAvailable();

    // Set while a read waits on the device thread, so that the server's
    // notifications do not pile up behind it.
    std::atomic<bool> m_readPending{false};
    QAudioFormat m_captureFormat;
    qint64 m_blockBytes = 0;
};
