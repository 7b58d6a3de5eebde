#include "vcam/pipewireoutput.h"

#include "vcam/sharedframering.h"

#include <QDebug>

#include <pipewire/pipewire.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <cstring>
#include <map>
#include <set>
#include <mutex>

namespace {

constexpr int Width = SharedFrameRing::Width;
constexpr int Height = SharedFrameRing::Height;
constexpr int FrameRate = 30;
constexpr char NodeName[] = "talvento_control_camera";
// The formats offered, in order of preference: what call applications read first.
constexpr spa_video_format Formats[] = {SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_BGRx};

int strideOf(uint32_t format)
{
    return format == SPA_VIDEO_FORMAT_YUY2 ? Width * 2 : Width * 4;
}

const spa_pod *formatParam(spa_pod_builder &b, spa_video_format format)
{
    spa_rectangle size {Width, Height};
    spa_fraction rate {FrameRate, 1};
    return static_cast<const spa_pod *>(spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format), SPA_FORMAT_VIDEO_size,
        SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
}

const spa_pod *buffersParam(spa_pod_builder &b, int stride)
{
    return static_cast<const spa_pod *>(spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamBuffers,
        SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks,
        SPA_POD_Int(1), SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * Height), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
}

void fill(const Frame &frame, uint32_t format, uint8_t *out, int stride)
{
    if (format == SPA_VIDEO_FORMAT_YUY2) {
        virtualcamera::convertBgraToYuyv(frame, out, stride);
        return;
    }
    for (int y = 0; y < Height; ++y)
        std::memcpy(out + size_t(y) * stride, frame.row(y), size_t(Width) * 4);
}

} // namespace

struct PipeWireOutput::Opaque
{
    std::function<void()> onClientsChanged;
    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;

    // The connection: used with the loop locked only (the loop's own callbacks hold it).
    pw_core *core = nullptr;
    pw_registry *registry = nullptr;
    pw_stream *stream = nullptr;
    spa_hook coreListener {};
    spa_hook registryListener {};
    spa_hook streamListener {};
    bool lost = false;
    bool absenceLogged = false;
    bool published = false; // the publishing line was logged for this connection
    uint32_t format = SPA_VIDEO_FORMAT_UNKNOWN;
    bool streaming = false;
    std::map<uint32_t, uint32_t> linkSources; // every link's id -> the node it reads from
    std::set<uint32_t> cameraNodes;           // the nodes named like ours that the server lists

    /// Our node's id once the server lists it under that id, else SPA_ID_INVALID. Asked each
    /// time: the stream learns its id some time after it is connected.
    uint32_t nodeId() const
    {
        const uint32_t id = stream && !lost ? pw_stream_get_node_id(stream) : SPA_ID_INVALID;
        return cameraNodes.count(id) ? id : SPA_ID_INVALID;
    }

    int readers() const
    {
        const uint32_t ours = nodeId();
        if (ours == SPA_ID_INVALID)
            return 0;
        int count = 0;
        for (const auto &[link, node] : linkSources)
            count += node == ours ? 1 : 0;
        return count;
    }

    void notifyClients()
    {
        if (onClientsChanged)
            onClientsChanged();
    }

    bool connect();
    void disconnect();
    /// Logs the node's id once the server lists it.
    void announce();

    static void onCoreError(void *data, uint32_t id, int seq, int res, const char *message);
    static void onGlobal(void *data, uint32_t id, uint32_t permissions, const char *type, uint32_t version,
                         const spa_dict *props);
    static void onGlobalRemove(void *data, uint32_t id);
    static void onStateChanged(void *data, pw_stream_state old, pw_stream_state state, const char *error);
    static void onParamChanged(void *data, uint32_t id, const spa_pod *param);
};

