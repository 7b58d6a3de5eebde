// The Bluetooth LE transport on Qt Bluetooth, which talks to BlueZ over D-Bus.
#include "light/bletransport.h"

namespace {

BleDescriptor toRecord(const QLowEnergyDescriptor &descriptor)
{
    return { descriptor.uuid(), descriptor.name(), descriptor.type(), descriptor.value() };
}

BleCharacteristic toRecord(const QLowEnergyCharacteristic &characteristic)
{
    BleCharacteristic record { characteristic.uuid(), characteristic.name(),
                               characteristic.properties(), characteristic.value(), {} };
    const QList<QLowEnergyDescriptor> descriptors = characteristic.descriptors();
    for (const QLowEnergyDescriptor &d : descriptors)
        record.descriptors.append(toRecord(d));
    return record;
}

class QtDiscoveryAgent : public BleDiscoveryAgent
{
public:
    explicit QtDiscoveryAgent(QObject *parent)
        : BleDiscoveryAgent(parent)
        , m_agent(new QBluetoothDeviceDiscoveryAgent(this))
    {
        connect(m_agent, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, this,
                &BleDiscoveryAgent::deviceDiscovered);
        connect(m_agent, &QBluetoothDeviceDiscoveryAgent::finished, this,
                &BleDiscoveryAgent::finished);
        // Without an adapter Qt reports the error from inside start() and never finishes.
        connect(m_agent, &QBluetoothDeviceDiscoveryAgent::errorOccurred, this,
                [this](QBluetoothDeviceDiscoveryAgent::Error error) {
                    emit errorOccurred(error, m_agent->errorString());
                });
    }

    void start() override { m_agent->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod); }
    void stop() override { m_agent->stop(); }
    bool isActive() const override { return m_agent->isActive(); }

private:
    QBluetoothDeviceDiscoveryAgent *m_agent;
};

class QtService : public BleService
{
public:
    QtService(QLowEnergyService *service, QObject *parent)
        : BleService(parent)
        , m_service(service)
    {
        m_service->setParent(this);
        connect(m_service, &QLowEnergyService::stateChanged, this, &BleService::stateChanged);
        connect(m_service, &QLowEnergyService::errorOccurred, this, &BleService::errorOccurred);
        connect(m_service, &QLowEnergyService::characteristicChanged, this,
                [this](const QLowEnergyCharacteristic &c, const QByteArray &value) {
                    emit characteristicChanged(toRecord(c), value);
                });
        connect(m_service, &QLowEnergyService::characteristicRead, this,
                [this](const QLowEnergyCharacteristic &c, const QByteArray &value) {
                    emit characteristicRead(toRecord(c), value);
                });
        connect(m_service, &QLowEnergyService::characteristicWritten, this,
                [this](const QLowEnergyCharacteristic &c, const QByteArray &value) {
                    emit characteristicWritten(toRecord(c), value);
                });
        connect(m_service, &QLowEnergyService::descriptorRead, this,
                [this](const QLowEnergyDescriptor &d, const QByteArray &value) {
                    emit descriptorRead(toRecord(d), value);
                });
        connect(m_service, &QLowEnergyService::descriptorWritten, this,
                [this](const QLowEnergyDescriptor &d, const QByteArray &value) {
                    emit descriptorWritten(toRecord(d), value);
                });
    }

    void discoverDetails() override
    {
        m_service->discoverDetails(QLowEnergyService::FullDiscovery);
    }
    QLowEnergyService::ServiceState state() const override { return m_service->state(); }

    QList<BleCharacteristic> characteristics() const override
    {
        QList<BleCharacteristic> records;
        const QList<QLowEnergyCharacteristic> all = m_service->characteristics();
        for (const QLowEnergyCharacteristic &c : all)
            records.append(toRecord(c));
        return records;
    }

    void writeCharacteristic(const BleCharacteristic &characteristic, const QByteArray &value,
                             QLowEnergyService::WriteMode mode) override
    {
        m_service->writeCharacteristic(m_service->characteristic(characteristic.uuid), value, mode);
    }

    void writeDescriptor(const BleCharacteristic &characteristic, const BleDescriptor &descriptor,
                         const QByteArray &value) override
    {
        const QLowEnergyCharacteristic c = m_service->characteristic(characteristic.uuid);
        m_service->writeDescriptor(c.descriptor(descriptor.uuid), value);
    }

private:
    QLowEnergyService *m_service;
};

class QtCentral : public BleCentral
{
public:
    QtCentral(const QBluetoothDeviceInfo &device, QObject *parent)
        : BleCentral(parent)
        , m_controller(QLowEnergyController::createCentral(device, this))
    {
        connect(m_controller, &QLowEnergyController::connected, this, &BleCentral::connected);
        connect(m_controller, &QLowEnergyController::disconnected, this, &BleCentral::disconnected);
        connect(m_controller, &QLowEnergyController::errorOccurred, this,
                &BleCentral::errorOccurred);
        connect(m_controller, &QLowEnergyController::serviceDiscovered, this,
                &BleCentral::serviceDiscovered);
        connect(m_controller, &QLowEnergyController::discoveryFinished, this,
                &BleCentral::discoveryFinished);
    }

    void connectToDevice() override { m_controller->connectToDevice(); }
    void disconnectFromDevice() override { m_controller->disconnectFromDevice(); }
    void discoverServices() override { m_controller->discoverServices(); }
    QLowEnergyController::ControllerState state() const override { return m_controller->state(); }

    BleService *createServiceObject(const QBluetoothUuid &uuid, QObject *parent) override
    {
        QLowEnergyService *service = m_controller->createServiceObject(uuid);
        return service ? new QtService(service, parent) : nullptr;
    }

private:
    QLowEnergyController *m_controller;
};

class QtTransport : public BleTransport
{
public:
    BleDiscoveryAgent *createDiscoveryAgent(QObject *parent) override
    {
        return new QtDiscoveryAgent(parent);
    }
    BleCentral *createCentral(const QBluetoothDeviceInfo &device, QObject *parent) override
    {
        return new QtCentral(device, parent);
    }
};

} // namespace

std::shared_ptr<BleTransport> BleTransport::createSystem()
{
    return std::make_shared<QtTransport>();
}
