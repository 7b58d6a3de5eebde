#pragma once

#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothDeviceInfo>
#include <QBluetoothUuid>
#include <QByteArray>
#include <QList>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyController>
#include <QLowEnergyService>
#include <QObject>
#include <QString>

#include <memory>

/// One descriptor of a remote characteristic as the transport found it.
struct BleDescriptor
{
    QBluetoothUuid uuid;
    QString name;
    QBluetoothUuid::DescriptorType type = QBluetoothUuid::DescriptorType::UnknownDescriptorType;
    QByteArray value;

    bool isValid() const { return !uuid.isNull(); }
};

/// One characteristic of a remote service as the transport found it. A default-constructed
/// record is the invalid characteristic.
struct BleCharacteristic
{
    QBluetoothUuid uuid;
    QString name;
    QLowEnergyCharacteristic::PropertyTypes properties;
    QByteArray value;
    QList<BleDescriptor> descriptors;

    bool isValid() const { return !uuid.isNull(); }
    /// The descriptor with this uuid, or an invalid one.
    BleDescriptor descriptor(const QBluetoothUuid &descriptorUuid) const;
};

/// A scan for advertising Bluetooth LE devices (low-energy method only).
class BleDiscoveryAgent : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void start() = 0;
    virtual void stop() = 0;
    virtual bool isActive() const = 0;
signals:
    void deviceDiscovered(const QBluetoothDeviceInfo &info);
    /// The scan pass ended by itself (not after stop()).
    void finished();
    /// The scan could not run or broke off; isActive() is false afterwards.
    void errorOccurred(QBluetoothDeviceDiscoveryAgent::Error error, const QString &text);
};

/// One GATT service on a connected peripheral.
class BleService : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    /// Discovers characteristics and descriptors, reading their values.
    virtual void discoverDetails() = 0;
    virtual QLowEnergyService::ServiceState state() const = 0;
    virtual QList<BleCharacteristic> characteristics() const = 0;
    /// The characteristic with this uuid, or an invalid one.
    BleCharacteristic characteristic(const QBluetoothUuid &uuid) const;
    virtual void writeCharacteristic(const BleCharacteristic &characteristic, const QByteArray &value,
                                     QLowEnergyService::WriteMode mode)
        = 0;
    virtual void writeDescriptor(const BleCharacteristic &characteristic,
                                 const BleDescriptor &descriptor, const QByteArray &value)
        = 0;
signals:
    void stateChanged(QLowEnergyService::ServiceState state);
    void characteristicChanged(const BleCharacteristic &characteristic, const QByteArray &value);
    void characteristicRead(const BleCharacteristic &characteristic, const QByteArray &value);
    void characteristicWritten(const BleCharacteristic &characteristic, const QByteArray &value);
    void descriptorRead(const BleDescriptor &descriptor, const QByteArray &value);
    void descriptorWritten(const BleDescriptor &descriptor, const QByteArray &value);
    void errorOccurred(QLowEnergyService::ServiceError error);
};

/// The central side of a connection to one peripheral.
class BleCentral : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void connectToDevice() = 0;
    virtual void disconnectFromDevice() = 0;
    virtual void discoverServices() = 0;
    virtual QLowEnergyController::ControllerState state() const = 0;
    /// A service object for a discovered service, owned by parent; null for an unknown uuid.
    virtual BleService *createServiceObject(const QBluetoothUuid &uuid, QObject *parent) = 0;
signals:
    void connected();
    void disconnected();
    void errorOccurred(QLowEnergyController::Error error);
    void serviceDiscovered(const QBluetoothUuid &uuid);
    void discoveryFinished();
};

/// The Bluetooth LE layer under the light controller: Qt Bluetooth on BlueZ, or a simulated
/// panel. Objects it creates live on the calling thread and deliver their signals there.
class BleTransport
{
public:
    virtual ~BleTransport() = default;

    virtual BleDiscoveryAgent *createDiscoveryAgent(QObject *parent) = 0;
    virtual BleCentral *createCentral(const QBluetoothDeviceInfo &device, QObject *parent) = 0;

    /// Qt Bluetooth on the system's BlueZ.
    static std::shared_ptr<BleTransport> createSystem();
};
