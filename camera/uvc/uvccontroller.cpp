#include "camera/uvc/uvccontroller.h"

#include "camera/uvc/uvccontrol.h"
#include "camera/uvc/uvcdescriptors.h"
#include "camera/uvc/uvctype.h"
#include "camera/uvc/uvcvalue.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr char kTerminalKey[] = "UVC_INPUT_TERMINAL_ID";
constexpr char kProcessingUnitKey[] = "UVC_PROCESSING_UNIT_ID";

constexpr UVCUnitKind T = UVCUnitKind::Terminal;
constexpr UVCUnitKind P = UVCUnitKind::ProcessingUnit;

// Selectors and enable bits are the USB Video Class ones.
const UVCControlRow kControls[UVCController::ControlCount] = {
    { UVCTerminalControlScanningMode, T, kTerminalKey, 1, "{B}", 0 },
    { UVCTerminalControlAutoExposureMode, T, kTerminalKey, 2, "{M1}", 1 },
    { UVCTerminalControlAutoExposurePriority, T, kTerminalKey, 3, "{U1}", 2 },
    { UVCTerminalControlExposureTimeAbsolute, T, kTerminalKey, 4, "{U4}", 3 },
    { UVCTerminalControlExposureTimeRelative, T, kTerminalKey, 5, "{S1}", 4 },
    { UVCTerminalControlFocusAbsolute, T, kTerminalKey, 6, "{U2}", 5 },
    { UVCTerminalControlFocusRelative, T, kTerminalKey, 7, "{S1 focus-relative; U1 focus-speed}", 6 },
    { UVCTerminalControlAutoFocus, T, kTerminalKey, 8, "{B}", 17 },
    { UVCTerminalControlIrisAbsolute, T, kTerminalKey, 9, "{U2}", 7 },
    { UVCTerminalControlIrisRelative, T, kTerminalKey, 10, "{S1}", 8 },
    { UVCTerminalControlZoomAbsolute, T, kTerminalKey, 11, "{U2}", 9 },
    { UVCTerminalControlZoomRelative, T, kTerminalKey, 12, "{S1 zoom; B digital-zoom; U1 speed}", 10 },
    { UVCTerminalControlPanTiltAbsolute, T, kTerminalKey, 13, "{S4 pan; S4 tilt}", 11 },
    { UVCTerminalControlPanTiltRelative, T, kTerminalKey, 14,
      "{S1 pan-relative; U1 pan-speed; S1 tilt-relative; U1 tilt-speed}", 12 },
    { UVCTerminalControlRollAbsolute, T, kTerminalKey, 15, "{S2}", 13 },
    { UVCTerminalControlRollRelative, T, kTerminalKey, 16, "{S1 roll-relative; U1 roll-speed}", 14 },
    { UVCTerminalControlPrivacy, T, kTerminalKey, 17, "{B}", 18 },
    { UVCTerminalControlFocusSimple, T, kTerminalKey, 18, "{U1}", 19 },
    { UVCTerminalControlWindow, T, kTerminalKey, 19,
      "{U2 window-top; U2 window-left; U2 window-bottom; U2 window-right; U2 num-steps; M2 "
      "num-steps-units}",
      20 },
    { UVCTerminalControlRegionOfInterest, T, kTerminalKey, 20,
      "{U2 roi-top; U2 roi-left; U2 roi-bottom; U2 roi-right; M2 auto-controls}", 21 },
    { UVCProcessingUnitControlBacklightCompensation, P, kProcessingUnitKey, 1, "{U2}", 8 },
    { UVCProcessingUnitControlBrightness, P, kProcessingUnitKey, 2, "{S2}", 0 },
    { UVCProcessingUnitControlContrast, P, kProcessingUnitKey, 3, "{U2}", 1 },
    { UVCProcessingUnitControlGain, P, kProcessingUnitKey, 4, "{U2}", 9 },
    { UVCProcessingUnitControlPowerLineFrequency, P, kProcessingUnitKey, 5, "{U1}", 10 },
    { UVCProcessingUnitControlHue, P, kProcessingUnitKey, 6, "{S2}", 2 },
    { UVCProcessingUnitControlSaturation, P, kProcessingUnitKey, 7, "{U2}", 3 },
    { UVCProcessingUnitControlSharpness, P, kProcessingUnitKey, 8, "{U2}", 4 },
    { UVCProcessingUnitControlGamma, P, kProcessingUnitKey, 9, "{U2}", 5 },
    { UVCProcessingUnitControlWhiteBalanceTemperature, P, kProcessingUnitKey, 10, "{U2}", 6 },
    { UVCProcessingUnitControlAutoWhiteBalanceTemperature, P, kProcessingUnitKey, 11, "{B}", 12 },
    { UVCProcessingUnitControlWhiteBalanceComponent, P, kProcessingUnitKey, 12, "{U2 blue; U2 red}", 7 },
    { UVCProcessingUnitControlAutoWhiteBalanceComponent, P, kProcessingUnitKey, 13, "{B}", 13 },
    { UVCProcessingUnitControlDigitalMultiplier, P, kProcessingUnitKey, 14, "{U2}", 14 },
    { UVCProcessingUnitControlDigitalMultiplierLimit, P, kProcessingUnitKey, 15, "{U2}", 15 },
    { UVCProcessingUnitControlAutoHue, P, kProcessingUnitKey, 16, "{B}", 11 },
    { UVCProcessingUnitControlAnalogVideoStandard, P, kProcessingUnitKey, 17, "{U1}", 16 },
    { UVCProcessingUnitControlAnalogLockStatus, P, kProcessingUnitKey, 18, "{U1}", 17 },
    { UVCProcessingUnitControlAutoContrast, P, kProcessingUnitKey, 19, "{U1}", 18 },
};

