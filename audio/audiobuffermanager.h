#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>

/// Time-stamped PCM queue owned by every audio device; capture pushes at the
/// back, the virtual microphone and playback take from the front.
class AudioBufferManager : public QObject
{
    Q_OBJECT
public:
    /// One block of interleaved PCM with its format and the wall-clock time of
    /// its first byte (µs since the Unix epoch). Copies share the payload.
    struct AudioSample
    {
        QAudioFormat format;
        qint64 timestamp = -1;
        QByteArray data;
        // Converted copies of this sample, keyed "channels.rate.sampleFormat".
        QMap<QString, AudioSample> conversions;

        /// This sample in `target` format: sample format, then channels, then
        /// rate. The result is cached, so converting twice costs one lookup.
        AudioSample getAsFormat(const QAudioFormat &target, bool verbose);
        /// True when the sample carries audio.
        explicit operator bool() const;
    };

    explicit AudioBufferManager(QObject *parent = nullptr);
    ~AudioBufferManager() override;

    // Every operation below may be called from any thread and holds m_mutex.
    void clear();
    void setFormat(const QAudioDevice &device, const QAudioFormat &format);
    QAudioFormat format() const;
    void setMaxBufferTime(double seconds);
    double getMaxBufferTime() const;
    qint64 bufferTime() const;
    /// µs since epoch just after the last queued byte.
    qint64 endTime() const;
    qint64 bufferSize() const;

    void pushSample(const AudioSample &sample, qint64 maxLagMs);
    void pushSample(const QByteArray &bytes, qint64 timestampUs, qint64 maxLagMs);
    // A negative byte count means the whole queue. With `exact`, a request
    // larger than the queue yields an invalid sample and removes nothing.
    AudioSample getSample(const qint64 &bytes, bool exact);
    AudioSample popSample(const qint64 &bytes, bool exact);
    AudioSample getLastSamples(const qint64 &bytes, bool exact);
    void commitSample(const qint64 &bytes);

private:
    AudioSample copyOut(qint64 bytes, bool exact, bool fromBack) const;
    void resetTimes();
    void updateStartTime();

    mutable QRecursiveMutex m_mutex;
    QAudioFormat m_format;
    qint32 m_maxBufferBytes = 0;
    qint64 m_startTime = 0;    // µs since epoch of the first queued byte
    qint64 m_endTime = 0;      // µs since epoch just after the last queued byte
    QByteArray m_buffer;
    QAudioDevice m_device;     // named in log lines only
};

/// Same conversion as AudioSample::getAsFormat on raw bytes, without a cache.
void resampleAudio(const QByteArray &input, QByteArray &output, const QAudioFormat &from,
                   const QAudioFormat &to, bool verbose);

/// Rate, channel count and sample format equal; the channel layout is ignored.
bool sameAudioFormat(const QAudioFormat &a, const QAudioFormat &b);
