#pragma once

#include "camera/capturesource.h"
#include "camera/frame.h"

#include <QImage>
#include <QRecursiveMutex>
#include <QSize>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

/// One capture session on one camera: streams 32-bit BGRA frames of exactly the requested size
/// on a capture thread, keeps only the newest frame and calls the handler for each. Owners fetch
/// the newest frame as a shared Frame (the virtual camera feed) or copied into a QImage (the
/// preview). Once stopped, a session cannot start again; owners make a new one.
class CaptureSession
{
public:
    using Handler = std::function<void()>;

    /// Stores the three; opens nothing yet.
    CaptureSession(Handler handler, CameraDevice device, QSize resolution);
    ~CaptureSession();
    CaptureSession(const CaptureSession &) = delete;
    CaptureSession &operator=(const CaptureSession &) = delete;

    // Camera list: any thread.
    /// Every provider's cameras, in a stable order: V4L2 devices, then simulated cameras (when
    /// on), then registered providers in registration order.
    static QList<CameraDevice> availableCameras();
    /// Adds a provider to the camera list (the shared-memory virtual camera joins this way).
    static void registerProvider(const std::shared_ptr<CameraProvider> &provider);
    static void unregisterProvider(const std::shared_ptr<CameraProvider> &provider);
    /// Lists the simulated cameras (the "Talvento Camera Pro" by default) or stops listing them.
    static void useSimulatedCameras(bool on);
    static bool simulatedCamerasInUse();

    // Control: any thread but the capture thread (the handler must not stop its own session).
    /// Opens the camera and starts the capture thread. False, with a log line, when the camera
    /// cannot be opened or offers no format we read.
    [[nodiscard]] bool startCapture();
    /// Stops and closes everything; final.
    void stopCapture();
    /// Stops (true) or restarts (false) the stream without closing the camera; nothing happens
    /// without a started session.
    void pauseCapture(bool pause);
    bool isRunning() const;
    const CameraDevice &device() const { return m_device; }

    // Frames: any thread; guarded by `mux`.
    /// The newest frame with its own reference, or null before the first.
    FrameRef grabBuffer();
    /// Copies the newest frame into `image`; true when `image` holds a picture afterwards.
    bool grabImage(QImage &image);
    /// Copies `frame` into `image` as Format_ARGB32, reusing the image's memory when its size and
    /// format already match.
    static void convertFrameToQImage(const Frame &frame, QImage &image);

private:
    void startThread();
    void stopThread();
    void captureLoop();

    Handler m_handler;
    mutable QRecursiveMutex mux; // the newest frame
    FrameRef m_lastFrame;
    QSize m_resolution;
    CameraDevice m_device;

    // Start, stop and pause are serialised by m_control; the capture thread never takes it.
    mutable std::mutex m_control;
    std::unique_ptr<CaptureSource> m_source;
    std::unique_ptr<FramePool> m_pool;
    std::thread m_thread;
    std::atomic<bool> m_stopThread { false }; // written by control, read by the capture loop
    std::atomic<bool> m_streaming {
        false
    }; // the capture thread runs; it clears this when the camera is lost
    bool m_stopped = false;
};
