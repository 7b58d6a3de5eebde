#include "light/lightcontroller.h"

#include <QDebug>
#include <QMetaEnum>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

constexpr long maxBrightness = 100;
constexpr long defaultBrightness = 50;
constexpr long maxTemperature = 6500;
constexpr long defaultTemperature = 3250;
constexpr int frameSize = 6;

// The panel counts its colour range in percent, from the other end than our 0..6500 scale.
// Single precision, as the panel's own firmware tool computes it.
int temperatureToPercent(long value)
{
    return 100 - int(std::trunc(float(value) * 100.0f / float(maxTemperature)));
}

long percentToTemperature(int percent)
{
    return long(std::trunc(float(100 - percent) * float(maxTemperature) / 100.0f));
}

QByteArray commandFrame(const char *templateHex, int payload)
{
    QByteArray frame = QByteArray::fromHex(templateHex);
    frame[3] = char(payload & 0xff);
    return frame;
}

template <typename Enum> const char *enumName(Enum value)
{
    const char *name = QMetaEnum::fromType<Enum>().valueToKey(int(value));
    return name ? name : "unknown";
}

} // namespace

LightController::LightController(BaseSettings *settings, const QString &deviceName,
                                 const QString &serviceUuid, const QString &descriptorUuid,
                                 const QString &characteristicUuid, QObject *parent,
                                 std::shared_ptr<BleTransport> transport)
    : QObject(nullptr)
    , m_settings(settings)
    , m_transport(transport ? std::move(transport) : BleTransport::createSystem())
{
    Q_UNUSED(parent);
    m_worker = Worker::create(this, true);
    m_worker->runFunctionSync([&](QObject *) {
        m_discoveryAgent = m_transport->createDiscoveryAgent(m_worker.data());
        configure(deviceName, serviceUuid, descriptorUuid, characteristicUuid);
        m_statusTimer = new QTimer(m_worker.data());
        m_connectionTimer = new QTimer(m_worker.data());
        m_connectionTimer->setSingleShot(true);
        m_connectionTimer->setInterval(15000);
        connect(m_connectionTimer, &QTimer::timeout, m_worker.data(),
                [this] { connectionTimedOut(); });
    });
    connect(m_statusTimer, &QTimer::timeout, m_worker.data(), [this] { statusCheck(); });
}

LightController::~LightController()
{
    qDebug() << "~LightController DCTOR - before runFunctionSync";
    m_worker->runFunctionSync([this](QObject *) { m_statusTimer->stop(); });
    qDebug() << "~LightController DCTOR - after runFunctionSync";
    m_running = false;
    stopInternal();
    qDebug() << "~LightController DCTOR - after stop";
    // Reports already queued on the worker (a scan that fails after it was stopped) still run
    // handlers that use m_worker: the thread ends before the pointer goes.
    m_worker->shutdown();
    m_worker.reset();
    qDebug() << "~LightController DCTOR - after _worker.reset()";
}

void LightController::configure(const QString &deviceName, const QString &serviceUuid,
                                const QString &descriptorUuid, const QString &characteristicUuid)
{
    m_deviceName = deviceName;
    m_serviceUuid = QBluetoothUuid(serviceUuid);
    m_descriptorUuid = QBluetoothUuid(descriptorUuid);
    m_characteristicUuid = QBluetoothUuid(characteristicUuid);

    connect(m_discoveryAgent, &BleDiscoveryAgent::deviceDiscovered, m_worker.data(),
            [this](const QBluetoothDeviceInfo &device) {
                qDebug() << "BLE Device Discovered: " << device.name() << device.address();
                if (m_central || device.name() != m_deviceName)
                    return;
                m_worker->runFunctionAsync([this, device](QObject *) { connectToPanel(device); });
            });
    connect(m_discoveryAgent, &BleDiscoveryAgent::finished, m_worker.data(),
            [this] { discoveryEnded(); });
    // A scan that cannot run (no adapter, BlueZ gone) ends the pass as well; Qt does not
    // report finished() then.
    connect(m_discoveryAgent, &BleDiscoveryAgent::errorOccurred, m_worker.data(),
            [this](QBluetoothDeviceDiscoveryAgent::Error error, const QString &text) {
                qWarning() << "BLE errorOccurred:" << enumName(error) << text;
                discoveryEnded();
            });
}

