#include "app/system/oshelper.h"
#include "tests/support/updateserver.h"
#include "update/updatemanager.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

using namespace updatetest;

class tst_UpdateManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void versionNumbers_data();
    void versionNumbers();
    void manifestToUpdates_data();
    void manifestToUpdates();
    void debianPackageShape_data();
    void debianPackageShape();

    void checkReportsOutcome_data();
    void checkReportsOutcome();
    void checkRefusedWhileBusy();
    void certificateChecksStayOn();

    void downloadWritesPackage();
    void downloadFailures_data();
    void downloadFailures();
    void versionFromTheProject();
    void installedUpdateIsAnnounced();
    void packageSwappedAfterCheckIsRefused();

private:
    QString serve(const QString &name, const QByteArray &content) { return m_server.serve(name, content); }
    QString serve(const QString &name, const QJsonObject &object) { return m_server.serve(name, object); }
    QString url(const QString &path) const { return m_server.url(path); }
    void trustTestAuthority(UpdateManager &manager);
    /// Gives `manager` an installer elevated by a pkexec stand-in with the shell `standIn` and the
    /// runner at `runner`, downloads a package named `name` from the loopback server and returns
    /// the staged file ("" on failure).
    QString downloadForInstall(UpdateManager &manager, const QString &name, const QByteArray &standIn,
                               const QString &runner);

    QTemporaryDir m_dir;
    LoopbackUpdateServer m_server;
};

void tst_UpdateManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Downloads are staged in the runtime folder: a private one of ours.
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("run"))));
    QVERIFY(QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", m_dir.filePath(QStringLiteral("run")).toUtf8());
    qputenv("TMPDIR", m_dir.filePath(QStringLiteral("tmp")).toUtf8());
    QDir().mkpath(m_dir.filePath(QStringLiteral("tmp")));
    QVERIFY(m_server.start(m_dir.filePath(QStringLiteral("server")), qEnvironmentVariable("TALVENTO_UPDATE_SERVER")));
}

void tst_UpdateManager::trustTestAuthority(UpdateManager &manager)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(m_server.caFile());
    manager.setSslConfiguration(configuration);
}

void tst_UpdateManager::versionNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<int>>("parts");
    QTest::newRow("three parts") << "0.26.0" << QList<int>{0, 26, 0};
    QTest::newRow("empty parts kept") << "1..3" << QList<int>{1, 0, 3};
    QTest::newRow("not a number") << "1.x.2" << QList<int>{1, 0, 2};
    QTest::newRow("one part") << "7" << QList<int>{7};
}

void tst_UpdateManager::versionNumbers()
{
    QFETCH(QString, text);
    QFETCH(QList<int>, parts);
    QCOMPARE(UpdateManager::parseVersionNumber(text), parts);
}

void tst_UpdateManager::manifestToUpdates_data()
{
    QTest::addColumn<QJsonObject>("manifest");
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("versions");

    const QString u = QStringLiteral("https://example.invalid/p.deb");
    QTest::newRow("other platforms skipped before their version is read")
        << manifest({entry("mac", "5", u), entry("windows", "9.9.9", u), entry("linux", "0.26.0", u)})
        << int(UpdateManager::NoError) << QStringList{"0.26.0"};
    QTest::newRow("running version is no update")
        << manifest({entry("linux", "0.25.8", u)}) << int(UpdateManager::NoError) << QStringList{};
    QTest::newRow("newest first") << manifest({entry("linux", "0.25.9", u), entry("linux", "1.0.0", u),
                                               entry("linux", "0.26.0", u)})
                                  << int(UpdateManager::NoError) << QStringList{"1.0.0", "0.26.0", "0.25.9"};
    QTest::newRow("two-part version rejects the manifest")
        << manifest({entry("linux", "0.26.0", u), entry("linux", "1.0", u)}) << int(UpdateManager::InvalidVersion)
        << QStringList{};
    QJsonObject noUrl = entry("linux", "0.26.0", u);
    noUrl.remove(QStringLiteral("url"));
    QTest::newRow("missing url rejects the manifest")
        << manifest({entry("linux", "0.27.0", u), noUrl}) << int(UpdateManager::MissingField) << QStringList{};
    QTest::newRow("no updates key") << QJsonObject{} << int(UpdateManager::NoError) << QStringList{};
    QTest::newRow("version naming a sub-folder rejects the manifest")
        << manifest({entry("linux", "1.2.3/x", u)}) << int(UpdateManager::InvalidVersion) << QStringList{};
    QTest::newRow("version with a sign rejects the manifest")
        << manifest({entry("linux", "+1.2.3", u)}) << int(UpdateManager::InvalidVersion) << QStringList{};
}

