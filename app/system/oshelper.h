#pragma once

#include <QList>
#include <QString>

#include <memory>

/// Privileged installs, embedded installer scripts and moving the application
/// into its installation folder. One object owns one authorization: the first
/// privileged run starts one privileged runner process (through pkexec), and
/// every later run of the same object goes through it, so the administrator is
/// asked once per series. When the process already runs as root, commands run
/// directly.
class OSHelper
{
public:
    OSHelper();
    ~OSHelper();
    OSHelper(const OSHelper &) = delete;
    OSHelper &operator=(const OSHelper &) = delete;

    /// Runs `command` (tool, then arguments) as administrator and waits for it.
    /// 0 on success, the tool's exit code, or -1 when it could not be run or
    /// ended through a signal. A non-zero exit code becomes 0 when the output
    /// contains one of `successMarkers` (case-insensitive).
    int executeProcessWithPrivileges(QList<QString> &command, QList<QString> successMarkers);

    /// Installs a Debian package with apt-get, or runs one of our embedded
    /// installer scripts, as administrator. `target` is passed to scripts as
    /// their first argument; a package decides its own location. 0 = success.
    int installPkg(const QString &pkgPath, const QString &target, QList<QString> extraArguments);
    bool installAssetsPkg(QString resourcePath, const QString &target, QList<QString> extraArguments);

    /// Copies an embedded resource to "tmp_<version>_<name>" in the temporary
    /// directory and returns that path, or "" on failure.
    static QString extractAssetsFile(QString resourcePath);
    static bool makeFileExecutable(const QString &path);

    /// Starts the application of the installation at `bundlePath` with `arguments`.
    static bool openAppBundle(const QString &bundlePath, QList<QString> arguments);
    /// Copies this installation into the installation path, starts the copy
    /// (which removes this one) and ends this process. Returns only on failure.
    bool moveAppToApplications();

    /// The folder above the executable's bin/.
    static QString getAppBundlePath();
    static QString getAppBundleName();
    /// Where the application is installed: /opt/talvento-control.
    static QString getInstallationBundlePath();

    /// The program that grants administrator rights to the privileged runner;
    /// "pkexec" unless the process runs as root. Tests and unusual desktops set
    /// their own; an empty program runs commands directly.
    void setElevator(const QString &program);
    QString elevator() const;

private:
    struct Opaque;
    std::unique_ptr<Opaque> m_opaque;
};
