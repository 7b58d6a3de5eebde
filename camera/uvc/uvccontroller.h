#pragma once

#include "camera/uvc/uvctransport.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class UVCControl;
class UVCType;
class UVCValue;

// Control names, the keys of the control table.
inline constexpr char UVCTerminalControlScanningMode[] = "scanning-mode";
inline constexpr char UVCTerminalControlAutoExposureMode[] = "auto-exposure-mode";
inline constexpr char UVCTerminalControlAutoExposurePriority[] = "auto-exposure-priority";
inline constexpr char UVCTerminalControlExposureTimeAbsolute[] = "exposure-time-abs";
inline constexpr char UVCTerminalControlExposureTimeRelative[] = "exposure-time-rel";
inline constexpr char UVCTerminalControlFocusAbsolute[] = "focus-abs";
inline constexpr char UVCTerminalControlFocusRelative[] = "focus-rel";
inline constexpr char UVCTerminalControlAutoFocus[] = "auto-focus";
inline constexpr char UVCTerminalControlIrisAbsolute[] = "iris-abs";
inline constexpr char UVCTerminalControlIrisRelative[] = "iris-rel";
inline constexpr char UVCTerminalControlZoomAbsolute[] = "zoom-abs";
inline constexpr char UVCTerminalControlZoomRelative[] = "zoom-rel";
inline constexpr char UVCTerminalControlPanTiltAbsolute[] = "pan-tilt-abs";
inline constexpr char UVCTerminalControlPanTiltRelative[] = "pan-tilt-rel";
inline constexpr char UVCTerminalControlRollAbsolute[] = "roll-abs";
inline constexpr char UVCTerminalControlRollRelative[] = "roll-rel";
inline constexpr char UVCTerminalControlPrivacy[] = "privacy";
inline constexpr char UVCTerminalControlFocusSimple[] = "focus-simple";
inline constexpr char UVCTerminalControlWindow[] = "window";
inline constexpr char UVCTerminalControlRegionOfInterest[] = "region-of-interest";
inline constexpr char UVCProcessingUnitControlBacklightCompensation[] = "backlight-compensation";
inline constexpr char UVCProcessingUnitControlBrightness[] = "brightness";
inline constexpr char UVCProcessingUnitControlContrast[] = "contrast";
inline constexpr char UVCProcessingUnitControlGain[] = "gain";
inline constexpr char UVCProcessingUnitControlPowerLineFrequency[] = "power-line-frequency";
inline constexpr char UVCProcessingUnitControlHue[] = "hue";
inline constexpr char UVCProcessingUnitControlSaturation[] = "saturation";
inline constexpr char UVCProcessingUnitControlSharpness[] = "sharpness";
inline constexpr char UVCProcessingUnitControlGamma[] = "gamma";
inline constexpr char UVCProcessingUnitControlWhiteBalanceTemperature[] = "white-balance-temp";
inline constexpr char UVCProcessingUnitControlAutoWhiteBalanceTemperature[] = "auto-white-balance-temp";
inline constexpr char UVCProcessingUnitControlWhiteBalanceComponent[] = "white-balance-component";
inline constexpr char UVCProcessingUnitControlAutoWhiteBalanceComponent[] = "auto-white-balance-component";
inline constexpr char UVCProcessingUnitControlDigitalMultiplier[] = "digital-multiplier";
inline constexpr char UVCProcessingUnitControlDigitalMultiplierLimit[] = "digital-multiplier-limit";
inline constexpr char UVCProcessingUnitControlAutoHue[] = "auto-hue";
inline constexpr char UVCProcessingUnitControlAnalogVideoStandard[] = "analog-video-standard";
inline constexpr char UVCProcessingUnitControlAnalogLockStatus[] = "analog-lock-status";
inline constexpr char UVCProcessingUnitControlAutoContrast[] = "auto-contrast";

/// The unit a control belongs to.
enum class UVCUnitKind { Terminal = 1, ProcessingUnit = 2 };

/// One row of the control table.
struct UVCControlRow
{
    const char *name;
    UVCUnitKind unit;
    const char *unitKey; // "UVC_INPUT_TERMINAL_ID" or "UVC_PROCESSING_UNIT_ID"
    uint8_t selector;
    const char *typeDescription;
    int enableBit; // bit in the unit descriptor's bmControls
};

