#include "audio/audioinput.h"

#include "app/core/worker.h"

#include <QAudioSource>
#include <QDateTime>
#include <QDebug>

AudioInput::AudioInput() = default;

AudioInput::~AudioInput()
{
    close();
}

AudioDevice *AudioInput::clone(const QAudioFormat *format) const
{
    auto *copy = new AudioInput();
    if (copy->open(m_device, format ? *format : m_format) != QAudio::NoError) {
        delete copy;
        return nullptr;
    }
    return copy;
}

QAudio::Error AudioInput::open(QAudioDevice device, QAudioFormat format)
{
    QAudio::Error result = QAudio::OpenError;
    m_worker->runFunctionSync([&](QObject *) {
        close();
        m_device = device;
        m_format = format;
        // Capture always runs in the device's own format; blocks are converted on arrival.
        m_source = std::make_shared<QAudioSource>(device, device.preferredFormat());
        QIODevice *readable = m_source->start();
        if (readable && m_source->error() == QAudio::NoError && readable->isReadable()) {
            m_readable = readable;
            m_captureFormat = m_source->format();
            m_buffer.setFormat(m_device, m_format);
            m_buffer.setMaxBufferTime(0.1);
            m_blockBytes = m_format.bytesForDuration(100000) / 4;
            connect(readable, &QIODevice::readyRead, this, &AudioInput::readAvailable);
            result = QAudio::NoError;
            return;
        }
        result = m_source->error() != QAudio::NoError ? m_source->error() : QAudio::OpenError;
        qDebug() << "Failed to open input " << device.description() << " error: " << result;
        close();
    });
    return result;
}

void AudioInput::close()
{
    if (!m_worker)
        return;
    m_worker->runFunctionSync([this](QObject *) {
        if (m_source)
            m_source->stop();
        m_source.reset();
        m_readable = nullptr;
        resetQueueAndMeter();
    });
}

void AudioInput::readAvailable()
{
    if (!m_readable)
        return;
    QByteArray bytes = m_readable->readAll();
    if (bytes.isEmpty())
        return;
    if (!sameAudioFormat(m_captureFormat, m_format)) {
        QByteArray converted;
        resampleAudio(bytes, converted, m_captureFormat, m_format, false);
        bytes = converted;
    }
    for (qsizetype offset = 0; offset < bytes.size(); offset += m_blockBytes) {
        const QByteArray block = bytes.mid(offset, m_blockBytes);
        accountBlock(block, "input");
        m_buffer.pushSample(block, QDateTime::currentMSecsSinceEpoch() * 1000, -1);
        emit onDataRead();
    }
}

AudioBufferManager::AudioSample AudioInput::getData()
{
    return m_buffer.popSample(-1, true);
}

void AudioInput::setVolume(const float &volume)
{
    m_worker->runFunctionSync([&](QObject *) {
        if (m_source)
            m_source->setVolume(volume);
    });
}

float AudioInput::getVolume()
{
    float volume = 0.0f;
    m_worker->runFunctionSync([&](QObject *) {
        if (m_source)
            volume = float(m_source->volume());
    });
    return volume;
}