void tst_UpdateManager::manifestToUpdates()
{
    QFETCH(QJsonObject, manifest);
    QFETCH(int, error);
    QFETCH(QStringList, versions);

    UpdateManager::UpdateError err = UpdateManager::ParseFailed;
    const QList<UpdateManager::UpdateInfo> updates = UpdateManager::convertToList(manifest, err);
    QCOMPARE(int(err), error);
    QStringList found;
    for (const UpdateManager::UpdateInfo &info : updates) {
        found << info.version;
        QCOMPARE(info.versionCode, info.major * 100000 + info.minor * 1000 + info.patch);
    }
    QCOMPARE(found, versions);
}

void tst_UpdateManager::debianPackageShape_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("valid");
    const QByteArray good = debianPackage(1001);
    QTest::newRow("package") << good << true;
    QTest::newRow("truncated inside the data member") << good.left(good.size() - 10) << false;
    QTest::newRow("truncated inside a header") << good.left(8 + 30) << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("html error page") << QByteArray("<html>not found</html>") << false;
    QTest::newRow("wrong first member")
        << QByteArray("!<arch>\n" + arMember("control.tar.xz", "c") + arMember("debian-binary", "2.0\n")
                      + arMember("data.tar.xz", "d"))
        << false;
    QTest::newRow("no data member") << QByteArray("!<arch>\n" + arMember("debian-binary", "2.0\n")
                                                  + arMember("control.tar.xz", "c"))
                                    << false;
    QByteArray hugeSize = good;
    hugeSize.replace(8 + 48, 10, QByteArray("9999999999"));
    QTest::newRow("member size beyond the file") << hugeSize << false;
}

void tst_UpdateManager::debianPackageShape()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, valid);
    QCOMPARE(UpdateManager::isDebianPackage(data), valid);
}

void tst_UpdateManager::checkReportsOutcome_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<bool>("notify");
    QTest::addColumn<QString>("offered");   // empty: no offer
    QTest::addColumn<bool>("mandatory");
    QTest::addColumn<int>("error");         // -1: no error signal
    QTest::addColumn<bool>("noUpdates");

    auto json = [](const QJsonObject &o) { return QJsonDocument(o).toJson(); };
    const QString u = QStringLiteral("https://example.invalid/p.deb");
    QTest::newRow("update offered") << json(manifest({entry("mac", "1", u), entry("linux", "0.26.0", u)})) << false
                                    << "0.26.0" << false << -1 << false;
    QTest::newRow("mandatory older entry makes the newest mandatory")
        << json(manifest({entry("linux", "0.26.0", u, false), entry("linux", "0.25.9", u, true)})) << false
        << "0.26.0" << true << -1 << false;
    QTest::newRow("latest version, told") << json(manifest({entry("linux", "0.25.8", u)})) << true << QString()
                                          << false << -1 << true;
    QTest::newRow("latest version, silent") << json(manifest({entry("linux", "0.25.8", u)})) << false << QString()
                                            << false << -1 << false;
    QTest::newRow("invalid version") << json(manifest({entry("linux", "1.0", u)})) << true << QString() << false
                                     << int(UpdateManager::InvalidVersion) << false;
    QTest::newRow("not json") << QByteArray("{\"updates\": [") << true << QString() << false
                              << int(UpdateManager::ParseFailed) << false;
    QTest::newRow("oversized manifest")
        << QByteArray("{\"pad\": \"" + QByteArray(UpdateManager::MaxManifestBytes, 'x') + "\"}") << true
        << QString() << false << int(UpdateManager::ParseFailed) << false;
}

