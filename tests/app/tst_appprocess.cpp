#include "app/core/basesettings.h"
#include "tests/support/updateserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

// The command-line modes and the single-instance lock, run as real processes of the built
// application, each with a private configuration and temporary directory.
class tst_AppProcess : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void invalidQuitIsIgnored_data();
    void invalidQuitIsIgnored();
    void timedQuit();
    void secondInstanceWithoutBusIsRefused();
    void eachUserHoldsOwnLock_data();
    void eachUserHoldsOwnLock();
    void updateCheckStaysOnLoopback();
    void updateRestartsIntoTheInstalledVersion();
    void uninstallEmptiesTheStore();
    void bundleRemoval_data();
    void bundleRemoval();
    void trayIconUnderX11();

private:
    std::unique_ptr<QProcess> launch(const QStringList &arguments,
                                     const QProcessEnvironment &extra = QProcessEnvironment(),
                                     const QStringList &asUser = {});
    QString lockPath() const { return m_home.filePath("run/Talvento.lock"); }
    static bool finish(QProcess &process, int timeoutMs = 60000);
    static QString output(QProcess &process);
    // Waits until the process has written `text` to standard error.
    static bool waitForOutput(QProcess &process, const QString &text);

    QTemporaryDir m_home;
    QList<std::shared_ptr<QProcess>> m_running;
    QStringList m_segments; // camera segments of the launched copies, removed in cleanup()
};

void tst_AppProcess::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(QFile::exists(TALVENTO_APP_EXECUTABLE));
    // This process reads and writes the same private store as the application under test.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
    QVERIFY(QDir().mkpath(m_home.filePath("run")));
    QVERIFY(QFile::setPermissions(m_home.filePath("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                             | QFileDevice::ExeOwner));
}

void tst_AppProcess::init()
{
    BaseSettings store;
    store.clear();
    store.sync();
    QFile::remove(lockPath()); // left behind by a killed instance
}

void tst_AppProcess::cleanup()
{
    for (const auto &process : std::as_const(m_running)) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(10000);
        }
    }
    m_running.clear();
    for (const QString &segment : std::as_const(m_segments))
        QFile::remove(QStringLiteral("/dev/shm") + segment);
    m_segments.clear();
}

// `asUser` runs the application through a wrapper command (setpriv as another user).
std::unique_ptr<QProcess> tst_AppProcess::launch(const QStringList &arguments,
                                                 const QProcessEnvironment &extra, const QStringList &asUser)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
    env.insert("TMPDIR", m_home.path());
    env.insert("XDG_RUNTIME_DIR", m_home.filePath("run"));
    env.insert("QT_LOGGING_RULES", "default.debug=true");
    // No session bus: the running instance cannot be reached, as on a desktop without one
    // (tst_ControlBus covers the bus).
    env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_home.filePath("no-bus"));
    env.insert(extra);
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // Each copy writes a camera segment of its own, apart from other tests and other users.
    QStringList all = arguments;
    if (!all.contains("--vcam-segment")) {
        m_segments << QStringLiteral("/talvento-vcam-appprocess-%1-%2").arg(QCoreApplication::applicationPid()).arg(m_segments.size());
        all << "--vcam-segment" << m_segments.last();
    }
    if (asUser.isEmpty())
        process->start(TALVENTO_APP_EXECUTABLE, all);
    else
        process->start(asUser.first(), asUser.mid(1) + QStringList { TALVENTO_APP_EXECUTABLE } + all);
    return process;
}

bool tst_AppProcess::finish(QProcess &process, int timeoutMs)
{
    if (process.error() == QProcess::FailedToStart)
        return false;
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(timeoutMs))
        return false;
    return process.exitStatus() == QProcess::NormalExit;
}

QString tst_AppProcess::output(QProcess &process)
{
    return QString::fromUtf8(process.readAllStandardError());
}

bool tst_AppProcess::waitForOutput(QProcess &process, const QString &text)
{
    QString seen;
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        seen += output(process);
        if (seen.contains(text))
            return true;
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(500);
    }
    qWarning().noquote() << "tst_AppProcess -> waited in vain for" << text << "in:\n" << seen;
    return false;
}

void tst_AppProcess::invalidQuitIsIgnored_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("zero") << "0";
    QTest::newRow("not a number") << "abc";
    QTest::newRow("negative") << "-5";
}

void tst_AppProcess::invalidQuitIsIgnored()
{
    QFETCH(QString, value);
    std::shared_ptr<QProcess> app = launch({ "--quit", value });
    m_running.append(app);
    // Normal start-up follows: the lock is taken and the tray icon is shown.
    QVERIFY(waitForOutput(*app, "tray icon shown"));
    QVERIFY(QFile::exists(lockPath()));
}

