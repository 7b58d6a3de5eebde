// Making the virtual camera device available: the v4l2loopback node labelled
// "Talvento Control", now and after every boot. The privileged steps (install
// the v4l2loopback-dkms package when the module is missing, load the module
// with our options, keep them for the next boot, and the way back) are the
// embedded script virtual_camera_module, run once through the privileged
// runner; its answer becomes the result code. The PipeWire and shared-memory
// cameras need no installation and do not count.

#include "vcam/cameraextension.h"
#include "vcam/loopbackoutput.h"
#include "vcam/vcam.h"

#include "app/system/oshelper.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QThread>
#include <QTimer>

namespace {

const char bundleIdentifier[] = "com.morvik.Talvento.extension";
const QString moduleScript = QStringLiteral(":/installer/linux/virtual_camera_module");

std::atomic<bool> g_installed = false;
QString g_lastErrorMsg;
std::function<void(int)> g_pendingResult = [](int) {};

QMutex g_systemLock;
cameraextension::System g_system;

cameraextension::System currentSystem()
{
    QMutexLocker lock(&g_systemLock);
    return g_system;
}

QString sysfs()
{
    const QString standIn = currentSystem().standIn;
    return standIn.isEmpty() ? QStringLiteral("/sys") : standIn + QStringLiteral("/sys");
}

/// Delivers a result and its message to the latest request's callback on the GUI thread.
void deliver(int result, const QString &message)
{
    QTimer::singleShot(0, qApp, [result, message] {
        g_lastErrorMsg = message;
        if (!message.isEmpty())
            qDebug().noquote() << "Camera extension:" << message;
        g_pendingResult(result);
    });
}

/// Runs the module script with `action` as administrator, off the GUI thread, and delivers
/// its answer. Progress lines go to `progress` on the GUI thread.
void runModuleScript(const QString &action, std::function<void(int)> progress)
{
    QThread *thread = QThread::create([action, progress = std::move(progress)] {
        const cameraextension::System system = currentSystem();
        OSHelper helper; // one authorization for the whole series of steps
        if (!system.standIn.isEmpty()) {
            helper.setElevator(system.elevator);
            if (!system.runner.isEmpty())
                helper.setRunnerPath(system.runner);
        }
        int result = -1;
        QStringList message;
        helper.setOutputHandler([&](const QString &line) {
            if (line.startsWith(QLatin1String("progress: "))) {
                const int percent = line.mid(10).toInt();
                if (progress)
                    QTimer::singleShot(0, qApp, [progress, percent] { progress(percent); });
            } else if (line.startsWith(QLatin1String("message: "))) {
                message << line.mid(9);
            } else if (line.startsWith(QLatin1String("result: "))) {
                result = line.mid(8).toInt();
            }
        });
        QList<QString> arguments;
        if (!system.standIn.isEmpty())
            arguments << QStringLiteral("--system") << system.standIn;
        const bool ran = helper.installAssetsPkg(moduleScript, action, arguments);
        if (!ran || result < 0 || result > 3) {
            if (message.isEmpty())
                message << QStringLiteral("The virtual camera's installer did not run to its end (the administrator's "
                                          "authorization was refused, or the installer failed).");
            result = 0;
        }
        deliver(result, message.join(QLatin1Char(' ')));
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

} // namespace

namespace cameraextension {

void setSystem(const System &system)
{
    QMutexLocker lock(&g_systemLock);
    g_system = system;
}

QString ourLoopbackNode()
{
    return LoopbackOutput::findNode(sysfs());
}

bool otherLoopbackLoaded()
{
    return QFileInfo::exists(sysfs() + QStringLiteral("/module/v4l2loopback")) && ourLoopbackNode().isEmpty();
}

} // namespace cameraextension

bool VCam::isExtensionInstalled()
{
    if (g_installed)
        return true;
    if (cameraextension::ourLoopbackNode().isEmpty())
        return false;
    g_installed = true;
    return true;
}

void VCam::installExtension(std::function<void(int)> callback, std::function<void(int)> progress)
{
    if (g_installed) {
        QTimer::singleShot(0, qApp, [callback] { callback(1); });
        return;
    }
    qDebug() << "Installing extension" << bundleIdentifier;
    g_pendingResult = std::move(callback);
    runModuleScript(QStringLiteral("install"), std::move(progress));
}

void VCam::uninstallExtension(std::function<void(int)> callback)
{
    qDebug() << "Uninstalling extension" << bundleIdentifier;
    g_pendingResult = std::move(callback);
    g_installed = false;
    runModuleScript(QStringLiteral("uninstall"), {});
}

QString VCam::lastErrorMessage()
{
    return g_lastErrorMsg;
}
