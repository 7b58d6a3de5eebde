#include "camera/uvc/uvctype.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

struct ComponentInfo
{
    const char *shortString;
    const char *verboseString;
    size_t byteSize;
};

constexpr ComponentInfo kComponents[] = {
    { "<invalid>", "<invalid>", 0 },
    { "B", "boolean", 1 },
    { "S1", "signed 8-bit integer", 1 },
    { "U1", "unsigned 8-bit integer", 1 },
    { "M1", "unsigned 8-bit bitmap", 1 },
    { "S2", "signed 16-bit integer", 2 },
    { "U2", "unsigned 16-bit integer", 2 },
    { "M2", "unsigned 16-bit bitmap", 2 },
    { "S4", "signed 32-bit integer", 4 },
    { "U4", "unsigned 32-bit integer", 4 },
    { "M4", "unsigned 32-bit bitmap", 4 },
    { "S8", "signed 64-bit integer", 8 },
    { "U8", "unsigned 64-bit integer", 8 },
    { "M8", "unsigned 64-bit bitmap", 8 },
};

// Every component fits in 64 bits, so a 128-bit integer holds any value of any
// component, signed or not, plus the intermediate results of clamping and snapping.
using Wide = __int128;

using Code = UVCTypeComponentType;

bool isSigned(Code code)
{
    return code == Code::Signed8 || code == Code::Signed16 || code == Code::Signed32
        || code == Code::Signed64;
}

bool isBitmap(Code code)
{
    return code == Code::Bitmap8 || code == Code::Bitmap16 || code == Code::Bitmap32
        || code == Code::Bitmap64;
}

size_t sizeOf(Code code)
{
    return UVCTypeComponentByteSize(static_cast<uint32_t>(code));
}

Wide typeMinimum(Code code)
{
    if (code == Code::Boolean || !isSigned(code)) {
        return 0;
    }
    return -(Wide(1) << (sizeOf(code) * 8 - 1));
}

Wide typeMaximum(Code code)
{
    if (code == Code::Boolean) {
        return 1;
    }
    const int bits = int(sizeOf(code)) * 8 - (isSigned(code) ? 1 : 0);
    return (Wide(1) << bits) - 1;
}

template <typename Unsigned, typename Signed> Wide readAs(const uint8_t *p, bool isSigned)
{
    Unsigned v;
    std::memcpy(&v, p, sizeof v);
    return isSigned ? Wide(static_cast<Signed>(v)) : Wide(v);
}

template <typename Unsigned> void writeAs(uint8_t *p, uint64_t bits)
{
    const auto v = static_cast<Unsigned>(bits);
    std::memcpy(p, &v, sizeof v);
}

// Buffers hold host byte order while they are scanned and formatted.
Wide readComponent(const uint8_t *p, Code code)
{
    const bool s = isSigned(code);
    switch (sizeOf(code)) {
    case 1:
        return readAs<uint8_t, int8_t>(p, s);
    case 2:
        return readAs<uint16_t, int16_t>(p, s);
    case 4:
        return readAs<uint32_t, int32_t>(p, s);
    case 8:
        return readAs<uint64_t, int64_t>(p, s);
    default:
        return 0;
    }
}

// Saturates to the component's own range so that nothing wraps around.
void writeComponent(uint8_t *p, Code code, Wide value)
{
    const uint64_t bits = uint64_t(std::clamp(value, typeMinimum(code), typeMaximum(code)));
    switch (sizeOf(code)) {
    case 1:
        return writeAs<uint8_t>(p, bits);
    case 2:
        return writeAs<uint16_t>(p, bits);
    case 4:
        return writeAs<uint32_t>(p, bits);
    case 8:
        return writeAs<uint64_t>(p, bits);
    default:
        return;
    }
}

