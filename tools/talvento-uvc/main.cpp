// talvento-uvc: lists UVC cameras and their controls, reads and writes one control.

#include "camera/uvc/controls.h"
#include "camera/uvc/uvccontrol.h"
#include "camera/uvc/uvcvalue.h"
#include "tools/talvento-uvc/typedinput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTextStream>

#include <cstdio>

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &message)
{
    out().flush();
    std::fprintf(stderr, "talvento-uvc: %s\n", qPrintable(message));
    return 1;
}

QString hex(uint32_t value, int digits)
{
    return QStringLiteral("0x%1").arg(value, digits, 16, QLatin1Char('0'));
}

QString describe(const uvc::Device &device)
{
    return QStringLiteral("%1  location %2  vendor %3  product %4")
        .arg(device.name.isEmpty() ? QStringLiteral("(unnamed)") : device.name,
             hex(device.locationId, 8), hex(device.vendorId, 4), hex(device.productId, 4));
}

// The device a command works on: --device by name (ignoring case) or by
// location id, else the first product camera, else the first camera.
std::optional<uvc::Device> pickDevice(const QString &wanted, QString &error)
{
    const QList<uvc::Device> devices = uvc::listDevices();
    if (devices.isEmpty()) {
        error = QStringLiteral("no UVC camera found");
        return std::nullopt;
    }
    if (!wanted.isEmpty()) {
        bool isNumber = false;
        const uint location = wanted.toUInt(&isNumber, 0);
        for (const uvc::Device &d : devices) {
            if (d.name.compare(wanted, Qt::CaseInsensitive) == 0 || (isNumber && d.locationId == location)) {
                return d;
            }
        }
        error = QStringLiteral("no UVC camera matches \"%1\" (see: talvento-uvc devices)").arg(wanted);
        return std::nullopt;
    }
    for (const uvc::Device &d : devices) {
        if (d.name.contains(QLatin1String("Talvento Camera"), Qt::CaseInsensitive)) {
            return d;
        }
    }
    return devices.first();
}

QString text(const std::shared_ptr<UVCValue> &value)
{
    return value ? QString::fromStdString(value->stringValue().value_or(std::string("?")))
                 : QStringLiteral("-");
}

int listControlsOf(const uvc::Device &device)
{
    const auto controller = uvc::controllerFor(device);
    out() << describe(device) << "\n";
    out() << QStringLiteral("%1 %2 %3 %4 %5 %6  %7\n")
                 .arg("control", -24).arg("minimum", 8).arg("maximum", 8).arg("step", 5)
                 .arg("default", 8).arg("value", 8).arg("auto");
    const QList<uvc::Control> controls = uvc::listControls(controller.get());
    if (controls.isEmpty()) {
        return fail(QStringLiteral("%1 answers no control requests").arg(device.name));
    }
    for (uvc::Control c : controls) {
        // Focus pairs with "auto-focus" and exposure time with the exposure mode rather than an
        // "auto-" name of their own.
        if (c.name == uvc::controls::names::focus) {
            c = uvc::controlFrom(controller.get(), c.name, uvc::controls::names::autoFocus).value_or(c);
        } else if (c.name == uvc::controls::names::exposureTime) {
            if (const auto mode = uvc::controlFrom(controller.get(), uvc::controls::names::exposureMode, {})) {
                c.autoValue = uvc::exposure::isAutomatic(mode->value);
            }
        }
        const QString autoState = !c.autoValue ? QStringLiteral("-") : *c.autoValue ? QStringLiteral("on") : QStringLiteral("off");
        out() << QStringLiteral("%1 %2 %3 %4 %5 %6  %7\n")
                     .arg(c.name, -24).arg(c.minimum, 8).arg(c.maximum, 8).arg(c.step, 5)
                     .arg(c.defaultValue, 8).arg(c.value, 8).arg(autoState);
    }
    return 0;
}

std::shared_ptr<UVCControl> findControl(const uvc::Device &device, const QString &typedName, QString &error)
{
    const QString name = typedName.toLower();
    const auto controller = uvc::controllerFor(device);
    if (UVCController::controlIndexForString(name.toStdString()) < 0) {
        error = QStringLiteral("unknown control \"%1\"").arg(name);
        return nullptr;
    }
    auto control = controller ? controller->controlWithName(name.toStdString()) : nullptr;
    if (!control) {
        error = QStringLiteral("%1 has no control \"%2\"").arg(device.name, name);
    }
    return control;
}

bool isBitmap(UVCTypeComponentType code)
{
    return code == UVCTypeComponentType::Bitmap8 || code == UVCTypeComponentType::Bitmap16
        || code == UVCTypeComponentType::Bitmap32 || code == UVCTypeComponentType::Bitmap64;
}