void tst_AppProcess::timedQuit()
{
    std::unique_ptr<QProcess> app = launch({ "--quit", "1500" });
    QVERIFY(finish(*app));
    const QString log = output(*app);
    QCOMPARE(app->exitCode(), 0);
    QVERIFY2(log.contains("Found quit arg \"1500\""), qPrintable(log));
    QVERIFY2(!log.contains("tray icon"), qPrintable(log));
    QVERIFY(!QFile::exists(lockPath()));
}

void tst_AppProcess::secondInstanceWithoutBusIsRefused()
{
    std::shared_ptr<QProcess> first = launch({});
    m_running.append(first);
    QVERIFY(waitForOutput(*first, "tray icon shown"));

    std::unique_ptr<QProcess> second = launch({ "--answer-messages", "yes" });
    QVERIFY(finish(*second));
    const QString log = output(*second);
    QCOMPARE(second->exitCode(), 1);
    QVERIFY2(log.contains("The application is already running.\n"
                          "you are allowed to run only one instance of the application."),
             qPrintable(log));
    QVERIFY2(!log.contains("tray icon"), qPrintable(log));
    QCOMPARE(first->state(), QProcess::Running);
}

void tst_AppProcess::eachUserHoldsOwnLock_data()
{
    QTest::addColumn<bool>("otherHasRuntimeDir");
    QTest::addColumn<bool>("folderTakenByOther");
    QTest::newRow("both with runtime folders") << true << false;
    QTest::newRow("other user without one") << false << false;
    // The other user took the per-user folder name of this user in the shared temporary folder
    // first; this user's copy must still start, and the other's lock stays where it was.
    QTest::newRow("per-user folder name taken") << false << true;
}

void tst_AppProcess::eachUserHoldsOwnLock()
{
    QFETCH(bool, otherHasRuntimeDir);
    QFETCH(bool, folderTakenByOther);
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        QSKIP("needs root and setpriv to run a copy as another user");
    constexpr uint other = 65534;

    // Both users share one temporary folder, as they share /tmp on a desktop.
    QTemporaryDir outside(QDir::tempPath() + "/tst_appprocess-users-XXXXXX");
    QVERIFY(outside.isValid());
    const QString shared = outside.filePath("tmp");
    const QString otherHome = outside.filePath("other");
    QVERIFY(QDir().mkpath(shared) && QDir().mkpath(otherHome + "/run"));
    QVERIFY(::chmod(QFile::encodeName(outside.path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(shared).constData(), 01777) == 0);
    QVERIFY(::chmod(QFile::encodeName(otherHome + "/run").constData(), 0700) == 0);
    QVERIFY(::chown(QFile::encodeName(otherHome).constData(), other, other) == 0);
    QVERIFY(::chown(QFile::encodeName(otherHome + "/run").constData(), other, other) == 0);
    const QString takenName = shared + QStringLiteral("/talvento-%1").arg(::geteuid());
    if (folderTakenByOther) {
        QVERIFY(QDir().mkpath(takenName));
        QVERIFY(::chmod(QFile::encodeName(takenName).constData(), 0777) == 0);
        QVERIFY(::chown(QFile::encodeName(takenName).constData(), other, other) == 0);
    }

    QProcessEnvironment mine;
    mine.insert("TMPDIR", shared);
    QProcessEnvironment theirs = mine;
    theirs.insert("HOME", otherHome);
    theirs.insert("XDG_CONFIG_HOME", otherHome + "/config");
    theirs.insert("XDG_CACHE_HOME", otherHome + "/cache");
    if (otherHasRuntimeDir)
        theirs.insert("XDG_RUNTIME_DIR", otherHome + "/run");

    // An empty value counts as no runtime folder.
    mine.insert("XDG_CACHE_HOME", m_home.filePath("cache"));
    if (folderTakenByOther)
        mine.insert("XDG_RUNTIME_DIR", "");
    if (!otherHasRuntimeDir)
        theirs.insert("XDG_RUNTIME_DIR", "");

    std::shared_ptr<QProcess> first = launch({}, mine);
    m_running.append(first);
    QVERIFY(waitForOutput(*first, "tray icon shown"));

    const QStringList asOther { "setpriv", QStringLiteral("--reuid=%1").arg(other),
                                QStringLiteral("--regid=%1").arg(other), "--clear-groups" };
    std::shared_ptr<QProcess> second = launch({}, theirs, asOther);
    m_running.append(second);
    QVERIFY(waitForOutput(*second, "tray icon shown"));
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(second->state(), QProcess::Running);

    const QString otherLock = otherHasRuntimeDir ? otherHome + "/run/Talvento.lock"
                                                 : shared + QStringLiteral("/talvento-%1/Talvento.lock").arg(other);
    QVERIFY2(QFileInfo::exists(otherLock), qPrintable(otherLock));
    QCOMPARE(QFileInfo(otherLock).ownerId(), other);
    if (folderTakenByOther) {
        QVERIFY(!QFileInfo::exists(takenName + "/Talvento.lock"));
        QVERIFY(QFileInfo::exists(m_home.filePath("cache/talvento-runtime/Talvento.lock")));
    } else {
        QVERIFY(QFileInfo::exists(lockPath()));
    }
}

void tst_AppProcess::updateCheckStaysOnLoopback()
{
    // The silent update check of a started application goes where the test says...
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QStringList simulated { "--simulate", "--answer-messages", "yes" };
    std::shared_ptr<QProcess> told = launch(simulated + QStringList { "--update-manifest",
        QStringLiteral("https://127.0.0.1:%1/TalventoControl/update_manifest.json").arg(server.serverPort()) });
    m_running.append(told);
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections() || told->state() == QProcess::NotRunning, 60000);
    QVERIFY2(server.hasPendingConnections(), qPrintable(output(*told)));
    told->kill();
    told->waitForFinished(10000);

    // ...and, told nothing, to a closed loopback port: never to the real update host.
    std::shared_ptr<QProcess> untold = launch(simulated);
    m_running.append(untold);
    QVERIFY(waitForOutput(*untold, "App::onCheckForUpdatesFinished"));
    untold->kill();
    untold->waitForFinished(10000);
    const QString log = output(*untold);
    QVERIFY2(!log.contains("downloads.talvento.com"), qPrintable(log));
}

