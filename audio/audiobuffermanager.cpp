#include "audio/audiobuffermanager.h"

#include "audio/pcmconvert.h"

#include <QDebug>
#include <QMutexLocker>

#include <chrono>
#include <cstdint>
#include <cstring>

namespace {

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

qint64 nowMs()
{
    return nowUs() / 1000;
}

// A payload larger than this after a rate change is refused rather than
// allocated: no real block comes near it, only a nonsensical rate pair.
constexpr qint64 maxConvertedBytes = qint64(1) << 28;

// Kernels read typed values. Payloads whose front was trimmed in place may
// start at any address, so those are copied to a fresh, aligned array first.
template<typename T>
const T *alignedSamples(const QByteArray &bytes, QByteArray &holder)
{
    if (reinterpret_cast<uintptr_t>(bytes.constData()) % alignof(T) == 0)
        return reinterpret_cast<const T *>(bytes.constData());
    holder = QByteArray(bytes.constData(), bytes.size());
    return reinterpret_cast<const T *>(holder.constData());
}

template<typename T>
T *samples(QByteArray &bytes)
{
    return reinterpret_cast<T *>(bytes.data());
}

// One value per sample through `kernel`, into a fresh array of the new type.
template<typename From, typename To>
void convertSamples(QByteArray &data, void (*kernel)(const From *, To *, size_t) noexcept)
{
    const qsizetype n = data.size() / qsizetype(sizeof(From));
    if (n == 0)
        return;   // shorter than one sample: left as it was
    QByteArray holder;
    QByteArray out(n * qsizetype(sizeof(To)), Qt::Uninitialized);
    kernel(alignedSamples<From>(data, holder), samples<To>(out), size_t(n));
    data = out;
}

// Step 1: sample format. Returns false for a pair it cannot convert.
bool convertSampleFormat(QByteArray &data, QAudioFormat::SampleFormat from,
                         QAudioFormat::SampleFormat to)
{
    if (from == QAudioFormat::Float && to == QAudioFormat::Int16)
        convertSamples(data, pcm::floatToInt16);
    else if (from == QAudioFormat::Int16 && to == QAudioFormat::Float)
        convertSamples(data, pcm::int16ToFloat);
    else
        return false;
    return true;
}

template<typename T>
void convertChannelsOf(QByteArray &data, int from, int to)
{
    QByteArray holder;
    const qsizetype frames = data.size() / qsizetype(sizeof(T) * from);
    QByteArray out(frames * qsizetype(sizeof(T) * to), Qt::Uninitialized);
    if (frames > 0) {
        if (from == 1)
            pcm::monoToStereo(alignedSamples<T>(data, holder), samples<T>(out), size_t(frames));
        else
            pcm::stereoToMono(alignedSamples<T>(data, holder), samples<T>(out), size_t(frames));
    }
    data = out;
}

// Step 2: channel count, in the target sample format. Returns false for a
// pair of counts it cannot convert.
bool convertChannels(QByteArray &data, QAudioFormat::SampleFormat format, int from, int to)
{
    if (!((from == 1 && to == 2) || (from == 2 && to == 1)))
        return false;
    if (format == QAudioFormat::Float)
        convertChannelsOf<float>(data, from, to);
    else if (format == QAudioFormat::Int16)
        convertChannelsOf<int16_t>(data, from, to);
    return true;
}

template<typename T>
void convertRateOf(QByteArray &data, int channels, float ratio)
{
    const qsizetype inFrames = data.size() / qsizetype(sizeof(T)) / channels;
    const float outFramesF = static_cast<float>(inFrames) * ratio;
    if (!(outFramesF >= 1.0f))
        return;   // the result would hold no samples: keep the payload
    if (double(outFramesF) * double(sizeof(T) * channels) > double(maxConvertedBytes)) {
        qWarning() << "resampleAudio rate conversion too large -> input != output, ratio" << ratio;
        return;
    }
    const auto outFrames = static_cast<qint64>(outFramesF);
    const qint64 outBytes = outFrames * qint64(sizeof(T)) * channels;
    QByteArray holder;
    QByteArray out(outBytes, Qt::Uninitialized);
    pcm::resampleNearest(alignedSamples<T>(data, holder), size_t(inFrames), samples<T>(out),
                         size_t(outFrames), channels, ratio);
    data = out;
}

// Step 3: sample rate, in the target sample format and channel count.
void convertRate(QByteArray &data, const QAudioFormat &from, const QAudioFormat &to)
{
    if (from.sampleRate() <= 0 || to.sampleRate() <= 0 || to.channelCount() <= 0) {
        qWarning() << "resampleAudio unsupported sample rate conversion -> input != output"
                   << from << "vs" << to;
        return;
    }
    const float ratio = float(to.sampleRate()) / float(from.sampleRate());
    if (to.sampleFormat() == QAudioFormat::Float)
        convertRateOf<float>(data, to.channelCount(), ratio);
    else if (to.sampleFormat() == QAudioFormat::Int16)
        convertRateOf<int16_t>(data, to.channelCount(), ratio);
}

// The three steps shared by getAsFormat and resampleAudio. Each unsupported
// step logs and leaves the later steps out.
void convertPcm(QByteArray &data, const QAudioFormat &from, const QAudioFormat &to, bool verbose)
{
    if (verbose)
        qDebug() << "resampleAudio input != output" << from << "vs" << to;
    if (from.sampleFormat() != to.sampleFormat()
        && !convertSampleFormat(data, from.sampleFormat(), to.sampleFormat())) {
        qWarning() << "resampleAudio unsupported sample format conversion -> input != output"
                   << from << "vs" << to;
        return;
    }
    if (from.channelCount() != to.channelCount()
        && !convertChannels(data, to.sampleFormat(), from.channelCount(), to.channelCount())) {
        qWarning() << "resampleAudio unsupported channels conversion -> input != output"
                   << from << "vs" << to;
        return;
    }
    if (from.sampleRate() != to.sampleRate())
        convertRate(data, from, to);
}

} // namespace

