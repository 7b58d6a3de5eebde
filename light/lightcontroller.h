#pragma once

#include "app/core/basesettings.h"
#include "app/core/camerasetting.h"
#include "app/core/worker.h"
#include "light/bletransport.h"

#include <QBluetoothUuid>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <memory>

class QTimer;

/// Finds the Bluetooth LE light panel by its advertised name, keeps it connected and sets and
/// tracks its brightness and colour temperature. The last values sent or reported live in the
/// settings store, so the user interface can show them while the panel is away. All Bluetooth
/// work runs on the controller's own worker thread.
class LightController : public QObject
{
    Q_OBJECT
public:
    /// parent is not used: the controller moves itself to its worker thread. transport defaults
    /// to Qt Bluetooth on the system's BlueZ; a SimulatedLightPanel stands in for the device.
    LightController(BaseSettings *settings, const QString &deviceName, const QString &serviceUuid,
                    const QString &descriptorUuid, const QString &characteristicUuid,
                    QObject *parent = nullptr, std::shared_ptr<BleTransport> transport = {});
    ~LightController() override;

    // Any thread.
    /// Tears down whatever there is and searches for the panel again.
    void start();
    void stop();
    /// A hint: the answer can be stale by the time the caller acts on it.
    bool isConnected() const;

    /// False while not connected (nothing is queued then); the frame goes out on the worker.
    bool setBrightness(long value, bool autoMode);
    /// The stored value and its range; the panel is not asked.
    bool getBrightness(CameraSetting &setting);
    /// value on the 0..6500 scale.
    bool setTemperature(long value, bool autoMode);
    bool getTemperature(CameraSetting &setting);
    /// Switches the panel on at the stored brightness, or off (brightness 0) without forgetting
    /// the stored brightness. False while not connected (nothing is queued then).
    bool setLit(bool lit);
    /// Whether the connected panel is lit, as last sent to it or reported by it.
    bool isLit() const;

    /// Keep-alive period (5000 ms) and the time a connection attempt may take before it is torn
    /// down (15000 ms). Qt itself never gives up on a peripheral whose services never resolve.
    void setIntervals(int keepAliveMs, int connectionLimitMs);

    // Worker thread.
    void configure(const QString &deviceName, const QString &serviceUuid,
                   const QString &descriptorUuid, const QString &characteristicUuid);

signals:
    /// True once the control characteristic is found, false on every tear-down.
    void onStatusChanged(bool status);
    void onBrightness(long value, bool autoMode);
    void onTemperature(long value, bool autoMode);
    /// The panel was switched on or off, by a command or by its own report.
    void onLitChanged(bool lit);

private:
    enum class Command { Brightness, Temperature, Off };

    // Worker thread.
    void stopInternal();
    void discoveryEnded();
    void connectToPanel(const QBluetoothDeviceInfo &device);
    void serviceDiscovered(const QBluetoothUuid &uuid);
    void serviceDetailsDiscovered();
    void statusCheck();
    void connectionTimedOut();
    void write(Command command, long value);
    void characteristicChanged(const BleCharacteristic &characteristic, const QByteArray &value);
    bool storeIfChanged(BaseSettings::SubSettings entry, long value);
    void updateLit(bool lit);

    QSharedPointer<Worker> m_worker;
    // Created on the worker thread with the worker as parent; touched only there.
    BleDiscoveryAgent *m_discoveryAgent = nullptr;
    BleCentral *m_central = nullptr;       // exists while connecting or connected
    BleService *m_service = nullptr;       // exists once the panel's service was found
    BleCharacteristic m_controlCharacteristic;
    BleCharacteristic m_notificationCharacteristic;
    QTimer *m_statusTimer = nullptr;
    QTimer *m_connectionTimer = nullptr;
    // The owner wants the panel connected. Written by start()/stop() from any thread.
    std::atomic<bool> m_running { false };
    // Mirrors "control characteristic valid, service and central exist" for callers on other
    // threads; the worker sets it exactly when those three change.
    std::atomic<bool> m_connected { false };
    // Written on the worker only. A panel is taken to be lit until it reports or is sent a
    // brightness of 0.
    std::atomic<bool> m_lit { true };
    BaseSettings *m_settings;
    std::shared_ptr<BleTransport> m_transport;
    QString m_deviceName;
    QBluetoothUuid m_serviceUuid;
    QBluetoothUuid m_descriptorUuid;
    QBluetoothUuid m_characteristicUuid;
    int m_keepAliveMs = 5000;
};
