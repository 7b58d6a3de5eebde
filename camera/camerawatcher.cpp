#include "camera/camerawatcher.h"

#include <QDebug>

#include <libudev.h>

#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

/// udev's monitor of the video4linux subsystem on a thread of its own; an eventfd ends it.
class UdevMonitor
{
public:
    UdevMonitor()
    {
        m_udev = udev_new();
        m_monitor = m_udev ? udev_monitor_new_from_netlink(m_udev, "udev") : nullptr;
        m_stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (!m_monitor || m_stop < 0
            || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "video4linux", nullptr) < 0
            || udev_monitor_enable_receiving(m_monitor) < 0) {
            qDebug() << "CameraWatcher -> no udev device events here; cameras are found when"
                        " the camera list is read";
            return;
        }
        m_thread = std::thread([this] { run(); });
    }

    ~UdevMonitor()
    {
        if (m_thread.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_stop, &one, sizeof one);
            m_thread.join();
        }
        if (m_stop >= 0)
            ::close(m_stop);
        if (m_monitor)
            udev_monitor_unref(m_monitor);
        if (m_udev)
            udev_unref(m_udev);
    }

private:
    void run()
    {
        pthread_setname_np(pthread_self(), "camerawatch");
        pollfd fds[2] = { { udev_monitor_get_fd(m_monitor), POLLIN, 0 }, { m_stop, POLLIN, 0 } };
        while (::poll(fds, 2, -1) >= 0 || errno == EINTR) {
            if (fds[1].revents & POLLIN)
                return;
            if (!(fds[0].revents & POLLIN))
                continue;
            udev_device *device = udev_monitor_receive_device(m_monitor);
            if (!device)
                continue;
            const char *action = udev_device_get_action(device);
            const char *node = udev_device_get_devnode(device);
            qDebug() << "CameraWatcher ->" << (action ? action : "?") << (node ? node : "?");
            udev_device_unref(device);
            CameraWatcher::notifyChanged();
        }
    }

    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    int m_stop = -1;
    std::thread m_thread;
};

struct Listeners
{
    // Held while listeners run, so removeListener waits for a call in progress.
    std::recursive_mutex mutex;
    std::map<int, CameraWatcher::Listener> listeners;
    int nextId = 1;
};

Listeners &listeners()
{
    static Listeners l;
    return l;
}

} // namespace

int CameraWatcher::addListener(Listener listener)
{
    static UdevMonitor monitor; // the first listener starts watching, for the life of the process
    Listeners &l = listeners();
    const std::lock_guard lock(l.mutex);
    l.listeners.emplace(l.nextId, std::move(listener));
    return l.nextId++;
}

void CameraWatcher::removeListener(int id)
{
    Listeners &l = listeners();
    const std::lock_guard lock(l.mutex);
    l.listeners.erase(id);
}

namespace {

void notify(CameraWatcher::Event event, const QString &uniqueId)
{
    Listeners &l = listeners();
    const std::lock_guard lock(l.mutex);
    for (const auto &[id, listener] : l.listeners)
        listener(event, uniqueId);
}

} // namespace

void CameraWatcher::notifyChanged()
{
    notify(Event::CamerasChanged, {});
}

void CameraWatcher::notifyStreamStarted(const QString &uniqueId)
{
    notify(Event::StreamStarted, uniqueId);
}
