// LightController through Qt Bluetooth and BlueZ's D-Bus interface: a mock BlueZ
// (python3-dbusmock) on a private bus plays the panel.
#include "light/lightcontroller.h"
#include "tests/light/logcapture.h"
#include "tests/light/signalrecorder.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Under ThreadSanitizer Qt Bluetooth's D-Bus traffic runs several times slower.
#ifdef __SANITIZE_THREAD__
constexpr int slowdown = 4;
#else
constexpr int slowdown = 1;
#endif
constexpr int connectTimeoutMs = 30000 * slowdown;

} // namespace

class tst_LightBluez : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void framesReachThePanel();
    void servicesNeverResolve();

private:
    void createController(int connectionLimitMs);
    QString panel(const QStringList &arguments);
    void stopProcess(QProcess &process);

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_bluez;
    std::unique_ptr<BaseSettings> m_settings;
    std::unique_ptr<LightController> m_controller;
};

void tst_LightBluez::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const bool mockAvailable = QProcess::execute(QStringLiteral("/usr/bin/python3"),
                                                 { "-c", "import dbusmock" })
        == 0;
    if (!mockAvailable || QStandardPaths::findExecutable("dbus-daemon").isEmpty()) {
        if (qEnvironmentVariableIsEmpty("TALVENTO_TEST_SERVICES"))
            QSKIP("python3-dbusmock or dbus-daemon missing (scripts/setup installs them)");
        QFAIL("python3-dbusmock or dbus-daemon missing");
    }

    // Qt reads these when it first touches Bluetooth; the 5.64 pretence makes it use BlueZ's
    // D-Bus GATT interface instead of the kernel's ATT socket, which the mock cannot offer.
    const QString address = "unix:path=" + m_dir.filePath("bus");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    qputenv("BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.64");
    qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
    LogCapture::install();

    m_bus.start("dbus-daemon", { "--session", "--nofork", "--address=" + address });
    QVERIFY(m_bus.waitForStarted());
    QTRY_VERIFY(QFile::exists(m_dir.filePath("bus")));
    m_bluez.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_bluez.start("/usr/bin/python3", { "-m", "dbusmock", "--system", "--template", "bluez5" });
    QVERIFY(m_bluez.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::systemBus().interface()->isServiceRegistered(
                                 QStringLiteral("org.bluez")),
                             10000);
    panel({ "setup" });
    m_settings = std::make_unique<BaseSettings>();
}

void tst_LightBluez::cleanup()
{
    m_controller.reset();
}

void tst_LightBluez::cleanupTestCase()
{
    m_settings.reset();
    stopProcess(m_bluez);
    stopProcess(m_bus);
}

void tst_LightBluez::createController(int connectionLimitMs)
{
    m_controller = std::make_unique<LightController>(
        m_settings.get(), QStringLiteral("Light_ble"),
        QStringLiteral("0000f530-1212-efde-1523-785feabcd123"),
        QStringLiteral("00002902-0000-1000-8000-00805f9b34fb"),
        QStringLiteral("0000f532-1212-efde-1523-785feabcd123"));
    m_controller->setIntervals(300, connectionLimitMs);
}

QString tst_LightBluez::panel(const QStringList &arguments)
{
    QProcess script;
    script.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    script.start("/usr/bin/python3",
                 QStringList { qEnvironmentVariable("TALVENTO_SOURCE_DIR")
                               + "/tests/light/mock_light_panel.py" }
                     + arguments);
    if (!script.waitForFinished(20000) || script.exitCode() != 0)
        qWarning() << "mock_light_panel.py" << arguments << "failed";
    return QString::fromUtf8(script.readAllStandardOutput()).trimmed();
}

void tst_LightBluez::stopProcess(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
}

void tst_LightBluez::framesReachThePanel()
{
    createController(10000 * slowdown);
    SignalRecorder brightness(m_controller.get(), &LightController::onBrightness);
    m_controller->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_controller->isConnected(), connectTimeoutMs);
    // Qt turns the write of 01 00 to the configuration descriptor into StartNotify.
    QTRY_COMPARE(panel({ "calls", "state", "StartNotify" }), QStringLiteral("1"));

    QVERIFY(m_controller->setBrightness(75, false));
    QVERIFY(m_controller->setTemperature(3250, false));
    QVERIFY(m_controller->setTemperature(0, false));
    QTRY_COMPARE_WITH_TIMEOUT(panel({ "writes" }),
                              QStringLiteral("aa55204b55aa\naa55103255aa\naa55106455aa"),
                              10000 * slowdown);
    QTRY_COMPARE(m_settings->getSubSetting(BaseSettings::BLELight, BaseSettings::BLETemperature)
                     .toInt(),
                 0);

    panel({ "notify", "0000323c0000" });
    QTRY_COMPARE_WITH_TIMEOUT(brightness.values().size(), 1, 10000 * slowdown);
    QCOMPARE(brightness.values().first(), 60L);
    QCOMPARE(m_settings->getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness).toInt(),
             60);

    // Stopping takes the link down, so the panel is free to advertise again.
    const QString disconnects = panel({ "calls", "device", "Disconnect" });
    m_controller->stop();
    QVERIFY(!m_controller->isConnected());
    QTRY_VERIFY(panel({ "calls", "device", "Disconnect" }).toInt() > disconnects.toInt());
}

void tst_LightBluez::servicesNeverResolve()
{
    panel({ "hang-connect" });
    createController(1500 * slowdown);
    SignalRecorder status(m_controller.get(), &LightController::onStatusChanged);
    const qsizetype mark = LogCapture::size();
    m_controller->start();
    // The attempt is torn down at the limit and the keep-alive tries again.
    QTRY_VERIFY_WITH_TIMEOUT(LogCapture::count("BLE Connection not established", mark) >= 1
                                 && LogCapture::count("BLE Device Found", mark) >= 2,
                             connectTimeoutMs);
    QVERIFY(!m_controller->isConnected());
    QVERIFY(!status.values().contains(true));
    // Each abandoned attempt was cancelled in BlueZ, not left pending.
    QVERIFY(panel({ "calls", "device", "Disconnect" }).toInt() >= 2);
}

QTEST_MAIN(tst_LightBluez)
#include "tst_lightbluez.moc"