const char *skipSpace(const char *p)
{
    while (*p && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

std::string lowerCase(const char *begin, const char *end)
{
    std::string out(begin, end);
    for (char &c : out) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

struct References
{
    const uint8_t *minimum = nullptr;
    const uint8_t *maximum = nullptr;
    const uint8_t *step = nullptr;
    const uint8_t *defaultValue = nullptr;

    References at(size_t offset) const
    {
        auto shift = [offset](const uint8_t *p) { return p ? p + offset : nullptr; };
        return { shift(minimum), shift(maximum), shift(step), shift(defaultValue) };
    }
};

// The messages of the keywords, in the order default, minimum, maximum: one
// set for a whole value, one for a single component.
struct KeywordTexts
{
    const char *info[3];
    const char *warning[3];
    bool announceBeforeCopy; // print the INFO line even when there is nothing to copy
};

const KeywordTexts kValueKeywords = {
    { "INFO: Copying default value provided by this control\n",
      "INFO: Copying minimum value provided by this control\n",
      "INFO: Copying maximum value provided by this control\n" },
    { "WARNING: No default value provided by this control\n",
      "WARNING: No minimum value provided by this control\n",
      "WARNING: No maximum value provided by this control\n" },
    false,
};

const KeywordTexts kComponentKeywords = {
    { "INFO: Default value requested\n", "INFO: Minimum value requested\n",
      "INFO: Maximum value requested\n" },
    { "WARNING: Default value requested, none provided by control\n",
      "WARNING: Minimum value requested, none provided by control\n",
      "WARNING: Maximum value requested, none provided by control\n" },
    true,
};

class Scanner
{
public:
    explicit Scanner(unsigned flags)
        : m_warn(flags & UVCScanFlagWarnings)
        , m_info(flags & UVCScanFlagInfo)
    {
    }

    template <typename... Args> void warn(const char *format, Args... args) const
    {
        if (m_warn) {
            print(format, args...);
        }
    }
    template <typename... Args> void info(const char *format, Args... args) const
    {
        if (m_info) {
            print(format, args...);
        }
    }

    // Scans one component at text into out; consumed tells record scanning
    // where the next field starts.
    bool component(const char *text, Code code, uint8_t *out, const References &refs,
                   size_t &consumed) const;
    /// Copies the reference a keyword ("default", "minimum", "maximum") at p
    /// names. False when p holds no keyword; result says whether it was copied.
    bool keyword(const char *p, const KeywordTexts &texts, const References &refs, uint8_t *out,
                 size_t size, bool &result) const;

private:
    // The formats are this file's own literals; a line without arguments is
    // written as it stands.
    template <typename... Args> static void print(const char *format, Args... args)
    {
        if constexpr (sizeof...(Args) == 0) {
            std::fputs(format, stderr);
        } else {
            std::fprintf(stderr, format, args...);
        }
    }

    bool integer(const char *p, Code code, uint8_t *out, const References &refs,
                 const char *&end) const;
    bool floating(const char *p, Code code, uint8_t *out, const References &refs,
                  const char *&end) const;
    Wide limit(Wide value, Code code, const References &refs) const;

    bool m_warn;
    bool m_info;
};

bool Scanner::keyword(const char *p, const KeywordTexts &texts, const References &refs,
                      uint8_t *out, size_t size, bool &result) const
{
    static const char *const words[3] = { "default", "minimum", "maximum" };
    const uint8_t *const sources[3] = { refs.defaultValue, refs.minimum, refs.maximum };
    for (int i = 0; i < 3; ++i) {
        if (strncasecmp(p, words[i], 7) != 0) {
            continue;
        }
        if (texts.announceBeforeCopy || sources[i]) {
            info(texts.info[i]);
        }
        if (!sources[i]) {
            warn(texts.warning[i]);
            result = false;
        } else {
            std::memcpy(out, sources[i], size);
            result = true;
        }
        return true;
    }
    return false;
}

// Clamps to the camera's range, then puts the value on the camera's grid:
// integers snap to minimum + k * step, bitmaps keep only the settable bits.
Wide Scanner::limit(Wide value, Code code, const References &refs) const
{
    const Wide minimum = refs.minimum ? readComponent(refs.minimum, code) : 0;
    const Wide maximum = refs.maximum ? readComponent(refs.maximum, code) : 0;
    if (refs.minimum && value < minimum) {
        value = minimum;
    }
    if (refs.maximum && value > maximum) {
        value = maximum;
    }
    if (isBitmap(code)) {
        if (refs.step) {
            value &= readComponent(refs.step, code);
        }
        return value;
    }
    if (refs.minimum && refs.maximum && refs.step) {
        const Wide step = readComponent(refs.step, code);
        if (step > 1 && value >= minimum) {
            const Wide remainder = (value - minimum) % step;
            if (remainder != 0) {
                // Ties go up, unless going up would leave the range: a camera
                // whose maximum is off the grid gets the highest grid value.
                if (remainder < step / 2 || value + (step - remainder) > maximum) {
                    value -= remainder;
                } else {
                    value += step - remainder;
                }
            }
        }
    }
    return value;
}

bool Scanner::integer(const char *p, Code code, uint8_t *out, const References &refs,
                      const char *&end) const
{
    info("INFO: Defaulting to integer value at '%s'\n", p);
    const bool signedRead = code == Code::Boolean || isSigned(code);
    errno = 0;
    char *stop = nullptr;
    Wide value = 0;
    if (signedRead) {
        // Like "%i": decimal, 0x hexadecimal and 0 octal; out-of-range input saturates.
        value = std::strtoll(p, &stop, 0);
    } else {
        // Like "%u", but a negative number means "as low as possible" rather
        // than wrapping around to a huge value.
        const char *q = skipSpace(p);
        if (*q == '-') {
            std::strtoll(q, &stop, 10);
            value = 0;
        } else {
            value = std::strtoull(p, &stop, 10);
        }
    }
    if (stop == p) {
        warn(isBitmap(code) ? "WARNING: Unable to scan bitmap value at '%s'\n"
                            : "WARNING: Unable to scan integer value at '%s'\n",
             p);
        return false;
    }
    end = stop;
    if (code == Code::Boolean) {
        value = value != 0 ? 1 : 0;
    }
    writeComponent(out, code, limit(value, code, refs));
    return true;
}

bool Scanner::floating(const char *p, Code code, uint8_t *out, const References &refs,
                       const char *&end) const
{
    info("INFO: Floating-point value detected at '%s'\n", p);
    if (!refs.minimum || !refs.maximum) {
        warn("WARNING: No value range provided by control, floating-point input not available\n");
        return false;
    }
    char *stop = nullptr;
    float f = std::strtof(p, &stop);
    if (stop == p || std::isnan(f)) {
        warn("WARNING: Unable to scan floating-point value at '%s'\n", p);
        return false;
    }
    end = stop;
    f = std::clamp(f, 0.0f, 1.0f);
    const float minimum = float(readComponent(refs.minimum, code));
    const float maximum = float(readComponent(refs.maximum, code));
    // Keep the rounded result inside what a 64-bit component can hold before
    // converting, so that no float-to-integer conversion overflows.
    const float rounded = std::clamp(std::round(minimum + f * (maximum - minimum)), -0x1p63f,
                                     0x1p64f - 0x1p40f);
    const Wide value = rounded < 0 ? Wide(static_cast<long long>(rounded))
                                   : Wide(static_cast<unsigned long long>(rounded));
    writeComponent(out, code, limit(value, code, refs));
    return true;
}

bool Scanner::component(const char *text, Code code, uint8_t *out, const References &refs,
                        size_t &consumed) const
{
    const char *p = skipSpace(text);
    bool result = false;
    if (keyword(p, kComponentKeywords, refs, out, sizeOf(code), result)) {
        consumed = size_t(p - text) + 7;
        return result;
    }

    if (code == Code::Boolean) {
        // The longer word of each pair comes first so that a whole word is
        // consumed and a record can go on after it.
        static const struct
        {
            const char *word;
            uint8_t value;
        } words[] = { { "yes", 1 }, { "y", 1 }, { "true", 1 }, { "t", 1 }, { "1", 1 },
                      { "no", 0 },  { "n", 0 }, { "false", 0 }, { "f", 0 }, { "0", 0 } };
        for (const auto &w : words) {
            const size_t length = std::strlen(w.word);
            if (strncasecmp(p, w.word, length) == 0) {
                *out = w.value;
                consumed = size_t(p - text) + length;
                return true;
            }
        }
        warn("WARNING: Invalid boolean value at '%s'\n", p);
    }

    // Decide between integer and floating point by the characters of the number.
    const char *q = p;
    int signs = 0;
    int dots = 0;
    bool isFloat = false;
    if (*q == '+' || *q == '-') {
        ++signs;
        ++q;
    }
    while (std::isdigit(static_cast<unsigned char>(*q))) {
        ++q;
    }
    for (; *q && std::strchr("0123456789.eE+-", *q); ++q) {
        if (*q == '.') {
            isFloat = isFloat || std::isdigit(static_cast<unsigned char>(q[1]));
            ++dots;
        } else if (*q == 'e' || *q == 'E') {
            isFloat = true;
        } else if (*q == '+' || *q == '-') {
            ++signs;
        }
    }
    if (dots > 1 || signs > 1) {
        warn("WARNING: Unable to scan floating-point value at '%s'\n", p);
        return false;
    }
    const char *end = p;
    const bool ok = isFloat ? floating(p, code, out, refs, end) : integer(p, code, out, refs, end);
    if (ok) {
        consumed = size_t(end - text);
    }
    return ok;
}

// Reads a component code at p: "B", or "S"/"U"/"M" with a size digit.
enum class CodeRead { Ok, Invalid, EarlyEnd };

CodeRead readCode(const char *&p, uint32_t &code)
{
    while (*p && *p != '}' && !std::isalpha(static_cast<unsigned char>(*p))) {
        ++p;
    }
    if (!*p) {
        return CodeRead::EarlyEnd;
    }
    const char letter = char(std::toupper(static_cast<unsigned char>(*p)));
    if (letter == 'B') {
        code = 1;
        ++p;
        return CodeRead::Ok;
    }
    int base;
    switch (letter) {
    case 'S':
        base = 2;
        break;
    case 'U':
        base = 3;
        break;
    case 'M':
        base = 4;
        break;
    default:
        return CodeRead::Invalid;
    }
    if (!p[1]) {
        return CodeRead::EarlyEnd;
    }
    int sizeIndex;
    switch (p[1]) {
    case '1':
        sizeIndex = 0;
        break;
    case '2':
        sizeIndex = 1;
        break;
    case '4':
        sizeIndex = 2;
        break;
    case '8':
        sizeIndex = 3;
        break;
    default:
        return CodeRead::Invalid;
    }
    code = uint32_t(base + 3 * sizeIndex);
    p += 2;
    return CodeRead::Ok;
}

bool isNameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
}

void swapFields(const std::vector<UVCType::Field> &fields, uint8_t *buffer)
{
    for (const UVCType::Field &field : fields) {
        const size_t size = sizeOf(field.type);
        std::reverse(buffer, buffer + size);
        buffer += size;
    }
}

std::optional<std::string> formatComponent(const uint8_t *p, Code code)
{
    if (code == Code::Invalid || uint32_t(code) > UVCTypeComponentMaxCode) {
        return std::nullopt;
    }
    if (code == Code::Boolean) {
        return std::string(*p ? "true" : "false");
    }
    const Wide value = readComponent(p, code);
    char text[32];
    if (isSigned(code)) {
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    } else {
        std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    }
    return std::string(text);
}

} // namespace

size_t UVCTypeComponentByteSize(uint32_t code)
{
    return code <= UVCTypeComponentMaxCode ? kComponents[code].byteSize : 0;
}

const char *UVCTypeComponentShortString(uint32_t code)
{
    return code <= UVCTypeComponentMaxCode ? kComponents[code].shortString : nullptr;
}

const char *UVCTypeComponentVerboseString(uint32_t code)
{
    return code <= UVCTypeComponentMaxCode ? kComponents[code].verboseString : nullptr;
}

UVCType::UVCType(std::vector<Field> fields)
    : m_fields(std::move(fields))
{
    m_offsets.reserve(m_fields.size() + 1);
    for (const Field &field : m_fields) {
        m_offsets.push_back(m_byteSize);
        m_byteSize += sizeOf(field.type);
    }
    m_offsets.push_back(m_byteSize);
}

std::shared_ptr<const UVCType> UVCType::uvcTypeWithFieldCount(size_t count,
                                                              const char *const names[],
                                                              const uint32_t types[])
{
    if (count == 0 || !names || !types) {
        return nullptr;
    }
    std::vector<Field> fields;
    fields.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        if (!names[i] || types[i] > UVCTypeComponentMaxCode) {
            return nullptr;
        }
        fields.push_back({ names[i], Code(types[i]) });
    }
    return std::shared_ptr<const UVCType>(new UVCType(std::move(fields)));
}

