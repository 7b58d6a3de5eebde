#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// One class-specific control request on the default pipe of a VideoControl
/// interface, laid out as on the wire. data holds wLength bytes in USB order.
struct UVCRequest
{
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    uint8_t *data = nullptr;
};

/// UVC request codes (bRequest) and the two request types we send.
namespace UVCRequestCode {
inline constexpr uint8_t SetCur = 0x01;
inline constexpr uint8_t GetCur = 0x81;
inline constexpr uint8_t GetMin = 0x82;
inline constexpr uint8_t GetMax = 0x83;
inline constexpr uint8_t GetRes = 0x84;
inline constexpr uint8_t GetInfo = 0x86;
inline constexpr uint8_t GetDef = 0x87;
inline constexpr uint8_t TypeSet = 0x21; // class request, interface recipient, host to device
inline constexpr uint8_t TypeGet = 0xA1; // the same, device to host
} // namespace UVCRequestCode

/// How opening the interface went. Exclusive access means another client (on
/// Linux: the uvcvideo driver) holds the interface, yet requests still go through.
enum class UVCOpenResult { Opened, ExclusiveAccess, Failed };

/// The path that control requests of one device travel: raw USB control
/// transfers, the V4L2 controls of the driver that holds the interface, or a
/// simulated camera. Used from one thread at a time.
class UVCTransport
{
public:
    virtual ~UVCTransport() = default;
    virtual UVCOpenResult open() = 0;
    /// True when the interface was closed.
    virtual bool close() = 0;
    /// True when the device accepted the request; a GET fills request.data.
    virtual bool controlRequest(UVCRequest &request) = 0;
};

/// A USB device with a VideoControl interface, as enumeration finds it.
struct UVCDeviceEntry
{
    std::optional<std::string> deviceName; // the product string; absent when unreadable
    uint32_t locationId = 0xFFFFFFFF;
    uint16_t vendorId = 0xFFFF;
    uint16_t productId = 0xFFFF;
    uint8_t interfaceNumber = 0;
    std::vector<uint8_t> classSpecificDescriptors; // the interface's extra descriptor bytes
    /// The V4L2 nodes the driver made for this camera function (capture node first); empty when
    /// no driver holds it. A device with two functions (colour and infrared) has two entries.
    std::vector<std::string> videoNodes;
    std::unique_ptr<UVCTransport> transport;
};

/// Something that contributes UVC devices to enumeration (the USB bus, a
/// simulated camera).
class UVCDeviceSource
{
public:
    virtual ~UVCDeviceSource() = default;
    virtual std::vector<UVCDeviceEntry> uvcDevices() = 0;
};

/// The process-wide list of device sources. The USB bus comes first (unless
/// switched off, as tests do for a predictable device list), then registered
/// sources in the order they were added. Any thread.
namespace UVCDeviceSources {
void setHardwareEnabled(bool enabled);
bool hardwareEnabled();
void add(const std::shared_ptr<UVCDeviceSource> &source);
void remove(const std::shared_ptr<UVCDeviceSource> &source);
std::vector<UVCDeviceEntry> enumerate();
/// The USB bus alone (libusb); defined with the libusb layer.
std::vector<UVCDeviceEntry> enumerateUsb();
} // namespace UVCDeviceSources
