#pragma once

#include "platform/plist/PlistValue.h"
#include "platform/plist/PlistXmlText.h"

#include <cstddef>
#include <optional>
#include <string>

namespace keldo {

// Apple's XML property-list form of our values: libplist writes it, PlistXmlReader reads it.
//
// Faithfulness rules:
// - Integers cover the whole signed and unsigned 64-bit range in both directions; an unsigned
//   value of 2^63 or more is written with its unsigned digits and read back as unsigned.
// - Dates are written in the format's whole seconds (the fraction is dropped, as every writer of
//   this form does); a date that does not fit the library's 32-bit seconds has no XML form.
// - A carriage return in a text or key is written as a reference, so that it reads back as itself.
// - A text or key holding a character that XML can't carry has no XML form: a C0 control but
//   tab, line feed and carriage return (a NUL would cut it short), U+FFFE or U+FFFF.
// - Reading is strict: a malformed number, date or data, a key without a value, an integer
//   beyond 64 bits or broken XML gives none, never a made-up value (see PlistXmlReader).
class PlistXml {
public:
    // The XML form, or none when the value has none.
    [[nodiscard]] static std::optional<PlistXmlText> toXml(const PlistValue& value);
    // The same as a string, empty when the value has none (for callers that copy it anyway).
    static std::string toXmlString(const PlistValue& value);
    // The value that the text holds, or none.
    [[nodiscard]] static PlistRef fromXml(const char* data, std::size_t size);

    // Arrays and dictionaries nested deeper are refused.
    static constexpr int kMaxDepth = 256;
};

} // namespace keldo