std::shared_ptr<const UVCType> UVCType::uvcTypeWithFieldNamesAndTypes(const char *name, ...)
{
    std::vector<const char *> names;
    std::vector<uint32_t> types;
    va_list args;
    va_start(args, name);
    for (const char *n = name; n; n = va_arg(args, const char *)) {
        const int code = va_arg(args, int);
        if (code < 1 || code > int(UVCTypeComponentMaxCode)) {
            break;
        }
        names.push_back(n);
        types.push_back(uint32_t(code));
    }
    va_end(args);
    return uvcTypeWithFieldCount(names.size(), names.data(), types.data());
}

std::shared_ptr<const UVCType> UVCType::uvcTypeWithCString(const char *text)
{
    if (!text) {
        return nullptr;
    }
    const char *p = skipSpace(text);
    if (*p != '{') {
        std::fprintf(stderr, "WARNING: No opening brace found: %s\n", text);
        return nullptr;
    }
    ++p;
    std::vector<std::string> names;
    std::vector<uint32_t> types;
    for (;;) {
        while (*p && (std::isspace(static_cast<unsigned char>(*p)) || *p == ';')) {
            ++p;
        }
        if (!*p) {
            break;
        }
        if (*p == '}') {
            if (names.empty()) {
                std::fprintf(stderr, "WARNING: Invalid type string at %ld in: %s\n",
                             long(p - text), text);
                return nullptr;
            }
            break;
        }
        const char *fieldStart = p;
        uint32_t code = 0;
        switch (readCode(p, code)) {
        case CodeRead::Invalid:
            std::fprintf(stderr, "WARNING: Invalid type string at %ld in: %s\n",
                         long(fieldStart - text), text);
            return nullptr;
        case CodeRead::EarlyEnd:
            std::fprintf(stderr, "WARNING: Early end to type string at %ld in: %s\n",
                         long(fieldStart - text), text);
            return nullptr;
        case CodeRead::Ok:
            break;
        }
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        const char *nameStart = p;
        while (isNameChar(*p)) {
            ++p;
        }
        std::string fieldName = lowerCase(nameStart, p);
        if (std::find(names.begin(), names.end(), fieldName) != names.end()) {
            std::fprintf(stderr, "WARNING: Repeated use of type name at index %ld in '%s'\n",
                         long(names.size()), text);
            return nullptr;
        }
        names.push_back(std::move(fieldName));
        types.push_back(code);
    }
    if (names.empty()) {
        return nullptr; // "{" and nothing after it
    }
    std::vector<const char *> namePointers;
    for (const std::string &n : names) {
        namePointers.push_back(n.c_str());
    }
    return uvcTypeWithFieldCount(names.size(), namePointers.data(), types.data());
}

