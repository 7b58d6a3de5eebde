#include "app/system/desktopintegration.h"
#include "app/system/oshelper.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray arMember(const QByteArray &name, const QByteArray &content)
{
    QByteArray header = name.leftJustified(16, ' ') + QByteArray("0").leftJustified(12, ' ')
        + QByteArray("0").leftJustified(6, ' ') + QByteArray("0").leftJustified(6, ' ')
        + QByteArray("100644").leftJustified(8, ' ') + QByteArray::number(content.size()).leftJustified(10, ' ') + "`\n";
    return header + content + (content.size() & 1 ? "\n" : "");
}

// A package laid out as dpkg-deb lays it out, its data member filled with `fill`.
QByteArray debianPackage(char fill)
{
    return "!<arch>\n" + arMember("debian-binary", "2.0\n") + arMember("control.tar.xz", "control")
        + arMember("data.tar.xz", QByteArray(1000, fill));
}

bool isPrivateFolder(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

} // namespace

class tst_OSHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void exitStatus_data();
    void exitStatus();
    void oneAuthorizationPerHelper();
    void refusedAuthorization();

    void extractAssets();
    void executableBit();
    void moveScriptContract_data();
    void moveScriptContract();
    void moveScriptCopies();
    void audioDriverInstaller();

    void autostartEntry();
    void autostartExecEscaped_data();
    void autostartExecEscaped();

    void commandsReadEndOfInput();
    void hungCommandStopsAtItsLimit();
    void packageInstallAsksNothing();
    void runnerOnlyFromTheInstallation();
    void stagedFilesArePrivate();
    void swappedFileRefusedOnRootSide_data();
    void swappedFileRefusedOnRootSide();
    void rootRunsItsOwnCopy();
    void extractionOnFullDiskFails();
    void moveScriptCopyBelongsToRoot();

private:
    /// A helper whose privileged runs go through the build's runner, elevated by a stand-in
    /// for pkexec that just runs it.
    void useBuiltRunner(OSHelper &helper);
    QString writeScript(const QString &name, const QByteArray &body);
    int runDirect(QList<QString> command, QList<QString> markers = {});

    QTemporaryDir m_dir;
};

void tst_OSHelper::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QCoreApplication::setApplicationVersion(QStringLiteral("v0.25.8"));
    // A private runtime folder as a login has, and a temporary folder shared with everyone, as
    // /tmp is.
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("run"))));
    QVERIFY(::chmod(QFile::encodeName(m_dir.filePath(QStringLiteral("run"))).constData(), 0700) == 0);
    qputenv("XDG_RUNTIME_DIR", m_dir.filePath(QStringLiteral("run")).toUtf8());
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("shared-tmp"))));
    QVERIFY(::chmod(QFile::encodeName(m_dir.filePath(QStringLiteral("shared-tmp"))).constData(), 01777) == 0);
    qputenv("TMPDIR", m_dir.filePath(QStringLiteral("shared-tmp")).toUtf8());
    qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
}

QString tst_OSHelper::writeScript(const QString &name, const QByteArray &body)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + body) < 0)
        qFatal("cannot write %s", qPrintable(path));
    file.close();
    file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    return path;
}

void tst_OSHelper::useBuiltRunner(OSHelper &helper)
{
    helper.setElevator(writeScript(QStringLiteral("elevator"), "exec \"$@\"\n"));
    helper.setRunnerPath(qEnvironmentVariable("TALVENTO_RUNNER"));
}

int tst_OSHelper::runDirect(QList<QString> command, QList<QString> markers)
{
    OSHelper helper;
    helper.setElevator(QString());
    return helper.executeProcessWithPrivileges(command, markers);
}

void tst_OSHelper::exitStatus_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("markers");
    QTest::addColumn<int>("result");

    QTest::newRow("success") << "echo done" << QStringList{} << 0;
    QTest::newRow("exit code passed on") << "exit 3" << QStringList{} << 3;
    QTest::newRow("marker turns failure into success, any case")
        << "echo 'The Upgrade WAS successful'; exit 3" << QStringList{"the upgrade was successful"} << 0;
    QTest::newRow("marker on the last line without newline")
        << "printf 'x\\n---FINISHED WITH SUCCESS---'; exit 1" << QStringList{"---FINISHED WITH SUCCESS---"} << 0;
    QTest::newRow("other output does not count") << "echo failed; exit 2" << QStringList{"success"} << 2;
    QTest::newRow("killed by a signal") << "echo bye; kill -9 $$" << QStringList{"bye"} << -1;
}