bool sameAudioFormat(const QAudioFormat &a, const QAudioFormat &b)
{
    return a.sampleRate() == b.sampleRate() && a.channelCount() == b.channelCount()
        && a.sampleFormat() == b.sampleFormat();
}

void resampleAudio(const QByteArray &input, QByteArray &output, const QAudioFormat &from,
                   const QAudioFormat &to, bool verbose)
{
    output = input;
    if (!sameAudioFormat(from, to))
        convertPcm(output, from, to, verbose);
}

AudioBufferManager::AudioSample
AudioBufferManager::AudioSample::getAsFormat(const QAudioFormat &target, bool verbose)
{
    if (sameAudioFormat(format, target))
        return *this;
    const QString key = QStringLiteral("%1.%2.%3")
                            .arg(target.channelCount())
                            .arg(target.sampleRate())
                            .arg(int(target.sampleFormat()));
    if (const auto it = conversions.constFind(key); it != conversions.constEnd())
        return *it;

    AudioSample converted;
    converted.timestamp = timestamp;
    converted.data = data;
    convertPcm(converted.data, format, target, verbose);
    converted.format = target;
    conversions.insert(key, converted);
    return converted;
}

AudioBufferManager::AudioSample::operator bool() const
{
    return timestamp != 0 && !data.isEmpty();
}

AudioBufferManager::AudioBufferManager(QObject *parent)
    : QObject(parent)
{
    resetTimes();
}

AudioBufferManager::~AudioBufferManager()
{
    qDebug() << "AudioBufferManager DCTOR!";
}

void AudioBufferManager::resetTimes()
{
    m_startTime = m_endTime = nowUs();
}

void AudioBufferManager::updateStartTime()
{
    m_startTime = m_endTime - m_format.durationForBytes(qint32(m_buffer.size()));
}

void AudioBufferManager::clear()
{
    QMutexLocker lock(&m_mutex);
    m_buffer.clear();
    resetTimes();
}

