#include "app/system/desktopintegration.h"
#include "app/system/oshelper.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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

private:
    QString writeScript(const QString &name, const QByteArray &body);
    int runDirect(QList<QString> command, QList<QString> markers = {});

    QTemporaryDir m_dir;
};

void tst_OSHelper::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QCoreApplication::setApplicationVersion(QStringLiteral("v0.25.8"));
    qputenv("TMPDIR", m_dir.path().toUtf8());
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
    elevated.setElevator(writeScript(QStringLiteral("elevator"), "exec \"$@\"\n"));
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
    // pkexec's status when the administrator dismisses the dialog.
    OSHelper helper;
    helper.setElevator(writeScript(QStringLiteral("pkexec-refuses"), "exit 126\n"));
    const QString marker = m_dir.filePath(QStringLiteral("ran"));
    QList<QString> command{QStringLiteral("/usr/bin/touch"), marker};
    QCOMPARE(helper.executeProcessWithPrivileges(command, {}), -1);
    QVERIFY(!QFile::exists(marker));
}

void tst_OSHelper::extractAssets()
{
    const QString missing = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/no_such_file"));
    QCOMPARE(missing, QString());
    const QFileInfo leftBehind(m_dir.filePath(QStringLiteral("tmp_v0.25.8_no_such_file")));
    QVERIFY(leftBehind.exists());
    QCOMPARE(leftBehind.size(), 0);

    const QString path = OSHelper::extractAssetsFile(QStringLiteral(":/installer/linux/move_to_applications"));
    QCOMPARE(path, m_dir.filePath(QStringLiteral("tmp_v0.25.8_move_to_applications")));
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
    // The script acts for the user: even with an elevator set, it runs directly.
    OSHelper helper;
    helper.setElevator(writeScript(QStringLiteral("pkexec-refuses-2"), "exit 126\n"));
    QVERIFY(helper.installAssetsPkg(QStringLiteral(":/installer/linux/install_audio_driver"), QStringLiteral("/"), {}));

    QProcess sinks;
    sinks.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("sinks")});
    QVERIFY(sinks.waitForFinished());
    QVERIFY(sinks.readAll().contains("Description: Talvento Control"));
    QProcess sources;
    sources.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")});
    QVERIFY(sources.waitForFinished());
    QVERIFY(sources.readAll().contains("talvento_control_mic"));

    // Persistent for the user, and written once however often it runs.
    QVERIFY(helper.installAssetsPkg(QStringLiteral(":/installer/linux/install_audio_driver"), QStringLiteral("/"), {}));
    QFile config(m_dir.filePath(QStringLiteral("config/pulse/default.pa")));
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray text = config.readAll();
    QCOMPARE(text.count("module-null-sink"), 1);
    QVERIFY(text.startsWith(".include /etc/pulse/default.pa"));
    config.close();

    // Uninstalling removes both devices now and for later logins.
    QVERIFY(helper.installAssetsPkg(QStringLiteral(":/installer/linux/uninstall_audio_driver"), QStringLiteral("/"), {}));
    sinks.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sinks")});
    QVERIFY(sinks.waitForFinished());
    QVERIFY(!sinks.readAll().contains("talvento_control"));
    sources.start(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")});
    QVERIFY(sources.waitForFinished());
    QVERIFY(!sources.readAll().contains("talvento_control"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QVERIFY(!config.readAll().contains("module-null-sink"));
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

QTEST_GUILESS_MAIN(tst_OSHelper)
#include "tst_oshelper.moc"