void tst_OSHelper::exitStatus()
{
    QFETCH(QString, script);
    QFETCH(QStringList, markers);
    QFETCH(int, result);
    QCOMPARE(runDirect({QStringLiteral("/bin/sh"), QStringLiteral("-c"), script}, markers), result);

    // Through the privileged runner the outcome is the same.
    OSHelper elevated;
    useBuiltRunner(elevated);
    QList<QString> command{QStringLiteral("/bin/sh"), QStringLiteral("-c"), script};
    QCOMPARE(elevated.executeProcessWithPrivileges(command, markers), result);
}

void tst_OSHelper::oneAuthorizationPerHelper()
{
    // A stand-in for pkexec that records each authorization it grants.
    const QString log = m_dir.filePath(QStringLiteral("authorizations"));
    const QString parents = m_dir.filePath(QStringLiteral("parents"));
    const QString standIn = writeScript(QStringLiteral("pkexec-stand-in"),
                                        "echo \"$@\" >> '" + log.toUtf8() + "'\nexec \"$@\"\n");
    {
        OSHelper helper;
        helper.setElevator(standIn);
        helper.setRunnerPath(qEnvironmentVariable("TALVENTO_RUNNER"));
        for (int i = 0; i < 2; ++i) {
            QList<QString> command{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                   QStringLiteral("echo $PPID >> '%1'").arg(parents)};
            QCOMPARE(helper.executeProcessWithPrivileges(command, {}), 0);
        }
    }
    QFile authorizations(log);
    QVERIFY(authorizations.open(QIODevice::ReadOnly));
    const QList<QByteArray> granted = authorizations.readAll().trimmed().split('\n');
    QCOMPARE(granted.size(), 1);
    QCOMPARE(QString::fromUtf8(granted.first()), qEnvironmentVariable("TALVENTO_RUNNER"));

    // Both commands were children of the same runner process.
    QFile parentIds(parents);
    QVERIFY(parentIds.open(QIODevice::ReadOnly));
    const QList<QByteArray> ids = parentIds.readAll().trimmed().split('\n');
    QCOMPARE(ids.size(), 2);
    QCOMPARE(ids[0], ids[1]);
}

void tst_OSHelper::refusedAuthorization()
{
    // pkexec's status when the administrator dismisses the dialog, for the runner and, without
    // an installed runner, for the command itself.
    const QString refuses = writeScript(QStringLiteral("pkexec-refuses"), "exit 126\n");
    const QString marker = m_dir.filePath(QStringLiteral("ran"));
    for (const QString &runner : {qEnvironmentVariable("TALVENTO_RUNNER"), m_dir.filePath(QStringLiteral("none"))}) {
        OSHelper helper;
        helper.setElevator(refuses);
        helper.setRunnerPath(runner);
        QList<QString> command{QStringLiteral("/usr/bin/touch"), marker};
        QCOMPARE(helper.executeProcessWithPrivileges(command, {}), -1);
        QVERIFY(!QFile::exists(marker));
    }
}

void tst_OSHelper::extractAssets()
{
    // A missing resource leaves nothing behind.
    const QString missing = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/no_such_file"));
    QCOMPARE(missing, QString());
    QVERIFY(!QFileInfo::exists(OSHelper::stagingFolder() + QStringLiteral("/tmp_v0.25.8_no_such_file")));

    const QString path = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/move_to_applications"));
    QCOMPARE(path, OSHelper::stagingFolder() + QStringLiteral("/tmp_v0.25.8_move_to_applications"));
    QFile extracted(path);
    QFile resource(QStringLiteral(":/installer/linux/move_to_applications"));
    QVERIFY(extracted.open(QIODevice::ReadOnly) && resource.open(QIODevice::ReadOnly));
    QCOMPARE(extracted.readAll(), resource.readAll());
}

void tst_OSHelper::executableBit()
{
    QVERIFY(!OSHelper::makeFileExecutable(m_dir.filePath(QStringLiteral("absent"))));
    const QString path = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/uninstall"));
    QVERIFY(OSHelper::makeFileExecutable(path));
    QVERIFY(QFileInfo(path).permissions().testFlags(QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                                    | QFileDevice::ExeOther));
}