namespace {

// An executable shell script: `body` after the interpreter line.
bool writeScript(const QString &path, const QByteArray &body)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly) || script.write("#!/bin/sh\n" + body) < 0)
        return false;
    script.close();
    return script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
}

QStringList lines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

// The loopback update host offers the next version; the application downloads it, has it
// installed, tells the user and restarts into the installed program: the stand-in of the new
// version in a test installation, which records how it was started.
void tst_AppProcess::updateRestartsIntoTheInstalledVersion()
{
    LoopbackUpdateServer server;
    QVERIFY(server.start(m_home.filePath("update-server"), qEnvironmentVariable("TALVENTO_UPDATE_SERVER")));
    const QStringList running = QStringLiteral(TALVENTO_PROJECT_VERSION).split('.');
    QCOMPARE(running.size(), 3);
    const QString next = QStringLiteral("%1.%2.%3").arg(running[0], running[1]).arg(running[2].toInt() + 1);
    const QByteArray package = updatetest::debianPackage(4000);
    QJsonObject offered = updatetest::entry("linux", next, server.serve("next.deb", package));
    offered.insert("sha256", QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex()));
    const QString manifest = server.serve("update_manifest.json", updatetest::manifest({ offered }));

    // pkexec's stand-in records the install command instead of running it (no runner is installed).
    const QString installCommand = m_home.filePath("install-command");
    const QString elevator = m_home.filePath("pkexec");
    QVERIFY(writeScript(elevator, "printf '%s\\n' \"$@\" > '" + installCommand.toUtf8() + "'\n"));
    const QString installation = m_home.filePath("installation");
    const QString installed = installation + "/bin/talvento-control";
    const QString started = m_home.filePath("started");
    QVERIFY(writeScript(installed, "printf '%s\\n' \"$0\" \"$@\" > '" + started.toUtf8() + "'\n"));

    std::shared_ptr<QProcess> app = launch({ "--simulate", "--answer-messages", "yes", "--update-manifest", manifest,
                                             "--update-ca", server.caFile(), "--update-elevator", elevator,
                                             "--update-runner", m_home.filePath("no-runner"),
                                             "--installation-folder", installation });
    m_running.append(app);
    // It makes way for the new version by itself.
    QVERIFY(finish(*app, 120000));
    const QString log = output(*app);
    QVERIFY2(app->exitCode() == 0, qPrintable(log));
    QVERIFY2(log.contains("The update was installed. Talvento Control restarts now."), qPrintable(log));

    const QStringList install = lines(installCommand);
    QVERIFY2(install.contains("install") && !install.isEmpty() && install.last().endsWith(".deb"),
             qPrintable(install.join(' ')));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(started), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(lines(started), (QStringList { installed, "-s", "3000" }), 5000);
}

