#include "platform/plist/PlistXml.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

namespace keldo {
namespace {

using Dict = PlistValue::Dictionary;
using Array = PlistValue::Array;

PlistValue everyKind() {
    return PlistValue(Dict{
        {"text", "plain"},
        {"special", "<tag> & \"quotes\" 'apostrophe' ]]>"},
        {"unicode", "Grüße, 日本語, emoji \xF0\x9F\x98\x80"},
        {"empty", ""},
        {"zero", 0},
        {"int64 min", std::numeric_limits<std::int64_t>::min()},
        {"int64 max", std::numeric_limits<std::int64_t>::max()},
        {"minus one", -1},
        {"uint64 2^63", std::uint64_t{1} << 63},
        {"uint64 max", std::numeric_limits<std::uint64_t>::max()},
        {"real", 0.1},
        {"tiny real", 5e-324},
        {"negative real", -1.25e300},
        {"true", true},
        {"false", false},
        {"date", PlistDate{394041600.0}},
        {"date before 2001", PlistDate{-86400.0}},
        {"data", PlistValue::Data{0x00, 0xff, 0x10, 0x80}},
        {"no data", PlistValue::Data{}},
        {"nested", Array{Array{}, Dict{}, Array{1, "two", Dict{{"three", 3.5}}}}},
    });
}

PlistRef parse(const std::string& xml) { return PlistXml::fromXml(xml.data(), xml.size()); }

TEST(PlistXmlRoundTrip, KeepsEveryKindOfValueExactly) {
    auto xml = PlistXml::toXml(everyKind());
    ASSERT_TRUE(xml);
    auto back = parse(*xml);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, everyKind());
}

TEST(PlistXmlRoundTrip, KeepsUnsignedIntegersAboveTheSignedRangeUnsigned) {
    auto xml = PlistXml::toXml(PlistValue(Array{std::numeric_limits<std::uint64_t>::max(), -1}));
    ASSERT_TRUE(xml);
    EXPECT_THAT(*xml, ::testing::HasSubstr("<integer>18446744073709551615</integer>"));
    EXPECT_THAT(*xml, ::testing::HasSubstr("<integer>-1</integer>"));
    auto back = parse(*xml);
    ASSERT_TRUE(back);
    const auto& items = *back->array();
    EXPECT_TRUE(items[0].isUnsignedInteger());
    EXPECT_EQ(items[0].unsignedInteger(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(items[1].signedInteger(), -1);
}

TEST(PlistXmlRoundTrip, WritesDatesInWholeSeconds) {
    auto xml = PlistXml::toXml(PlistValue(PlistDate{10.75}));
    ASSERT_TRUE(xml);
    EXPECT_THAT(*xml, ::testing::HasSubstr("<date>2001-01-01T00:00:10Z</date>"));
}

TEST(PlistXmlRefusal, TextsWithANulCharacterHaveNoXmlForm) {
    EXPECT_FALSE(PlistXml::toXml(PlistValue(std::string("cut\0short", 9))));
    EXPECT_FALSE(PlistXml::toXml(PlistValue(Dict{{std::string("k\0ey", 4), 1}})));
    EXPECT_FALSE(PlistXml::toXml(PlistValue(Array{PlistDate{1e12}})));
}

TEST(PlistXmlRefusal, TextThatIsNoPropertyListGivesNone) {
    EXPECT_FALSE(parse("garbage"));
    EXPECT_FALSE(parse(""));
    EXPECT_FALSE(PlistXml::fromXml(nullptr, 0));
    EXPECT_FALSE(parse("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key>"));
}

TEST(PlistXmlRefusal, ATextWithANulCharacterFromAPeerGivesNoneWithoutAborting) {
    // The library's copying getter would abort the process on such a text.
    std::string xml = std::string("<plist version=\"1.0\"><array><string>a") + '\0' + "b</string></array></plist>";
    EXPECT_FALSE(parse(xml));
    EXPECT_FALSE(parse("<plist version=\"1.0\"><string>a&#0;b</string></plist>"));
}

TEST(PlistXmlRefusal, NestingDeeperThanTheBoundGivesNoneWithoutCrashing) {
    auto nested = [](int depth) {
        std::string xml = "<plist version=\"1.0\">";
        for (int i = 0; i < depth; ++i) xml += "<array>";
        for (int i = 0; i < depth; ++i) xml += "</array>";
        return xml + "</plist>";
    };
    EXPECT_TRUE(parse(nested(PlistXml::kMaxDepth)));
    EXPECT_FALSE(parse(nested(PlistXml::kMaxDepth + 1)));
    EXPECT_FALSE(parse(nested(2'000'000)));
    // Stray closing tags first don't make room for more levels.
    std::string strayFirst = "<plist version=\"1.0\">";
    for (int i = 0; i < 1000; ++i) strayFirst += "</array>";
    for (int i = 0; i <= PlistXml::kMaxDepth; ++i) strayFirst += "<array>";
    EXPECT_FALSE(parse(strayFirst));
    // Empty containers written in short form don't count as levels.
    std::string flat = "<plist version=\"1.0\"><array>";
    for (int i = 0; i < 1000; ++i) flat += "<array/><dict/>";
    EXPECT_TRUE(parse(flat + "</array></plist>"));
}

// --- an independent encoder and decoder: Python's plistlib -------------------------------------

std::string runPython(const std::string& script) {
    auto dir = std::filesystem::temp_directory_path();
    auto path = dir / ("keldo-plist-" + std::to_string(::getpid()) + ".py");
    std::ofstream(path) << script;
    std::string out;
    if (FILE* p = ::popen(("python3 " + path.string() + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        ::pclose(p);
    }
    std::filesystem::remove(path);
    return out;
}

// The same value as everyKind(), in Python.
const char* kPythonValue = R"(
import datetime, plistlib, sys
epoch = datetime.datetime(2001, 1, 1)
value = {
    "text": "plain",
    "special": "<tag> & \"quotes\" 'apostrophe' ]]>",
    "unicode": "Grüße, 日本語, emoji \U0001F600",
    "empty": "",
    "zero": 0,
    "int64 min": -2**63,
    "int64 max": 2**63 - 1,
    "minus one": -1,
    "uint64 2^63": 2**63,
    "uint64 max": 2**64 - 1,
    "real": 0.1,
    "tiny real": 5e-324,
    "negative real": -1.25e300,
    "true": True,
    "false": False,
    "date": epoch + datetime.timedelta(seconds=394041600),
    "date before 2001": epoch - datetime.timedelta(days=1),
    "data": b"\x00\xff\x10\x80",
    "no data": b"",
    "nested": [[], {}, [1, "two", {"three": 3.5}]],
}
)";

TEST(PlistXmlInterop, ParsesWhatPlistlibWrites) {
    std::string out = runPython(std::string(kPythonValue) + "sys.stdout.write(plistlib.dumps(value).decode())\n");
    auto parsed = parse(out);
    ASSERT_TRUE(parsed) << out;
    EXPECT_EQ(*parsed, everyKind());
    EXPECT_TRUE(parsed->find("uint64 max")->isUnsignedInteger());
}

TEST(PlistXmlInterop, PlistlibReadsWhatWeWrite) {
    auto xml = PlistXml::toXml(everyKind());
    ASSERT_TRUE(xml);
    auto path = std::filesystem::temp_directory_path() / ("keldo-plist-" + std::to_string(::getpid()) + ".xml");
    std::ofstream(path, std::ios::binary) << *xml;
    std::string out = runPython(std::string(kPythonValue) + "got = plistlib.load(open('" + path.string() +
                                "', 'rb'))\n"
                                "bad = [k for k in value if got.get(k) != value[k] or type(got.get(k)) != type(value[k])]\n"
                                "print('same' if not bad and len(got) == len(value) else 'differ: %r' % bad)\n");
    std::filesystem::remove(path);
    EXPECT_EQ(out, "same\n");
}

} // namespace
} // namespace keldo
