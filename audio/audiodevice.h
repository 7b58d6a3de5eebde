#pragma once

#include "audio/audiobuffermanager.h"

#include <QAudio>
#include <QAudioDevice>
#include <QAudioFormat>
#include <QObject>
#include <QSharedPointer>

#include <memory>

class PulseStream;
class Worker;

/// Base of the audio input and output: its own worker thread, on which the
/// device's stream on the sound server lives, its own time-stamped queue, an
/// optional level meter and a periodic report line.
class AudioDevice : public QObject
{
    Q_OBJECT
public:
    // Devices move to their own thread, so they take no parent.
    AudioDevice();
    ~AudioDevice() override;

    /// The label of report lines; set by the owner after a successful open.
    void setName(const QString &name) { m_name = name; }
    QString name() const { return m_name; }
    QAudioDevice audioDevice() const { return m_device; }
    /// The format of the bytes in the device's queue.
    QAudioFormat workingFormat() const { return m_format; }
    AudioBufferManager &buffer() { return m_buffer; }

    void setEnergyMetering(bool on) { m_energyMetering = on; }
    bool isTimeToUpdateAudioEnergy() const;
    void updateAudioEnergy(double db);
    int energyPercent() const { return m_energyPercent; }
    /// The stream ended under us: the sound server or the device went away.
    bool hasFailed() const;

public slots:
    virtual AudioDevice *clone(const QAudioFormat *format) const = 0;
    virtual QAudio::Error open(QAudioDevice device, QAudioFormat format) = 0;
    /// The stream's linear volume, 0 to 1.
    virtual void setVolume(const float &volume);
    virtual float getVolume();
    virtual qint64 getBufferTime() const;
    virtual qint64 getBufferSize() const;

signals:
    void onAudioEnergyUpdated(double val);

protected:
    /// Level meter over one block when it is due, then the report line every 1000th block.
    void accountBlock(const QByteArray &block, const char *direction);
    /// Clears the queue and drops the meter to silence; both device kinds close this way.
    void resetQueueAndMeter();

    AudioBufferManager m_buffer;
    QSharedPointer<Worker> m_worker;
    // Opened, used and closed on the worker thread only.
    std::unique_ptr<PulseStream> m_stream;
    QAudioDevice m_device;
    QAudioFormat m_format;
    QString m_name;

private:
    void writeReport(const char *direction);

    bool m_energyMetering = false;
    qint64 m_lastEnergyUpdate = 0;
    int m_energyPercent = -1;
    quint64 m_reportCounter = 0;
};