bool PipeWireOutput::Opaque::connect()
{
    static const pw_core_events coreEvents = [] {
        pw_core_events events {};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = onCoreError;
        return events;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events {};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = onGlobal;
        events.global_remove = onGlobalRemove;
        return events;
    }();
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events {};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = onStateChanged;
        events.param_changed = onParamChanged;
        return events;
    }();
    core = pw_context_connect(context, nullptr, 0);
    if (!core) {
        if (!absenceLogged)
            qInfo() << "VirtualCamera -> no PipeWire server (" << strerror(errno)
                    << "): the PipeWire camera is not published";
        absenceLogged = true;
        return false;
    }
    absenceLogged = false;
    lost = false;
    pw_core_add_listener(core, &coreListener, &coreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &registryEvents, this);

    stream = pw_stream_new(core, "talvento-control-camera",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                                             PW_KEY_NODE_NAME, NodeName, PW_KEY_NODE_DESCRIPTION,
                                             "Talvento Control", nullptr));
    if (!stream) {
        qWarning() << "VirtualCamera -> cannot create the PipeWire stream:" << strerror(errno);
        disconnect();
        return false;
    }
    pw_stream_add_listener(stream, &streamListener, &streamEvents, this);
    uint8_t storage[1024];
    spa_pod_builder b;
    spa_pod_builder_init(&b, storage, sizeof storage);
    const spa_pod *params[std::size(Formats)];
    for (size_t i = 0; i < std::size(Formats); ++i)
        params[i] = formatParam(b, Formats[i]);
    const int res = pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                      pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params,
                                      std::size(Formats));
    if (res < 0) {
        qWarning() << "VirtualCamera -> cannot connect the PipeWire stream:" << strerror(-res);
        disconnect();
        return false;
    }
    return true;
}

void PipeWireOutput::Opaque::disconnect()
{
    if (stream)
        pw_stream_destroy(stream);
    if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(registry));
    }
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
    }
    stream = nullptr;
    registry = nullptr;
    core = nullptr;
    published = false;
    format = SPA_VIDEO_FORMAT_UNKNOWN;
    streaming = false;
    linkSources.clear();
    cameraNodes.clear();
}

void PipeWireOutput::Opaque::onCoreError(void *data, uint32_t id, int, int res, const char *message)
{
    auto *self = static_cast<Opaque *>(data);
    if (id != PW_ID_CORE || res != -EPIPE) {
        qWarning() << "VirtualCamera -> PipeWire error on object" << id << ":" << message;
        return;
    }
    // The server went away: what was published is gone with it.
    const bool hadReaders = self->readers() > 0;
    self->lost = true;
    self->streaming = false;
    qWarning() << "VirtualCamera -> the PipeWire server went away; the camera is published again when it is back";
    if (hadReaders)
        self->notifyClients();
}

void PipeWireOutput::Opaque::onGlobal(void *data, uint32_t id, uint32_t, const char *type, uint32_t,
                                      const spa_dict *props)
{
    auto *self = static_cast<Opaque *>(data);
    if (!props)
        return;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char *name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        if (name && std::strcmp(name, NodeName) == 0)
            self->cameraNodes.insert(id);
        self->announce();
        return;
    }
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0)
        return;
    const char *source = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
    if (!source)
        return;
    const uint32_t node = uint32_t(std::strtoul(source, nullptr, 10));
    self->linkSources[id] = node;
    if (node == self->nodeId())
        self->notifyClients();
}

void PipeWireOutput::Opaque::onGlobalRemove(void *data, uint32_t id)
{
    auto *self = static_cast<Opaque *>(data);
    self->cameraNodes.erase(id);
    const auto link = self->linkSources.find(id);
    if (link == self->linkSources.end())
        return;
    const bool ours = link->second == self->nodeId();
    self->linkSources.erase(link);
    if (ours)
        self->notifyClients();
}

void PipeWireOutput::Opaque::onStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
{
    auto *self = static_cast<Opaque *>(data);
    self->streaming = state == PW_STREAM_STATE_STREAMING;
    if (state == PW_STREAM_STATE_ERROR) {
        qWarning() << "VirtualCamera -> the PipeWire camera failed:" << (error ? error : "");
        return;
    }
    self->announce();
}

void PipeWireOutput::Opaque::announce()
{
    const uint32_t id = nodeId();
    if (published || id == SPA_ID_INVALID)
        return;
    published = true;
    qInfo() << "VirtualCamera -> published the PipeWire camera \"Talvento Control\" as node" << id;
    // Links made before the id was known count from now on.
    if (readers() > 0)
        notifyClients();
}

