#include "light/simulatedlightpanel.h"

#include <QMutexLocker>
#include <QTimer>

#include <algorithm>

const QBluetoothUuid SimulatedLightPanel::serviceUuid(
    QStringLiteral("0000f530-1212-efde-1523-785feabcd123"));
const QBluetoothUuid SimulatedLightPanel::stateCharacteristicUuid(
    QStringLiteral("0000f531-1212-efde-1523-785feabcd123"));
const QBluetoothUuid SimulatedLightPanel::controlCharacteristicUuid(
    QStringLiteral("0000f532-1212-efde-1523-785feabcd123"));

namespace {

// A radio round trip; short, but never inside the caller's own call, as with a real link.
constexpr int linkLatencyMs = 20;

constexpr char brightnessCommand = 0x20;
constexpr char temperatureCommand = 0x10;

class SimDiscoveryAgent : public BleDiscoveryAgent
{
public:
    SimDiscoveryAgent(SimulatedLightPanel *panel, QObject *parent)
        : BleDiscoveryAgent(parent)
        , m_panel(panel)
    {
        m_passTimer.setSingleShot(true);
        connect(&m_passTimer, &QTimer::timeout, this, [this] {
            m_active = false;
            emit finished();
        });
        // A panel that starts advertising during a pass is seen in that pass.
        connect(panel, &SimulatedLightPanel::advertising, this, [this] { report(); },
                Qt::QueuedConnection);
    }

    void start() override
    {
        if (m_active)
            return;
        m_active = true;
        m_reported = false;
        m_passTimer.start(m_panel->scanPassMs());
        QTimer::singleShot(linkLatencyMs, this, [this] { report(); });
    }
    void stop() override
    {
        m_active = false;
        m_passTimer.stop();
    }
    bool isActive() const override { return m_active; }

private:
    void report()
    {
        if (!m_active || m_reported || !m_panel->isAdvertising())
            return;
        m_reported = true;
        QBluetoothDeviceInfo info(m_panel->address(), m_panel->name(), 0);
        info.setCoreConfigurations(QBluetoothDeviceInfo::LowEnergyCoreConfiguration);
        info.setRssi(-60);
        emit deviceDiscovered(info);
    }

    SimulatedLightPanel *m_panel;
    QTimer m_passTimer;
    bool m_active = false;
    bool m_reported = false;
};

BleCharacteristic stateCharacteristic(const QByteArray &value)
{
    const BleDescriptor clientConfiguration {
        QBluetoothUuid(QBluetoothUuid::DescriptorType::ClientCharacteristicConfiguration),
        QStringLiteral("Client Characteristic Configuration"),
        QBluetoothUuid::DescriptorType::ClientCharacteristicConfiguration,
        QByteArray::fromHex("0000")
    };
    return { SimulatedLightPanel::stateCharacteristicUuid, QStringLiteral("Light State"),
             QLowEnergyCharacteristic::Read | QLowEnergyCharacteristic::Notify, value,
             { clientConfiguration } };
}

BleCharacteristic controlCharacteristic()
{
    return { SimulatedLightPanel::controlCharacteristicUuid, QStringLiteral("Light Control"),
             QLowEnergyCharacteristic::Write | QLowEnergyCharacteristic::WriteNoResponse,
             {}, {} };
}

class SimService : public BleService
{
public:
    SimService(SimulatedLightPanel *panel, quint64 link, QObject *parent)
        : BleService(parent)
        , m_panel(panel)
        , m_link(link)
    {
        connect(panel, &SimulatedLightPanel::notified, this,
                [this](const QByteArray &value) {
                    if (m_state == QLowEnergyService::RemoteServiceDiscovered
                        && m_panel->isLinked(m_link))
                        emit characteristicChanged(m_characteristics.first(), value);
                },
                Qt::QueuedConnection);
        connect(panel, &SimulatedLightPanel::linkLost, this,
                [this] {
                    if (!m_panel->isLinked(m_link))
                        setState(QLowEnergyService::InvalidService);
                },
                Qt::QueuedConnection);
    }

    void discoverDetails() override
    {
        if (m_state != QLowEnergyService::RemoteService)
            return;
        setState(QLowEnergyService::RemoteServiceDiscovering);
        QTimer::singleShot(linkLatencyMs, this, [this] {
            if (!m_panel->isLinked(m_link)) {
                setState(QLowEnergyService::InvalidService);
                return;
            }
            m_characteristics = { stateCharacteristic(m_panel->stateValue()),
                                  controlCharacteristic() };
            setState(QLowEnergyService::RemoteServiceDiscovered);
        });
    }
    QLowEnergyService::ServiceState state() const override { return m_state; }
    QList<BleCharacteristic> characteristics() const override { return m_characteristics; }

