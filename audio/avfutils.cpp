#include "audio/avfutils.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QList>

#include <pulse/pulseaudio.h>

#include <functional>
#include <optional>

namespace AVFUtils {

namespace {

// Device ids are the server's object index plus one, so that 0 stays "no device".
uint32_t toDeviceId(uint32_t index)
{
    return index + 1;
}

uint32_t toIndex(uint32_t deviceId)
{
    return deviceId - 1;
}

/// One blocking conversation with the sound server, 5 s at most in all (the
/// time limit of the audio streams): a server that accepts the connection but
/// never answers makes it fail with PA_ERR_TIMEOUT instead of holding the
/// caller, which may be the GUI thread.
class Connection
{
public:
    static constexpr int timeLimitMs = 5000;

    Connection()
        : m_loop(pa_mainloop_new())
        , m_deadline(timeLimitMs)
    {
        m_context = pa_context_new(pa_mainloop_get_api(m_loop), "talvento-control-volume");
        if (!m_context || pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return;
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(m_context);
            if (state == PA_CONTEXT_READY) {
                m_ready = true;
                return;
            }
            if (!PA_CONTEXT_IS_GOOD(state) || !iterate())
                return;
        }
    }

    ~Connection()
    {
        if (m_context) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        pa_mainloop_free(m_loop);
    }

    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool isReady() const { return m_ready; }
    pa_context *context() const { return m_context; }
    int error() const
    {
        if (m_timedOut)
            return PA_ERR_TIMEOUT;
        return m_context ? pa_context_errno(m_context) : PA_ERR_CONNECTIONREFUSED;
    }

    /// Runs the loop until `operation` is done. False when the server went
    /// away or the time is up (the operation is then cancelled).
    bool wait(pa_operation *operation)
    {
        if (!operation)
            return false;
        bool ok = true;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            if (!iterate()) {
                pa_operation_cancel(operation);
                ok = false;
                break;
            }
        }
        pa_operation_unref(operation);
        return ok;
    }

private:
    /// One pass of the loop, waiting no longer than the time that is left.
    bool iterate()
    {
        const qint64 left = m_deadline.remainingTime();
        if (left == 0) {
            m_timedOut = true;
            return false;
        }
        return pa_mainloop_prepare(m_loop, int(left * 1000)) >= 0 && pa_mainloop_poll(m_loop) >= 0
            && pa_mainloop_dispatch(m_loop) >= 0;
    }

    pa_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    QDeadlineTimer m_deadline;
    bool m_ready = false;
    bool m_timedOut = false;
};

struct DeviceState
{
    uint32_t index = PA_INVALID_INDEX;
    QString name;
    pa_cvolume volume{};
    bool mute = false;
};

struct ListRequest
{
    QList<DeviceState> devices;
};

template<typename Info>
void collect(pa_context *, const Info *info, int eol, void *userdata)
{
    if (eol != 0 || !info)
        return;
    DeviceState state;
    state.index = info->index;
    state.name = QString::fromUtf8(info->description ? info->description : "");
    state.volume = info->volume;
    state.mute = info->mute != 0;
    static_cast<ListRequest *>(userdata)->devices << state;
}

QList<DeviceState> listDevices(Connection &connection, bool input)
{
    ListRequest request;
    pa_operation *operation = input
        ? pa_context_get_source_info_list(connection.context(), collect<pa_source_info>, &request)
        : pa_context_get_sink_info_list(connection.context(), collect<pa_sink_info>, &request);
    connection.wait(operation);
    return request.devices;
}

std::optional<DeviceState> deviceState(Connection &connection, uint32_t deviceId, bool input)
{
    ListRequest request;
    pa_operation *operation = input
        ? pa_context_get_source_info_by_index(connection.context(), toIndex(deviceId), collect<pa_source_info>, &request)
        : pa_context_get_sink_info_by_index(connection.context(), toIndex(deviceId), collect<pa_sink_info>, &request);
    if (!connection.wait(operation) || request.devices.isEmpty())
        return std::nullopt;
    return request.devices.first();
}

void storeSuccess(pa_context *, int success, void *userdata)
{
    *static_cast<bool *>(userdata) = success != 0;
}

/// Sends one change and waits for the server's answer.
bool change(Connection &connection, const std::function<pa_operation *(bool *succeeded)> &send)
{
    bool succeeded = false;
    return connection.wait(send(&succeeded)) && succeeded;
}

} // namespace

