#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace keldo {

// The project's one UTF-8 decoder. Texts from a device come byte for byte and need not be UTF-8:
// a byte that begins no valid sequence is reported as such, one byte at a time, so that a caller
// can keep it, replace it or escape it and carry on with the next byte.
class Utf8 {
public:
    struct Sequence {
        // The byte itself when the sequence is not valid.
        std::uint32_t codePoint;
        // 1 to 4; 0 when no valid sequence begins at the position.
        std::size_t length;

        bool valid() const { return length != 0; }
    };

    // The sequence that begins at byte `i` of `text` (i < text.size()). Truncated sequences,
    // stray continuation bytes, overlong forms, surrogates and values past U+10FFFF are not valid.
    static Sequence decode(std::string_view text, std::size_t i);

    static bool isValid(std::string_view text);
};

} // namespace keldo