void LightController::start()
{
    m_running = false;
    stopInternal();
    qDebug() << "BLE LightController::start";
    m_running = true;
    m_worker->runFunctionAsync([this](QObject *) {
        m_discoveryAgent->start();
        if (!m_statusTimer->isActive())
            m_statusTimer->start(m_keepAliveMs);
    });
}

void LightController::stop()
{
    m_running = false;
    stopInternal();
}

bool LightController::isConnected() const
{
    return m_connected.load(std::memory_order_acquire);
}

bool LightController::setBrightness(long value, bool autoMode)
{
    Q_UNUSED(autoMode);
    if (!isConnected())
        return false;
    m_worker->runFunctionAsync([this, value](QObject *) { write(Command::Brightness, value); });
    return true;
}

bool LightController::getBrightness(CameraSetting &setting)
{
    setting = { m_settings->getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness)
                    .toInt(),
                1, maxBrightness, 0, defaultBrightness, false, false };
    return true;
}

bool LightController::setTemperature(long value, bool autoMode)
{
    Q_UNUSED(autoMode);
    if (!isConnected())
        return false;
    m_worker->runFunctionAsync([this, value](QObject *) { write(Command::Temperature, value); });
    return true;
}

bool LightController::getTemperature(CameraSetting &setting)
{
    setting = { m_settings->getSubSetting(BaseSettings::BLELight, BaseSettings::BLETemperature)
                    .toInt(),
                1, maxTemperature, 0, defaultTemperature, false, false };
    return true;
}

bool LightController::setLit(bool lit)
{
    if (!isConnected())
        return false;
    m_worker->runFunctionAsync([this, lit](QObject *) {
        if (!lit) {
            write(Command::Off, 0);
            return;
        }
        // A stored brightness of 0 would leave the panel dark; it comes on at the default then.
        const long stored = m_settings->getSubSetting(BaseSettings::BLELight, BaseSettings::BLEBrightness).toInt();
        write(Command::Brightness, stored > 0 ? stored : defaultBrightness);
    });
    return true;
}

bool LightController::isLit() const
{
    return isConnected() && m_lit.load(std::memory_order_acquire);
}

void LightController::setIntervals(int keepAliveMs, int connectionLimitMs)
{
    m_worker->runFunctionSync([=, this](QObject *) {
        m_keepAliveMs = keepAliveMs;
        if (m_statusTimer->isActive())
            m_statusTimer->start(keepAliveMs);
        m_connectionTimer->setInterval(connectionLimitMs);
    });
}

void LightController::stopInternal()
{
    m_worker->runFunctionSync([this](QObject *) {
        qDebug() << "BLE LightController::stopInternal";
        m_connected.store(false, std::memory_order_release);
        m_connectionTimer->stop();
        m_discoveryAgent->stop();
        if (m_central) {
            // Signals of a link we gave up must not reach the handlers of the next one.
            m_central->disconnect();
            // Discovering and discovered count as connected too; a link left up would keep the
            // panel from advertising again.
            if (m_central->state() != QLowEnergyController::UnconnectedState)
                m_central->disconnectFromDevice();
            m_central->deleteLater();
            m_central = nullptr;
        }
        if (m_service) {
            m_service->disconnect();
            m_service->deleteLater();
            m_service = nullptr;
        }
        m_controlCharacteristic = {};
        emit onStatusChanged(false);
    });
}

void LightController::discoveryEnded()
{
    if (m_central)
        return;
    qWarning() << "BLE Device not found!";
    stopInternal();
}