bool UVCType::needsNoByteSwap() const
{
    return std::endian::native == std::endian::little;
}

const char *UVCType::fieldNameAtIndex(size_t index) const
{
    return index < m_fields.size() ? m_fields[index].name.c_str() : nullptr;
}

UVCTypeComponentType UVCType::fieldTypeAtIndex(size_t index) const
{
    return index < m_fields.size() ? m_fields[index].type : Code::Invalid;
}

long UVCType::indexOfFieldWithName(const char *name) const
{
    if (!name) {
        return -1;
    }
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (strcasecmp(m_fields[i].name.c_str(), name) == 0) {
            return long(i);
        }
    }
    return -1;
}

UVCTypeComponentType UVCType::typeWithName(const char *name) const
{
    const long index = indexOfFieldWithName(name);
    return index < 0 ? Code::Invalid : m_fields[size_t(index)].type;
}

long UVCType::offsetToFieldAtIndex(size_t index) const
{
    return index < m_offsets.size() ? long(m_offsets[index]) : -1;
}

long UVCType::offsetToFieldWithName(const char *name) const
{
    const long index = indexOfFieldWithName(name);
    return index < 0 ? -1 : long(m_offsets[size_t(index)]);
}

void UVCType::byteSwapHostToUSBEndian(void *buffer) const
{
    if (!needsNoByteSwap() && buffer) {
        swapFields(m_fields, static_cast<uint8_t *>(buffer));
    }
}

