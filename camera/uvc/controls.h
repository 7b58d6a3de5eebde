#pragma once

#include "camera/uvc/simulateduvccamera.h"
#include "camera/uvc/uvccontroller.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

class UVCControl;
class UVCValue;

/// The UVC camera controls as the rest of the application sees them: plain
/// records without platform objects, name-based reads and writes, and a cache
/// of the attached cameras that only reset() refreshes.
///
/// No locking of its own: callers serialise (the camera grabber holds its
/// recursive mutex around every call).
namespace uvc {

/// A UVC camera, matched again by name (ignoring case) and location id, and by its
/// VideoControl interface when it has several camera functions.
struct Device
{
    QString name;
    uint32_t locationId = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    /// The VideoControl interface; absent: the first of the device.
    std::optional<uint8_t> interfaceNumber;
    /// The capture nodes of this camera function (capture node first), when a driver holds it.
    QStringList videoNodes;
};

/// One control's range and state; 0 where the camera reports nothing.
struct Control
{
    QString name;
    int64_t minimum = 0;
    int64_t maximum = 0;
    int64_t step = 0;
    int64_t defaultValue = 0;
    int64_t value = 0;
    /// The automatic-mode companion's state; absent without such a control.
    std::optional<bool> autoValue;
};

namespace controls::names {
inline const QString brightness = QString::fromLatin1(UVCProcessingUnitControlBrightness);
inline const QString contrast = QString::fromLatin1(UVCProcessingUnitControlContrast);
inline const QString saturation = QString::fromLatin1(UVCProcessingUnitControlSaturation);
inline const QString sharpness = QString::fromLatin1(UVCProcessingUnitControlSharpness);
inline const QString zoom = QString::fromLatin1(UVCTerminalControlZoomAbsolute);
inline const QString focus = QString::fromLatin1(UVCTerminalControlFocusAbsolute);
inline const QString autoFocus = QString::fromLatin1(UVCTerminalControlAutoFocus);
inline const QString whiteBalance = QString::fromLatin1(UVCProcessingUnitControlWhiteBalanceTemperature);
inline const QString exposureTime = QString::fromLatin1(UVCTerminalControlExposureTimeAbsolute);
inline const QString exposureMode = QString::fromLatin1(UVCTerminalControlAutoExposureMode);
inline const QString backlightCompensation = QString::fromLatin1(UVCProcessingUnitControlBacklightCompensation);
inline const QString powerLine = QString::fromLatin1(UVCProcessingUnitControlPowerLineFrequency);
} // namespace controls::names

/// The auto-exposure mode control is a one-bit bitmap; a camera reports the modes it offers as
/// the control's step (its resolution).
namespace exposure {
inline constexpr int64_t Manual = 1;
inline constexpr int64_t FullAuto = 2;
inline constexpr int64_t ShutterPriority = 4;
inline constexpr int64_t AperturePriority = 8;
/// Every mode but manual leaves (some of) the exposure to the camera.
inline bool isAutomatic(int64_t mode)
{
    return mode > 0 && mode != Manual;
}
/// The automatic modes to try, best first: aperture priority (the exposure time automatic),
/// then full auto; only those among `offered` when the camera reports its modes (non-zero).
QList<int64_t> automaticModes(int64_t offered);
/// "manual", "auto", "shutter priority", "aperture priority", or the number.
QString modeName(int64_t mode);
} // namespace exposure

/// One record per cached controller, in enumeration order.
QList<Device> listDevices();
/// Reads a control with its range and the state of its automatic mode
/// (autoName, or "auto-" + name when empty). Nothing when the device or the
/// control is missing or the camera does not answer.
std::optional<Control> getControl(const Device &device, const QString &name, QString autoName = QString());
/// Writes the automatic mode when the control has one, then, unless autoMode
/// is on, the value.
bool setControl(const Device &device, const QString &name, long value, bool autoMode,
                QString autoName = QString());
/// Logs every control of the device (diagnostics).
void listSettings(const Device &device);
/// Forgets the cached cameras; the next call enumerates again.
void reset();

// Lower-level operations on a controller.
std::shared_ptr<UVCController> controllerFor(const Device &device);
std::optional<Control> controlFrom(UVCController *controller, const QString &name, QString autoName);
/// Every control of the camera except the automatic-mode companions.
QList<Control> listControls(UVCController *controller);
bool setValue(UVCControl *control, const QString &name, const char *text);
bool setLongValue(UVCController *controller, const QString &name, long value);
std::optional<bool> setAuto(UVCController *controller, const QString &name, bool on, QString autoName);
long valueFrom(UVCValue *value);
std::optional<bool> boolValueFrom(UVCValue *value);

// Simulation (--simulate). useSimulatedDevices(true) registers one simulated
// "Talvento Camera Pro" as a device source, so it is listed after any real
// camera, and drops the cache so the change is seen at once.
//
// The simulated capture camera must carry the same identity so that the
// camera grabber's location-id match finds these controls: its unique id is
// "0x" + simulatedCameraLocationId in lower-case hex without leading zeros,
// followed by the vendor and product ids as four hex digits each
// ("0x7a100000" "1209" "7a1c"), and its name contains "Talvento Camera".
inline constexpr uint32_t simulatedCameraLocationId = SimulatedUVCCamera::TalventoCameraProLocationId;
inline constexpr uint16_t simulatedCameraVendorId = SimulatedUVCCamera::TalventoCameraProVendorId;
inline constexpr uint16_t simulatedCameraProductId = SimulatedUVCCamera::TalventoCameraProProductId;
inline constexpr char simulatedCameraName[] = "Talvento Camera Pro";

void useSimulatedDevices(bool on);
bool simulatedDevicesInUse();
/// The process-wide simulated camera (created on first use), for tests and
/// diagnostics that inspect or change its state.
std::shared_ptr<SimulatedUVCCamera> simulatedCamera();

} // namespace uvc
