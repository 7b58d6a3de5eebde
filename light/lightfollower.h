#pragma once

#include <QObject>
#include <QTimer>

class BaseSettings;
class LightController;

/// Lets the light panel follow the call: while the General entry LightFollowsCamera is on, the
/// panel is switched on when a reader starts on the virtual camera and off a grace time after
/// the last reader left. A panel that connects while readers are there is switched on too.
class LightFollower : public QObject
{
    Q_OBJECT
public:
    /// graceMs: how long the panel stays lit after the last reader left (10 s in the
    /// application).
    LightFollower(LightController *light, BaseSettings *settings, int graceMs = 10000,
                  QObject *parent = nullptr);

    bool isEnabled() const;

public slots:
    // GUI thread (the owner queues the virtual camera's reports here).
    void setReadersPresent(bool present);

private:
    void lightStatusChanged(bool connected);
    void switchLight(bool lit);

    LightController *m_light;
    BaseSettings *m_settings;
    QTimer m_offTimer;
    bool m_readers = false;
};