// The set bits of a bitmap as "1, 8"; the exposure modes with their names.
QString bitNames(const std::string &controlName, int64_t bits)
{
    QStringList names;
    for (int bit = 0; bit < 64; ++bit) {
        const int64_t mask = int64_t(uint64_t(1) << bit);
        if (!(bits & mask)) {
            continue;
        }
        names << (controlName == UVCTerminalControlAutoExposureMode
                      ? QStringLiteral("%1 (%2)").arg(mask).arg(uvc::exposure::modeName(mask))
                      : QString::number(mask));
    }
    return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
}

void printControl(const std::shared_ptr<UVCControl> &control, const std::shared_ptr<UVCValue> &value)
{
    out() << QString::fromStdString(control->controlName()) << " = " << text(value);
    QStringList details;
    if (control->hasRange()) {
        details << QStringLiteral("minimum %1, maximum %2").arg(text(control->minimum()), text(control->maximum()));
    }
    const UVCType &type = *value->valueType();
    const bool bitmap = type.fieldCount() == 1 && isBitmap(type.fieldTypeAtIndex(0));
    if (control->hasStepSize() && bitmap) {
        // A bitmap's step lists the bits the camera offers.
        details << QStringLiteral("%1 %2").arg(control->controlName() == UVCTerminalControlAutoExposureMode ? "modes" : "bits",
                                               bitNames(control->controlName(), fieldInteger(type, control->stepSize()->valuePtr(), 0)));
    } else if (control->hasStepSize()) {
        details << QStringLiteral("step %1").arg(text(control->stepSize()));
    }
    if (control->hasDefaultValue()) {
        details << QStringLiteral("default %1").arg(text(control->defaultValue()));
    }
    if (!control->supportsSetValue()) {
        details << QStringLiteral("read-only");
    }
    if (!details.isEmpty()) {
        out() << "  (" << details.join(QStringLiteral(", ")) << ")";
    }
    out() << "\n";
}

int readControl(const uvc::Device &device, const QString &name)
{
    QString error;
    const auto control = findControl(device, name, error);
    if (!control) {
        return fail(error);
    }
    const auto value = control->currentValue();
    if (!value) {
        return fail(QStringLiteral("%1 did not answer reading \"%2\"").arg(device.name, name));
    }
    printControl(control, value);
    return 0;
}

// What the scan changed in the typed numbers: clamped into the range or moved onto the step
// grid (notes), or bits the camera does not offer (a problem: a masked mode is not what anyone
// asked for).
QStringList adjustments(const UVCControl &control, const UVCValue &scanned, const TypedInput &input,
                        QString &problem)
{
    const UVCType &type = *scanned.valueType();
    QStringList notes;
    for (size_t i = 0; i < type.fieldCount(); ++i) {
        const std::optional<int64_t> typed = input.typedNumbers[i];
        const int64_t written = fieldInteger(type, scanned.valuePtr(), i);
        if (!typed || *typed == written) {
            continue;
        }
        QString field = QString::fromStdString(control.controlName());
        if (type.fieldCount() > 1) {
            field += QLatin1Char('.') + QString::fromUtf8(type.fieldNameAtIndex(i));
        }
        auto reference = [&](const std::shared_ptr<UVCValue> &v) { return fieldInteger(type, v->valuePtr(), i); };
        if (isBitmap(type.fieldTypeAtIndex(i)) && control.hasStepSize()) {
            problem = QStringLiteral("%1 is not among the %2 the camera offers for \"%3\": %4")
                          .arg(*typed)
                          .arg(control.controlName() == UVCTerminalControlAutoExposureMode ? "modes" : "bits", field,
                               bitNames(control.controlName(), reference(control.stepSize())));
            return {};
        }
        if (control.hasRange() && (*typed < reference(control.minimum()) || *typed > reference(control.maximum()))) {
            notes << QStringLiteral("%1: %2 is outside the range %3 to %4; wrote %5")
                         .arg(field).arg(*typed).arg(reference(control.minimum())).arg(reference(control.maximum())).arg(written);
        } else if (control.hasRange() && control.hasStepSize()) {
            notes << QStringLiteral("%1: %2 is not on the steps of %3 from %4; wrote %5")
                         .arg(field).arg(*typed).arg(reference(control.stepSize())).arg(reference(control.minimum())).arg(written);
        } else {
            notes << QStringLiteral("%1: %2 does not fit the control's %3 bytes; wrote %4")
                         .arg(field).arg(*typed).arg(UVCTypeComponentByteSize(uint32_t(type.fieldTypeAtIndex(i)))).arg(written);
        }
    }
    return notes;
}

