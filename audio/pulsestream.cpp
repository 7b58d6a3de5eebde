#include "audio/pulsestream.h"

#include <pulse/pulseaudio.h>

#include <atomic>

namespace {

// A server that accepts the connection but never answers must not hang the
// device thread: the owner's supervision tries again later.
constexpr pa_usec_t answerTimeoutUs = 5 * PA_USEC_PER_SEC;

bool sampleFormatOf(const QAudioFormat &format, pa_sample_format_t *sampleFormat)
{
    switch (format.sampleFormat()) {
    case QAudioFormat::UInt8:
        *sampleFormat = PA_SAMPLE_U8;
        return true;
    case QAudioFormat::Int16:
        *sampleFormat = PA_SAMPLE_S16LE;
        return true;
    case QAudioFormat::Int32:
        *sampleFormat = PA_SAMPLE_S32LE;
        return true;
    case QAudioFormat::Float:
        *sampleFormat = PA_SAMPLE_FLOAT32LE;
        return true;
    default:
        return false;
    }
}

class LoopLocker
{
public:
    explicit LoopLocker(pa_threaded_mainloop *loop)
        : m_loop(loop)
    {
        pa_threaded_mainloop_lock(m_loop);
    }
    ~LoopLocker() { pa_threaded_mainloop_unlock(m_loop); }
    LoopLocker(const LoopLocker &) = delete;
    LoopLocker &operator=(const LoopLocker &) = delete;

private:
    pa_threaded_mainloop *m_loop;
};

} // namespace

struct PulseStream::Opaque
{
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    Direction direction = Direction::Capture;
    std::function<void()> onReadable;
    std::atomic<bool> failed{false};
    bool timedOut = false;
    QByteArray elsewhere; // the device the server connected the stream to instead of the one asked for
    float volume = 1.0f;
    int channels = 1;

    // Waits, with the loop locked, until `ready` holds; false when the
    // connection fails or the server does not answer in time.
    bool waitFor(const std::function<bool()> &ready)
    {
        while (!ready()) {
            if (failed || timedOut)
                return false;
            pa_threaded_mainloop_wait(loop);
        }
        return true;
    }

    bool connect(Direction direction, const QByteArray &device, const pa_sample_spec &spec, qint64 latencyUs);
    void applyVolume();

    static void contextStateChanged(pa_context *context, void *self)
    {
        auto *d = static_cast<Opaque *>(self);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
            d->failed = true;
        pa_threaded_mainloop_signal(d->loop, 0);
    }

    static void streamStateChanged(pa_stream *stream, void *self)
    {
        auto *d = static_cast<Opaque *>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            d->failed = true;
        pa_threaded_mainloop_signal(d->loop, 0);
    }

    static void capturedAudioWaits(pa_stream *, size_t, void *self)
    {
        auto *d = static_cast<Opaque *>(self);
        if (d->onReadable)
            d->onReadable();
    }

    static void answerTimedOut(pa_mainloop_api *, pa_time_event *, const struct timeval *, void *self)
    {
        auto *d = static_cast<Opaque *>(self);
        d->timedOut = true;
        pa_threaded_mainloop_signal(d->loop, 0);
    }
};

bool PulseStream::Opaque::connect(Direction direction, const QByteArray &device, const pa_sample_spec &spec,
                                  qint64 latencyUs)
{
    if (!waitFor([this] { return pa_context_get_state(context) == PA_CONTEXT_READY; }))
        return false;
    const char *name = direction == Direction::Capture ? "Talvento Control capture" : "Talvento Control playback";
    stream = pa_stream_new(context, name, &spec, nullptr);
    if (!stream)
        return false;
    pa_stream_set_state_callback(stream, streamStateChanged, this);

    pa_buffer_attr attributes;
    attributes.maxlength = uint32_t(-1);
    attributes.tlength = uint32_t(-1);
    attributes.prebuf = uint32_t(-1);
    attributes.minreq = uint32_t(-1);
    attributes.fragsize = uint32_t(-1);
    const uint32_t latencyBytes = uint32_t(pa_usec_to_bytes(pa_usec_t(latencyUs), &spec));
    int result;
    if (direction == Direction::Capture) {
        attributes.fragsize = latencyBytes;
        pa_stream_set_read_callback(stream, capturedAudioWaits, this);
        result = pa_stream_connect_record(stream, device.constData(), &attributes, PA_STREAM_ADJUST_LATENCY);
    } else {
        attributes.tlength = latencyBytes;
        // Playback starts (and starts again after an underrun) once a quarter
        // of the queue is there, not all of it: a full queue before the first
        // sample plays would be latency for as long as the stream runs.
        attributes.prebuf = latencyBytes / 4;
        result = pa_stream_connect_playback(stream, device.constData(), &attributes, PA_STREAM_ADJUST_LATENCY,
                                            nullptr, nullptr);
    }
    if (result != 0 || !waitFor([this] { return pa_stream_get_state(stream) == PA_STREAM_READY; }))
        return false;
    // PipeWire's pulse server takes a device name as a wish: for a device it no longer has, the
    // stream comes up on the default one, where our audio does not belong.
    const char *connectedTo = pa_stream_get_device_name(stream);
    if (!device.isEmpty() && device != QByteArray(connectedTo ? connectedTo : "")) {
        elsewhere = connectedTo ? connectedTo : "";
        return false;
    }
    return true;
}

