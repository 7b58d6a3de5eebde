#include "app/wizardplatformdesktop.h"

#include "app/app.h"
#include "app/system/oshelper.h"
#include "audio/vmic.h"
#include "vcam/cameraextension.h"
#include "vcam/vcam.h"

#include <QTimer>

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
#include <QPermissions>
#endif

namespace {

App *app()
{
    return static_cast<App *>(qApp);
}

// Qt's permission API answers where Qt has it (6.5 and newer); Linux desktops
// grant the three devices without asking, which is also the answer on older Qt.
class DesktopWizardPlatform : public WizardPlatform
{
public:
    Status checkPermission(Permission permission) override
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
        switch (qApp->checkPermission(qtPermission(permission))) {
        case Qt::PermissionStatus::Granted:
            return Status::Granted;
        case Qt::PermissionStatus::Denied:
            return Status::Denied;
        case Qt::PermissionStatus::Undetermined:
            return Status::Undetermined;
        }
        return Status::Undetermined;
#else
        Q_UNUSED(permission)
        return Status::Granted;
#endif
    }

    void requestPermission(Permission permission, QObject *context, std::function<void()> answered) override
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
        qApp->requestPermission(qtPermission(permission), context,
                                [answered](const QPermission &) { answered(); });
#else
        Q_UNUSED(permission)
        // The answer arrives later, as the system's would.
        QTimer::singleShot(0, context, answered);
#endif
    }

    void openPermissionSettings(Permission permission) override
    {
        switch (permission) {
        case Permission::Camera:
            app()->openSystemCameraSettings();
            break;
        case Permission::Microphone:
            app()->openSystemMicrophoneSettings();
            break;
        case Permission::Bluetooth:
            app()->openSystemBluetoothSettings();
            break;
        }
    }

    // A simulated machine counts as one that was set up before: the application
    // installed, the camera driver present and the optional audio driver settled
    // (installed, or declined and then the application runs without the virtual
    // microphone). Demonstrations
    // and test runs from the build tree are not held at the wizard.
    bool isRunningFromApplicationsFolder() override
    {
        return app()->isSimulated() || app()->isRunningFromApplicationsFolder();
    }
    bool isInstalled() override { return app()->isInstalled(); }
    bool moveAppToApplications() override { return m_helper.moveAppToApplications(); }
    bool installAssetsPkg(const QString &resourcePath, const QString &target) override
    {
        return m_helper.installAssetsPkg(resourcePath, target, {});
    }

    // Another program's loopback module is left alone; the PipeWire camera then stands in for
    // our node, so the step is settled.
    bool isExtensionInstalled() override
    {
        return app()->isSimulated() || VCam::isExtensionInstalled() || cameraextension::otherLoopbackLoaded();
    }
    void installExtension(std::function<void(int)> done, std::function<void(int)> progress) override
    {
        VCam::installExtension(std::move(done), std::move(progress));
    }
    QString extensionMessage() override { return VCam::lastErrorMessage(); }
    void openExtensionSettings() override { app()->openSystemExtensionSettings(); }

    bool hasAudioDriver() override { return app()->isSimulated() || !VMic::getOutputDevice(false).isNull(); }

    QString defaultBrowser() override { return app()->getDefaultBrowserBundleId(); }
    void exitProcess(int code) override { ::exit(code); }

private:
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    static QPermission qtPermission(Permission permission)
    {
        switch (permission) {
        case Permission::Camera:
            return QCameraPermission();
        case Permission::Microphone:
            return QMicrophonePermission();
        case Permission::Bluetooth:
            return QBluetoothPermission();
        }
        return QCameraPermission();
    }
#endif

    // One administrator authorization for every install the wizard makes.
    OSHelper m_helper;
};

} // namespace

std::shared_ptr<WizardPlatform> createDesktopWizardPlatform()
{
    return std::make_shared<DesktopWizardPlatform>();
}
