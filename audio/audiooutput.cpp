#include "audio/audiooutput.h"

#include "app/core/worker.h"

#include <QAudioSink>
#include <QDebug>
#include <QThread>
#include <QTimer>

namespace {

// The sink's own queue; kept short so that what the microphone hears reaches
// the call within a few tens of milliseconds.
constexpr qint64 sinkBufferUs = 40000;

} // namespace

AudioOutput::AudioOutput() = default;

AudioOutput::~AudioOutput()
{
    close();
}

AudioOutput *AudioOutput::cloneEx(const QAudioFormat *format) const
{
    auto *copy = new AudioOutput();
    if (copy->open(m_device, format ? *format : m_format) != QAudio::NoError) {
        delete copy;
        return nullptr;
    }
    return copy;
}

AudioDevice *AudioOutput::clone(const QAudioFormat *format) const
{
    return cloneEx(format);
}

QAudio::Error AudioOutput::open(QAudioDevice device, QAudioFormat format)
{
    QAudio::Error result = QAudio::OpenError;
    m_worker->runFunctionSync([&](QObject *) {
        close();
        m_device = device;
        m_format = device.isFormatSupported(format) ? format : device.preferredFormat();
        m_sink = std::make_shared<QAudioSink>(device, m_format);
        m_sink->setBufferSize(m_format.bytesForDuration(sinkBufferUs));
        QIODevice *writable = m_sink->start();
        qDebug() << "Starting output device" << device.description() << "@" << m_format;
        m_writeTimer = std::make_shared<QTimer>();
        if (writable && m_sink->error() == QAudio::NoError && writable->isWritable()) {
            m_writable = writable;
            m_format = m_sink->format();
            m_writeBytes = m_format.bytesForDuration(100000) & ~qint64(1);
            m_buffer.setFormat(m_device, m_format);
            m_buffer.setMaxBufferTime(0.1);
            connect(m_writeTimer.get(), &QTimer::timeout, this, &AudioOutput::writeTick);
            m_writeTimer->start(1);
            result = QAudio::NoError;
            return;
        }
        result = m_sink->error() != QAudio::NoError ? m_sink->error() : QAudio::OpenError;
        qDebug() << "Failed to open output " << device.description() << " error: " << result;
        close();
    });
    return result;
}

void AudioOutput::close()
{
    if (!m_worker)
        return;
    m_worker->runFunctionSync([this](QObject *) {
        if (m_writeTimer)
            m_writeTimer->stop();
        m_writeTimer.reset();
        if (m_sink)
            m_sink->stop();
        m_sink.reset();
        m_writable = nullptr;
        resetQueueAndMeter();
    });
}

void AudioOutput::putData(AudioBufferManager::AudioSample &sample, bool verbose)
{
    AudioBufferManager::AudioSample converted = sample.getAsFormat(m_format, verbose);
    if (converted)
        m_buffer.pushSample(converted, -1);
}

void AudioOutput::writeTick()
{
    AudioBufferManager::AudioSample sample = m_buffer.getSample(m_writeBytes, false);
    if (!sample) {
        QThread::msleep(1);
        return;
    }
    const qint64 written = m_writable ? m_writable->write(sample.data) : sample.data.size();
    if (written > 0) {
        accountBlock(sample.data.left(written), "output");
        m_buffer.commitSample(written);
        return;
    }
    // A full sink takes nothing and says nothing: not an error.
    const bool sinkFull = written == 0 && m_writable->errorString() == QLatin1String("Unknown error")
        && m_sink->error() == QAudio::NoError;
    if (!sinkFull) {
        qDebug() << "Invalid output data written for" << m_name << "-" << written
                 << (m_writable ? m_writable->errorString() : QString()) << (m_sink ? m_sink->error() : QAudio::NoError);
    }
}

void AudioOutput::setVolume(const float &volume)
{
    m_worker->runFunctionSync([&](QObject *) {
        if (m_sink)
            m_sink->setVolume(volume);
    });
}

float AudioOutput::getVolume()
{
    float volume = 0.0f;
    m_worker->runFunctionSync([&](QObject *) {
        if (m_sink)
            volume = float(m_sink->volume());
    });
    return volume;
}
