#pragma once

#include <QList>
#include <QString>

#include <functional>
#include <memory>

/// Privileged installs, embedded installer scripts and moving the application
/// into its installation folder. One object owns one authorization: the first
/// privileged run starts one privileged runner process (through pkexec), and
/// every later run of the same object goes through it, so the administrator is
/// asked once per series. Only the installed runner is used; without one each
/// command is elevated on its own. When the process already runs as root,
/// commands run directly. Every command reads /dev/null as its input and has a
/// time limit.
///
/// Files meant for a privileged install are staged in a folder of this run
/// that only its user can enter, created exclusively; the root side copies a
/// staged file into a folder of its own and checks it there before it runs it.
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
    /// their first argument; a package decides its own location. A package is
    /// installed only when its copy on the root side is a Debian package and,
    /// with `sha256` given, has that digest. 0 = success.
    int installPkg(const QString &pkgPath, const QString &target, QList<QString> extraArguments,
                   const QString &sha256 = QString());
    bool installAssetsPkg(QString resourcePath, const QString &target, QList<QString> extraArguments);

    /// Copies an embedded resource to "tmp_<version>_<name>" in the staging
    /// folder and returns that path, or "" on failure (nothing is left then).
    static QString extractAssetsFile(QString resourcePath);
    /// This run's private staging folder (mode 0700, in the user's runtime
    /// folder, else a new folder in the temporary folder), made on first use
    /// and removed when the process ends; "" when none can be made.
    static QString stagingFolder();
    /// Writes `data` to a new file `name` in the staging folder, never through
    /// a link, and checks every write and the close. The path, or "" (and no
    /// file) on failure.
    static QString stageFile(const QString &name, const QByteArray &data);
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
    /// The privileged runner: the installed one. Tests point at their build's.
    void setRunnerPath(const QString &path);
    QString runnerPath() const;
    /// How long one privileged command may run (milliseconds, 0 for no limit).
    void setTimeLimit(int ms);

    /// Receives each line of output of the commands this object runs, as it comes, on the
    /// thread that runs them.
    void setOutputHandler(std::function<void(const QString &line)> handler);

private:
    struct Opaque;
    std::unique_ptr<Opaque> m_opaque;
};
