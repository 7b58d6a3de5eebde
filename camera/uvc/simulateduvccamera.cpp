#include "camera/uvc/simulateduvccamera.h"

#include "camera/uvc/uvcbytes.h"

#include <cstring>

namespace {

// The transport handed out with each enumerated entry; the camera's state
// lives in the camera object, so every controller sees the same camera.
class SimulatedTransport : public UVCTransport
{
public:
    explicit SimulatedTransport(std::shared_ptr<SimulatedUVCCamera> camera)
        : m_camera(std::move(camera))
    {
    }
    UVCOpenResult open() override { return m_camera->open(); }
    bool close() override { return m_camera->close(); }
    bool controlRequest(UVCRequest &request) override { return m_camera->handleRequest(request); }

private:
    std::shared_ptr<SimulatedUVCCamera> m_camera;
};

void put16(std::vector<uint8_t> &out, uint16_t v)
{
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

std::vector<uint8_t> littleEndian(int64_t value, int byteSize)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(byteSize));
    uvcWriteLittleEndian(bytes.data(), bytes.size(), value);
    return bytes;
}

} // namespace

SimulatedUVCCamera::SimulatedUVCCamera(Config config)
    : m_config(std::move(config))
{
}

std::shared_ptr<SimulatedUVCCamera> SimulatedUVCCamera::create(Config config)
{
    return std::shared_ptr<SimulatedUVCCamera>(new SimulatedUVCCamera(std::move(config)));
}

std::vector<uint8_t> SimulatedUVCCamera::videoControlDescriptors(
    uint16_t bcdUVC, const std::vector<uint8_t> &terminalControls, uint8_t processingUnitId,
    const std::vector<uint8_t> &processingUnitControls)
{
    constexpr uint8_t cs = 0x24;
    std::vector<uint8_t> units;
    // Camera terminal, id 1.
    units.insert(units.end(), { uint8_t(15 + terminalControls.size()), cs, 0x02, 1 });
    put16(units, 0x0201); // ITT_CAMERA
    units.insert(units.end(), { 0, 0 });
    put16(units, 0);
    put16(units, 0);
    put16(units, 0);
    units.push_back(uint8_t(terminalControls.size()));
    units.insert(units.end(), terminalControls.begin(), terminalControls.end());
    // Processing unit: UVC 1.1 added bmVideoStandards after iProcessing.
    const bool withVideoStandards = bcdUVC >= 0x0110;
    units.insert(units.end(), { uint8_t(9 + processingUnitControls.size() + (withVideoStandards ? 1 : 0)),
                                cs, 0x05, processingUnitId, 1 });
    put16(units, 0x4000); // wMaxMultiplier
    units.push_back(uint8_t(processingUnitControls.size()));
    units.insert(units.end(), processingUnitControls.begin(), processingUnitControls.end());
    units.push_back(0); // iProcessing
    if (withVideoStandards) {
        units.push_back(0);
    }
    // An extension unit the way vendors add them: 16-byte GUID, one input pin.
    const uint8_t extensionId = uint8_t(processingUnitId + 1);
    units.insert(units.end(), { 27, cs, 0x06, extensionId });
    for (int i = 0; i < 16; ++i) {
        units.push_back(uint8_t(0xA0 + i));
    }
    units.insert(units.end(), { 8, 1, processingUnitId, 2, 0xFF, 0x03, 0 });
    if (bcdUVC >= 0x0150) {
        // UVC 1.5 encoding unit, which this program does not use.
        units.insert(units.end(), { 13, cs, 0x07, uint8_t(extensionId + 2), extensionId, 0, 3, 0, 0, 0, 3, 0, 0 });
    }
    // Output terminal (streaming), fed by the extension unit.
    units.insert(units.end(), { 9, cs, 0x03, uint8_t(extensionId + 1) });
    put16(units, 0x0101);
    units.insert(units.end(), { 0, extensionId, 0 });

    std::vector<uint8_t> out { 13, cs, 0x01 };
    put16(out, bcdUVC);
    put16(out, uint16_t(13 + units.size()));
    out.insert(out.end(), { 0x80, 0x8D, 0x5B, 0x00 }); // dwClockFrequency 6 MHz
    out.insert(out.end(), { 1, 1 });                  // one streaming interface, number 1
    out.insert(out.end(), units.begin(), units.end());
    return out;
}

SimulatedUVCCamera::Control SimulatedUVCCamera::integerControl(int byteSize, Check check,
                                                               int64_t minimum, int64_t maximum,
                                                               int64_t resolution,
                                                               int64_t defaultValue, uint8_t info)
{
    Control c;
    c.info = info;
    c.check = check;
    c.minimum = littleEndian(minimum, byteSize);
    c.maximum = littleEndian(maximum, byteSize);
    c.resolution = littleEndian(resolution, byteSize);
    c.defaultValue = littleEndian(defaultValue, byteSize);
    c.current = c.defaultValue;
    return c;
}