void tst_OSHelper::moveScriptContract_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString notADirectory = m_dir.filePath(QStringLiteral("plain-file"));
    QFile(notADirectory).open(QIODevice::WriteOnly);
    QTest::newRow("too few arguments") << QStringList{"Talvento Control", m_dir.path()};
    QTest::newRow("too many arguments") << QStringList{"Talvento Control", m_dir.path(), "/tmp/x", "extra"};
    QTest::newRow("source is not a folder") << QStringList{"Talvento Control", notADirectory, "/tmp/never"};
}

void tst_OSHelper::moveScriptContract()
{
    QFETCH(QStringList, arguments);
    const QString script = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/move_to_applications"));
    QVERIFY(OSHelper::makeFileExecutable(script));
    QCOMPARE(runDirect(QStringList{script} + arguments, {QStringLiteral("---FINISHED WITH SUCCESS---")}), 1);
}

void tst_OSHelper::moveScriptCopies()
{
    const QString script = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/move_to_applications"));
    QVERIFY(OSHelper::makeFileExecutable(script));
    const QString source = m_dir.filePath(QStringLiteral("download/talvento-control"));
    QVERIFY(QDir().mkpath(source + QStringLiteral("/bin")));
    writeScript(QStringLiteral("download/talvento-control/bin/talvento-control"), "exit 0\n");

    // A folder in the way that is not an installation of ours is never removed.
    const QString foreign = m_dir.filePath(QStringLiteral("opt/foreign"));
    QVERIFY(QDir().mkpath(foreign));
    QFile(foreign + QStringLiteral("/keep")).open(QIODevice::WriteOnly);
    const QStringList marker{QStringLiteral("---FINISHED WITH SUCCESS---")};
    QCOMPARE(runDirect({script, QStringLiteral("Talvento Control"), source, foreign}, marker), 1);
    QVERIFY(QFile::exists(foreign + QStringLiteral("/keep")));

    // An earlier installation is replaced by the copy.
    const QString destination = m_dir.filePath(QStringLiteral("opt/talvento-control"));
    QVERIFY(QDir().mkpath(destination + QStringLiteral("/bin")));
    writeScript(QStringLiteral("opt/talvento-control/bin/talvento-control"), "exit 1\n");
    QFile(destination + QStringLiteral("/stale")).open(QIODevice::WriteOnly);
    QCOMPARE(runDirect({script, QStringLiteral("Talvento Control"), source, destination}, marker), 0);
    QVERIFY(QFileInfo(destination + QStringLiteral("/bin/talvento-control")).isExecutable());
    QVERIFY(!QFile::exists(destination + QStringLiteral("/stale")));
}

void tst_OSHelper::audioDriverInstaller()
{
    if (QProcess::execute(QStringLiteral("pactl"), {QStringLiteral("info")}) != 0) {
        if (qEnvironmentVariableIsSet("TALVENTO_TEST_SERVICES"))
            QFAIL("the test sound server is not reachable");
        QSKIP("no sound server");
    }
    QProcess info;
    info.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    QVERIFY(info.waitForFinished());
    const bool pipewire = info.readAll().contains("PipeWire");

    // An earlier installation that lost its description (what a misread configuration leaves
    // after a login) is repaired.
    QProcess broken;
    broken.start(QStringLiteral("pactl"), {QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                                           QStringLiteral("sink_name=talvento_control")});
    QVERIFY(broken.waitForFinished());
    QCOMPARE(broken.exitCode(), 0);

    // The script acts for the user: even with an elevator set, it runs directly.
    OSHelper helper;
    helper.setElevator(writeScript(QStringLiteral("pkexec-refuses-2"), "exit 126\n"));
    QVERIFY(helper.installAssetsPkg(QStringLiteral(":/installer/linux/install_audio_driver"), QStringLiteral("/"), {}));

    QProcess sinks;
    sinks.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks")});
    QVERIFY(sinks.waitForFinished());
    const QByteArray sinkList = sinks.readAll();
    QVERIFY(sinkList.contains("Description: Talvento Control"));
    QCOMPARE(sinkList.count("Name: talvento_control\n"), 1);
    QProcess sources;
    sources.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")});
    QVERIFY(sources.waitForFinished());
    QVERIFY(sources.readAll().contains("talvento_control_mic"));

    // Persistent for the user, in the running server's configuration, and written once however
    // often it runs. (tst_AudioDriverPipeWire restarts pipewire-pulse to read it back.)
    QVERIFY(helper.installAssetsPkg(QStringLiteral(":/installer/linux/install_audio_driver"), QStringLiteral("/"), {}));
    QFile config(m_dir.filePath(pipewire ? QStringLiteral("config/pipewire/pipewire-pulse.conf.d/talvento-control.conf")
                                         : QStringLiteral("config/pulse/default.pa")));
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray text = config.readAll();
    QCOMPARE(text.count("module-null-sink"), 1);
    QVERIFY(text.startsWith(pipewire ? "pulse.cmd = [" : ".include /etc/pulse/default.pa"));
    config.close();

    // Uninstalling removes both devices now and for later logins.
    QVERIFY(helper.installAssetsPkg(QStringLiteral(":/installer/linux/uninstall_audio_driver"), QStringLiteral("/"), {}));
    sinks.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")});
    QVERIFY(sinks.waitForFinished());
    QVERIFY(!sinks.readAll().contains("talvento_control"));
    sources.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")});
    QVERIFY(sources.waitForFinished());
    QVERIFY(!sources.readAll().contains("talvento_control"));
    if (pipewire) {
        QVERIFY(!config.exists()); // our own drop-in
    } else {
        QVERIFY(config.open(QIODevice::ReadOnly)); // the user's file, without our lines
        QVERIFY(!config.readAll().contains("module-null-sink"));
    }
}

