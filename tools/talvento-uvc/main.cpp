// talvento-uvc: lists UVC cameras and their controls, reads and writes one control.

#include "camera/uvc/controls.h"
#include "camera/uvc/uvccontrol.h"
#include "camera/uvc/uvcvalue.h"

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
        // Focus pairs with "auto-focus" rather than an "auto-" name of its own.
        if (c.name == uvc::controls::names::focus) {
            c = uvc::controlFrom(controller.get(), c.name, uvc::controls::names::autoFocus).value_or(c);
        }
        const QString autoState = !c.autoValue ? QStringLiteral("-") : *c.autoValue ? QStringLiteral("on") : QStringLiteral("off");
        out() << QStringLiteral("%1 %2 %3 %4 %5 %6  %7\n")
                     .arg(c.name, -24).arg(c.minimum, 8).arg(c.maximum, 8).arg(c.step, 5)
                     .arg(c.defaultValue, 8).arg(c.value, 8).arg(autoState);
    }
    return 0;
}

std::shared_ptr<UVCControl> findControl(const uvc::Device &device, const QString &name, QString &error)
{
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

void printControl(const std::shared_ptr<UVCControl> &control, const std::shared_ptr<UVCValue> &value)
{
    out() << QString::fromStdString(control->controlName()) << " = " << text(value);
    QStringList details;
    if (control->hasRange()) {
        details << QStringLiteral("minimum %1, maximum %2").arg(text(control->minimum()), text(control->maximum()));
    }
    if (control->hasStepSize()) {
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
    const QByteArray utf8 = valueText.toUtf8();
    if (!control->setCurrentValueFromCString(utf8.constData(), UVCScanFlagWarnings)) {
        return fail(QStringLiteral("\"%1\" is not a valid value for \"%2\"").arg(valueText, name));
    }
    if (!control->writeFromCurrentValue()) {
        return fail(QStringLiteral("%1 refused the value \"%2\" for \"%3\"").arg(device.name, valueText, name));
    }
    const auto readBack = control->currentValue();
    if (!readBack) {
        return fail(QStringLiteral("%1 took the value but did not answer reading \"%2\" back").arg(device.name, name));
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
        "                        \"maximum\", or a record such as {blue=10,red=20}"));
    parser.addHelpOption();
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Use the simulated Talvento Camera Pro only (its state lasts for this run)."));
    const QCommandLineOption deviceOption(QStringList { QStringLiteral("d"), QStringLiteral("device") },
                                          QStringLiteral("Camera name or location id (default: the first Talvento camera)."),
                                          QStringLiteral("device"));
    const QCommandLineOption verbose(QStringLiteral("verbose"), QStringLiteral("Show diagnostic log lines."));
    parser.addOptions({ simulate, deviceOption, verbose });
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

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0, QStringLiteral("controls"));
    if (command == QLatin1String("devices")) {
        const QList<uvc::Device> devices = uvc::listDevices();
        if (devices.isEmpty()) {
            return fail(QStringLiteral("no UVC camera found"));
        }
        for (const uvc::Device &d : devices) {
            out() << describe(d) << "\n";
        }
        return 0;
    }

    const int expectedArgs = command == QLatin1String("controls") ? 1 : command == QLatin1String("get") ? 2
        : command == QLatin1String("set")                          ? 3
                                                                   : -1;
    if (expectedArgs < 0) {
        return fail(QStringLiteral("unknown command \"%1\" (try --help)").arg(command));
    }
    if (args.size() != expectedArgs && !(command == QLatin1String("controls") && args.isEmpty())) {
        return fail(QStringLiteral("wrong number of arguments for \"%1\" (try --help)").arg(command));
    }
    QString error;
    const std::optional<uvc::Device> device = pickDevice(parser.value(deviceOption), error);
    if (!device) {
        return fail(error);
    }
    if (command == QLatin1String("get")) {
        return readControl(*device, args[1]);
    }
    if (command == QLatin1String("set")) {
        return writeControl(*device, args[1], args[2]);
    }
    return listControlsOf(*device);
}
