#include "camera/uvc/uvcvalue.h"

#include <cstdio>

UVCValue::UVCValue(std::shared_ptr<const UVCType> type)
    : m_type(std::move(type))
    , m_bytes(m_type->byteSize(), 0)
{
}

std::shared_ptr<UVCValue> UVCValue::uvcValueWithType(std::shared_ptr<const UVCType> type)
{
    if (!type) {
        return nullptr;
    }
    return std::shared_ptr<UVCValue>(new UVCValue(std::move(type)));
}

uint8_t *UVCValue::pointerToFieldAtIndex(size_t index)
{
    const long offset = m_type->offsetToFieldAtIndex(index);
    return offset < 0 ? nullptr : m_bytes.data() + offset;
}

uint8_t *UVCValue::pointerToFieldWithName(const char *name)
{
    const long offset = m_type->offsetToFieldWithName(name);
    return offset < 0 ? nullptr : m_bytes.data() + offset;
}

void UVCValue::byteSwapHostToUSBEndian()
{
    if (!m_swapped) {
        m_type->byteSwapHostToUSBEndian(m_bytes.data());
        m_swapped = true;
    }
}

void UVCValue::byteSwapUSBToHostEndian()
{
    if (m_swapped) {
        m_type->byteSwapUSBToHostEndian(m_bytes.data());
        m_swapped = false;
    }
}

bool UVCValue::scanCString(const char *text, unsigned flags, const UVCValue *minimum,
                           const UVCValue *maximum, const UVCValue *stepSize,
                           const UVCValue *defaultValue)
{
    auto bytesOf = [this](const UVCValue *ref) -> const void * {
        return ref && ref->m_type->isEqual(*m_type) ? ref->m_bytes.data() : nullptr;
    };
    return m_type->scanCString(text, m_bytes.data(), flags, bytesOf(minimum), bytesOf(maximum),
                               bytesOf(stepSize), bytesOf(defaultValue));
}

std::optional<std::string> UVCValue::stringValue() const
{
    return m_type->stringFromBuffer(m_bytes.data());
}

void UVCValue::copyValue(const UVCValue &other)
{
    if (m_type->isEqual(*other.m_type)) {
        m_bytes = other.m_bytes;
    }
}

bool UVCValue::isEqual(const UVCValue &other) const
{
    return m_type->isEqual(*other.m_type) && m_bytes == other.m_bytes;
}

std::string UVCValue::description() const
{
    char head[48];
    std::snprintf(head, sizeof head, "UVCValue@%p { type: ", static_cast<const void *>(this));
    std::string out = head + m_type->description() + "; bytes: [";
    for (size_t i = 0; i < m_bytes.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02hhx", m_bytes[i]);
        if (i > 0) {
            out += ':';
        }
        out += byte;
    }
    return out + "] }";
}
