#include "audio/dsp/dspfilter.h"

#include "app/core/basesettings.h"

#include <algorithm>

DSPFilter::~DSPFilter() = default;

int DSPFilter::init(const Settings &settings, AudioSample &in)
{
    static const QString lastModifiedKey = BaseSettings::name(BaseSettings::LastModified);
    static const QString strengthKey = BaseSettings::name(BaseSettings::DSP_Strength);
    const qint64 modified = settings.value(lastModifiedKey).toLongLong();
    const bool sameLayout = m_format.sampleRate() == in.format.sampleRate()
        && m_format.channelCount() == in.format.channelCount();
    const bool unchanged = sameLayout && m_lastModified >= modified
        && m_format.sampleFormat() == in.format.sampleFormat();
    m_lastModified = modified;
    m_format = in.format;
    if (unchanged)
        return 0;
    // The setting is an integer 0..100; anything outside is held to that range.
    const double strength = settings.value(strengthKey).toInt() / 100.0;
    configure(std::clamp(strength, 0.0, 1.0), in, !sameLayout);
    return 0;
}

QAudioFormat DSPFilter::floatFormatOf(const QAudioFormat &format)
{
    QAudioFormat work;
    work.setSampleRate(format.sampleRate());
    work.setChannelCount(format.channelCount());
    work.setSampleFormat(QAudioFormat::Float);
    return work;
}

void DSPFilter::startOutput(const AudioSample &in, AudioSample &out, bool withData)
{
    out.format = in.format;
    out.timestamp = in.timestamp;
    out.data = withData ? in.data : QByteArray();
    out.conversions.clear();
}