void tst_AppProcess::uninstallEmptiesTheStore()
{
    {
        BaseSettings store;
        store.setSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness, 70);
        store.setSetting(BaseSettings::SkinTone, 20);
        QVERIFY(!store.allKeys().isEmpty());
    }
    // Uninstalling takes no lock, so it works beside a running instance.
    std::shared_ptr<QProcess> running = launch({});
    m_running.append(running);
    QVERIFY(waitForOutput(*running, "tray icon shown"));

    std::unique_ptr<QProcess> app = launch({ "--uninstall" });
    QVERIFY(finish(*app));
    const QString log = output(*app);
    QCOMPARE(app->exitCode(), 0);
    QVERIFY2(log.contains("Found uninstall arg"), qPrintable(log));
    QVERIFY2(!log.contains("tray icon"), qPrintable(log));
    BaseSettings store;
    store.sync();
    QCOMPARE(store.allKeys(), QStringList());
}

void tst_AppProcess::bundleRemoval_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("viaLink");
    QTest::addColumn<bool>("removed");
    QTest::newRow("older copy") << "talvento-control-0.25.7" << "bin/talvento-control" << false << true;
    QTest::newRow("installation folder") << "talvento-control" << "bin/talvento-control" << false << true;
    QTest::newRow("arbitrary folder") << "photos" << "holiday.jpg" << false << false;
    QTest::newRow("our executable in a foreign folder") << "usr" << "bin/talvento-control" << false << false;
    QTest::newRow("our name without our executable") << "talvento-notes" << "notes.txt" << false << false;
    QTest::newRow("link to an older copy") << "talvento-control-old" << "bin/talvento-control" << true << false;
}

void tst_AppProcess::bundleRemoval()
{
    QFETCH(QString, name);
    QFETCH(QString, content);
    QFETCH(bool, viaLink);
    QFETCH(bool, removed);
    QTemporaryDir parent;
    const QString dir = parent.filePath(name);
    QVERIFY(QDir().mkpath(QFileInfo(dir + "/" + content).path()));
    QFile file(dir + "/" + content);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QString argument = viaLink ? parent.filePath("link") : dir;
    if (viaLink)
        QVERIFY(QFile::link(dir, argument));

    std::unique_ptr<QProcess> app = launch({ "--sleep", "300", "--bundle", argument, "--quit", "500" });
    QVERIFY(finish(*app));
    const QString log = output(*app);
    QCOMPARE(app->exitCode(), 0);
    // The sleep comes first, then the removal.
    QVERIFY2(log.contains("Found sleep arg \"300\""), qPrintable(log));
    QVERIFY2(log.indexOf("Found sleep arg") < log.indexOf("Found bundle arg"), qPrintable(log));
    if (removed) {
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dir), 30000); // rm runs detached
    } else {
        QVERIFY2(log.contains("not removing"), qPrintable(log));
        QVERIFY(QFileInfo::exists(dir + "/" + content));
    }
}

void tst_AppProcess::trayIconUnderX11()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") || QStandardPaths::findExecutable("xdotool").isEmpty())
        QSKIP("needs the X display with a tray host that scripts/test starts, and xdotool");
    QProcessEnvironment x11;
    x11.insert("QT_QPA_PLATFORM", "xcb");

    // The timed quit shows no tray icon and ends by itself on X11 too.
    std::unique_ptr<QProcess> timed = launch({ "--quit", "2000" }, x11);
    QVERIFY(finish(*timed));
    QCOMPARE(timed->exitCode(), 0);

    std::shared_ptr<QProcess> app = launch({}, x11);
    m_running.append(app);
    QVERIFY(waitForOutput(*app, "tray icon shown; system tray available: true"));

    // The tray host (trayer, at the bottom-right corner) embeds the icon shortly after it is
    // shown. Right-click it and pick "Quit", the second entry, until the application has ended.
    QProcess geometry;
    geometry.start("xdotool", { "getdisplaygeometry" });
    QVERIFY(geometry.waitForFinished(10000));
    const QStringList size = QString::fromLatin1(geometry.readAllStandardOutput()).split(' ');
    QCOMPARE(size.size(), 2);
    const QString x = QString::number(size.at(0).toInt() - 12);
    const QString y = QString::number(size.at(1).trimmed().toInt() - 16);
    for (int attempt = 0; attempt < 20 && app->state() != QProcess::NotRunning; ++attempt) {
        QProcess::execute("xdotool", { "mousemove", x, y, "click", "3", "sleep", "0.5", "key", "Down", "Down", "Return" });
        app->waitForFinished(2000);
    }
    QVERIFY2(finish(*app), qPrintable(output(*app)));
    QCOMPARE(app->exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_AppProcess)
#include "tst_appprocess.moc"