void LightController::connectToPanel(const QBluetoothDeviceInfo &device)
{
    if (m_central)
        return;
    qDebug() << "BLE Device Found" << device.name() << "stopping discovery";
    m_discoveryAgent->stop();
    m_central = m_transport->createCentral(device, m_worker.data());
    QObject *context = m_worker.data();
    connect(m_central, &BleCentral::connected, context, [this] { m_central->discoverServices(); });
    connect(m_central, &BleCentral::disconnected, context, [this] {
        qDebug() << "BLE Device disconnected!";
        stopInternal();
    });
    connect(m_central, &BleCentral::errorOccurred, context,
            [](QLowEnergyController::Error error) {
                qWarning() << "BLE errorOccurred:" << enumName(error);
            });
    connect(m_central, &BleCentral::discoveryFinished, context, [this] {
        if (m_service)
            return;
        qWarning() << "BLE Service not found!";
        stopInternal();
    });
    connect(m_central, &BleCentral::serviceDiscovered, context,
            [this](const QBluetoothUuid &uuid) { serviceDiscovered(uuid); });
    m_connectionTimer->start();
    m_central->connectToDevice();
}

void LightController::serviceDiscovered(const QBluetoothUuid &uuid)
{
    qDebug() << "BLE Service Discovered: " << uuid;
    if (uuid != m_serviceUuid || m_service)
        return;
    qDebug() << "BLE Service Found" << uuid << "creating service...";
    m_service = m_central->createServiceObject(uuid, m_worker.data());
    if (!m_service) {
        qWarning() << "BLE Service not found!";
        stopInternal();
        return;
    }
    QObject *context = m_worker.data();
    connect(m_service, &BleService::characteristicChanged, context,
            [this](const BleCharacteristic &c, const QByteArray &value) {
                characteristicChanged(c, value);
            });
    connect(m_service, &BleService::characteristicRead, context,
            [](const BleCharacteristic &c, const QByteArray &value) {
                qDebug() << "BLE characteristicRead:" << c.uuid << value.toHex(' ');
            });
    connect(m_service, &BleService::characteristicWritten, context,
            [](const BleCharacteristic &c, const QByteArray &value) {
                qDebug() << "BLE characteristicWritten:" << c.uuid << value.toHex(' ');
            });
    connect(m_service, &BleService::descriptorRead, context,
            [](const BleDescriptor &d, const QByteArray &value) {
                qDebug() << "BLE descriptorRead:" << d.uuid << value.toHex(' ');
            });
    connect(m_service, &BleService::descriptorWritten, context,
            [](const BleDescriptor &d, const QByteArray &value) {
                qDebug() << "BLE descriptorWritten:" << d.uuid << value.toHex(' ');
            });
    connect(m_service, &BleService::errorOccurred, context,
            [](QLowEnergyService::ServiceError error) {
                qWarning() << "BLE errorOccurred:" << enumName(error);
            });
    connect(m_service, &BleService::stateChanged, context,
            [this](QLowEnergyService::ServiceState state) {
                if (state == QLowEnergyService::RemoteServiceDiscovered)
                    serviceDetailsDiscovered();
            });
    m_service->discoverDetails();
}

void LightController::serviceDetailsDiscovered()
{
    const QList<BleCharacteristic> characteristics = m_service->characteristics();
    for (const BleCharacteristic &c : characteristics) {
        qDebug() << "BLE Characteristic: " << c.name << c.uuid;
        if (c.properties & QLowEnergyCharacteristic::Write)
            qDebug() << "BLE Characteristic Supports Write";
        if (c.properties & QLowEnergyCharacteristic::WriteNoResponse)
            qDebug() << "BLE Characteristic Supports WriteNoResponse";
        if (c.properties & QLowEnergyCharacteristic::Notify)
            qDebug() << "BLE Characteristic Supports Notify";
        if (c.properties & QLowEnergyCharacteristic::Read)
            qDebug() << "BLE Characteristic Supports Read";
        for (const BleDescriptor &d : c.descriptors)
            qDebug() << "BLE descriptor:" << d.name << int(d.type) << d.uuid << d.value;
        const BleDescriptor notification = c.descriptor(m_descriptorUuid);
        if (notification.isValid() && (c.properties & QLowEnergyCharacteristic::Notify)) {
            qDebug() << "BLE Notification Descriptor found, enabling notifications for"
                     << notification.uuid;
            m_service->writeDescriptor(c, notification, QByteArray::fromHex("0100"));
            m_notificationCharacteristic = c;
        }
    }

    const BleCharacteristic control = m_service->characteristic(m_characteristicUuid);
    if (!control.isValid()) {
        qWarning() << "BLE Characteristic not found!";
        stopInternal();
        return;
    }
    m_controlCharacteristic = control;
    m_connectionTimer->stop();
    // A new link knows nothing of the panel's state until it reports or is sent a brightness.
    m_lit.store(true, std::memory_order_release);
    m_connected.store(true, std::memory_order_release);
    qDebug() << "BLE Characteristic found!";
    emit onStatusChanged(true);
}