void tst_OSHelper::autostartEntry()
{
    const QString entry = desktop::autostartEntryPath();
    QVERIFY(entry.startsWith(m_dir.path()));
    QVERIFY(desktop::setLaunchAtLogin(true, QStringLiteral("/opt/talvento-control/bin/talvento-control")));
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.startsWith("[Desktop Entry]\n"));
    QVERIFY(text.contains("\nExec=\"/opt/talvento-control/bin/talvento-control\"\n"));
    file.close();

    QVERIFY(desktop::setLaunchAtLogin(false, QString()));
    QVERIFY(!QFile::exists(entry));
    QVERIFY(desktop::setLaunchAtLogin(false, QString())); // already gone is fine
}

void tst_OSHelper::autostartExecEscaped_data()
{
    // Each special character as the desktop entry's Exec key must hold it: quoted as an
    // argument ('\\' before '"', '`', '$', '\\'), '%' doubled, then '\\' doubled for the string.
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("exec");
    QTest::newRow("plain") << "/opt/talvento-control/bin/talvento-control"
                           << R"("/opt/talvento-control/bin/talvento-control")";
    QTest::newRow("dollar") << "/home/u/$HOME/t" << R"("/home/u/\\$HOME/t")";
    QTest::newRow("backquote") << "/home/u/`id`/t" << R"("/home/u/\\`id\\`/t")";
    QTest::newRow("double quote") << "/home/u/a\"b/t" << R"("/home/u/a\\"b/t")";
    QTest::newRow("backslash") << "/home/u/a\\b/t" << R"("/home/u/a\\\\b/t")";
    QTest::newRow("percent") << "/home/u/100%u/t" << R"("/home/u/100%%u/t")";
    QTest::newRow("space") << "/home/u/My Apps/t" << R"("/home/u/My Apps/t")";
    QTest::newRow("newline") << "/home/u/a\nb/t" << R"("/home/u/a\nb/t")";
}

void tst_OSHelper::autostartExecEscaped()
{
    QFETCH(QString, program);
    QFETCH(QString, exec);
    QCOMPARE(desktop::execValue(program), exec);
    QVERIFY(desktop::setLaunchAtLogin(true, program));
    QFile file(desktop::autostartEntryPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("\nExec=" + exec.toUtf8() + "\n"));
}

void tst_OSHelper::commandsReadEndOfInput()
{
    // A command that asks a question gets the end of input at once, directly and through the
    // runner (whose own input carries its requests).
    const QString script = QStringLiteral("read answer; echo \"answer:$answer\"; exit 7");
    QCOMPARE(runDirect({QStringLiteral("/bin/sh"), QStringLiteral("-c"), script}), 7);
    OSHelper elevated;
    useBuiltRunner(elevated);
    for (int i = 0; i < 2; ++i) { // and the runner still answers the next request
        QList<QString> command{QStringLiteral("/bin/sh"), QStringLiteral("-c"), script};
        QCOMPARE(elevated.executeProcessWithPrivileges(command, {}), 7);
    }
}

