#pragma once

#include "app/core/camerasetting.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <optional>
#include <set>

/// The camera settings the user chose, kept so that a camera that lost them gets them back: many
/// cameras reset their controls when they are plugged in, wake from suspend or start a stream,
/// and other programs or the camera's firmware may change them. Automatic modes are written
/// before values, the order cameras accept. Each control it writes again is logged once per
/// occasion. Not thread-safe: the camera grabber calls it under its mutex.
class CameraSettingsKeeper
{
public:
    /// Reads a control from the camera; nothing when it does not answer.
    using Read = std::function<std::optional<CameraSetting>(int control)>;
    /// Writes a control's automatic mode and, when that is off, its value.
    using Write = std::function<bool(int control, long value, bool autoMode)>;

    /// `names` name the controls (by index) in log lines.
    explicit CameraSettingsKeeper(QStringList names);

    /// Remembers a setting the camera took.
    void store(int control, long value, bool autoMode);
    bool isEmpty() const { return m_stored.empty(); }

    /// Writes every stored setting again: the automatic modes first, then the values.
    void reapply(const Write &write, const QString &occasion);
    /// Reads the stored controls back and writes again those the camera changed.
    void check(const Read &read, const Write &write);

private:
    struct Stored
    {
        long value;
        bool autoMode;
    };

    bool differs(const Stored &stored, const CameraSetting &now) const;

    QStringList m_names;
    std::map<int, Stored> m_stored;
    std::set<int> m_reported; // changed behind our back and already logged
};
