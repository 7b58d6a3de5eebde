#include "tests/support/fakesystem/fakesystem.h"
#include "vcam/cameraextension.h"
#include "vcam/vcam.h"
#include "vcam/virtualcamera.h"

#include <QCoreApplication>
#include <QTest>

/// Installing and removing the v4l2loopback node through the privileged runner and the module
/// script, on a stand-in system (the wizard's side of the outcomes: tst_PermissionsWidget).
class tst_CameraExtension : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void checkHasNoSideEffects();
    void progressWhileThePackageInstalls();
    void failuresCarryTheirReason_data();
    void failuresCarryTheirReason();
    void uninstallUnloadsOnlyAnIdleNodeOfOurs_data();
    void uninstallUnloadsOnlyAnIdleNodeOfOurs();
    void standInOthersMayChangeIsRefused();

private:
    /// Runs install or uninstall and waits for its one result.
    int request(bool install, QList<int> *progress = nullptr);

    std::unique_ptr<FakeSystem> m_system;
};

void tst_CameraExtension::init()
{
    m_system = std::make_unique<FakeSystem>();
    QVERIFY(m_system->isValid());
    cameraextension::setSystem({m_system->path(), m_system->filePath(QStringLiteral("elevator")),
                                qEnvironmentVariable("TALVENTO_RUNNER")});
    // The installed flag is class-wide and kept once seen; an uninstall clears it.
    QCOMPARE(request(false), 1);
    QFile::remove(m_system->filePath(QStringLiteral("log")));
}

int tst_CameraExtension::request(bool install, QList<int> *progress)
{
    int result = -1;
    int answers = 0;
    auto done = [&](int code) {
        result = code;
        ++answers;
    };
    if (install)
        VCam::installExtension(done, [progress](int percent) {
            if (progress)
                progress->append(percent);
        });
    else
        VCam::uninstallExtension(done);
    if (!QTest::qWaitFor([&] { return answers > 0; }, 30000))
        return -1;
    QTest::qWait(50); // one answer per request
    return answers == 1 ? result : -1;
}

void tst_CameraExtension::checkHasNoSideEffects()
{
    QVERIFY(!VCam::isExtensionInstalled());
    QVERIFY(!virtualcamera::isPublished()); // the shared-memory camera comes with the feed
    QVERIFY(!m_system->exists(QStringLiteral("log")));

    m_system->loadLoopback("Talvento Control");
    QVERIFY(VCam::isExtensionInstalled());
    QCOMPARE(cameraextension::ourLoopbackNode(), QStringLiteral("/dev/video3"));
    QVERIFY(!cameraextension::otherLoopbackLoaded());
    QVERIFY(!virtualcamera::isPublished());
    QVERIFY(!m_system->exists(QStringLiteral("log")));
}

void tst_CameraExtension::progressWhileThePackageInstalls()
{
    QList<int> progress;
    QCOMPARE(request(true, &progress), 1);
    QCOMPARE(VCam::lastErrorMessage(), QString());
    QVERIFY(VCam::isExtensionInstalled());
    // The package's own progress, in order, then the module's load.
    QCOMPARE(progress, (QList<int>{0, 20, 40, 80, 95}));
    const QByteArray log = m_system->read(QStringLiteral("log"));
    QVERIFY2(log.contains("apt-get install v4l2loopback-dkms -y") && log.contains("DEBIAN_FRONTEND=noninteractive"),
             log.constData());
    QVERIFY(log.contains("--force-confold"));
    QVERIFY(log.contains("modprobe v4l2loopback devices=1 exclusive_caps=1 card_label=Talvento Control max_buffers=2\n"));
    // Kept for the next boot.
    QCOMPARE(m_system->read(QStringLiteral("etc/modprobe.d/talvento-control.conf")),
             QByteArray("options v4l2loopback devices=1 exclusive_caps=1 card_label=\"Talvento Control\" max_buffers=2\n"));
    QCOMPARE(m_system->read(QStringLiteral("etc/modules-load.d/talvento-control.conf")), QByteArray("v4l2loopback\n"));
    // Installed already: answered at once, nothing runs.
    QFile::remove(m_system->filePath(QStringLiteral("log")));
    QCOMPARE(request(true), 1);
    QVERIFY(!m_system->exists(QStringLiteral("log")));
}

void tst_CameraExtension::failuresCarryTheirReason_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("reason");
    QTest::newRow("package not found") << "apt-fails" << "could not be installed";
    QTest::newRow("module not built") << "build-fails" << "linux-headers-6.1.0-fake";
    QTest::newRow("module refused") << "modprobe-error" << "could not be loaded: modprobe: ERROR: bad thing";
}

void tst_CameraExtension::failuresCarryTheirReason()
{
    QFETCH(QString, state);
    QFETCH(QString, reason);
    m_system->write(QStringLiteral("state/") + state, "modprobe: ERROR: bad thing\n");
    if (state == "modprobe-error")
        m_system->write(QStringLiteral("state/module-installed"), "");
    QCOMPARE(request(true), 0);
    QVERIFY2(VCam::lastErrorMessage().contains(reason), qPrintable(VCam::lastErrorMessage()));
    QVERIFY(!VCam::isExtensionInstalled());
}

void tst_CameraExtension::uninstallUnloadsOnlyAnIdleNodeOfOurs_data()
{
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<int>("readers");
    QTest::addColumn<bool>("unloaded");
    QTest::newRow("ours, idle") << QByteArray("Talvento Control") << 0 << true;
    QTest::newRow("ours, read by an application") << QByteArray("Talvento Control") << 1 << false;
    QTest::newRow("another program's") << QByteArray("OBS Virtual Camera") << 0 << false;
}

void tst_CameraExtension::uninstallUnloadsOnlyAnIdleNodeOfOurs()
{
    QFETCH(QByteArray, label);
    QFETCH(int, readers);
    QFETCH(bool, unloaded);
    m_system->loadLoopback(label, readers);
    m_system->write(QStringLiteral("etc/modprobe.d/talvento-control.conf"), "options v4l2loopback\n");
    m_system->write(QStringLiteral("etc/modules-load.d/talvento-control.conf"), "v4l2loopback\n");
    QCOMPARE(request(false), 1);
    QVERIFY(!m_system->exists(QStringLiteral("etc/modprobe.d/talvento-control.conf")));
    QVERIFY(!m_system->exists(QStringLiteral("etc/modules-load.d/talvento-control.conf")));
    QCOMPARE(m_system->read(QStringLiteral("log")).contains("modprobe -r v4l2loopback"), unloaded);
    QCOMPARE(m_system->exists(QStringLiteral("sys/module/v4l2loopback")), !unloaded);
    if (readers > 0)
        QVERIFY(VCam::lastErrorMessage().contains("still reads the camera"));
}

void tst_CameraExtension::standInOthersMayChangeIsRefused()
{
    // A root run must never run tools that someone else could have replaced.
    QFile::setPermissions(m_system->filePath(QStringLiteral("bin/modprobe")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                              | QFileDevice::WriteOther | QFileDevice::ExeOther);
    m_system->write(QStringLiteral("state/module-installed"), "");
    QCOMPARE(request(true), 0);
    QVERIFY2(VCam::lastErrorMessage().contains("refusing the system stand-in"), qPrintable(VCam::lastErrorMessage()));
    QVERIFY(!m_system->read(QStringLiteral("log")).contains("modprobe"));
}

QTEST_GUILESS_MAIN(tst_CameraExtension)
#include "tst_cameraextension.moc"