    void writeCharacteristic(const BleCharacteristic &characteristic, const QByteArray &value,
                             QLowEnergyService::WriteMode mode) override
    {
        if (!m_panel->isLinked(m_link)
            || characteristic.uuid != SimulatedLightPanel::controlCharacteristicUuid) {
            emit errorOccurred(QLowEnergyService::CharacteristicWriteError);
            return;
        }
        m_panel->applyWrite(m_link, value);
        if (mode == QLowEnergyService::WriteWithResponse)
            emit characteristicWritten(characteristic, value);
    }

    void writeDescriptor(const BleCharacteristic &characteristic, const BleDescriptor &descriptor,
                         const QByteArray &value) override
    {
        if (!m_panel->isLinked(m_link)
            || characteristic.uuid != SimulatedLightPanel::stateCharacteristicUuid
            || descriptor.type
                != QBluetoothUuid::DescriptorType::ClientCharacteristicConfiguration) {
            emit errorOccurred(QLowEnergyService::DescriptorWriteError);
            return;
        }
        m_panel->setNotifying(m_link, !value.isEmpty() && (value[0] & 0x01));
        emit descriptorWritten(descriptor, value);
    }

private:
    void setState(QLowEnergyService::ServiceState state)
    {
        if (m_state == state)
            return;
        m_state = state;
        emit stateChanged(state);
    }

    SimulatedLightPanel *m_panel;
    const quint64 m_link;
    QLowEnergyService::ServiceState m_state = QLowEnergyService::RemoteService;
    QList<BleCharacteristic> m_characteristics;
};

class SimCentral : public BleCentral
{
public:
    SimCentral(SimulatedLightPanel *panel, QObject *parent)
        : BleCentral(parent)
        , m_panel(panel)
    {
        connect(panel, &SimulatedLightPanel::linkLost, this,
                [this] {
                    if (m_link == 0 || m_panel->isLinked(m_link))
                        return;
                    m_link = 0;
                    m_state = QLowEnergyController::UnconnectedState;
                    emit disconnected();
                },
                Qt::QueuedConnection);
    }
    ~SimCentral() override { m_panel->releaseLink(m_link); }

    void connectToDevice() override
    {
        if (m_state != QLowEnergyController::UnconnectedState)
            return;
        m_state = QLowEnergyController::ConnectingState;
        QTimer::singleShot(linkLatencyMs, this, [this] {
            if (m_state != QLowEnergyController::ConnectingState)
                return;
            // A panel that does not answer leaves the attempt pending, as BlueZ does.
            m_link = m_panel->acceptLink();
            if (m_link == 0)
                return;
            m_state = QLowEnergyController::ConnectedState;
            emit connected();
        });
    }

    void disconnectFromDevice() override
    {
        if (m_state == QLowEnergyController::UnconnectedState)
            return;
        const bool wasLinked = m_link != 0;
        m_panel->releaseLink(m_link);
        m_link = 0;
        m_state = QLowEnergyController::UnconnectedState;
        if (wasLinked)
            QMetaObject::invokeMethod(this, &BleCentral::disconnected, Qt::QueuedConnection);
    }

    void discoverServices() override
    {
        if (m_state != QLowEnergyController::ConnectedState)
            return;
        m_state = QLowEnergyController::DiscoveringState;
        QTimer::singleShot(linkLatencyMs, this, [this] {
            if (!m_panel->isLinked(m_link))
                return;
            m_state = QLowEnergyController::DiscoveredState;
            emit serviceDiscovered(QBluetoothUuid(QBluetoothUuid::ServiceClassUuid::GenericAccess));
            emit serviceDiscovered(SimulatedLightPanel::serviceUuid);
            emit discoveryFinished();
        });
    }

    QLowEnergyController::ControllerState state() const override { return m_state; }

    BleService *createServiceObject(const QBluetoothUuid &uuid, QObject *parent) override
    {
        if (uuid != SimulatedLightPanel::serviceUuid || !m_panel->isLinked(m_link))
            return nullptr;
        return new SimService(m_panel, m_link, parent);
    }

private:
    SimulatedLightPanel *m_panel;
    quint64 m_link = 0;
    QLowEnergyController::ControllerState m_state = QLowEnergyController::UnconnectedState;
};

} // namespace

SimulatedLightPanel::SimulatedLightPanel(const QString &name)
    : m_name(name)
    , m_address(QStringLiteral("C0:FF:EE:54:4C:01"))
{
}

SimulatedLightPanel::~SimulatedLightPanel() = default;

void SimulatedLightPanel::setPoweredOn(bool on)
{
    bool lostLink = false;
    {
        QMutexLocker lock(&m_mutex);
        if (m_poweredOn == on)
            return;
        m_poweredOn = on;
        lostLink = m_link != 0;
        m_link = 0;
        m_notifying = false;
    }
    if (lostLink)
        emit linkLost();
    if (on)
        emit advertising();
}

