#pragma once

#include <QString>

#include <functional>

/// Camera arrival and removal, and streams starting. The kernel's device events for video nodes reach it through
/// udev's monitor (no polling), the simulated cameras through their plug seam; listeners are told
/// that the camera list changed and look at it again themselves. Any thread: listeners are called
/// on the thread that noticed the change and must only hand the news over.
namespace CameraWatcher {

enum class Event {
    CamerasChanged, // cameras came or went
    StreamStarted, // a capture stream started on the camera of that unique id
};
using Listener = std::function<void(Event event, const QString &uniqueId)>;

/// Adds a listener and starts watching udev with the first one. The id removes it again.
int addListener(Listener listener);
/// After it returns the listener is not called any more.
void removeListener(int id);
/// Tells every listener that cameras came or went.
void notifyChanged();
/// Tells every listener that a stream started on the camera with this unique id (many cameras
/// reset their controls then).
void notifyStreamStarted(const QString &uniqueId);

} // namespace CameraWatcher
