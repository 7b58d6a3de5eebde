#include "light/lightfollower.h"

#include "app/core/basesettings.h"
#include "light/lightcontroller.h"

#include <QDebug>

LightFollower::LightFollower(LightController *light, BaseSettings *settings, int graceMs, QObject *parent)
    : QObject(parent)
    , m_light(light)
    , m_settings(settings)
{
    m_offTimer.setSingleShot(true);
    m_offTimer.setInterval(graceMs);
    connect(&m_offTimer, &QTimer::timeout, this, [this] {
        // The toggle may have been turned off, or a reader come back, meanwhile.
        if (!m_readers && isEnabled())
            switchLight(false);
    });
    connect(m_light, &LightController::onStatusChanged, this, &LightFollower::lightStatusChanged,
            Qt::QueuedConnection);
}

bool LightFollower::isEnabled() const
{
    return m_settings->getSubSetting(BaseSettings::General, BaseSettings::LightFollowsCamera).toBool();
}

void LightFollower::setReadersPresent(bool present)
{
    if (present == m_readers)
        return;
    m_readers = present;
    if (present) {
        m_offTimer.stop();
        if (isEnabled())
            switchLight(true);
    } else if (isEnabled()) {
        qDebug() << "LightFollower::setReadersPresent -> the last reader left; the light goes off in"
                 << m_offTimer.interval() << "ms";
        m_offTimer.start();
    }
}

void LightFollower::lightStatusChanged(bool connected)
{
    if (connected && m_readers && isEnabled())
        switchLight(true);
}

void LightFollower::switchLight(bool lit)
{
    const bool sent = m_light->setLit(lit);
    qDebug() << "LightFollower::switchLight ->" << (lit ? "on" : "off") << (sent ? "" : "(panel not connected)");
}