void AudioBufferManager::setFormat(const QAudioDevice &device, const QAudioFormat &format)
{
    QMutexLocker lock(&m_mutex);
    clear();
    m_device = device;
    m_format = format;
}

QAudioFormat AudioBufferManager::format() const
{
    QMutexLocker lock(&m_mutex);
    return m_format;
}

void AudioBufferManager::setMaxBufferTime(double seconds)
{
    QMutexLocker lock(&m_mutex);
    m_maxBufferBytes = m_format.bytesForDuration(qint64(seconds * 1000000.0));
}

double AudioBufferManager::getMaxBufferTime() const
{
    QMutexLocker lock(&m_mutex);
    return double(m_format.durationForBytes(m_maxBufferBytes)) / 1000000.0;
}

qint64 AudioBufferManager::endTime() const
{
    QMutexLocker lock(&m_mutex);
    return m_endTime;
}

qint64 AudioBufferManager::bufferTime() const
{
    QMutexLocker lock(&m_mutex);
    return m_endTime - m_startTime;
}

qint64 AudioBufferManager::bufferSize() const
{
    QMutexLocker lock(&m_mutex);
    return m_buffer.size();
}

void AudioBufferManager::pushSample(const AudioSample &sample, qint64 maxLagMs)
{
    if (!sample)
        return;
    QMutexLocker lock(&m_mutex);
    if (!sameAudioFormat(sample.format, m_format)) {
        qWarning() << "pushSample invalid formats! " << m_device.description() << "is "
                   << m_format << " vs " << sample.format;
        return;
    }
    pushSample(sample.data, sample.timestamp, maxLagMs);
}

void AudioBufferManager::pushSample(const QByteArray &bytes, qint64 timestampUs, qint64 maxLagMs)
{
    if (bytes.isEmpty())
        return;
    QMutexLocker lock(&m_mutex);
    m_buffer.append(bytes);
    m_endTime = timestampUs + m_format.durationForBytes(qint32(bytes.size()));
    if (m_buffer.size() > m_maxBufferBytes) {
        m_buffer.clear();
        resetTimes();
    }
    updateStartTime();

    if (maxLagMs > 0) {
        const qint64 lag = nowMs() - m_endTime / 1000;
        if (lag >= maxLagMs) {
            qWarning() << "Time diff for" << m_device.description() << lag << ", buff time:"
                       << (m_endTime - m_startTime) / 1000 << "ms";
            m_buffer.clear();
            resetTimes();
        }
    }
}

AudioBufferManager::AudioSample AudioBufferManager::copyOut(qint64 bytes, bool exact,
                                                            bool fromBack) const
{
    QMutexLocker lock(&m_mutex);
    AudioSample result;
    result.format = m_format;
    const qint64 size = m_buffer.size();
    const qint64 n = bytes < 0 ? size : bytes;
    if (exact && n > size)
        return result;
    const qint64 take = qMin(n, size);
    if (take > 0) {
        result.data = fromBack ? m_buffer.last(take) : m_buffer.first(take);
        result.timestamp = fromBack ? m_endTime - m_format.durationForBytes(qint32(take)) : m_startTime;
    }
    return result;
}

AudioBufferManager::AudioSample AudioBufferManager::getSample(const qint64 &bytes, bool exact)
{
    return copyOut(bytes, exact, false);
}

AudioBufferManager::AudioSample AudioBufferManager::popSample(const qint64 &bytes, bool exact)
{
    QMutexLocker lock(&m_mutex);   // held across copy and removal
    AudioSample result = copyOut(bytes, exact, false);
    if (result) {
        m_buffer.remove(0, result.data.size());
        updateStartTime();
    }
    return result;
}

AudioBufferManager::AudioSample AudioBufferManager::getLastSamples(const qint64 &bytes, bool exact)
{
    return copyOut(bytes, exact, true);
}

void AudioBufferManager::commitSample(const qint64 &bytes)
{
    QMutexLocker lock(&m_mutex);
    if (bytes > 0)
        m_buffer.remove(0, bytes);
    updateStartTime();
}
