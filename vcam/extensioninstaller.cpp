// Making the virtual camera available. The shared-memory camera is created
// here; the v4l2loopback node comes from the package, which ships the module's
// options and loads it (see resources/desktop).

#include "vcam/vcam.h"

#include "camera/capturesession.h"
#include "vcam/sharedframering.h"
#include "vcam/virtualcamera.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTimer>

namespace {

const char bundleIdentifier[] = "com.morvik.Talvento.extension";

std::atomic<bool> g_installed = false;
QString g_lastErrorMsg;
std::function<void(int)> g_pendingResult = [](int) {};

/// Delivers a result to the latest request's callback on the GUI thread.
void deliver(int result)
{
    QTimer::singleShot(0, qApp, [result] { g_pendingResult(result); });
}

} // namespace

bool VCam::isExtensionInstalled()
{
    if (g_installed)
        return true;
    virtualcamera::publish();
    for (const CameraDevice &camera : CaptureSession::availableCameras()) {
        if (camera.localizedName.contains(QLatin1String("Talvento Control"), Qt::CaseInsensitive)
            && getExtensionDeviceId() != 0) {
            g_installed = true;
            return true;
        }
    }
    return false;
}

void VCam::installExtension(std::function<void(int)> callback)
{
    if (g_installed) {
        QTimer::singleShot(0, qApp, [callback] { callback(1); });
        return;
    }
    qDebug() << "Installing extension" << bundleIdentifier;
    g_pendingResult = std::move(callback);
    virtualcamera::publish();
    if (!virtualcamera::isPublished()) {
        g_lastErrorMsg = QStringLiteral("The shared-memory camera could not be created.");
        deliver(0);
        return;
    }
    deliver(1);
}

void VCam::uninstallExtension(std::function<void(int)> callback)
{
    qDebug() << "Uninstalling extension" << bundleIdentifier;
    g_pendingResult = std::move(callback);
    virtualcamera::withdraw();
    SharedFrameRing::unlink();
    g_installed = false;
    deliver(1);
}

QString VCam::lastErrorMessage()
{
    return g_lastErrorMsg;
}
