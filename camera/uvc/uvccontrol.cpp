#include "camera/uvc/uvccontrol.h"

#include "camera/uvc/uvccontroller.h"
#include "camera/uvc/uvcvalue.h"

#include <cstdio>

std::shared_ptr<UVCControl> UVCControl::initControlWithName(const std::string &name,
                                                            const std::shared_ptr<UVCController> &parent,
                                                            int controlIndex)
{
    if (!parent || controlIndex < 0 || controlIndex >= UVCController::ControlCount) {
        return nullptr;
    }
    const std::optional<uint8_t> info = parent->capabilities(controlIndex);
    if (!info) {
        return nullptr;
    }
    const std::shared_ptr<const UVCType> type = UVCController::typeForControl(controlIndex);
    std::shared_ptr<UVCControl> control(new UVCControl);
    control->m_parent = parent;
    control->m_index = controlIndex;
    control->m_name = name;
    control->m_capabilities = *info;
    control->m_currentValue = UVCValue::uvcValueWithType(type);
    control->m_minimum = UVCValue::uvcValueWithType(type);
    control->m_maximum = UVCValue::uvcValueWithType(type);
    control->m_stepSize = UVCValue::uvcValueWithType(type);
    control->m_defaultValue = UVCValue::uvcValueWithType(type);
    parent->getLowValue(control->m_minimum, control->m_maximum, control->m_stepSize,
                        control->m_defaultValue, control->m_capabilities, controlIndex);
    return control;
}

std::shared_ptr<UVCValue> UVCControl::currentValue()
{
    return readIntoCurrentValue() ? m_currentValue : nullptr;
}

bool UVCControl::readIntoCurrentValue()
{
    const auto parent = m_parent.lock();
    return parent && parent->getValue(*m_currentValue, m_index);
}

bool UVCControl::writeFromCurrentValue()
{
    const auto parent = m_parent.lock();
    return parent && parent->setValue(*m_currentValue, m_index);
}

bool UVCControl::resetToDefaultValue()
{
    const auto parent = m_parent.lock();
    return parent && m_defaultValue && parent->setValue(*m_defaultValue, m_index);
}

bool UVCControl::setCurrentValueFromCString(const char *text, unsigned flags)
{
    return m_currentValue->scanCString(text, flags, m_minimum.get(), m_maximum.get(),
                                       m_stepSize.get(), m_defaultValue.get());
}

std::string UVCControl::description() const
{
    char head[160];
    std::snprintf(head, sizeof head, "UVCControl[%s]@%p { capabilities: %012x, byte-size: %lu",
                  m_name.c_str(), static_cast<const void *>(this), m_capabilities,
                  static_cast<unsigned long>(m_currentValue->byteSize()));
    std::string out = head;
    if (hasRange()) {
        out += "; range: [" + m_minimum->description() + "," + m_maximum->description() + "]";
    }
    if (m_stepSize) {
        out += "; step-size: " + m_stepSize->description();
    }
    if (m_defaultValue) {
        out += "; default-value: " + m_defaultValue->description();
    }
    return out + " }";
}

std::string UVCControl::summaryString() const
{
    auto text = [](const std::shared_ptr<UVCValue> &value) {
        return value->stringValue().value_or(std::string());
    };
    std::string out = m_name + " {\n  type-description: {\n"
        + m_currentValue->valueType()->typeSummaryString() + "  },";
    if (hasRange()) {
        out += "\n  minimum: " + text(m_minimum) + "\n  maximum: " + text(m_maximum);
    }
    if (m_stepSize) {
        out += "\n  step-size: " + text(m_stepSize);
    }
    if (m_defaultValue) {
        out += "\n  default-value: " + text(m_defaultValue);
    }
    if (m_currentValue) {
        out += "\n  current-value: " + text(m_currentValue);
    }
    return out + "\n}";
}