void tst_UpdateManager::checkReportsOutcome()
{
    QFETCH(QByteArray, manifest);
    QFETCH(bool, notify);
    QFETCH(QString, offered);
    QFETCH(bool, mandatory);
    QFETCH(int, error);
    QFETCH(bool, noUpdates);

    UpdateManager manager;
    trustTestAuthority(manager);
    manager.setManifestUrl(QUrl(serve(QStringLiteral("manifest_%1.json").arg(QTest::currentDataTag()).replace(' ', '_'), manifest)));
    QSignalSpy offer(&manager, &UpdateManager::onNewUpdateAvailable);
    QSignalSpy failure(&manager, &UpdateManager::onCheckForUpdateError);
    QSignalSpy latest(&manager, &UpdateManager::onNoUpdatesAvailable);
    QSignalSpy finished(&manager, &UpdateManager::onCheckForUpdatesFinished);

    QVERIFY(manager.checkForUpdate(notify));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);

    QCOMPARE(offer.size(), offered.isEmpty() ? 0 : 1);
    if (!offered.isEmpty()) {
        const auto info = offer.first().first().value<UpdateManager::UpdateInfo>();
        QCOMPARE(info.version, offered);
        QCOMPARE(info.mandatory, mandatory);
    }
    QCOMPARE(failure.size(), error < 0 ? 0 : 1);
    if (error >= 0)
        QCOMPARE(int(failure.first().first().value<UpdateManager::UpdateError>()), error);
    QCOMPARE(latest.size(), noUpdates ? 1 : 0);
    // The manager is free again once a check has finished.
    bool accepted = false;
    QTRY_VERIFY((accepted = accepted || manager.checkForUpdate(false)));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 20000);
}

void tst_UpdateManager::checkRefusedWhileBusy()
{
    UpdateManager manager;
    trustTestAuthority(manager);
    manager.setManifestUrl(QUrl(serve(QStringLiteral("busy.json"), manifest({}))));
    QSignalSpy finished(&manager, &UpdateManager::onCheckForUpdatesFinished);
    QVERIFY(manager.checkForUpdate(false));
    QVERIFY(!manager.checkForUpdate(false));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);

    // A running download refuses a check and a second download.
    UpdateManager::UpdateInfo info;
    info.version = QStringLiteral("0.26.0");
    info.url = serve(QStringLiteral("busy.deb"), debianPackage(2 << 20));
    QSignalSpy downloaded(&manager, &UpdateManager::onDownloadProcessFinished);
    QVERIFY(manager.downloadInstaller(info));
    QVERIFY(!manager.downloadInstaller(info));
    QVERIFY(!manager.checkForUpdate(true));
    QTRY_COMPARE_WITH_TIMEOUT(downloaded.size(), 1, 20000);
}

void tst_UpdateManager::certificateChecksStayOn()
{
    UpdateManager manager; // the test authority is not trusted
    manager.setManifestUrl(QUrl(serve(QStringLiteral("untrusted.json"), manifest({}))));
    QSignalSpy failure(&manager, &UpdateManager::onCheckForUpdateError);
    QVERIFY(manager.checkForUpdate(true));
    QTRY_COMPARE_WITH_TIMEOUT(failure.size(), 1, 20000);
    QCOMPARE(failure.first().first().value<UpdateManager::UpdateError>(), UpdateManager::ManifestDownloadFailed);
}