/// One USB Video Class camera: finds its units from the class-specific
/// descriptors and sends control requests to its camera terminal and
/// processing unit through the device's transport. Not thread-safe: callers
/// serialise use of one controller (the camera grabber holds its mutex).
class UVCController : public std::enable_shared_from_this<UVCController>
{
public:
    static constexpr int ControlCount = 39;

    /// Every device with a VideoControl interface, from all device sources;
    /// empty when there is none.
    static std::vector<std::shared_ptr<UVCController>> uvcControllers();
    /// A controller for one enumerated device; null without a transport.
    static std::shared_ptr<UVCController> uvcControllerWithDevice(UVCDeviceEntry device);
    static std::shared_ptr<UVCController> uvcControllerWithLocationId(uint32_t locationId);
    static std::shared_ptr<UVCController> uvcControllerWithVendorId(uint16_t vendorId,
                                                                    uint16_t productId);

    static const UVCControlRow &controlRow(int index);
    static const std::map<std::string, int> &controlMapping();
    static const std::map<std::string, int> &terminalControlEnableMapping();
    static const std::map<std::string, int> &processingUnitControlEnableMapping();
    /// All 39 names, in table order.
    static const std::vector<std::string> &controlStrings();
    static int controlIndexForString(const std::string &name);
    /// The shared type of a table row, built on first use.
    static std::shared_ptr<const UVCType> typeForControl(int index);

    ~UVCController();
    UVCController(const UVCController &) = delete;
    UVCController &operator=(const UVCController &) = delete;

    const std::optional<std::string> &deviceName() const { return m_deviceName; }
    uint32_t locationId() const { return m_locationId; }
    uint16_t vendorId() const { return m_vendorId; }
    uint16_t productId() const { return m_productId; }
    uint16_t uvcVersion() const { return m_uvcVersion; }
    uint8_t videoInterfaceIndex() const { return m_videoInterfaceIndex; }
    const std::vector<std::string> &videoNodes() const { return m_videoNodes; }
    int unitId(const std::string &unitKey) const;

    bool isInterfaceOpen() const { return m_isInterfaceOpen; }
    void setIsInterfaceOpen(bool open);

    /// The control of that name, created on first use and cached, as is the
    /// verdict that a name is not available. Null when not available.
    std::shared_ptr<UVCControl> controlWithName(const std::string &name);
    bool controlIsNotAvailable(const std::string &name) const;

    // Request-level operations used by UVCControl. Values are in host order
    // before and after each call.
    std::optional<uint8_t> capabilities(int controlIndex);
    /// Reads minimum and maximum (both or neither), step and default, sets
    /// capability bits 8, 9 and 10 and resets the pointers that could not be read.
    void getLowValue(std::shared_ptr<UVCValue> &minimum, std::shared_ptr<UVCValue> &maximum,
                     std::shared_ptr<UVCValue> &stepSize, std::shared_ptr<UVCValue> &defaultValue,
                     uint32_t &capabilities, int controlIndex);
    bool getValue(UVCValue &value, int controlIndex);
    bool setValue(UVCValue &value, int controlIndex);

    bool getData(void *buffer, uint8_t request, uint16_t length, uint8_t selector, uint8_t unitId);
    bool setData(void *buffer, uint16_t length, uint8_t selector, uint8_t unitId);
    bool sendControlRequest(UVCRequest &request);

    std::string description() const;

private:
    explicit UVCController(UVCDeviceEntry device);
    bool readValue(UVCValue &value, uint8_t request, int controlIndex);

    std::optional<std::string> m_deviceName;
    uint32_t m_locationId;
    uint16_t m_vendorId;
    uint16_t m_productId;
    std::unique_ptr<UVCTransport> m_controllerInterface;
    bool m_isInterfaceOpen = false;
    bool m_shouldNotCloseInterface = false;
    uint8_t m_videoInterfaceIndex;
    std::vector<std::string> m_videoNodes;
    std::map<std::string, std::shared_ptr<UVCControl>> m_controls; // null: not available
    std::map<std::string, int> m_unitIds;
    uint16_t m_uvcVersion = 0;
    std::optional<std::vector<uint8_t>> m_terminalControlsAvailable;
    std::optional<std::vector<uint8_t>> m_processingUnitControlsAvailable;
};
