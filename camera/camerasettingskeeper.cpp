#include "camera/camerasettingskeeper.h"

#include <QDebug>

CameraSettingsKeeper::CameraSettingsKeeper(QStringList names)
    : m_names(std::move(names))
{ }

void CameraSettingsKeeper::store(int control, long value, bool autoMode)
{
    m_stored[control] = { value, autoMode };
    m_reported.erase(control);
}

void CameraSettingsKeeper::reapply(const Write &write, const QString &occasion)
{
    // Automatic modes first: a camera refuses a value while the automatic mode that owns it is
    // on, and turns some automatic modes on by itself when a value arrives first.
    for (const bool automatic : { true, false }) {
        for (const auto &[control, stored] : m_stored) {
            if (stored.autoMode != automatic)
                continue;
            const bool ok = write(control, stored.value, stored.autoMode);
            qDebug().noquote() << "CameraGrabber -> restored" << m_names.value(control)
                               << (stored.autoMode ? QStringLiteral("auto")
                                                   : QString::number(stored.value))
                               << occasion << (ok ? "" : "(the camera refused it)");
        }
    }
}

bool CameraSettingsKeeper::differs(const Stored &stored, const CameraSetting &now) const
{
    if (stored.autoMode)
        return now.autoAvailable && !now.autoEnabled;
    return now.value != stored.value || now.autoEnabled;
}

void CameraSettingsKeeper::check(const Read &read, const Write &write)
{
    // Gathered first, so the automatic modes can go out before the values.
    std::map<int, CameraSetting> changed;
    for (const auto &[control, stored] : m_stored) {
        const std::optional<CameraSetting> now = read(control);
        if (!now)
            continue;
        if (differs(stored, *now))
            changed[control] = *now;
        else
            m_reported.erase(control);
    }
    for (const bool automatic : { true, false }) {
        for (const auto &[control, now] : changed) {
            const Stored &stored = m_stored.at(control);
            if (stored.autoMode != automatic)
                continue;
            const bool ok = write(control, stored.value, stored.autoMode);
            // A camera that keeps changing a control is reported once, not every check.
            if (m_reported.insert(control).second)
                qDebug().noquote() << "CameraGrabber -> restored" << m_names.value(control)
                                   << (stored.autoMode ? QStringLiteral("auto")
                                                       : QString::number(stored.value))
                                   << "after the camera changed it to"
                                   << (now.autoEnabled ? QStringLiteral("auto")
                                                       : QString::number(now.value))
                                   << (ok ? "" : "(the camera refused it)");
        }
    }
}