void tst_UpdateManager::downloadWritesPackage()
{
    UpdateManager manager;
    trustTestAuthority(manager);
    const QByteArray package = debianPackage(1 << 20);
    UpdateManager::UpdateInfo info;
    info.version = QStringLiteral("0.26.0");
    info.url = serve(QStringLiteral("good.deb"), package);
    info.sha256 = QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());

    QSignalSpy done(&manager, &UpdateManager::onDownloadFinished);
    QSignalSpy progress(&manager, &UpdateManager::onDownloadProgress);
    QSignalSpy errors(&manager, &UpdateManager::onUpdateError);
    QVERIFY(manager.downloadInstaller(info));
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 20000);
    QCOMPARE(errors.size(), 0);

    const QString path = done.first().first().toString();
    QCOMPARE(QFileInfo(path).fileName(), QStringLiteral("Update_Talvento_0_26_0.deb"));
    // Staged where only this user can enter.
    QCOMPARE(QFileInfo(path).path(), OSHelper::stagingFolder());
    QCOMPARE(QFileInfo(path).path().section(QLatin1Char('/'), 0, -2), qEnvironmentVariable("XDG_RUNTIME_DIR"));
    QCOMPARE(int(QFileInfo(QFileInfo(path).path()).permissions() & 0x0077), 0);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), package);

    // At most one report per 256000 bytes (loopback may deliver it all at once), rising.
    QVERIFY(!progress.isEmpty());
    QVERIFY(progress.size() <= package.size() / 256000 + 1);
    for (qsizetype i = 1; i < progress.size(); ++i)
        QVERIFY(progress[i - 1].first().toFloat() < progress[i].first().toFloat());
    QVERIFY(progress.last().first().toFloat() <= 100.0f);
}

void tst_UpdateManager::downloadFailures_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<int>("error");

    const QByteArray package = debianPackage(600000);
    const QString good = serve(QStringLiteral("failures.deb"), package);
    QTest::newRow("plain http refused") << QString(good).replace("https:", "http:") << QString()
                                        << int(UpdateManager::UpdateDownloadFailed);
    QTest::newRow("not found") << url(QStringLiteral("/missing.deb")) << QString()
                               << int(UpdateManager::UpdateDownloadFailed);
    QTest::newRow("interrupted half-way") << url(QStringLiteral("/truncated/failures.deb")) << QString()
                                          << int(UpdateManager::FileDownloadInterruped);
    QTest::newRow("not a package") << serve(QStringLiteral("page.deb"), QByteArray(300000, 'x')) << QString()
                                   << int(UpdateManager::CorruptUpdateFile);
    QTest::newRow("checksum differs") << good << QString(64, QLatin1Char('0')) << int(UpdateManager::CorruptUpdateFile);
}

void tst_UpdateManager::downloadFailures()
{
    QFETCH(QString, address);
    QFETCH(QString, sha256);
    QFETCH(int, error);

    const QString target = OSHelper::stagingFolder() + QStringLiteral("/Update_Talvento_9_9_9.deb");
    QFile::remove(target);
    UpdateManager manager;
    trustTestAuthority(manager);
    UpdateManager::UpdateInfo info;
    info.version = QStringLiteral("9.9.9");
    info.url = address;
    info.sha256 = sha256;

    QSignalSpy errors(&manager, &UpdateManager::onUpdateError);
    QSignalSpy done(&manager, &UpdateManager::onDownloadFinished);
    QSignalSpy finished(&manager, &UpdateManager::onDownloadProcessFinished);
    QVERIFY(manager.downloadInstaller(info));
    QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
    QCOMPARE(done.size(), 0);
    QCOMPARE(errors.size(), 1);
    QCOMPARE(int(errors.first().first().value<UpdateManager::UpdateError>()), error);
    QVERIFY(!QFile::exists(target)); // nothing that failed is left to install
}

void tst_UpdateManager::versionFromTheProject()
{
    // The project's version is the running version, and the packaged metainfo says the same.
    const QList<int> project = UpdateManager::parseVersionNumber(QStringLiteral(TALVENTO_PROJECT_VERSION));
    QCOMPARE(project.size(), 3);
    QCOMPARE(UpdateManager::RunningVersionCode, project[0] * 100000 + project[1] * 1000 + project[2]);
    const QString u = QStringLiteral("https://example.invalid/p.deb");
    const QString next = QStringLiteral("%1.%2.%3").arg(project[0]).arg(project[1]).arg(project[2] + 1);
    UpdateManager::UpdateError err = UpdateManager::ParseFailed;
    const auto updates = UpdateManager::convertToList(
        manifest({entry("linux", QStringLiteral(TALVENTO_PROJECT_VERSION), u), entry("linux", next, u)}), err);
    QCOMPARE(updates.size(), 1);
    QCOMPARE(updates.first().version, next);

    QFile metainfo(QStringLiteral(TALVENTO_METAINFO));
    QVERIFY(metainfo.open(QIODevice::ReadOnly));
    QVERIFY(metainfo.readAll().contains("<release version=\"" TALVENTO_PROJECT_VERSION "\""));
}