void LightController::statusCheck()
{
    const bool connected = isConnected();
    const bool discovering = m_discoveryAgent->isActive();
    qDebug() << "BLE Status" << connected << " (" << m_running.load() << ") - discovering = "
             << discovering;
    // A connection attempt under way is left to its own time limit: restarting here would cut
    // off every link that takes longer than the rest of the current period to come up.
    if (m_running && !connected && !discovering && !m_central) {
        qDebug() << "BLE Status - restarting";
        start();
    }
}

void LightController::connectionTimedOut()
{
    qWarning() << "BLE Connection not established within" << m_connectionTimer->interval()
               << "ms, giving up";
    stopInternal();
}

void LightController::write(Command command, long value)
{
    if (!isConnected())
        return;
    // The user interface offers 0..100 and 0..6500; a value outside would wrap around in the
    // frame's single byte and, say, switch the light off for 256.
    QByteArray frame;
    if (command == Command::Off) {
        // Dark, but the stored brightness stays: it is what the panel comes back on at.
        qDebug() << "Sending data to BLE - switching off";
        updateLit(false);
        m_service->writeCharacteristic(m_controlCharacteristic, commandFrame("aa55200055aa", 0),
                                       QLowEnergyService::WriteWithoutResponse);
        return;
    }
    if (command == Command::Brightness) {
        value = std::clamp(value, 0L, maxBrightness);
        qDebug() << "Sending data to BLE - setBrightness" << value;
        frame = commandFrame("aa55200055aa", int(value));
        updateLit(value > 0);
    } else {
        value = std::clamp(value, 0L, maxTemperature);
        qDebug() << "Sending data to BLE - setTemperature" << value;
        frame = commandFrame("aa55100055aa", temperatureToPercent(value));
    }
    m_service->writeCharacteristic(m_controlCharacteristic, frame,
                                   QLowEnergyService::WriteWithoutResponse);
    m_settings->setSubSetting(BaseSettings::BLELight,
                              command == Command::Brightness ? BaseSettings::BLEBrightness
                                                             : BaseSettings::BLETemperature,
                              int(value));
}

void LightController::characteristicChanged(const BleCharacteristic &characteristic,
                                            const QByteArray &value)
{
    if (characteristic.uuid != m_notificationCharacteristic.uuid)
        return;
    qDebug() << "BLE characteristicChanged:" << characteristic.uuid << value.toHex(' ');
    if (value.size() != frameSize)
        return;
    const int brightness = qint8(value[3]);
    const int percent = qint8(value[2]);
    qDebug() << "BLE Changed - brightness:" << brightness << "temperature:" << percent;
    // Whatever the panel reports, the stored values stay inside the ranges the user interface
    // offers.
    const long clampedBrightness = std::clamp(long(brightness), 0L, maxBrightness);
    // A dark panel (switched off here or on the panel) reports 0: the stored brightness stays
    // what it comes back on at.
    if (clampedBrightness > 0 && storeIfChanged(BaseSettings::BLEBrightness, clampedBrightness))
        emit onBrightness(clampedBrightness, false);
    updateLit(clampedBrightness > 0);
    const long temperature = std::clamp(percentToTemperature(percent), 0L, maxTemperature);
    if (storeIfChanged(BaseSettings::BLETemperature, temperature))
        emit onTemperature(temperature, false);
}

void LightController::updateLit(bool lit)
{
    if (m_lit.exchange(lit, std::memory_order_acq_rel) != lit)
        emit onLitChanged(lit);
}

bool LightController::storeIfChanged(BaseSettings::SubSettings entry, long value)
{
    if (m_settings->getSubSetting(BaseSettings::BLELight, entry).toInt() == value)
        return false;
    m_settings->setSubSetting(BaseSettings::BLELight, entry, int(value));
    return true;
}