void PipeWireOutput::Opaque::onParamChanged(void *data, uint32_t id, const spa_pod *param)
{
    auto *self = static_cast<Opaque *>(data);
    if (id != SPA_PARAM_Format || !param)
        return;
    spa_video_info_raw info {};
    if (spa_format_video_raw_parse(param, &info) < 0)
        return;
    self->format = info.format;
    uint8_t storage[256];
    spa_pod_builder b;
    spa_pod_builder_init(&b, storage, sizeof storage);
    const spa_pod *buffers = buffersParam(b, strideOf(info.format));
    pw_stream_update_params(self->stream, &buffers, 1);
}

PipeWireOutput::PipeWireOutput(std::function<void()> onClientsChanged)
    : m_opaque(std::make_unique<Opaque>())
{
    static std::once_flag library;
    std::call_once(library, [] { pw_init(nullptr, nullptr); });
    Opaque &o = *m_opaque;
    o.onClientsChanged = std::move(onClientsChanged);
    o.loop = pw_thread_loop_new("talvento-pw", nullptr);
    o.context = o.loop ? pw_context_new(pw_thread_loop_get_loop(o.loop), nullptr, 0) : nullptr;
    if (!o.context || pw_thread_loop_start(o.loop) < 0) {
        qWarning() << "VirtualCamera -> cannot start a PipeWire loop: the PipeWire camera is not published";
        return;
    }
    reconnectIfLost();
}

PipeWireOutput::~PipeWireOutput()
{
    Opaque &o = *m_opaque;
    if (o.loop) {
        pw_thread_loop_lock(o.loop);
        o.disconnect();
        pw_thread_loop_unlock(o.loop);
        pw_thread_loop_stop(o.loop);
    }
    if (o.context)
        pw_context_destroy(o.context);
    if (o.loop)
        pw_thread_loop_destroy(o.loop);
}

void PipeWireOutput::reconnectIfLost()
{
    Opaque &o = *m_opaque;
    if (!o.context)
        return;
    pw_thread_loop_lock(o.loop);
    if (!o.core || o.lost) {
        o.disconnect();
        o.connect();
    }
    pw_thread_loop_unlock(o.loop);
}

uint32_t PipeWireOutput::nodeId() const
{
    Opaque &o = *m_opaque;
    if (!o.context)
        return 0;
    pw_thread_loop_lock(o.loop);
    const uint32_t id = o.nodeId();
    pw_thread_loop_unlock(o.loop);
    return id == SPA_ID_INVALID ? 0 : id;
}

int PipeWireOutput::clientCount()
{
    Opaque &o = *m_opaque;
    if (!o.context)
        return 0;
    pw_thread_loop_lock(o.loop);
    const int count = o.readers();
    pw_thread_loop_unlock(o.loop);
    return count;
}

bool PipeWireOutput::write(const Frame &frame)
{
    if (frame.width() != Width || frame.height() != Height)
        return false;
    Opaque &o = *m_opaque;
    if (!o.context)
        return true;
    pw_thread_loop_lock(o.loop);
    pw_buffer *buffer = o.stream && o.streaming && !o.lost && o.format != SPA_VIDEO_FORMAT_UNKNOWN
        ? pw_stream_dequeue_buffer(o.stream)
        : nullptr;
    if (buffer) {
        spa_data &data = buffer->buffer->datas[0];
        const int stride = strideOf(o.format);
        const uint32_t size = uint32_t(stride) * Height;
        if (data.data && data.maxsize >= size) {
            fill(frame, o.format, static_cast<uint8_t *>(data.data), stride);
            data.chunk->offset = 0;
            data.chunk->stride = stride;
            data.chunk->size = size;
        } else {
            data.chunk->size = 0;
        }
        pw_stream_queue_buffer(o.stream, buffer);
        if (pw_stream_is_driving(o.stream))
            pw_stream_trigger_process(o.stream);
    }
    pw_thread_loop_unlock(o.loop);
    return true;
}
