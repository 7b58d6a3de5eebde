#pragma once

#include <cstdint>
#include <memory>
#include <string>

class UVCController;
class UVCValue;

/// One named control of a UVC camera with what the camera reported about it
/// when it was created: capabilities, range, step and default. The current
/// value is read from the camera on request.
class UVCControl
{
public:
    /// Capability bits above the camera's GET_INFO byte.
    enum Capability : uint32_t {
        SupportsGet = 1u << 0,
        SupportsSet = 1u << 1,
        HasRange = 1u << 8,
        HasStepSize = 1u << 9,
        HasDefaultValue = 1u << 10,
    };

    /// Asks the camera about the control; null when GET_INFO fails.
    static std::shared_ptr<UVCControl> initControlWithName(const std::string &name,
                                                           const std::shared_ptr<UVCController> &parent,
                                                           int controlIndex);

    const std::string &controlName() const { return m_name; }
    int controlIndex() const { return m_index; }
    uint32_t capabilities() const { return m_capabilities; }
    bool supportsGetValue() const { return m_capabilities & SupportsGet; }
    bool supportsSetValue() const { return m_capabilities & SupportsSet; }
    bool hasRange() const { return m_capabilities & HasRange; }
    bool hasStepSize() const { return m_capabilities & HasStepSize; }
    bool hasDefaultValue() const { return m_capabilities & HasDefaultValue; }
    const std::shared_ptr<UVCValue> &minimum() const { return m_minimum; }
    const std::shared_ptr<UVCValue> &maximum() const { return m_maximum; }
    const std::shared_ptr<UVCValue> &stepSize() const { return m_stepSize; }
    const std::shared_ptr<UVCValue> &defaultValue() const { return m_defaultValue; }

    /// Reads the value from the camera (GET_CUR); null when that fails.
    std::shared_ptr<UVCValue> currentValue();
    bool readIntoCurrentValue();
    /// SET_CUR of the current value.
    bool writeFromCurrentValue();
    /// SET_CUR of the default, when the camera reported one.
    bool resetToDefaultValue();
    /// Scans text into the current value with this control's range, step and
    /// default as references; sends nothing.
    bool setCurrentValueFromCString(const char *text, unsigned flags);

    std::string description() const;
    std::string summaryString() const;

private:
    UVCControl() = default;

    // Not owning: the controller owns its controls, and a control whose
    // controller is gone fails its requests instead of keeping it alive.
    std::weak_ptr<UVCController> m_parent;
    int m_index = -1;
    std::string m_name;
    uint32_t m_capabilities = 0;
    std::shared_ptr<UVCValue> m_currentValue;
    std::shared_ptr<UVCValue> m_minimum;
    std::shared_ptr<UVCValue> m_maximum;
    std::shared_ptr<UVCValue> m_stepSize;
    std::shared_ptr<UVCValue> m_defaultValue;
};
