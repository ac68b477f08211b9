#include "platform/Utf8.h"

namespace keldo {

Utf8::Sequence Utf8::decode(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const std::uint32_t lead = byte(i);
    if (lead < 0x80) return {lead, 1};
    // 0xC0 and 0xC1 could only begin overlong forms of ASCII; 0xF5 and up only values past U+10FFFF.
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return {lead, 0};
    std::uint32_t cp = lead & (0xFFu >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return {lead, 0};
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    const bool valid = length == 2 || (length == 3 && cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) ||
                       (length == 4 && cp >= 0x10000 && cp <= 0x10FFFF);
    return valid ? Sequence{cp, length} : Sequence{lead, 0};
}

bool Utf8::isValid(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const Sequence s = decode(text, i);
        if (!s.valid()) return false;
        i += s.length;
    }
    return true;
}

} // namespace keldo