void tst_OSHelper::hungCommandStopsAtItsLimit()
{
    // The command and what it started are stopped at the limit; the run fails.
    const QString pids = m_dir.filePath(QStringLiteral("hung-pids"));
    const QString script = QStringLiteral("sleep 600 & echo $! >> '%1'; wait").arg(pids);
    OSHelper direct;
    direct.setElevator(QString());
    OSHelper elevated;
    useBuiltRunner(elevated);
    for (OSHelper *helper : {&direct, &elevated}) {
        helper->setTimeLimit(1500);
        QList<QString> command{QStringLiteral("/bin/sh"), QStringLiteral("-c"), script};
        QCOMPARE(helper->executeProcessWithPrivileges(command, {QStringLiteral("never printed")}), -1);
    }
    QFile file(pids);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> started = file.readAll().trimmed().split('\n');
    QCOMPARE(started.size(), 2);
    for (const QByteArray &pid : started)
        QTRY_VERIFY_WITH_TIMEOUT(::kill(pid_t(pid.toInt()), 0) != 0, 30000);

    // A later command of the same runner runs normally.
    QList<QString> quick{QStringLiteral("/bin/true")};
    QCOMPARE(elevated.executeProcessWithPrivileges(quick, {}), 0);
}

void tst_OSHelper::packageInstallAsksNothing()
{
    // Without an installed runner the package command itself is elevated; the stand-in records
    // it instead of installing anything.
    const QString record = m_dir.filePath(QStringLiteral("package-command"));
    OSHelper helper;
    helper.setElevator(writeScript(QStringLiteral("pkexec-records"), "printf '%s\\n' \"$@\" > '" + record.toUtf8() + "'\n"));
    helper.setRunnerPath(m_dir.filePath(QStringLiteral("none")));
    const QString package = OSHelper::stageFile(QStringLiteral("p.deb"), debianPackage('a'));
    QVERIFY(!package.isEmpty());
    QCOMPARE(helper.installPkg(package, QStringLiteral("/"), {}), 0);

    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QStringList arguments = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(arguments.contains(QStringLiteral("DEBIAN_FRONTEND=noninteractive")), qPrintable(arguments.join(' ')));
    QVERIFY(arguments.contains(QStringLiteral("Dpkg::Options::=--force-confdef")));
    QVERIFY(arguments.contains(QStringLiteral("Dpkg::Options::=--force-confold")));
    QVERIFY(arguments.indexOf(QStringLiteral("DEBIAN_FRONTEND=noninteractive")) < arguments.indexOf(QStringLiteral("/usr/bin/apt-get")));
    QCOMPARE(arguments.last(), package);
}

void tst_OSHelper::runnerOnlyFromTheInstallation()
{
    OSHelper helper;
    QCOMPARE(helper.runnerPath(), QStringLiteral("/opt/talvento-control/bin/talvento-privileged-runner"));
}

void tst_OSHelper::stagedFilesArePrivate()
{
    // Staged in a folder only this user can enter, even when the temporary folder is shared.
    const QString path = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/uninstall"));
    QVERIFY(!path.isEmpty());
    QVERIFY2(isPrivateFolder(QFileInfo(path).path()), qPrintable(path));
    QVERIFY(!path.startsWith(qEnvironmentVariable("TMPDIR") + QLatin1Char('/') + QStringLiteral("tmp_")));
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &info), 0);
    QVERIFY(S_ISREG(info.st_mode));
    QCOMPARE(info.st_uid, ::geteuid());

    // A link planted under the name is replaced, never written through.
    const QString target = m_dir.filePath(QStringLiteral("link-target"));
    QFile(target).open(QIODevice::WriteOnly);
    const QString name = OSHelper::stagingFolder() + QStringLiteral("/tmp_v0.25.8_pre_uninstall");
    QVERIFY(QFile::link(target, name));
    QCOMPARE(OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/pre_uninstall")), name);
    QCOMPARE(QFileInfo(target).size(), 0);
    QVERIFY(!QFileInfo(name).isSymLink());
}

void tst_OSHelper::swappedFileRefusedOnRootSide_data()
{
    QTest::addColumn<bool>("throughRunner");
    QTest::addColumn<bool>("expectDigest");
    QTest::newRow("runner, another package than the one checked") << true << true;
    QTest::newRow("runner, not a package any more") << true << false;
    QTest::newRow("as root, another package than the one checked") << false << true;
    QTest::newRow("as root, not a package any more") << false << false;
}

