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
        m_device = device;
        m_format = format;
        // Capture always runs in the device's own format; blocks are converted on arrival.
        m_captureFormat = device.preferredFormat();
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
        m_buffer.setFormat(m_device, m_format);
        m_buffer.setMaxBufferTime(0.1);
        m_blockBytes = m_format.bytesForDuration(100000) / 4;
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
        m_partialBlock.clear();
        resetQueueAndMeter();
    });
}

void AudioInput::readAvailable()
{
    m_readPending = false;
    if (!m_stream)
        return;
    QByteArray bytes = m_stream->readAll();
    if (bytes.isEmpty())
        return;
    if (!sameAudioFormat(m_captureFormat, m_format)) {
        QByteArray converted;
        resampleAudio(bytes, converted, m_captureFormat, m_format, false);
        bytes = converted;
    }
    m_partialBlock += bytes;
    qsizetype offset = 0;
    for (; m_partialBlock.size() - offset >= m_blockBytes; offset += m_blockBytes) {
        const QByteArray block = m_partialBlock.mid(offset, m_blockBytes);
        accountBlock(block, "input");
        m_buffer.pushSample(block, QDateTime::currentMSecsSinceEpoch() * 1000, -1);
        emit onDataRead();
    }
    m_partialBlock.remove(0, offset);
}

AudioBufferManager::AudioSample AudioInput::getData()
{
    return m_buffer.popSample(-1, true);
}
