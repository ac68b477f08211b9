#pragma once

#include "platform/plist/PlistValue.h"

#include <cstddef>
#include <optional>
#include <string>

namespace keldo {

// Apple's binary property-list form ("bplist00") of our values, written as a device writes its
// replies to a host that spoke to it in that form; PlistFile reads it back. Every value is an
// object of its own (nothing is shared), texts are ASCII when they can be and UTF-16 otherwise,
// integers take the fewest bytes they fit in (an unsigned value of 2^63 or more takes 16, as
// plistlib writes it), dates are seconds since 2001 as a real.
class PlistBinary {
public:
    // The binary form, or none when the value has none: a text or key that is no UTF-8, or
    // nesting deeper than PlistXml::kMaxDepth.
    [[nodiscard]] static std::optional<std::string> toBinary(const PlistValue& value);
    // Whether the bytes are in the binary form (start with its magic).
    static bool isBinary(const char* data, std::size_t size);
};

} // namespace keldo