int writeControl(const uvc::Device &device, const QString &name, const QString &valueText)
{
    QString error;
    const auto control = findControl(device, name, error);
    if (!control) {
        return fail(error);
    }
    if (!control->supportsSetValue()) {
        return fail(QStringLiteral("\"%1\" is read-only on %2").arg(name, device.name));
    }
    const std::shared_ptr<const UVCType> type = UVCController::typeForControl(control->controlIndex());
    const TypedInput input = TypedInput::check(*type, valueText);
    if (!input.error.isEmpty()) {
        return fail(QStringLiteral("\"%1\" is not a valid value for \"%2\": %3").arg(valueText, name, input.error));
    }
    // Scanned once aside to see what the scan changed, then into the control for writing.
    const std::shared_ptr<UVCValue> scanned = UVCValue::uvcValueWithType(type);
    if (!scanned->scanCString(input.scannerText.c_str(), UVCScanFlagWarnings, control->minimum().get(),
                              control->maximum().get(), control->stepSize().get(), control->defaultValue().get())
        || !control->setCurrentValueFromCString(input.scannerText.c_str(), 0)) {
        return fail(QStringLiteral("\"%1\" is not a valid value for \"%2\"").arg(valueText, name));
    }
    QString problem;
    const QStringList notes = adjustments(*control, *scanned, input, problem);
    if (!problem.isEmpty()) {
        return fail(problem);
    }
    if (!control->writeFromCurrentValue()) {
        return fail(QStringLiteral("%1 refused the value \"%2\" for \"%3\"").arg(device.name, valueText, name));
    }
    const auto readBack = control->currentValue();
    if (!readBack) {
        return fail(QStringLiteral("%1 took the value but did not answer reading \"%2\" back").arg(device.name, name));
    }
    for (const QString &note : notes) {
        std::fprintf(stderr, "talvento-uvc: %s\n", qPrintable(note));
    }
    printControl(control, readBack);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("talvento-uvc"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Reads and writes the image controls of UVC cameras.\n\n"
        "Commands:\n"
        "  devices               list the cameras\n"
        "  controls              list the camera's controls (the default)\n"
        "  get <control>         read one control\n"
        "  set <control> <value> write one control; the value is a number, a fraction\n"
        "                        of the range such as 0.5, \"default\", \"minimum\",\n"
        "                        \"maximum\", or a record such as {blue=10,red=20}\n"
        "Several commands may follow one another, as in: set brightness -20 get brightness"));
    parser.addHelpOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Use the simulated Talvento Camera Pro only (its state lasts for this run)."));
    const QCommandLineOption deviceOption(QStringList { QStringLiteral("d"), QStringLiteral("device") },
                                          QStringLiteral("Camera name or location id (default: the first Talvento camera)."),
                                          QStringLiteral("device"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Show diagnostic log lines."));
    parser.addOptions({ simulate, deviceOption, verbose });
    // "set brightness -20": after the command, a leading "-" starts a value, not an option.
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("devices, controls, get or set"),
                                 QStringLiteral("[command]"));
    parser.process(app);

    if (!parser.isSet(verbose)) {
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    }
    if (parser.isSet(simulate)) {
        UVCDeviceSources::setHardwareEnabled(false);
        uvc::useSimulatedDevices(true);
    }

    // Commands run one after another on the same camera, so "set brightness -20 get brightness"
    // reads back what was written, on the simulated camera too.
    QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        args << QStringLiteral("controls");
    }
    std::optional<uvc::Device> device;
    while (!args.isEmpty()) {
        const QString command = args.takeFirst();
        const int argumentCount = command == QLatin1String("devices") || command == QLatin1String("controls") ? 0
            : command == QLatin1String("get")                                                              ? 1
            : command == QLatin1String("set")                                                              ? 2
                                                                                                           : -1;
        if (argumentCount < 0) {
            return fail(QStringLiteral("unknown command \"%1\" (try --help)").arg(command));
        }
        if (args.size() < argumentCount) {
            return fail(QStringLiteral("wrong number of arguments for \"%1\" (try --help)").arg(command));
        }
        const QStringList arguments = args.mid(0, argumentCount);
        args.remove(0, argumentCount);
        if (command == QLatin1String("devices")) {
            const QList<uvc::Device> devices = uvc::listDevices();
            if (devices.isEmpty()) {
                return fail(QStringLiteral("no UVC camera found"));
            }
            for (const uvc::Device &d : devices) {
                out() << describe(d) << "\n";
            }
            continue;
        }
        QString error;
        if (!device && !(device = pickDevice(parser.value(deviceOption), error))) {
            return fail(error);
        }
        const int status = command == QLatin1String("get") ? readControl(*device, arguments[0])
            : command == QLatin1String("set")              ? writeControl(*device, arguments[0], arguments[1])
                                                           : listControlsOf(*device);
        if (status != 0) {
            return status;
        }
    }
    return 0;
}
