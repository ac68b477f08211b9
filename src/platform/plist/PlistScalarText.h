#pragma once

#include "platform/plist/PlistValue.h"

#include <optional>
#include <string_view>

namespace keldo {

// The text inside <integer>, <real>, <date> and <data>, read the way Python's plistlib reads it,
// so that what it refuses gives none here and what it reads comes out the same. Narrower in two
// places, never wider: digits must be ASCII (Python also takes other scripts' decimal digits),
// and integers must fit the signed or the unsigned 64-bit range.
class PlistScalarText {
public:
    // Decimal with optional sign, or hexadecimal after "0x"; single underscores between digits;
    // surrounding white space.
    static std::optional<PlistValue> integer(std::string_view text);
    // Decimal with optional sign and exponent, "inf", "infinity" or "nan" in any case;
    // single underscores between digits; surrounding white space. Too large gives infinity.
    static std::optional<PlistValue> real(std::string_view text);
    // "YYYY-MM-DD", optionally "THH", ":MM", ":SS", then "Z"; what follows the Z is ignored.
    static std::optional<PlistValue> date(std::string_view text);
    // Base64; characters outside the alphabet are skipped, the padding ends the data.
    static std::optional<PlistValue> data(std::string_view text);
};

} // namespace keldo
