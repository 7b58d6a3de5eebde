#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// The building blocks of a UVC control payload. The numeric codes appear in
/// type descriptions and summaries and must not change.
enum class UVCTypeComponentType : uint32_t {
    Invalid = 0,
    Boolean = 1,
    Signed8 = 2,
    Unsigned8 = 3,
    Bitmap8 = 4,
    Signed16 = 5,
    Unsigned16 = 6,
    Bitmap16 = 7,
    Signed32 = 8,
    Unsigned32 = 9,
    Bitmap32 = 10,
    Signed64 = 11,
    Unsigned64 = 12,
    Bitmap64 = 13,
};

/// Largest valid component code.
inline constexpr uint32_t UVCTypeComponentMaxCode = 13;

/// Byte size of a component code; 0 for invalid codes.
size_t UVCTypeComponentByteSize(uint32_t code);
/// The short string ("U2") and verbose string ("unsigned 16-bit integer") of a
/// code; null for codes above 13.
const char *UVCTypeComponentShortString(uint32_t code);
const char *UVCTypeComponentVerboseString(uint32_t code);

/// Bits of the flags argument of the scanners.
enum UVCScanFlags : unsigned {
    UVCScanFlagWarnings = 1, ///< print "WARNING:" lines to standard error
    UVCScanFlagInfo = 2,     ///< print "INFO:" lines to standard error
};

/// The fixed layout of a UVC control payload: one or more named fields packed
/// without alignment in USB (little-endian) byte order. Immutable once built,
/// so one instance is shared by every value of that layout.
class UVCType
{
public:
    struct Field
    {
        std::string name; // lower-cased when parsed; may be empty for a one-field type
        UVCTypeComponentType type = UVCTypeComponentType::Invalid;
    };

    /// Parses a description such as "{S1 zoom; B digital-zoom; U1 speed}".
    /// Problems are printed to standard error as "WARNING:" lines.
    static std::shared_ptr<const UVCType> uvcTypeWithCString(const char *text);
    /// Fails when a name is missing or a code is above 13; copies the names.
    static std::shared_ptr<const UVCType> uvcTypeWithFieldCount(size_t count,
                                                                const char *const names[],
                                                                const uint32_t types[]);
    /// Name/code pairs ended by a null name; a code outside 1..13 ends the list early.
    static std::shared_ptr<const UVCType> uvcTypeWithFieldNamesAndTypes(const char *name, ...);

    size_t fieldCount() const { return m_fields.size(); }
    size_t byteSize() const { return m_byteSize; }
    bool needsNoByteSwap() const;

    /// Null / Invalid for an index at or past fieldCount().
    const char *fieldNameAtIndex(size_t index) const;
    UVCTypeComponentType fieldTypeAtIndex(size_t index) const;
    /// First field whose name matches ignoring case, or -1.
    long indexOfFieldWithName(const char *name) const;
    UVCTypeComponentType typeWithName(const char *name) const;
    /// Offset of field i; fieldCount() yields byteSize(), anything larger -1.
    long offsetToFieldAtIndex(size_t index) const;
    long offsetToFieldWithName(const char *name) const;

    void byteSwapHostToUSBEndian(void *buffer) const;
    void byteSwapUSBToHostEndian(void *buffer) const;

    /// Scans text into buffer (byteSize() bytes). The references are buffers of
    /// this same type or null: values are clamped to minimum..maximum, snapped
    /// to the step (a mask for bitmaps), and "default", "minimum", "maximum"
    /// copy the reference. After a failure the buffer content is undefined.
    bool scanCString(const char *text, void *buffer, unsigned flags,
                     const void *minimum = nullptr, const void *maximum = nullptr,
                     const void *stepSize = nullptr, const void *defaultValue = nullptr) const;

    /// The buffer as text: "42", "true", or "{pan=0,tilt=0}". Nothing when a
    /// field has an invalid component code.
    std::optional<std::string> stringFromBuffer(const void *buffer) const;

    std::string typeSummaryString() const;
    std::string description() const;
    /// Same layout: field count, byte size and codes (names are not compared).
    bool isEqual(const UVCType &other) const;

private:
    explicit UVCType(std::vector<Field> fields);

    std::vector<Field> m_fields;
    std::vector<size_t> m_offsets; // fieldCount() + 1 entries; the last is byteSize()
    size_t m_byteSize = 0;
};