namespace {

// An executable stand-in for pkexec with the shell `body`.
QString writeStandIn(const QString &path, const QByteArray &body)
{
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly) || script.write("#!/bin/sh\n" + body) < 0)
        return QString();
    script.close();
    return script.setPermissions(script.permissions() | QFileDevice::ExeOwner) ? path : QString();
}

// Downloads `package` through `manager` and returns the staged file, or "".
QString download(UpdateManager &manager, const QString &url, const QByteArray &package)
{
    UpdateManager::UpdateInfo info;
    info.version = QStringLiteral("0.30.0");
    info.url = url;
    info.sha256 = QString::fromLatin1(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex());
    QSignalSpy done(&manager, &UpdateManager::onDownloadFinished);
    if (!manager.downloadInstaller(info) || !done.wait(20000))
        return QString();
    return done.first().first().toString();
}

} // namespace

QString tst_UpdateManager::downloadForInstall(UpdateManager &manager, const QString &name, const QByteArray &standIn,
                                              const QString &runner)
{
    const QString elevator = writeStandIn(m_dir.filePath(QStringLiteral("pkexec-") + name), standIn);
    if (elevator.isEmpty())
        return QString(); // never without the stand-in: an empty elevator would install for real
    auto installer = std::make_shared<OSHelper>();
    installer->setElevator(elevator);
    installer->setRunnerPath(runner);
    trustTestAuthority(manager);
    manager.setInstaller(installer);
    const QByteArray package = debianPackage(5000);
    return download(manager, serve(name + QStringLiteral(".deb"), package), package);
}

void tst_UpdateManager::installedUpdateIsAnnounced()
{
    // The stand-in for pkexec records the package command instead of installing (no runner is
    // installed, so the command itself is elevated).
    const QString record = m_dir.filePath(QStringLiteral("installed"));
    UpdateManager manager;
    const QString path = downloadForInstall(manager, QStringLiteral("installed"),
                                            "printf '%s\\n' \"$@\" > '" + record.toUtf8() + "'\n",
                                            m_dir.filePath(QStringLiteral("no-runner")));
    QVERIFY(!path.isEmpty());
    QSignalSpy installed(&manager, &UpdateManager::onUpdateInstalled);
    QSignalSpy errors(&manager, &UpdateManager::onUpdateError);
    manager.runInstaller(path);
    QVERIFY(installed.wait(20000));
    QCOMPARE(errors.size(), 0);
    QFile recorded(record);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    QVERIFY(recorded.readAll().trimmed().endsWith(path.toUtf8()));
}

void tst_UpdateManager::packageSwappedAfterCheckIsRefused()
{
    // Through the build's runner, elevated by a stand-in that just runs it.
    UpdateManager manager;
    const QString path = downloadForInstall(manager, QStringLiteral("swapped"), "exec \"$@\"\n",
                                            qEnvironmentVariable("TALVENTO_RUNNER"));
    QVERIFY(!path.isEmpty());

    // Another well-formed package takes the checked one's place before the install.
    QFile staged(path);
    QVERIFY(staged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    staged.write(debianPackage(5002));
    staged.close();

    QSignalSpy installed(&manager, &UpdateManager::onUpdateInstalled);
    QSignalSpy errors(&manager, &UpdateManager::onUpdateError);
    manager.runInstaller(path);
    QVERIFY(errors.wait(20000));
    QCOMPARE(errors.first().first().value<UpdateManager::UpdateError>(), UpdateManager::FailedToStartInstaller);
    QCOMPARE(installed.size(), 0);
}

QTEST_GUILESS_MAIN(tst_UpdateManager)
#include "tst_updatemanager.moc"