uint32_t getAudioDeviceIdByName(QString name, bool input)
{
    Connection connection;
    if (!connection.isReady()) {
        qDebug() << "Failed to get data size, status:" << pa_strerror(connection.error());
        return 0;
    }
    const QList<DeviceState> devices = listDevices(connection, input);
    for (const DeviceState &device : devices) {
        const QString deviceName = device.name.trimmed();
        if (!deviceName.isEmpty() && deviceName.startsWith(name, Qt::CaseInsensitive))
            return toDeviceId(device.index);
    }
    return 0;
}

bool setAudioVolume(uint32_t deviceId, float volume, bool input)
{
    Connection connection;
    const std::optional<DeviceState> state = connection.isReady() && deviceId != 0
        ? deviceState(connection, deviceId, input) : std::nullopt;
    if (!state) {
        qDebug() << "Failed to set volume, status:" << pa_strerror(connection.error());
        return false;
    }
    pa_cvolume target = state->volume;
    pa_cvolume_set(&target, target.channels, pa_volume_t(qMax(0.0f, volume) * PA_VOLUME_NORM + 0.5f));
    const bool ok = change(connection, [&](bool *succeeded) {
        return input ? pa_context_set_source_volume_by_index(connection.context(), toIndex(deviceId), &target,
                                                             storeSuccess, succeeded)
                     : pa_context_set_sink_volume_by_index(connection.context(), toIndex(deviceId), &target,
                                                           storeSuccess, succeeded);
    });
    if (!ok)
        qDebug() << "Failed to set volume, status:" << pa_strerror(connection.error());
    return ok;
}

bool getAudioVolume(uint32_t deviceId, float &volume, bool input)
{
    Connection connection;
    const std::optional<DeviceState> state = connection.isReady() && deviceId != 0
        ? deviceState(connection, deviceId, input) : std::nullopt;
    if (!state) {
        qDebug() << "Failed to get volume, status:" << pa_strerror(connection.error());
        return false;
    }
    volume = float(pa_cvolume_avg(&state->volume)) / float(PA_VOLUME_NORM);
    return true;
}

bool setAudioMute(uint32_t deviceId, bool mute, bool input)
{
    Connection connection;
    const bool ok = connection.isReady() && deviceId != 0 && change(connection, [&](bool *succeeded) {
        return input ? pa_context_set_source_mute_by_index(connection.context(), toIndex(deviceId), mute,
                                                           storeSuccess, succeeded)
                     : pa_context_set_sink_mute_by_index(connection.context(), toIndex(deviceId), mute,
                                                         storeSuccess, succeeded);
    });
    if (!ok)
        qDebug() << "Failed to set mute, status:" << pa_strerror(connection.error());
    return ok;
}

bool getAudioMute(uint32_t deviceId, bool &mute, bool input)
{
    Connection connection;
    const std::optional<DeviceState> state = connection.isReady() && deviceId != 0
        ? deviceState(connection, deviceId, input) : std::nullopt;
    if (!state) {
        qDebug() << "Failed to get mute, status:" << pa_strerror(connection.error());
        return false;
    }
    mute = state->mute;
    return true;
}

namespace {

/// Looks the trimmed name up in the scope; logs and gives 0 when it is absent.
uint32_t findOrLog(const QString &name, bool input)
{
    const uint32_t id = getAudioDeviceIdByName(name.trimmed(), input);
    if (id == 0)
        qDebug() << "Device not found:" << name;
    return id;
}

} // namespace

bool setDeviceVolumeByName(QString name, float volume, bool input)
{
    const uint32_t id = findOrLog(name, input);
    return id != 0 && setAudioVolume(id, volume, input);
}

bool getDeviceVolumeByName(QString name, float &volume, bool input)
{
    const uint32_t id = findOrLog(name, input);
    return id != 0 && getAudioVolume(id, volume, input);
}

bool setDeviceMuteByName(QString name, bool mute, bool input)
{
    const uint32_t id = findOrLog(name, input);
    return id != 0 && setAudioMute(id, mute, input);
}

bool getDeviceMuteByName(QString name, bool &mute, bool input)
{
    const uint32_t id = findOrLog(name, input);
    return id != 0 && getAudioMute(id, mute, input);
}

bool isDeviceAvailable(QString name, bool input)
{
    return findOrLog(name, input) != 0;
}

} // namespace AVFUtils
