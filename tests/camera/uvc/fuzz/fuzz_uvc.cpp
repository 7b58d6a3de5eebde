// Fuzz target for the parts of the UVC stack that read outside input: the
// type-description parser, the value scanner (with reference values), the
// formatter and the class-specific descriptor walk. Built by scripts/fuzz-uvc,
// either with libFuzzer or with the random driver beside it.

#include "camera/uvc/uvcdescriptors.h"
#include "camera/uvc/uvcvalue.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

namespace {

const char *const kDescriptions[] = {
    "{B}", "{S1}", "{U1}", "{M1}", "{S2}", "{U2}", "{M2}", "{S4}", "{U4}", "{M4}", "{S8}", "{U8}", "{M8}",
    "{S1 focus-relative; U1 focus-speed}",
    "{S1 zoom; B digital-zoom; U1 speed}",
    "{S4 pan; S4 tilt}",
    "{U2 blue; U2 red}",
    "{U2 window-top; U2 window-left; U2 window-bottom; U2 window-right; U2 num-steps; M2 num-steps-units}",
};

// Reads count bytes from the input into a reference buffer, or leaves it absent.
const uint8_t *take(const uint8_t *&data, size_t &size, size_t count, bool present, std::string &store)
{
    if (!present || size < count) {
        return nullptr;
    }
    store.assign(reinterpret_cast<const char *>(data), count);
    data += count;
    size -= count;
    return reinterpret_cast<const uint8_t *>(store.data());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0] % 4;
    const uint8_t selector = data[1];
    // The message paths run too, but only for a sixteenth of the inputs so the log stays small.
    const unsigned flags = (selector & 0x0F) == 0x0F ? 3 : 0;
    data += 2;
    size -= 2;

    if (mode == 3) {
        // The walk gets exactly the bytes: anything past them is out of bounds.
        parseVideoControlDescriptors(size ? data : nullptr, size);
        return 0;
    }
    if (mode == 0) {
        const std::string text(reinterpret_cast<const char *>(data), size);
        if (auto type = UVCType::uvcTypeWithCString(text.c_str())) {
            auto value = UVCValue::uvcValueWithType(type);
            value->stringValue();
            type->description();
            type->typeSummaryString();
            value->scanCString(text.c_str(), flags);
        }
        return 0;
    }

    std::shared_ptr<const UVCType> type;
    if (mode == 1) {
        type = UVCType::uvcTypeWithCString(kDescriptions[selector % std::size(kDescriptions)]);
    } else {
        // The first line is the description, the rest the value text.
        const uint8_t *newline = static_cast<const uint8_t *>(std::memchr(data, '\n', size));
        if (!newline) {
            return 0;
        }
        const std::string description(reinterpret_cast<const char *>(data), size_t(newline - data));
        size -= size_t(newline - data) + 1;
        data = newline + 1;
        type = UVCType::uvcTypeWithCString(description.c_str());
    }
    if (!type) {
        return 0;
    }
    const size_t n = type->byteSize();
    std::string minimum, maximum, step, def;
    const uint8_t *refs[4] = {
        take(data, size, n, selector & 0x10, minimum), take(data, size, n, selector & 0x20, maximum),
        take(data, size, n, selector & 0x40, step), take(data, size, n, selector & 0x80, def),
    };
    const std::string text(reinterpret_cast<const char *>(data), size);
    auto value = UVCValue::uvcValueWithType(type);
    if (value->valueType()->scanCString(text.c_str(), value->valuePtr(), flags, refs[0],
                                        refs[1], refs[2], refs[3])) {
        value->stringValue();
    }
    value->byteSwapHostToUSBEndian();
    value->byteSwapUSBToHostEndian();
    return 0;
}
