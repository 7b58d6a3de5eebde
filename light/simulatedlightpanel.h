#pragma once

#include "light/bletransport.h"

#include <QBluetoothAddress>
#include <QBluetoothUuid>
#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

/// A light panel that exists only in software, and the air around it: it advertises its name,
/// accepts one central at a time, offers the panel's GATT service (a state characteristic that
/// notifies and a control characteristic that takes the six-byte command frames), applies the
/// frames to its brightness and colour temperature and notifies its state. It can be switched
/// off and can lose its link. Used by --simulate and by the tests, which also read what was
/// written to it.
class SimulatedLightPanel : public QObject, public BleTransport
{
    Q_OBJECT
public:
    static const QBluetoothUuid serviceUuid;
    static const QBluetoothUuid stateCharacteristicUuid;
    static const QBluetoothUuid controlCharacteristicUuid;

    explicit SimulatedLightPanel(const QString &name = QStringLiteral("Light_ble"));
    ~SimulatedLightPanel() override;

    // Any thread.
    QString name() const { return m_name; }
    QBluetoothAddress address() const { return m_address; }

    /// Switching off drops the link and stops advertising; a panel that is off answers nothing.
    void setPoweredOn(bool on);
    bool isPoweredOn() const;
    /// The link breaks from the panel's side; the panel stays on and advertises again.
    void dropConnection();
    bool isConnected() const;
    /// false: the panel advertises but never completes a connection, as a hung radio does.
    void setAnswersConnections(bool answers);
    /// How long one scan pass of a central lasts here (default 4000 ms).
    void setScanPassMs(int ms);
    int scanPassMs() const;

    /// Brightness 0..100 and colour temperature in percent 0..100, as the panel holds them.
    int brightness() const;
    int temperaturePercent() const;
    /// As the panel's own buttons do: changes the state and notifies it.
    void setLocalState(int brightness, int temperaturePercent);
    /// Sends value as a notification of the state characteristic, as it stands.
    void sendNotification(const QByteArray &value);
    /// True once a central enabled notifications on the connection that is up.
    bool isNotifying() const;
    /// Every value written to the control characteristic, oldest first.
    QList<QByteArray> writtenFrames() const;

    BleDiscoveryAgent *createDiscoveryAgent(QObject *parent) override;
    BleCentral *createCentral(const QBluetoothDeviceInfo &device, QObject *parent) override;

    // Called by the simulated central and service, which name their link by the id that
    // acceptLink() returned (0: refused or no answer).
    bool isAdvertising() const;
    quint64 acceptLink();
    void releaseLink(quint64 link);
    bool isLinked(quint64 link) const;
    void applyWrite(quint64 link, const QByteArray &value);
    void setNotifying(quint64 link, bool notifying);
    QByteArray stateValue() const;

signals:
    /// The panel started advertising (switched on, or free again after a link ended).
    void advertising();
    /// The link ended from the panel's side.
    void linkLost();
    /// A notification of the state characteristic, sent while notifications are on.
    void notified(const QByteArray &value);

private:
    QByteArray stateValueLocked() const;
    void notifyState();

    const QString m_name;
    const QBluetoothAddress m_address;
    mutable QMutex m_mutex;
    bool m_poweredOn = true;
    bool m_answersConnections = true;
    quint64 m_link = 0;     // the link that is up, 0 for none
    quint64 m_lastLink = 0;
    bool m_notifying = false;
    int m_scanPassMs = 4000;
    int m_brightness = 50;
    int m_temperaturePercent = 50;
    QList<QByteArray> m_writtenFrames;
};
