#pragma once

#include "light/lightcontroller.h"

#include <QList>
#include <QObject>

/// Records the controller's signals in the test's own thread. QSignalSpy appends in the thread
/// that emits, the controller's worker, which would race with the test reading the list.
class SignalRecorder : public QObject
{
public:
    SignalRecorder(LightController *controller, void (LightController::*signal)(bool))
    {
        connect(controller, signal, this, [this](bool value) { values.append(value); });
    }
    SignalRecorder(LightController *controller, void (LightController::*signal)(long, bool))
    {
        connect(controller, signal, this, [this](long value, bool autoMode) {
            values.append(value);
            autoModes.append(autoMode);
        });
    }

    QList<long> values;
    QList<bool> autoModes;
};
