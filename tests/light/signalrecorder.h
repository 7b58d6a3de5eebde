#pragma once

#include "light/lightcontroller.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>

/// Records the controller's signals as they are emitted on its worker thread, under a lock the
/// test reads through. QSignalSpy appends without one, which races with the test reading it.
class SignalRecorder : public QObject
{
public:
    SignalRecorder(LightController *controller, void (LightController::*signal)(bool))
    {
        connect(
            controller, signal, this, [this](bool value) { record(value, false); },
            Qt::DirectConnection);
    }
    SignalRecorder(LightController *controller, void (LightController::*signal)(long, bool))
    {
        connect(
            controller, signal, this, [this](long value, bool autoMode) { record(value, autoMode); },
            Qt::DirectConnection);
    }

    // Unshared copies: the recording thread may grow its list in place once the count of
    // sharers reads 1, and Qt reads that count without ordering the reader's last access first.
    QList<long> values() const
    {
        QMutexLocker lock(&m_mutex);
        QList<long> copy = m_values;
        copy.detach();
        return copy;
    }
    QList<bool> autoModes() const
    {
        QMutexLocker lock(&m_mutex);
        QList<bool> copy = m_autoModes;
        copy.detach();
        return copy;
    }

private:
    void record(long value, bool autoMode)
    {
        QMutexLocker lock(&m_mutex);
        m_values.append(value);
        m_autoModes.append(autoMode);
    }

    mutable QMutex m_mutex;
    QList<long> m_values;
    QList<bool> m_autoModes;
};
