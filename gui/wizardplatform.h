#pragma once

#include <QString>

#include <functional>
#include <memory>

class QObject;

/// What the setup wizard asks of the system: the three device permissions, the
/// virtual camera and audio driver installs, moving the application into its
/// installation folder and the desktop's settings pages.
class WizardPlatform
{
public:
    enum class Permission { Camera, Microphone, Bluetooth };
    enum class Status { Undetermined, Granted, Denied };

    virtual ~WizardPlatform() = default;

    virtual Status checkPermission(Permission permission) = 0;
    /// Asks the system; `answered` runs on the GUI thread with `context` alive.
    virtual void requestPermission(Permission permission, QObject *context, std::function<void()> answered) = 0;
    /// Opens the desktop's settings page where a refused permission is granted.
    virtual void openPermissionSettings(Permission permission) = 0;

    virtual bool isRunningFromApplicationsFolder() = 0;
    virtual bool isInstalled() = 0;
    /// Copies the application into its installation folder and ends this process;
    /// returns only on failure.
    virtual bool moveAppToApplications() = 0;
    /// Installs an embedded package or installer script as administrator. One
    /// platform object asks for the administrator's rights once.
    virtual bool installAssetsPkg(const QString &resourcePath, const QString &target) = 0;

    virtual bool isExtensionInstalled() = 0;
    /// `done` receives 0 failed, 1 done, 2 needs a restart, 3 needs the user's action;
    /// `progress` percentages while a package installs. Both run on the GUI thread.
    virtual void installExtension(std::function<void(int)> done, std::function<void(int)> progress) = 0;
    /// What the last extension install reported: why it failed, what the user must do, or
    /// that the camera reaches applications another way. Empty when there is nothing to say.
    virtual QString extensionMessage() = 0;
    virtual void openExtensionSettings() = 0;

    virtual bool hasAudioDriver() = 0;
    virtual QString defaultBrowser() = 0;

    /// Ends the process (the installed-copy answers and a successful move).
    virtual void exitProcess(int code) = 0;
};