void UVCType::byteSwapUSBToHostEndian(void *buffer) const
{
    byteSwapHostToUSBEndian(buffer); // reversing the bytes is its own inverse
}

bool UVCType::scanCString(const char *text, void *buffer, unsigned flags, const void *minimum,
                          const void *maximum, const void *stepSize,
                          const void *defaultValue) const
{
    if (!text || !buffer) {
        return false;
    }
    const Scanner scanner(flags);
    auto *out = static_cast<uint8_t *>(buffer);
    const References refs { static_cast<const uint8_t *>(minimum),
                            static_cast<const uint8_t *>(maximum),
                            static_cast<const uint8_t *>(stepSize),
                            static_cast<const uint8_t *>(defaultValue) };
    const char *p = skipSpace(text);
    bool ok = false;

    if (*p != '{') {
        if (!scanner.keyword(p, kValueKeywords, refs, out, m_byteSize, ok)) {
            if (m_fields.size() != 1) {
                return false; // a record takes the braced form or a keyword
            }
            size_t consumed = 0;
            ok = scanner.component(p, m_fields[0].type, out, refs, consumed);
        }
    } else {
        const bool named = std::strchr(p, '=') != nullptr;
        scanner.info("INFO: Using %s field assignments\n", named ? "named-value" : "in-order");
        ++p;
        std::vector<bool> assigned(m_fields.size(), false);
        size_t index = 0;
        bool failed = false;
        while (*p && (named || index < m_fields.size())) {
            scanner.info("INFO: Processing substring '%s'\n", p);
            size_t field = index;
            if (named) {
                p = skipSpace(p);
                const char *equals = std::strchr(p, '=');
                const char *nameEnd = equals ? equals : p + std::strlen(p);
                while (nameEnd > p && std::isspace(static_cast<unsigned char>(nameEnd[-1]))) {
                    --nameEnd;
                }
                const std::string name = lowerCase(p, nameEnd);
                const long found = indexOfFieldWithName(name.c_str());
                if (found < 0) {
                    scanner.warn("WARNING: Field name '%s' not defined for this type\n",
                                 name.c_str());
                    return false;
                }
                field = size_t(found);
                p = equals ? equals + 1 : nameEnd;
            }
            const size_t offset = m_offsets[field];
            size_t consumed = 0;
            if (!scanner.component(p, m_fields[field].type, out + offset, refs.at(offset),
                                   consumed)) {
                failed = true;
                break;
            }
            p += consumed;
            while (*p && (std::isspace(static_cast<unsigned char>(*p)) || *p == ',')) {
                ++p;
            }
            if (named) {
                assigned[field] = true;
            } else {
                ++index;
            }
            if (*p == '}') {
                break;
            }
        }
        if (named) {
            const long missing = long(std::count(assigned.begin(), assigned.end(), false));
            if (missing > 0) {
                scanner.warn("WARNING: %ld named field%s %s not provided\n", missing,
                             missing == 1 ? "" : "s", missing == 1 ? "was" : "were");
            }
            ok = !failed && missing == 0;
        } else {
            ok = !failed && index == m_fields.size();
        }
    }
    if (ok) {
        scanner.info("INFO: Successfully scanned all fields for this type\n");
    }
    return ok;
}

