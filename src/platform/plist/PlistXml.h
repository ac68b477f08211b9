#pragma once

#include "platform/plist/PlistValue.h"

#include <cstddef>
#include <optional>
#include <string>

namespace keldo {

// Apple's XML property-list form of our values, through libplist.
//
// Faithfulness rules:
// - Integers cover the whole signed and unsigned 64-bit range in both directions; an unsigned
//   value of 2^63 or more is written with its unsigned digits and read back as unsigned.
// - Dates are written in the format's whole seconds (the fraction is dropped, as every writer of
//   this form does); a date that does not fit the library's 32-bit seconds has no XML form.
// - A text or key holding a NUL character has no XML form (it would be cut short).
class PlistXml {
public:
    // The XML form, or none when the value has none.
    static std::optional<std::string> toXml(const PlistValue& value);
    // The value that the text holds, or none when it is no property list of our kinds (UIDs
    // and other kinds that we don't model count as none), or nests deeper than kMaxDepth.
    static PlistRef fromXml(const char* data, std::size_t size);

    // Deeper nesting is refused before the library sees it: the library recurses per level.
    static constexpr int kMaxDepth = 256;
};

} // namespace keldo
