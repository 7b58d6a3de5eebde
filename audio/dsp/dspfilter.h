#pragma once

#include "audio/audiobuffermanager.h"

#include <QAudioFormat>
#include <QMap>
#include <QString>
#include <QVariant>

/// One stage of the microphone's filter chain, driven by one settings group
/// ("LastModified", "Enabled", "DSP_Strength"). A filter keeps its state
/// between blocks and derives its parameters again only when the group's
/// LastModified grows or the input format changes.
/// Used from the virtual microphone's worker thread only; no locks.
class DSPFilter
{
public:
    using Settings = QMap<QString, QVariant>;
    using AudioSample = AudioBufferManager::AudioSample;

    virtual ~DSPFilter();
    /// Filters `in` into `out` (which receives `in`'s format and timestamp);
    /// `out` may come back without payload while a filter collects input.
    virtual bool process(const Settings &settings, AudioSample &in, AudioSample &out) = 0;
    /// Re-derives the parameters when needed; called by every process().
    virtual int init(const Settings &settings, AudioSample &in);

protected:
    /// Derives the parameters from the strength s (0..1). `formatChanged` is
    /// set when rate or channel count differ from the previous input, so that
    /// bytes collected in the old format can be dropped.
    virtual void configure(double s, const AudioSample &in, bool formatChanged) = 0;

    /// Float at the input's rate and channel count.
    static QAudioFormat floatFormatOf(const QAudioFormat &format);
    /// `out` gets `in`'s format and timestamp, and its payload if `withData`.
    /// The conversion cache is not copied: it describes `in`'s payload only.
    static void startOutput(const AudioSample &in, AudioSample &out, bool withData);

private:
    qint64 m_lastModified = 0;
    QAudioFormat m_format;
};