std::map<std::string, int> enableMapping(UVCUnitKind unit)
{
    std::map<std::string, int> mapping;
    for (const UVCControlRow &row : kControls) {
        if (row.unit == unit) {
            mapping.emplace(row.name, row.enableBit);
        }
    }
    return mapping;
}

} // namespace

const UVCControlRow &UVCController::controlRow(int index)
{
    return kControls[index];
}

const std::map<std::string, int> &UVCController::controlMapping()
{
    static const std::map<std::string, int> mapping = [] {
        std::map<std::string, int> m;
        for (int i = 0; i < ControlCount; ++i) {
            m.emplace(kControls[i].name, i);
        }
        return m;
    }();
    return mapping;
}

const std::map<std::string, int> &UVCController::terminalControlEnableMapping()
{
    static const std::map<std::string, int> mapping = enableMapping(UVCUnitKind::Terminal);
    return mapping;
}

const std::map<std::string, int> &UVCController::processingUnitControlEnableMapping()
{
    static const std::map<std::string, int> mapping = enableMapping(UVCUnitKind::ProcessingUnit);
    return mapping;
}

const std::vector<std::string> &UVCController::controlStrings()
{
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v;
        for (const UVCControlRow &row : kControls) {
            v.emplace_back(row.name);
        }
        return v;
    }();
    return all;
}

int UVCController::controlIndexForString(const std::string &name)
{
    const auto &mapping = controlMapping();
    const auto it = mapping.find(name);
    return it == mapping.end() ? -1 : it->second;
}

std::shared_ptr<const UVCType> UVCController::typeForControl(int index)
{
    static std::mutex mutex;
    static std::shared_ptr<const UVCType> types[ControlCount];
    const std::lock_guard lock(mutex);
    std::shared_ptr<const UVCType> &type = types[index];
    if (!type) {
        type = UVCType::uvcTypeWithCString(kControls[index].typeDescription);
        if (!type) {
            // The table is part of the program: a row that does not parse is a
            // build mistake no caller can recover from.
            std::fprintf(stderr, "FATAL ERROR:  unable to instantiate UVCType for description %s !!!\n",
                         kControls[index].typeDescription);
            std::exit(14);
        }
    }
    return type;
}

std::vector<std::shared_ptr<UVCController>> UVCController::uvcControllers()
{
    std::vector<std::shared_ptr<UVCController>> controllers;
    for (UVCDeviceEntry &device : UVCDeviceSources::enumerate()) {
        if (auto controller = uvcControllerWithDevice(std::move(device))) {
            controllers.push_back(std::move(controller));
        }
    }
    return controllers;
}