std::optional<std::string> UVCType::stringFromBuffer(const void *buffer) const
{
    if (!buffer) {
        return std::nullopt;
    }
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    if (m_fields.size() == 1) {
        return formatComponent(bytes, m_fields[0].type);
    }
    std::string out = "{";
    for (size_t i = 0; i < m_fields.size(); ++i) {
        const std::optional<std::string> value = formatComponent(bytes + m_offsets[i], m_fields[i].type);
        if (!value) {
            return std::nullopt;
        }
        if (i > 0) {
            out += ',';
        }
        out += m_fields[i].name + '=' + *value;
    }
    return out + '}';
}

std::string UVCType::typeSummaryString() const
{
    char line[256];
    if (m_fields.size() == 1) {
        std::snprintf(line, sizeof line, "    single value, %s\n",
                      UVCTypeComponentVerboseString(uint32_t(m_fields[0].type)));
        return line;
    }
    std::string out;
    for (const Field &field : m_fields) {
        std::snprintf(line, sizeof line, "    %-32s %s;\n",
                      UVCTypeComponentVerboseString(uint32_t(field.type)), field.name.c_str());
        out += line;
    }
    return out;
}

std::string UVCType::description() const
{
    char head[160];
    std::snprintf(head, sizeof head,
                  "UVCType@%p { field-count: %lu; byte-size: %lu; needs-byte-swap: %s; fields: {",
                  static_cast<const void *>(this), static_cast<unsigned long>(m_fields.size()),
                  static_cast<unsigned long>(m_byteSize), needsNoByteSwap() ? "no" : "yes");
    std::string out = head;
    for (const Field &field : m_fields) {
        out += ' ';
        out += UVCTypeComponentShortString(uint32_t(field.type));
        out += ' ' + field.name + ';';
    }
    return out + " } }";
}

bool UVCType::isEqual(const UVCType &other) const
{
    if (m_fields.size() != other.m_fields.size() || m_byteSize != other.m_byteSize) {
        return false;
    }
    for (size_t i = 0; i < m_fields.size(); ++i) {
        if (m_fields[i].type != other.m_fields[i].type) {
            return false;
        }
    }
    return true;
}