void tst_OSHelper::swappedFileRefusedOnRootSide()
{
    QFETCH(bool, throughRunner);
    QFETCH(bool, expectDigest);
    // The download was checked, then the staged file changed before the install.
    const QByteArray checked = debianPackage('a');
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(checked, QCryptographicHash::Sha256).toHex());
    const QString path = OSHelper::stageFile(QStringLiteral("Update_Talvento_9_9_9.deb"), checked);
    QVERIFY(!path.isEmpty());
    QFile staged(path);
    QVERIFY(staged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    staged.write(expectDigest ? debianPackage('b') : QByteArray("#!/bin/sh\ntouch /tmp/owned\n"));
    staged.close();

    OSHelper helper;
    if (throughRunner)
        useBuiltRunner(helper);
    else
        helper.setElevator(QString());
    QCOMPARE(helper.installPkg(path, QStringLiteral("/"), {}, expectDigest ? sha256 : QString()), -1);
}

void tst_OSHelper::rootRunsItsOwnCopy()
{
    // The root side runs a copy in a folder of its own and removes it afterwards.
    const QString record = m_dir.filePath(QStringLiteral("ran-from"));
    const QString path = OSHelper::stageFile(
        QStringLiteral("copy-check"),
        "echo \"$0\" > '" + record.toUtf8() + "'\necho ---FINISHED WITH SUCCESS---\nexit 3\n");
    QVERIFY(!path.isEmpty());
    OSHelper helper;
    useBuiltRunner(helper);
    QCOMPARE(helper.installPkg(path, QStringLiteral("/"), {}), 0);
    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString ranFrom = QString::fromUtf8(file.readAll().trimmed());
    QVERIFY(!ranFrom.isEmpty());
    QVERIFY(ranFrom != path);
    QVERIFY(!QFileInfo::exists(ranFrom));
    QVERIFY(!QFileInfo::exists(QFileInfo(ranFrom).path()));
}

void tst_OSHelper::extractionOnFullDiskFails()
{
    // Files larger than 64 bytes cannot be written, as on a full disk; the extraction fails
    // and leaves no truncated script that could be run.
    const QString name = QStringLiteral("tmp_v0.25.8_install_audio_driver");
    QFile::remove(OSHelper::stagingFolder() + QLatin1Char('/') + name);
    struct rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = saved;
    tiny.rlim_cur = 64;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    const QString path = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/install_audio_driver"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    QCOMPARE(path, QString());
    QVERIFY(!QFileInfo::exists(OSHelper::stagingFolder() + QLatin1Char('/') + name));
}

void tst_OSHelper::moveScriptCopyBelongsToRoot()
{
    if (::geteuid() != 0)
        QSKIP("needs root, as the move script runs");
    const QString script = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/move_to_applications"));
    QVERIFY(OSHelper::makeFileExecutable(script));
    // A copy the user downloaded and owns, some of it writable by others.
    const QString source = m_dir.filePath(QStringLiteral("users-copy/talvento-control"));
    QVERIFY(QDir().mkpath(source + QStringLiteral("/bin")));
    const QString runner = writeScript(QStringLiteral("users-copy/talvento-control/bin/talvento-privileged-runner"), "exit 0\n");
    writeScript(QStringLiteral("users-copy/talvento-control/bin/talvento-control"), "exit 0\n");
    QVERIFY(::chmod(QFile::encodeName(runner).constData(), 0777) == 0);
    QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("65534:65534"), source}), 0);

    const QString destination = m_dir.filePath(QStringLiteral("root-opt/talvento-control"));
    QCOMPARE(runDirect({script, QStringLiteral("Talvento Control"), source, destination},
                       {QStringLiteral("---FINISHED WITH SUCCESS---")}), 0);
    for (const QString &path : {destination, destination + QStringLiteral("/bin"),
                                destination + QStringLiteral("/bin/talvento-privileged-runner")}) {
        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(path).constData(), &info), 0);
        QCOMPARE(info.st_uid, uid_t(0));
        QCOMPARE(info.st_gid, gid_t(0));
        QCOMPARE(info.st_mode & 022, mode_t(0));
    }
    QVERIFY(QFileInfo(destination + QStringLiteral("/bin/talvento-privileged-runner")).isExecutable());
}

QTEST_GUILESS_MAIN(tst_OSHelper)
#include "tst_oshelper.moc"
