#include "platform/TerminalText.h"

#include "platform/Utf8.h"

#include <fmt/format.h>

namespace keldo {

std::string TerminalText::escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Utf8::Sequence s = Utf8::decode(text, i);
        // A single byte (not UTF-8, an ASCII control, the backslash) shows as "\xNN"; a control
        // that takes several bytes as the code point they encode.
        if (!s.valid() || (s.length == 1 && (isControl(s.codePoint) || s.codePoint == '\\'))) {
            out += fmt::format("\\x{:02x}", static_cast<unsigned char>(text[i]));
            ++i;
        } else {
            if (isControl(s.codePoint)) {
                out += fmt::format("\\u{:04x}", s.codePoint);
            } else {
                out.append(text.substr(i, s.length));
            }
            i += s.length;
        }
    }
    return out;
}

bool TerminalText::isControl(std::uint32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) ||
           (codePoint >= 0x202A && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

} // namespace keldo
