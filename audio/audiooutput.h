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

protected:
    /// Sets the queue up as a successful open does.
    void prepareQueue(const QAudioDevice &device, const QAudioFormat &format);
    /// One tick of the 1 ms write loop: as much of the queue's front as the
    /// device takes is written and removed; the rest waits for the next tick.
    void writeTick();
    /// How many bytes the device takes now (negative: it has failed), and
    /// writing them: the stream on the sound server.
    virtual qint64 writableBytes() const;
    virtual qint64 writeToDevice(const char *data, qint64 size);

private:

    std::shared_ptr<QTimer> m_writeTimer;
    qint64 m_writeBytes = 0;
    bool m_failureReported = false;
};