std::shared_ptr<UVCController> UVCController::uvcControllerWithDevice(UVCDeviceEntry device)
{
    if (!device.transport) {
        return nullptr;
    }
    return std::shared_ptr<UVCController>(new UVCController(std::move(device)));
}

std::shared_ptr<UVCController> UVCController::uvcControllerWithLocationId(uint32_t locationId)
{
    for (UVCDeviceEntry &device : UVCDeviceSources::enumerate()) {
        if (device.locationId == locationId) {
            return uvcControllerWithDevice(std::move(device));
        }
    }
    return nullptr;
}

std::shared_ptr<UVCController> UVCController::uvcControllerWithVendorId(uint16_t vendorId,
                                                                        uint16_t productId)
{
    for (UVCDeviceEntry &device : UVCDeviceSources::enumerate()) {
        if (device.vendorId == vendorId && device.productId == productId) {
            return uvcControllerWithDevice(std::move(device));
        }
    }
    return nullptr;
}

UVCController::UVCController(UVCDeviceEntry device)
    : m_deviceName(std::move(device.deviceName))
    , m_locationId(device.locationId)
    , m_vendorId(device.vendorId)
    , m_productId(device.productId)
    , m_controllerInterface(std::move(device.transport))
    , m_videoInterfaceIndex(device.interfaceNumber)
    , m_videoNodes(std::move(device.videoNodes))
    , m_unitIds { { kTerminalKey, 1 }, { kProcessingUnitKey, 2 } }
{
    const UVCVideoControlUnits units = parseVideoControlDescriptors(
        device.classSpecificDescriptors.data(), device.classSpecificDescriptors.size());
    m_uvcVersion = units.uvcVersion;
    if (units.processingUnitId) {
        m_unitIds[kProcessingUnitKey] = *units.processingUnitId;
    }
    m_terminalControlsAvailable = units.terminalControls;
    m_processingUnitControlsAvailable = units.processingUnitControls;
}

UVCController::~UVCController()
{
    setIsInterfaceOpen(false);
}

int UVCController::unitId(const std::string &unitKey) const
{
    const auto it = m_unitIds.find(unitKey);
    return it == m_unitIds.end() ? 0 : it->second;
}

void UVCController::setIsInterfaceOpen(bool open)
{
    if (open == m_isInterfaceOpen) {
        return;
    }
    if (open) {
        switch (m_controllerInterface->open()) {
        case UVCOpenResult::Opened:
            m_isInterfaceOpen = true;
            m_shouldNotCloseInterface = true;
            break;
        case UVCOpenResult::ExclusiveAccess:
            m_isInterfaceOpen = true;
            m_shouldNotCloseInterface = false;
            break;
        case UVCOpenResult::Failed:
            break;
        }
        return;
    }
    if (!m_shouldNotCloseInterface && m_controllerInterface->close()) {
        m_isInterfaceOpen = false;
        m_shouldNotCloseInterface = false;
    }
}

bool UVCController::controlIsNotAvailable(const std::string &name) const
{
    const int index = controlIndexForString(name);
    if (index < 0) {
        return true;
    }
    const UVCControlRow &row = kControls[index];
    const std::optional<std::vector<uint8_t>> *bitmap = nullptr;
    switch (row.unit) {
    case UVCUnitKind::Terminal:
        bitmap = &m_terminalControlsAvailable;
        break;
    case UVCUnitKind::ProcessingUnit:
        bitmap = &m_processingUnitControlsAvailable;
        break;
    }
    if (!bitmap) {
        return true;
    }
    if (!*bitmap) {
        return false; // no descriptor to tell: try the control
    }
    const size_t byte = size_t(row.enableBit / 8);
    if (byte >= (*bitmap)->size()) {
        return true;
    }
    return !(((**bitmap)[byte] >> (row.enableBit % 8)) & 1);
}

std::shared_ptr<UVCControl> UVCController::controlWithName(const std::string &name)
{
    const auto cached = m_controls.find(name);
    if (cached != m_controls.end()) {
        return cached->second;
    }
    std::shared_ptr<UVCControl> control;
    if (!controlIsNotAvailable(name)) {
        control = UVCControl::initControlWithName(name, shared_from_this(),
                                                  controlIndexForString(name));
    }
    m_controls.emplace(name, control);
    return control;
}

