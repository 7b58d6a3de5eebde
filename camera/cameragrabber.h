#pragma once

#include "app/core/camerasetting.h"
#include "camera/camerasettingskeeper.h"
#include "camera/uvc/controls.h"

#include <QImage>
#include <QObject>
#include <QRecursiveMutex>
#include <QSharedPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QTimer;
class Worker;

/// The application's front end to the physical camera: one capture session on the camera the
/// user picked, preview frames on request, and the camera's image controls through the UVC
/// facade (found by the product camera's location id). A camera that is unplugged or whose
/// stream ends is dropped (the grabber stops running) and opened again by itself when it comes
/// back, until stopCamera. The settings written through it are kept and written again when the
/// camera comes back, after a resume from suspend, when a stream starts on it, and when its
/// values change behind our back.
class CameraGrabber : public QObject
{
    Q_OBJECT
public:
    explicit CameraGrabber(QObject *parent = nullptr);
    ~CameraGrabber() override;

    /// Asks the platform for camera access and logs the answer.
    static void requestCameraAccess();
    /// The names of the cameras in capture-layer order; an index here is what startCamera takes.
    static QStringList getDevicesList();

    // Any thread; each call holds m_mutex for its whole duration.
    /// Opens camera `index`, or the camera named `description` when the names differ, at
    /// width x |height|. False when no camera or no control device could be selected; true once
    /// a session was created, whether or not it started.
    bool startCamera(int width, int height, int index, const QString &description);
    void stopCamera();
    bool isRunning();
    /// Resume or pause the running session.
    void startPreview();
    void stopPreview();
    bool isPreviewing();

    /// Copies the newest frame into `image` on the worker thread and then calls done(ok) there.
    /// At most two requests wait; a further one is dropped with a warning and never calls done.
    void getFrame(QImage &image, std::function<void(bool)> done);

    // Image controls. A getter fills `setting` and returns true when the camera answered; with
    // the camera stopped it fills the typical ranges and returns false. A setter writes the
    // automatic mode and, when that is off, the value.
    bool getBrightness(CameraSetting &setting);
    bool setBrightness(long value, bool autoMode);
    bool getContrast(CameraSetting &setting);
    bool setContrast(long value, bool autoMode);
    bool getExposure(CameraSetting &setting);
    bool setExposure(long value, bool autoMode);
    bool getSaturation(CameraSetting &setting);
    bool setSaturation(long value, bool autoMode);
    bool getSharpness(CameraSetting &setting);
    bool setSharpness(long value, bool autoMode);
    bool getZoom(CameraSetting &setting);
    bool setZoom(long value, bool autoMode);
    bool getWhiteBalance(CameraSetting &setting);
    bool setWhiteBalance(long value, bool autoMode);
    bool getFocus(CameraSetting &setting);
    bool setFocus(long value, bool autoMode);
    bool getBacklightCompensation(CameraSetting &setting);
    bool setBacklightCompensation(long value, bool autoMode);
    bool getPowerLine(CameraSetting &setting);
    bool setPowerLine(long value, bool autoMode);

signals:
    /// Once per captured frame, from the capture thread.
    void onNewFrameAvailable();

    // A broadcast channel for the settings window: it emits these after reading a control.
    void onBrightness(long value, bool autoMode);
    void onContrast(long value, bool autoMode);
    void onExposure(long value, bool autoMode);
    void onSaturation(long value, bool autoMode);
    void onSharpness(long value, bool autoMode);
    void onZoom(long value, bool autoMode);
    void onWhiteBalance(long value, bool autoMode);
    void onFocus(long value, bool autoMode);
    void onBacklightCompensation(long value, bool autoMode);
    void onPowerLine(long value, bool autoMode);

private slots:
    /// logind's signal around suspend; false: the computer woke up.
    void onPrepareForSleep(bool sleeping);

private:
    enum class Control {
        Brightness,
        Contrast,
        Exposure,
        Saturation,
        Sharpness,
        Zoom,
        WhiteBalance,
        Focus,
        BacklightCompensation,
        PowerLine
    };

    /// What startCamera was asked for; kept until stopCamera.
    struct Request
    {
        int width;
        int height;
        int index;
        QString description;
    };

    bool getControl(Control control, CameraSetting &setting);
    bool setControl(Control control, long value, bool autoMode);
    void pause(bool paused);
    // Under m_mutex.
    bool open(const Request &request);
    void loseCamera(const char *reason);
    void resume();
    // Worker thread.
    void onCamerasChanged();
    void supervise();
    /// Writes the kept settings again for `occasion` (for the log), or, with no occasion, reads
    /// them back and restores those the camera changed. Under m_mutex.
    void keepSettings(const QString &occasion);

    struct Opaque; // defined in cameragrabber.cpp
    std::shared_ptr<Opaque> m_opaque; // set exactly while the camera runs
    QRecursiveMutex m_mutex;
    QSharedPointer<Worker> m_worker;
    std::optional<Request> m_wanted; // the camera to keep open, until stopCamera
    int m_watcherId = 0;
    QTimer *m_supervision = nullptr; // lives on the worker thread
    CameraSettingsKeeper m_keeper;
    // The control camera the kept settings belong to, while it is attached: found when a camera
    // is opened and when cameras come or go, so the settings are kept with the window closed.
    std::optional<uvc::Device> m_keptDevice;
    QString m_keptCameraId;
};
