#include "audio/audioinput.h"

#include "app/core/worker.h"
#include "audio/pulsestream.h"

#include <QDateTime>
#include <QDebug>

namespace {

// How much audio the server gathers before it hands a capture over.
constexpr qint64 captureFragmentUs = 10000;

} // namespace

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
        // Capture always runs in the device's own format; blocks are converted on arrival.
        prepareQueue(device, format, device.preferredFormat());
        auto stream = std::make_unique<PulseStream>();
        QString error;
        const auto readable = [this] {
            if (!m_readPending.exchange(true))
                QMetaObject::invokeMethod(this, &AudioInput::readAvailable, Qt::QueuedConnection);
        };
        if (!stream->open(PulseStream::Direction::Capture, QString::fromUtf8(device.id()), m_captureFormat,
                          captureFragmentUs, readable, &error)) {
            result = QAudio::FatalError;
            qDebug() << "Failed to open input " << device.description() << " error: " << result << error;
            close();
            return;
        }
        m_stream = std::move(stream);
        result = QAudio::NoError;
    });
    return result;
}

void AudioInput::close()
{
    if (!m_worker)
        return;
    m_worker->runFunctionSync([this](QObject *) {
        m_stream.reset();
        m_readPending = false;
        resetQueueAndMeter();
    });
}

void AudioInput::prepareQueue(const QAudioDevice &device, const QAudioFormat &format,
                              const QAudioFormat &captureFormat)
{
    m_device = device;
    m_format = format;
    m_captureFormat = captureFormat;
    m_buffer.setFormat(m_device, m_format);
    m_buffer.setMaxBufferTime(0.1);
    m_blockBytes = m_format.bytesForDuration(100000) / 4;
}

void AudioInput::readAvailable()
{
    m_readPending = false;
    if (m_stream)
        queueCaptured(m_stream->readAll());
}

void AudioInput::queueCaptured(QByteArray bytes)
{
    if (bytes.isEmpty() || m_blockBytes <= 0)
        return;
    if (!sameAudioFormat(m_captureFormat, m_format)) {
        QByteArray converted;
        resampleAudio(bytes, converted, m_captureFormat, m_format, false);
        bytes = converted;
    }
    // Blocks of at most 25 ms, oldest first, and the shorter rest as a block
    // of its own, all queued now: nothing waits here for the rest of a block,
    // which would add up to 25 ms to the latency. A 10 ms capture fragment is
    // one 10 ms block; a 10,000-byte read of 48 kHz mono Int16 is four blocks
    // of 2,400 bytes and one of 400.
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
