#include "camera/uvc/controls.h"

#include "camera/uvc/uvccontrol.h"
#include "camera/uvc/uvcvalue.h"

#include <QDebug>

#include <mutex>

namespace {

struct Cache
{
    std::mutex mutex;
    std::vector<std::shared_ptr<UVCController>> controllers;
    std::shared_ptr<SimulatedUVCCamera> simulated;
    bool simulating = false;
};

Cache &cache()
{
    static Cache c;
    return c;
}

std::vector<std::shared_ptr<UVCController>> controllers()
{
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    if (c.controllers.empty()) {
        c.controllers = UVCController::uvcControllers();
    }
    return c.controllers;
}

QString autoNameFor(const QString &name, const QString &autoName)
{
    return autoName.isEmpty() ? QStringLiteral("auto-%1").arg(name) : autoName;
}

std::shared_ptr<UVCControl> lookup(UVCController *controller, const QString &name)
{
    return controller ? controller->controlWithName(name.toStdString()) : nullptr;
}

} // namespace

namespace uvc {

QList<Device> listDevices()
{
    QList<Device> devices;
    for (const auto &controller : controllers()) {
        QStringList nodes;
        for (const std::string &node : controller->videoNodes()) {
            nodes << QString::fromStdString(node);
        }
        devices.append({ QString::fromUtf8(controller->deviceName().value_or(std::string())),
                         controller->locationId(), controller->vendorId(), controller->productId(),
                         controller->videoInterfaceIndex(), nodes });
    }
    return devices;
}

std::shared_ptr<UVCController> controllerFor(const Device &device)
{
    for (const auto &controller : controllers()) {
        const QString name = QString::fromUtf8(controller->deviceName().value_or(std::string()));
        if (name.compare(device.name, Qt::CaseInsensitive) == 0
            && controller->locationId() == device.locationId
            && device.interfaceNumber.value_or(controller->videoInterfaceIndex())
                == controller->videoInterfaceIndex()) {
            return controller;
        }
    }
    return nullptr;
}

std::optional<Control> controlFrom(UVCController *controller, const QString &name, QString autoName)
{
    const auto control = lookup(controller, name);
    if (!control) {
        return std::nullopt;
    }
    const auto autoControl = lookup(controller, autoNameFor(name, autoName));
    // A camera that does not answer has no value to report; a 0 would look real.
    const std::shared_ptr<UVCValue> current = control->currentValue();
    if (!current) {
        qWarning() << "uvc::controlFrom -> unable to read" << name;
        return std::nullopt;
    }
    Control record;
    record.name = QString::fromStdString(control->controlName());
    if (control->hasRange()) {
        record.minimum = valueFrom(control->minimum().get());
        record.maximum = valueFrom(control->maximum().get());
    }
    if (control->hasStepSize()) {
        record.step = valueFrom(control->stepSize().get());
    }
    if (control->hasDefaultValue()) {
        record.defaultValue = valueFrom(control->defaultValue().get());
    }
    record.value = valueFrom(current.get());
    if (autoControl) {
        record.autoValue = boolValueFrom(autoControl->currentValue().get());
    }
    return record;
}

std::optional<Control> getControl(const Device &device, const QString &name, QString autoName)
{
    const auto controller = controllerFor(device);
    if (!controller) {
        return std::nullopt;
    }
    return controlFrom(controller.get(), name, autoName);
}

bool setValue(UVCControl *control, const QString &name, const char *text)
{
    if (!control->setCurrentValueFromCString(text, UVCScanFlagWarnings)) {
        qWarning() << "invalid value for control" << name << text;
        return false;
    }
    if (!control->writeFromCurrentValue()) {
        qWarning() << "unable to write new value to control" << name << text;
        return false;
    }
    return true;
}

bool setLongValue(UVCController *controller, const QString &name, long value)
{
    const auto control = lookup(controller, name);
    if (!control) {
        return false;
    }
    return setValue(control.get(), name, QByteArray::number(qint64(value)).constData());
}

std::optional<bool> setAuto(UVCController *controller, const QString &name, bool on, QString autoName)
{
    const QString companion = autoNameFor(name, autoName);
    const auto autoControl = lookup(controller, companion);
    if (!autoControl) {
        return std::nullopt;
    }
    return setValue(autoControl.get(), companion, on ? "true" : "false");
}

bool setControl(const Device &device, const QString &name, long value, bool autoMode, QString autoName)
{
    const auto controller = controllerFor(device);
    if (!controller) {
        return false;
    }
    if (setAuto(controller.get(), name, autoMode, autoName) == std::optional<bool>(false)) {
        return false;
    }
    if (autoMode) {
        return true;
    }
    return setLongValue(controller.get(), name, value);
}

QList<Control> listControls(UVCController *controller)
{
    QList<Control> list;
    if (!controller) {
        return list;
    }
    for (const std::string &name : UVCController::controlStrings()) {
        // Every control is created (and cached) first; companions are then left out.
        if (!controller->controlWithName(name) || name.rfind("auto-", 0) == 0) {
            continue;
        }
        const std::optional<Control> control = controlFrom(controller, QString::fromStdString(name), QString());
        if (!control) {
            continue;
        }
        list.append(*control);
        const char *autoText = !control->autoValue ? "N/A" : *control->autoValue ? "true" : "false";
        qDebug() << "Control:" << control->name << "auto" << autoText << "range" << control->minimum
                 << control->maximum << "step" << control->step << "default" << control->defaultValue
                 << control->value;
    }
    return list;
}

void listSettings(const Device &device)
{
    listControls(controllerFor(device).get());
}

void reset()
{
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    c.controllers.clear();
}

long valueFrom(UVCValue *value)
{
    if (!value) {
        return 0;
    }
    if (value->valueType()->fieldCount() > 1) {
        qWarning() << "Unsupported value type with field count > 1";
        return 0;
    }
    const QString text = QString::fromStdString(value->stringValue().value_or(std::string()));
    bool ok = false;
    const long result = long(text.toLongLong(&ok, 10));
    if (!ok) {
        qWarning() << "Failed to convert value to long: " << text;
        return 0;
    }
    return result;
}

std::optional<bool> boolValueFrom(UVCValue *value)
{
    if (!value) {
        return std::nullopt;
    }
    if (value->valueType()->fieldCount() > 1) {
        qWarning() << "Unsupported value type with field count > 1";
        return std::nullopt;
    }
    const QString text = QString::fromStdString(value->stringValue().value_or(std::string()));
    return text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
}

QList<int64_t> exposure::automaticModes(int64_t offered)
{
    QList<int64_t> modes;
    for (const int64_t mode : { AperturePriority, FullAuto }) {
        if (offered == 0 || (offered & mode))
            modes << mode;
    }
    return modes;
}

QString exposure::modeName(int64_t mode)
{
    switch (mode) {
    case Manual:
        return QStringLiteral("manual");
    case FullAuto:
        return QStringLiteral("auto");
    case ShutterPriority:
        return QStringLiteral("shutter priority");
    case AperturePriority:
        return QStringLiteral("aperture priority");
    default:
        return QString::number(mode);
    }
}

std::shared_ptr<SimulatedUVCCamera> simulatedCamera()
{
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    if (!c.simulated) {
        c.simulated = SimulatedUVCCamera::talventoCameraPro();
    }
    return c.simulated;
}

void useSimulatedDevices(bool on)
{
    const auto camera = simulatedCamera();
    if (on) {
        UVCDeviceSources::add(camera);
    } else {
        UVCDeviceSources::remove(camera);
    }
    {
        Cache &c = cache();
        const std::lock_guard lock(c.mutex);
        c.simulating = on;
    }
    reset();
}

bool simulatedDevicesInUse()
{
    Cache &c = cache();
    const std::lock_guard lock(c.mutex);
    return c.simulating;
}

} // namespace uvc
