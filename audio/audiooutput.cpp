#include "audio/audiooutput.h"

#include "app/core/worker.h"
#include "audio/pulsestream.h"

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
        qDebug() << "Starting output device" << device.description() << "@" << m_format;
        auto stream = std::make_unique<PulseStream>();
        QString error;
        if (!stream->open(PulseStream::Direction::Playback, QString::fromUtf8(device.id()), m_format, sinkBufferUs,
                          nullptr, &error)) {
            result = QAudio::FatalError;
            qDebug() << "Failed to open output " << device.description() << " error: " << result << error;
            close();
            return;
        }
        m_stream = std::move(stream);
        prepareQueue(m_device, m_format);
        m_writeTimer = std::make_shared<QTimer>();
        connect(m_writeTimer.get(), &QTimer::timeout, this, &AudioOutput::writeTick);
        m_writeTimer->start(1);
        result = QAudio::NoError;
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
        m_stream.reset();
        resetQueueAndMeter();
    });
}

void AudioOutput::putData(AudioBufferManager::AudioSample &sample, bool verbose)
{
    AudioBufferManager::AudioSample converted = sample.getAsFormat(m_format, verbose);
    if (converted)
        m_buffer.pushSample(converted, -1);
}

void AudioOutput::prepareQueue(const QAudioDevice &device, const QAudioFormat &format)
{
    m_device = device;
    m_format = format;
    m_failureReported = false;
    m_writeBytes = m_format.bytesForDuration(100000) & ~qint64(1);
    m_buffer.setFormat(m_device, m_format);
    m_buffer.setMaxBufferTime(0.1);
}

qint64 AudioOutput::writableBytes() const
{
    return m_stream ? m_stream->writableBytes() : -1;
}

qint64 AudioOutput::writeToDevice(const char *data, qint64 size)
{
    return m_stream->write(data, size);
}

void AudioOutput::writeTick()
{
    AudioBufferManager::AudioSample sample = m_buffer.getSample(m_writeBytes, false);
    if (!sample) {
        QThread::msleep(1);
        return;
    }
    // A full sink takes nothing now: what it does not take stays queued for the next tick.
    const int frameBytes = qMax(1, m_format.bytesPerFrame());
    const qint64 room = writableBytes();
    const qint64 size = room < 0 ? room : qMin(room, qint64(sample.data.size())) / frameBytes * frameBytes;
    const qint64 written = size > 0 ? writeToDevice(sample.data.constData(), size) : size;
    if (written > 0) {
        accountBlock(sample.data.left(written), "output");
        m_buffer.commitSample(written);
    } else if (written < 0 && !m_failureReported) {
        // The server or the device went away; the owner's supervision reopens the device.
        qDebug() << "Invalid output data written for" << m_name << "- the output stream has failed";
        m_failureReported = true;
    }
}
