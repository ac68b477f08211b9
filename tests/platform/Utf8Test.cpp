#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace keldo {
namespace {

// (code point, length) of the sequence at `i`, for compact expectations.
std::pair<std::uint32_t, std::size_t> at(std::string_view text, std::size_t i = 0) {
    const Utf8::Sequence s = Utf8::decode(text, i);
    return {s.codePoint, s.length};
}

TEST(Utf8Decode, ReadsEachLengthUpToItsLimits) {
    EXPECT_EQ(at("\x7F"), std::make_pair(0x7Fu, std::size_t{1}));
    EXPECT_EQ(at("\xC2\x80"), std::make_pair(0x80u, std::size_t{2}));
    EXPECT_EQ(at("\xDF\xBF"), std::make_pair(0x7FFu, std::size_t{2}));
    EXPECT_EQ(at("\xE0\xA0\x80"), std::make_pair(0x800u, std::size_t{3}));
    EXPECT_EQ(at("\xED\x9F\xBF"), std::make_pair(0xD7FFu, std::size_t{3}));
    EXPECT_EQ(at("\xEE\x80\x80"), std::make_pair(0xE000u, std::size_t{3}));
    EXPECT_EQ(at("\xEF\xBF\xBF"), std::make_pair(0xFFFFu, std::size_t{3}));
    EXPECT_EQ(at("\xF0\x90\x80\x80"), std::make_pair(0x10000u, std::size_t{4}));
    EXPECT_EQ(at("\xF4\x8F\xBF\xBF"), std::make_pair(0x10FFFFu, std::size_t{4}));
    // In the middle of a text, up to its very end.
    EXPECT_EQ(at("ab\xF0\x9F\x98\x80", 2), std::make_pair(0x1F600u, std::size_t{4}));
}

TEST(Utf8Decode, RefusesEveryFormThatIsNoSequenceOneByteAtATime) {
    for (const std::string bad : {"\x80", "\xBF", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
                                  "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
                                  "\xE2\x82", "\xF0\x9F\x98", "\xC3" "A", "\xE2\x82" "A"}) {
        const Utf8::Sequence s = Utf8::decode(bad, 0);
        EXPECT_FALSE(s.valid()) << testing::PrintToString(bad);
        // The byte itself, so that a caller can keep it or show it.
        EXPECT_EQ(s.codePoint, static_cast<unsigned char>(bad[0])) << testing::PrintToString(bad);
    }
}

TEST(Utf8Decode, AWholeTextIsValidOnlyWithoutAnyBadByte) {
    EXPECT_TRUE(Utf8::isValid(""));
    EXPECT_TRUE(Utf8::isValid("Caf\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80"));
    EXPECT_FALSE(Utf8::isValid("Caf\xC3\xA9\xFF"));
    EXPECT_FALSE(Utf8::isValid("\xC3"));
    EXPECT_FALSE(Utf8::isValid("a\xED\xA0\x80z"));
}

} // namespace
} // namespace keldo
