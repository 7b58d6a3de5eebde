#pragma once

#include "camera/uvc/uvctransport.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

/// A UVC camera in software. It answers control requests by UVC rules: GET_*
/// only for the requests a control supports and with the control's exact
/// length, SET_CUR only when the control is settable, the length is right and
/// the value lies in the control's range (bitmaps: one supported mode bit).
/// Its descriptors, controls and open behaviour are configurable, and it
/// records every request it was sent. Any thread.
///
/// The default model, talventoCameraPro(), is the camera behind --simulate
/// (see uvc::useSimulatedDevices in camera/uvc/controls.h).
class SimulatedUVCCamera : public UVCDeviceSource,
                           public std::enable_shared_from_this<SimulatedUVCCamera>
{
public:
    static constexpr char TalventoCameraProName[] = "Talvento Camera Pro";
    /// Bus 0x7a, port 1: far above the bus numbers real machines hand out.
    static constexpr uint32_t TalventoCameraProLocationId = 0x7a100000;
    static constexpr uint16_t TalventoCameraProVendorId = 0x1209;
    static constexpr uint16_t TalventoCameraProProductId = 0x7a1c;
    static constexpr uint8_t TalventoCameraProProcessingUnitId = 2;

    /// How SET_CUR checks a single-value payload.
    enum class Check { None, Signed, Unsigned, Bitmap };

    /// One control: empty byte strings mean the request is not supported.
    struct Control
    {
        uint8_t info = 0x03; // GET and SET supported
        Check check = Check::None;
        std::vector<uint8_t> current, minimum, maximum, resolution, defaultValue;
    };

    struct Config
    {
        std::optional<std::string> name;
        uint32_t locationId = 0;
        uint16_t vendorId = 0;
        uint16_t productId = 0;
        uint8_t interfaceNumber = 0;
        std::vector<uint8_t> descriptors; // class-specific VideoControl descriptors
        std::vector<std::string> videoNodes; // the capture nodes of this camera function
    };

    /// A request as the camera saw it, with the payload of a SET_CUR and
    /// whether the camera accepted it.
    struct LoggedRequest
    {
        uint8_t bmRequestType;
        uint8_t bRequest;
        uint16_t wValue;
        uint16_t wIndex;
        uint16_t wLength;
        std::vector<uint8_t> payload;
        bool accepted;
    };

    static std::shared_ptr<SimulatedUVCCamera> create(Config config);
    /// The product camera with the controls and ranges the camera grabber expects.
    static std::shared_ptr<SimulatedUVCCamera> talventoCameraPro();

    /// Header, camera terminal, processing unit, an extension unit and an
    /// output terminal, as a UVC 1.0/1.1 (bcdUVC below 0x0150) or 1.5 camera
    /// lays them out.
    static std::vector<uint8_t> videoControlDescriptors(uint16_t bcdUVC,
                                                        const std::vector<uint8_t> &terminalControls,
                                                        uint8_t processingUnitId,
                                                        const std::vector<uint8_t> &processingUnitControls);

    /// A single-value integer control of byteSize bytes, little-endian.
    static Control integerControl(int byteSize, Check check, int64_t minimum, int64_t maximum,
                                  int64_t resolution, int64_t defaultValue, uint8_t info = 0x03);

    /// The same model with its controls as they are now, under another identity (another
    /// location, or another camera function of the same device).
    std::shared_ptr<SimulatedUVCCamera> cloneAs(Config config) const;

    const Config &config() const { return m_config; }
    void setControl(uint8_t unitId, uint8_t selector, Control control);
    void removeControl(uint8_t unitId, uint8_t selector);
    std::optional<Control> control(uint8_t unitId, uint8_t selector) const;
    /// The current value of a single-value control read as a little-endian integer.
    std::optional<int64_t> currentInteger(uint8_t unitId, uint8_t selector) const;

    void setOpenResult(UVCOpenResult result);
    void setCloseSucceeds(bool succeeds);
    /// An unplugged camera refuses every request; plugged back, its controls are at their
    /// defaults again, as after a real camera's power-up.
    void setConnected(bool connected);

    std::vector<LoggedRequest> requests() const;
    void clearRequests();
    int openCount() const;
    int closeCount() const;

    std::vector<UVCDeviceEntry> uvcDevices() override;

    // The transport side, used by the entries that uvcDevices() hands out.
    UVCOpenResult open();
    bool close();
    bool handleRequest(UVCRequest &request);

private:
    explicit SimulatedUVCCamera(Config config);
    bool answer(UVCRequest &request);

    const Config m_config;
    mutable std::mutex m_mutex;
    std::map<uint16_t, Control> m_controls; // unit id << 8 | selector
    std::vector<LoggedRequest> m_requests;
    UVCOpenResult m_openResult = UVCOpenResult::ExclusiveAccess;
    bool m_closeSucceeds = true;
    bool m_connected = true;
    int m_openCount = 0;
    int m_closeCount = 0;
};
