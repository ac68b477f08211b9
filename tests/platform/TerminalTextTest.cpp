#include "platform/TerminalText.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace keldo {
namespace {

TEST(TerminalText, KeepsReadableTextOfEveryScriptAsItIs) {
    for (const std::string text : {"IMG_0001.JPG", "Caf\xC3\xA9 na\xC3\xAFve", "\xE6\x9D\xB1\xE4\xBA\xAC",
                                   "\xF0\x9F\x98\x80 \xF0\x9F\x8F\xB3\xEF\xB8\x8F\xE2\x80\x8D\xF0\x9F\x8C\x88",
                                   "\xC2\xA0\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA", "a b~[]{}'\"%"}) {
        EXPECT_EQ(TerminalText::escaped(text), text) << testing::PrintToString(text);
    }
}

TEST(TerminalText, ShowsAsciiControlsTheBackslashAndStrayBytesAsBytes) {
    EXPECT_EQ(TerminalText::escaped("\x1b[7mname\x1b[0m"), "\\x1b[7mname\\x1b[0m");
    EXPECT_EQ(TerminalText::escaped(std::string("a\0b\tc\nd\re\x1f\x7f", 11)), "a\\x00b\\x09c\\x0ad\\x0de\\x1f\\x7f");
    EXPECT_EQ(TerminalText::escaped("C:\\dir"), "C:\\x5cdir");
    // Not UTF-8: a C1 control as a raw byte, a lead byte cut short, an overlong form.
    EXPECT_EQ(TerminalText::escaped("a\x9b" "31m"), "a\\x9b31m");
    EXPECT_EQ(TerminalText::escaped("\xE2\x80" "x"), "\\xe2\\x80x");
    EXPECT_EQ(TerminalText::escaped("\xC0\x9B"), "\\xc0\\x9b");
    EXPECT_EQ(TerminalText::escaped("name\xFF"), "name\\xff");
}

TEST(TerminalText, ShowsC1AndBidirectionalControlsAsCodePoints) {
    EXPECT_EQ(TerminalText::escaped("\xC2\x80" "a\xC2\x9B" "b\xC2\x9F"), "\\u0080a\\u009bb\\u009f");
    // U+202E would show "photo\u202Egpj.exe" as "photoexe.jpg".
    EXPECT_EQ(TerminalText::escaped("photo\xE2\x80\xAEgpj.exe"), "photo\\u202egpj.exe");
    const char* bidi[] = {"\xE2\x80\xAA", "\xE2\x80\xAB", "\xE2\x80\xAC", "\xE2\x80\xAD", "\xE2\x80\xAE",
                          "\xE2\x81\xA6", "\xE2\x81\xA7", "\xE2\x81\xA8", "\xE2\x81\xA9"};
    for (const char* control : bidi) {
        const std::string shown = TerminalText::escaped(control);
        EXPECT_EQ(shown.size(), 6u) << shown;
        EXPECT_EQ(shown.rfind("\\u20", 0), 0u) << shown;
    }
}

TEST(TerminalText, DifferentTextsNeverLookTheSame) {
    // Each one is shown the way another one is written.
    const std::string texts[] = {"\x1b",  "\\x1b",  "\\",  "\\x5c", "\x9b", "\xC2\x9B", "\\u009b",
                                 "\\x9b", "\xE2\x80\xAE", "\\u202e", "\xFF", "\\xff"};
    std::set<std::string> shown;
    for (const auto& text : texts) shown.insert(TerminalText::escaped(text));
    EXPECT_EQ(shown.size(), std::size(texts));
}

} // namespace
} // namespace keldo
