#include "audio/audiodevice.h"

#include "app/core/worker.h"
#include "audio/pulsestream.h"

#include <QDateTime>
#include <QDebug>

#include <cfloat>
#include <cmath>

namespace {

// Root mean square of a block in dB, -100 for silence; formats other than
// Int16 and Float read as 0 dB without measuring.
double blockLevelDb(const QByteArray &block, const QAudioFormat &format)
{
    double sum = 0;
    qsizetype count = 0;
    if (format.sampleFormat() == QAudioFormat::Int16) {
        const auto *samples = reinterpret_cast<const qint16 *>(block.constData());
        count = block.size() / qsizetype(sizeof(qint16));
        for (qsizetype i = 0; i < count; ++i) {
            const double v = samples[i] / 32768.0;
            sum += v * v;
        }
    } else if (format.sampleFormat() == QAudioFormat::Float) {
        const auto *samples = reinterpret_cast<const float *>(block.constData());
        count = block.size() / qsizetype(sizeof(float));
        for (qsizetype i = 0; i < count; ++i)
            sum += double(samples[i]) * samples[i];
    } else {
        return 0.0;
    }
    const double rms = count > 0 ? std::sqrt(sum / double(count)) : 0.0;
    if (rms < 1.1920929e-7)
        return -100.0;
    return std::max(20.0 * std::log10(std::min(rms, 1.0)), -100.0);
}

} // namespace

AudioDevice::AudioDevice()
{
    m_worker = Worker::create(this, true);
}

AudioDevice::~AudioDevice()
{
    if (m_worker)
        m_worker->shutdown();
}

bool AudioDevice::hasFailed() const
{
    return m_stream && m_stream->failed();
}

void AudioDevice::setVolume(const float &volume)
{
    m_worker->runFunctionSync([&](QObject *) {
        if (m_stream)
            m_stream->setVolume(volume);
    });
}

float AudioDevice::getVolume()
{
    float volume = 0.0f;
    m_worker->runFunctionSync([&](QObject *) {
        if (m_stream)
            volume = m_stream->volume();
    });
    return volume;
}

qint64 AudioDevice::getBufferTime() const
{
    return m_buffer.bufferTime();
}

qint64 AudioDevice::getBufferSize() const
{
    return m_buffer.bufferSize();
}

bool AudioDevice::isTimeToUpdateAudioEnergy() const
{
    return m_energyMetering && QDateTime::currentMSecsSinceEpoch() - m_lastEnergyUpdate >= 100;
}

void AudioDevice::updateAudioEnergy(double db)
{
    if (!m_energyMetering)
        return;
    m_lastEnergyUpdate = QDateTime::currentMSecsSinceEpoch();
    m_energyPercent = int(std::clamp((db + 75.0) / 75.0, 0.0, 1.0) * 100.0);
    emit onAudioEnergyUpdated(m_energyPercent / 100.0);
}

void AudioDevice::resetQueueAndMeter()
{
    m_buffer.clear();
    updateAudioEnergy(-DBL_MAX);
}

void AudioDevice::accountBlock(const QByteArray &block, const char *direction)
{
    if (isTimeToUpdateAudioEnergy())
        updateAudioEnergy(blockLevelDb(block, m_format));
    if (++m_reportCounter % 1000 == 0)
        writeReport(direction);
}

void AudioDevice::writeReport(const char *direction)
{
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    qDebug() << QStringLiteral("Report for %1").arg(QLatin1String(direction)) << m_name << "-"
             << QStringLiteral("en %1%").arg(m_energyPercent)
             << QStringLiteral("Vol %1%").arg(int(getVolume() * 100))
             << QStringLiteral("Amp %1").arg(m_energyPercent < 0 ? QStringLiteral("N/A")
                                                                 : QStringLiteral("%1%").arg(m_energyPercent))
             << "-" << m_device.description().left(40) << nowMs - m_buffer.endTime() / 1000
             << "buff time:" << m_buffer.bufferTime() / 1000 << "ms"
             << QStringLiteral(" max(%1ms)").arg(qint64(m_buffer.getMaxBufferTime() * 1000));
}