bool SimulatedLightPanel::isPoweredOn() const
{
    QMutexLocker lock(&m_mutex);
    return m_poweredOn;
}

void SimulatedLightPanel::dropConnection()
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_link == 0)
            return;
        m_link = 0;
        m_notifying = false;
    }
    emit linkLost();
    emit advertising();
}

bool SimulatedLightPanel::isConnected() const
{
    QMutexLocker lock(&m_mutex);
    return m_link != 0;
}

void SimulatedLightPanel::setAnswersConnections(bool answers)
{
    QMutexLocker lock(&m_mutex);
    m_answersConnections = answers;
}

void SimulatedLightPanel::setScanPassMs(int ms)
{
    QMutexLocker lock(&m_mutex);
    m_scanPassMs = ms;
}

int SimulatedLightPanel::scanPassMs() const
{
    QMutexLocker lock(&m_mutex);
    return m_scanPassMs;
}

int SimulatedLightPanel::brightness() const
{
    QMutexLocker lock(&m_mutex);
    return m_brightness;
}

int SimulatedLightPanel::temperaturePercent() const
{
    QMutexLocker lock(&m_mutex);
    return m_temperaturePercent;
}

void SimulatedLightPanel::setLocalState(int brightness, int temperaturePercent)
{
    {
        QMutexLocker lock(&m_mutex);
        m_brightness = std::clamp(brightness, 0, 100);
        m_temperaturePercent = std::clamp(temperaturePercent, 0, 100);
    }
    notifyState();
}

void SimulatedLightPanel::sendNotification(const QByteArray &value)
{
    if (isNotifying())
        emit notified(value);
}

bool SimulatedLightPanel::isNotifying() const
{
    QMutexLocker lock(&m_mutex);
    return m_link != 0 && m_notifying;
}

QList<QByteArray> SimulatedLightPanel::writtenFrames() const
{
    QMutexLocker lock(&m_mutex);
    // Unshared: the next write may grow the list in place once the count of sharers reads 1, and
    // Qt reads that count without ordering the caller's last access first.
    QList<QByteArray> frames = m_writtenFrames;
    frames.detach();
    return frames;
}

BleDiscoveryAgent *SimulatedLightPanel::createDiscoveryAgent(QObject *parent)
{
    return new SimDiscoveryAgent(this, parent);
}

BleCentral *SimulatedLightPanel::createCentral(const QBluetoothDeviceInfo &device,
                                               QObject *parent)
{
    Q_UNUSED(device);
    return new SimCentral(this, parent);
}

bool SimulatedLightPanel::isAdvertising() const
{
    QMutexLocker lock(&m_mutex);
    return m_poweredOn && m_link == 0;
}

quint64 SimulatedLightPanel::acceptLink()
{
    QMutexLocker lock(&m_mutex);
    if (!m_poweredOn || !m_answersConnections || m_link != 0)
        return 0;
    m_link = ++m_lastLink;
    m_notifying = false;
    return m_link;
}

void SimulatedLightPanel::releaseLink(quint64 link)
{
    {
        QMutexLocker lock(&m_mutex);
        if (link == 0 || m_link != link)
            return;
        m_link = 0;
        m_notifying = false;
    }
    emit advertising();
}

bool SimulatedLightPanel::isLinked(quint64 link) const
{
    QMutexLocker lock(&m_mutex);
    return link != 0 && m_link == link;
}

void SimulatedLightPanel::applyWrite(quint64 link, const QByteArray &value)
{
    {
        QMutexLocker lock(&m_mutex);
        if (link == 0 || m_link != link)
            return;
        m_writtenFrames.append(value);
        const bool framed = value.size() == 6 && value.startsWith("\xaa\x55")
                            && value.endsWith("\x55\xaa");
        if (!framed)
            return;
        const int level = std::min(int(quint8(value[3])), 100);
        if (value[2] == brightnessCommand)
            m_brightness = level;
        else if (value[2] == temperatureCommand)
            m_temperaturePercent = level;
        else
            return;
    }
    notifyState();
}

void SimulatedLightPanel::setNotifying(quint64 link, bool notifying)
{
    QMutexLocker lock(&m_mutex);
    if (link != 0 && m_link == link)
        m_notifying = notifying;
}

QByteArray SimulatedLightPanel::stateValue() const
{
    QMutexLocker lock(&m_mutex);
    return stateValueLocked();
}

QByteArray SimulatedLightPanel::stateValueLocked() const
{
    QByteArray value(6, '\0');
    value[2] = char(m_temperaturePercent);
    value[3] = char(m_brightness);
    return value;
}

void SimulatedLightPanel::notifyState()
{
    QByteArray value;
    {
        QMutexLocker lock(&m_mutex);
        if (m_link == 0 || !m_notifying)
            return;
        value = stateValueLocked();
    }
    emit notified(value);
}
