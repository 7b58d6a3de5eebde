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
    /// Appends `in`, converted to `work`, to `pending`; lets `run(bytes, units)`
    /// process the whole units in place and returns them in `out`, converted
    /// back to the input's format. Bytes short of a unit wait for the next block.
    template<typename Run>
    static void processWholeUnits(AudioSample &in, AudioSample &out, const QAudioFormat &work,
                                  bool verbose, QByteArray &pending, qsizetype unitBytes, Run &&run)
    {
        startOutput(in, out, false);
        pending.append(in.getAsFormat(work, verbose).data);
        const qsizetype units = pending.size() / unitBytes;
        if (units == 0)
            return;
        run(pending.data(), units);
        resampleAudio(pending.first(units * unitBytes), out.data, work, in.format, verbose);
        pending.remove(0, units * unitBytes);
    }

private:
    qint64 m_lastModified = 0;
    QAudioFormat m_format;
};
