#pragma once

#include <QObject>
#include <QRecursiveMutex>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class BaseSettings;
class PostProcessor;
class QTimer;
class Worker;

/// The virtual camera feed: captures the product camera at 1280x720, runs each
/// frame through the post-processor and hands the result to the virtual
/// camera's sink stream, while some application uses the virtual camera.
class VCam : public QObject
{
    Q_OBJECT
public:
    VCam(BaseSettings *settings, QObject *parent);
    ~VCam() override;

    /// The effects of the feed; the settings window edits them here.
    PostProcessor *postProcessor() const { return m_postProcessor.get(); }

    // Installing the virtual camera device (the v4l2loopback node "Talvento
    // Control"). Results: 0 failed, 1 done, 2 needs a restart, 3 needs the
    // user's action; lastErrorMessage() says what happened. `progress`
    // receives percentages while a package installs. Callbacks run on the GUI
    // thread.
    static bool isExtensionInstalled();
    static void installExtension(std::function<void(int)> callback, std::function<void(int)> progress = {});
    static void uninstallExtension(std::function<void(int)> callback);
    static QString lastErrorMessage();

public slots:
    // GUI thread or the worker.
    virtual bool start();
    virtual bool startGrabber();
    virtual void stopGrabber();
    virtual void stop();
    virtual bool isGrabberRunning();
    virtual bool clientsConnected() const;
    virtual void setClientsConnected(bool connected);
    /// Readers other than this process's own preview: another application (a call) uses the
    /// virtual camera. Follows every client check.
    bool otherReadersConnected() const;

signals:
    void onMessage(QString msg);
    void onNewFrameAvailable();
    void onReconnecting(bool status);
    void onClientsConnectedChanged(bool connected);
    void onOtherReadersChanged(bool connected);

private:
    struct Opaque;
    void onFrame();
    void processFrame();
    void checkClients();
    void onCamerasChanged();

    std::shared_ptr<Opaque> m_opaque;
    QRecursiveMutex m_lock;
    QSharedPointer<Worker> m_worker;
    std::shared_ptr<PostProcessor> m_postProcessor;
    QTimer *m_clientTimer = nullptr;
    int m_watcherId = 0;
    std::atomic<qint64> m_lastFrameTime = 0;
    std::atomic<bool> m_clientsConnected = true;
    std::atomic<bool> m_otherReaders = false;
};

/// The virtual camera device's id, or 0 when it is not published.
uint32_t getExtensionDeviceId();
