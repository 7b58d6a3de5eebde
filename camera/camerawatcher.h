#pragma once

#include <functional>

/// Camera arrival and removal. The kernel's device events for video nodes reach it through
/// udev's monitor (no polling), the simulated cameras through their plug seam; listeners are told
/// that the camera list changed and look at it again themselves. Any thread: listeners are called
/// on the thread that noticed the change and must only hand the news over.
namespace CameraWatcher {

using Listener = std::function<void()>;

/// Adds a listener and starts watching udev with the first one. The id removes it again.
int addListener(Listener listener);
/// After it returns the listener is not called any more.
void removeListener(int id);
/// Tells every listener that cameras came or went.
void notifyChanged();

} // namespace CameraWatcher
