#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace keldo {

// Text on its way to a terminal. Names and messages from a device (or from anyone) could otherwise
// move the cursor, recolour the screen, answer back through the terminal or, with bidirectional
// controls, show a name other than the one it is. Every line a program writes for people goes
// through escaped(); file contents and JSON take their own routes.
class TerminalText {
public:
    // `text` with every byte that is not valid UTF-8, every ASCII control (C0 and DEL) and the
    // backslash as "\xNN" (one byte), and every C1 and bidirectional control as "\uNNNN" (the
    // code point, whose UTF-8 bytes were there), so that what is shown tells exactly which bytes
    // there were. Everything else, accents, CJK and emoji included, is kept as it is.
    static std::string escaped(std::string_view text);

    // Whether a code point must not reach a terminal as it is: C0, DEL, C1, and the embeddings,
    // overrides and isolates of the bidirectional algorithm (U+202A-U+202E, U+2066-U+2069).
    static bool isControl(std::uint32_t codePoint);
};

} // namespace keldo