std::optional<uint8_t> UVCController::capabilities(int controlIndex)
{
    const UVCControlRow &row = kControls[controlIndex];
    uint8_t info = 0;
    if (!getData(&info, UVCRequestCode::GetInfo, 1, row.selector, uint8_t(unitId(row.unitKey)))) {
        return std::nullopt;
    }
    return info;
}

bool UVCController::readValue(UVCValue &value, uint8_t request, int controlIndex)
{
    const UVCControlRow &row = kControls[controlIndex];
    value.byteSwapHostToUSBEndian();
    const bool ok = getData(value.valuePtr(), request, uint16_t(value.byteSize()), row.selector,
                            uint8_t(unitId(row.unitKey)));
    value.byteSwapUSBToHostEndian();
    return ok;
}

void UVCController::getLowValue(std::shared_ptr<UVCValue> &minimum,
                                std::shared_ptr<UVCValue> &maximum,
                                std::shared_ptr<UVCValue> &stepSize,
                                std::shared_ptr<UVCValue> &defaultValue, uint32_t &capabilities,
                                int controlIndex)
{
    const bool hasMinimum = minimum && readValue(*minimum, UVCRequestCode::GetMin, controlIndex);
    const bool hasMaximum = maximum && readValue(*maximum, UVCRequestCode::GetMax, controlIndex);
    if (hasMinimum && hasMaximum) {
        capabilities |= UVCControl::HasRange;
    } else {
        minimum.reset();
        maximum.reset();
    }
    if (stepSize && readValue(*stepSize, UVCRequestCode::GetRes, controlIndex)) {
        capabilities |= UVCControl::HasStepSize;
    } else {
        stepSize.reset();
    }
    if (defaultValue && readValue(*defaultValue, UVCRequestCode::GetDef, controlIndex)) {
        capabilities |= UVCControl::HasDefaultValue;
    } else {
        defaultValue.reset();
    }
}

bool UVCController::getValue(UVCValue &value, int controlIndex)
{
    return readValue(value, UVCRequestCode::GetCur, controlIndex);
}

bool UVCController::setValue(UVCValue &value, int controlIndex)
{
    const UVCControlRow &row = kControls[controlIndex];
    value.byteSwapHostToUSBEndian();
    const bool ok = setData(value.valuePtr(), uint16_t(value.byteSize()), row.selector,
                            uint8_t(unitId(row.unitKey)));
    value.byteSwapUSBToHostEndian();
    return ok;
}

bool UVCController::getData(void *buffer, uint8_t request, uint16_t length, uint8_t selector,
                            uint8_t unitId)
{
    UVCRequest r { UVCRequestCode::TypeGet, request, uint16_t(selector << 8),
                   uint16_t(unitId << 8 | m_videoInterfaceIndex), length,
                   static_cast<uint8_t *>(buffer) };
    return sendControlRequest(r);
}

bool UVCController::setData(void *buffer, uint16_t length, uint8_t selector, uint8_t unitId)
{
    UVCRequest r { UVCRequestCode::TypeSet, UVCRequestCode::SetCur, uint16_t(selector << 8),
                   uint16_t(unitId << 8 | m_videoInterfaceIndex), length,
                   static_cast<uint8_t *>(buffer) };
    return sendControlRequest(r);
}

bool UVCController::sendControlRequest(UVCRequest &request)
{
    if (!m_isInterfaceOpen) {
        setIsInterfaceOpen(true);
    }
    if (!m_isInterfaceOpen) {
        return false;
    }
    return m_controllerInterface->controlRequest(request);
}

std::string UVCController::description() const
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "UVCController@%p { \"%s\"; vendor-id=0x%04x; product-id=0x%04x; "
                  "location-id=0x%08x; uvc-version: 0x%04x interface-index: %d%s }",
                  static_cast<const void *>(this), m_deviceName.value_or("(null)").c_str(),
                  m_vendorId, m_productId, m_locationId, m_uvcVersion, m_videoInterfaceIndex,
                  m_isInterfaceOpen ? " ; is-open" : "");
    return text;
}