std::shared_ptr<SimulatedUVCCamera> SimulatedUVCCamera::talventoCameraPro()
{
    constexpr uint8_t pu = TalventoCameraProProcessingUnitId;
    // Terminal: auto-exposure mode, exposure time, focus, zoom, auto-focus.
    const std::vector<uint8_t> terminalBits { 0x2A, 0x02, 0x02 };
    // Processing unit: brightness, contrast, saturation, sharpness, white balance
    // temperature; backlight compensation, power line frequency, auto white balance.
    const std::vector<uint8_t> processingBits { 0x5B, 0x15 };
    auto camera = create({ TalventoCameraProName, TalventoCameraProLocationId,
                           TalventoCameraProVendorId, TalventoCameraProProductId, 0,
                           videoControlDescriptors(0x0110, terminalBits, pu, processingBits) });
    using C = Check;
    // Auto-exposure mode: manual (1) and aperture priority (8), automatic by default.
    Control exposureMode;
    exposureMode.check = C::Bitmap;
    exposureMode.resolution = { 0x09 };
    exposureMode.defaultValue = { 0x08 };
    exposureMode.current = { 0x08 };
    camera->setControl(1, 2, exposureMode);
    camera->setControl(1, 4, integerControl(4, C::Unsigned, 3, 2041, 1, 166));
    camera->setControl(1, 6, integerControl(2, C::Unsigned, 0, 1023, 1, 0));
    camera->setControl(1, 8, integerControl(1, C::Unsigned, 0, 1, 1, 1));
    camera->setControl(1, 11, integerControl(2, C::Unsigned, 0, 60, 1, 0));
    camera->setControl(pu, 1, integerControl(2, C::Unsigned, 0, 1, 1, 0));
    camera->setControl(pu, 2, integerControl(2, C::Signed, -64, 64, 1, 0));
    camera->setControl(pu, 3, integerControl(2, C::Unsigned, 0, 95, 1, 32));
    camera->setControl(pu, 5, integerControl(1, C::Unsigned, 0, 2, 1, 0));
    camera->setControl(pu, 7, integerControl(2, C::Unsigned, 0, 100, 1, 52));
    camera->setControl(pu, 8, integerControl(2, C::Unsigned, 1, 7, 1, 2));
    camera->setControl(pu, 10, integerControl(2, C::Unsigned, 2800, 6500, 1, 4600));
    camera->setControl(pu, 11, integerControl(1, C::Unsigned, 0, 1, 1, 1));
    return camera;
}

std::shared_ptr<SimulatedUVCCamera> SimulatedUVCCamera::cloneAs(Config config) const
{
    auto camera = create(std::move(config));
    const std::lock_guard lock(m_mutex);
    camera->m_controls = m_controls;
    return camera;
}

void SimulatedUVCCamera::setControl(uint8_t unitId, uint8_t selector, Control control)
{
    const std::lock_guard lock(m_mutex);
    m_controls[uint16_t(unitId << 8 | selector)] = std::move(control);
}

void SimulatedUVCCamera::removeControl(uint8_t unitId, uint8_t selector)
{
    const std::lock_guard lock(m_mutex);
    m_controls.erase(uint16_t(unitId << 8 | selector));
}