void PulseStream::Opaque::applyVolume()
{
    pa_cvolume levels;
    pa_cvolume_set(&levels, unsigned(channels), pa_sw_volume_from_linear(double(volume)));
    const uint32_t index = pa_stream_get_index(stream);
    pa_operation *operation = direction == Direction::Capture
        ? pa_context_set_source_output_volume(context, index, &levels, nullptr, nullptr)
        : pa_context_set_sink_input_volume(context, index, &levels, nullptr, nullptr);
    if (operation)
        pa_operation_unref(operation);
}

PulseStream::PulseStream()
    : d(std::make_unique<Opaque>())
{
}

PulseStream::~PulseStream()
{
    close();
}

bool PulseStream::open(Direction direction, const QString &device, const QAudioFormat &format, qint64 latencyUs,
                       std::function<void()> onReadable, QString *error)
{
    close();
    pa_sample_spec spec;
    spec.rate = uint32_t(format.sampleRate());
    spec.channels = uint8_t(format.channelCount());
    if (!sampleFormatOf(format, &spec.format) || !pa_sample_spec_valid(&spec)) {
        if (error)
            *error = QStringLiteral("unsupported audio format");
        return false;
    }

    d->direction = direction;
    d->channels = spec.channels;
    d->onReadable = std::move(onReadable);
    d->failed = false;
    d->timedOut = false;
    d->elsewhere.clear();
    d->loop = pa_threaded_mainloop_new();
    pa_mainloop_api *api = pa_threaded_mainloop_get_api(d->loop);
    d->context = pa_context_new(api, "Talvento Control");
    pa_context_set_state_callback(d->context, Opaque::contextStateChanged, d.get());

    bool connected = false;
    QString reason;
    if (pa_context_connect(d->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
        || pa_threaded_mainloop_start(d->loop) < 0) {
        reason = QString::fromUtf8(pa_strerror(pa_context_errno(d->context)));
    } else {
        LoopLocker lock(d->loop);
        pa_time_event *timeout = pa_context_rttime_new(d->context, pa_rtclock_now() + answerTimeoutUs,
                                                       Opaque::answerTimedOut, d.get());
        connected = d->connect(direction, device.toUtf8(), spec, latencyUs);
        if (!connected) {
            reason = d->timedOut              ? QStringLiteral("the sound server did not answer")
                : !d->elsewhere.isEmpty() ? QStringLiteral("no such device (the server offered %1 instead)")
                                                .arg(QString::fromUtf8(d->elsewhere))
                                          : QString::fromUtf8(pa_strerror(pa_context_errno(d->context)));
        } else if (d->volume != 1.0f) {
            d->applyVolume();
        }
        api->time_free(timeout);
    }
    if (!connected) {
        if (error)
            *error = reason;
        close();
    }
    return connected;
}

void PulseStream::close()
{
    if (!d->loop)
        return;
    {
        LoopLocker lock(d->loop);
        if (d->stream) {
            pa_stream_set_read_callback(d->stream, nullptr, nullptr);
            pa_stream_set_state_callback(d->stream, nullptr, nullptr);
            pa_stream_disconnect(d->stream);
            pa_stream_unref(d->stream);
            d->stream = nullptr;
        }
        pa_context_set_state_callback(d->context, nullptr, nullptr);
        pa_context_disconnect(d->context);
        pa_context_unref(d->context);
        d->context = nullptr;
    }
    pa_threaded_mainloop_stop(d->loop);
    pa_threaded_mainloop_free(d->loop);
    d->loop = nullptr;
    d->onReadable = nullptr;
}

bool PulseStream::failed() const
{
    return d->failed;
}

QByteArray PulseStream::readAll()
{
    QByteArray captured;
    if (!d->stream)
        return captured;
    LoopLocker lock(d->loop);
    for (;;) {
        const void *data = nullptr;
        size_t size = 0;
        if (pa_stream_peek(d->stream, &data, &size) < 0 || size == 0)
            break;
        // A hole in the capture becomes silence of its length, so that time keeps its place.
        if (data)
            captured.append(static_cast<const char *>(data), qsizetype(size));
        else
            captured.append(qsizetype(size), '\0');
        pa_stream_drop(d->stream);
    }
    return captured;
}

qint64 PulseStream::writableBytes() const
{
    if (!d->stream)
        return -1;
    LoopLocker lock(d->loop);
    const size_t size = pa_stream_writable_size(d->stream);
    return size == size_t(-1) ? -1 : qint64(size);
}

qint64 PulseStream::write(const char *data, qint64 size)
{
    if (!d->stream)
        return -1;
    LoopLocker lock(d->loop);
    return pa_stream_write(d->stream, data, size_t(size), nullptr, 0, PA_SEEK_RELATIVE) < 0 ? -1 : size;
}

void PulseStream::setVolume(float volume)
{
    d->volume = qBound(0.0f, volume, 1.0f);
    if (!d->stream)
        return;
    LoopLocker lock(d->loop);
    d->applyVolume();
}

float PulseStream::volume() const
{
    return d->volume;
}
