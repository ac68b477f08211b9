#include "tools/device/JsonWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace keldo {
namespace {

TEST(JsonWriter, EscapesTextsAndKeepsValidUtf8) {
    EXPECT_EQ(JsonWriter::quoted("a\"b\\c\n\r\t\x01\x1f\x7f"), R"("a\"b\\c\n\r\t\u0001\u001f\u007f")");
    EXPECT_EQ(JsonWriter::quoted("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"");
    EXPECT_EQ(JsonWriter::quoted(std::string("nul\0in", 6)), R"("nul\u0000in")");
}

TEST(JsonWriter, EscapesEveryControlATerminalWouldActOn) {
    // C1 and bidirectional controls are valid JSON as they are, but not safe to show.
    EXPECT_EQ(JsonWriter::quoted("\xC2\x9B" "31m\xC2\x85"), R"("\u009b31m\u0085")");
    EXPECT_EQ(JsonWriter::quoted("photo\xE2\x80\xAEgpj.exe\xE2\x81\xA6"), R"("photo\u202egpj.exe\u2066")");
    EXPECT_EQ(JsonWriter::quoted("\xC2\xA0\xE2\x80\xAF"), "\"\xC2\xA0\xE2\x80\xAF\"");
}

TEST(JsonWriter, ReplacesEveryByteThatStartsNoValidSequence) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(JsonWriter::quoted("a\xFF" "b\x9B"), "\"a" + replacement + "b" + replacement + "\"");
    EXPECT_EQ(JsonWriter::quoted("\xE2\x82"), "\"" + replacement + replacement + "\"");
}

TEST(JsonWriter, SeparatesValuesAtEveryLevel) {
    JsonWriter json;
    json.beginObject().key("a").integer(-1).key("b").beginArray().text("x").null().boolean(true).beginArray()
        .endArray().endArray().key("c").beginObject().endObject().key("d")
        .unsignedInteger(std::numeric_limits<std::uint64_t>::max()).key("e").real(NAN).key("f").real(0.5).endObject();
    EXPECT_EQ(json.str(), R"({"a":-1,"b":["x",null,true,[]],"c":{},"d":18446744073709551615,"e":null,"f":0.5})");
}

} // namespace
} // namespace keldo