std::optional<SimulatedUVCCamera::Control> SimulatedUVCCamera::control(uint8_t unitId,
                                                                      uint8_t selector) const
{
    const std::lock_guard lock(m_mutex);
    const auto it = m_controls.find(uint16_t(unitId << 8 | selector));
    if (it == m_controls.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<int64_t> SimulatedUVCCamera::currentInteger(uint8_t unitId, uint8_t selector) const
{
    const std::optional<Control> c = control(unitId, selector);
    if (!c || c->current.empty() || c->current.size() > 8) {
        return std::nullopt;
    }
    return uvcReadLittleEndian(c->current.data(), c->current.size(), c->check == Check::Signed);
}

void SimulatedUVCCamera::setOpenResult(UVCOpenResult result)
{
    const std::lock_guard lock(m_mutex);
    m_openResult = result;
}

void SimulatedUVCCamera::setCloseSucceeds(bool succeeds)
{
    const std::lock_guard lock(m_mutex);
    m_closeSucceeds = succeeds;
}

void SimulatedUVCCamera::setConnected(bool connected)
{
    const std::lock_guard lock(m_mutex);
    if (connected && !m_connected) {
        for (auto &[key, control] : m_controls) {
            if (!control.defaultValue.empty()) {
                control.current = control.defaultValue;
            }
        }
    }
    m_connected = connected;
}

std::vector<SimulatedUVCCamera::LoggedRequest> SimulatedUVCCamera::requests() const
{
    const std::lock_guard lock(m_mutex);
    return m_requests;
}

void SimulatedUVCCamera::clearRequests()
{
    const std::lock_guard lock(m_mutex);
    m_requests.clear();
}

int SimulatedUVCCamera::openCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_openCount;
}

int SimulatedUVCCamera::closeCount() const
{
    const std::lock_guard lock(m_mutex);
    return m_closeCount;
}

std::vector<UVCDeviceEntry> SimulatedUVCCamera::uvcDevices()
{
    std::vector<UVCDeviceEntry> devices;
    UVCDeviceEntry entry;
    entry.deviceName = m_config.name;
    entry.locationId = m_config.locationId;
    entry.vendorId = m_config.vendorId;
    entry.productId = m_config.productId;
    entry.interfaceNumber = m_config.interfaceNumber;
    entry.classSpecificDescriptors = m_config.descriptors;
    entry.videoNodes = m_config.videoNodes;
    entry.transport = std::make_unique<SimulatedTransport>(shared_from_this());
    devices.push_back(std::move(entry));
    return devices;
}

UVCOpenResult SimulatedUVCCamera::open()
{
    const std::lock_guard lock(m_mutex);
    ++m_openCount;
    return m_connected ? m_openResult : UVCOpenResult::Failed;
}

bool SimulatedUVCCamera::close()
{
    const std::lock_guard lock(m_mutex);
    ++m_closeCount;
    return m_closeSucceeds;
}

bool SimulatedUVCCamera::handleRequest(UVCRequest &request)
{
    const std::lock_guard lock(m_mutex);
    LoggedRequest logged { request.bmRequestType, request.bRequest, request.wValue, request.wIndex,
                           request.wLength, {}, false };
    if (request.bRequest == UVCRequestCode::SetCur && request.data) {
        logged.payload.assign(request.data, request.data + request.wLength);
    }
    const bool accepted = m_connected && answer(request);
    logged.accepted = accepted;
    m_requests.push_back(std::move(logged));
    return accepted;
}

// Answers one request under m_mutex; false is a STALL on the real bus.
bool SimulatedUVCCamera::answer(UVCRequest &request)
{
    if ((request.wIndex & 0xFF) != m_config.interfaceNumber || (request.wValue & 0xFF) != 0
        || !request.data) {
        return false;
    }
    const auto it = m_controls.find(uint16_t((request.wIndex & 0xFF00) | request.wValue >> 8));
    if (it == m_controls.end()) {
        return false;
    }
    Control &c = it->second;
    if (request.bRequest == UVCRequestCode::SetCur) {
        if (request.bmRequestType != UVCRequestCode::TypeSet || !(c.info & 0x02)
            || request.wLength != c.current.size()) {
            return false;
        }
        const size_t size = c.current.size();
        if (c.check != Check::None && size <= 8) {
            const bool isSigned = c.check == Check::Signed;
            const int64_t v = uvcReadLittleEndian(request.data, size, isSigned);
            if (c.check == Check::Bitmap) {
                const uint64_t supported = c.resolution.empty()
                    ? ~uint64_t(0)
                    : uint64_t(uvcReadLittleEndian(c.resolution.data(), size, false));
                if (v == 0 || (v & (v - 1)) != 0 || (uint64_t(v) & ~supported) != 0) {
                    return false;
                }
            } else {
                if (!c.minimum.empty() && v < uvcReadLittleEndian(c.minimum.data(), size, isSigned)) {
                    return false;
                }
                if (!c.maximum.empty() && v > uvcReadLittleEndian(c.maximum.data(), size, isSigned)) {
                    return false;
                }
            }
        }
        std::memcpy(c.current.data(), request.data, size);
        return true;
    }
    if (request.bmRequestType != UVCRequestCode::TypeGet) {
        return false;
    }
    if (request.bRequest == UVCRequestCode::GetInfo) {
        if (request.wLength != 1) {
            return false;
        }
        request.data[0] = c.info;
        return true;
    }
    const std::vector<uint8_t> *field = nullptr;
    switch (request.bRequest) {
    case UVCRequestCode::GetCur:
        field = (c.info & 0x01) ? &c.current : nullptr;
        break;
    case UVCRequestCode::GetMin:
        field = &c.minimum;
        break;
    case UVCRequestCode::GetMax:
        field = &c.maximum;
        break;
    case UVCRequestCode::GetRes:
        field = &c.resolution;
        break;
    case UVCRequestCode::GetDef:
        field = &c.defaultValue;
        break;
    default:
        return false;
    }
    if (!field || field->empty() || field->size() != request.wLength) {
        return false;
    }
    std::memcpy(request.data, field->data(), field->size());
    return true;
}
