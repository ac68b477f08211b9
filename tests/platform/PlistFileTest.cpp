#include "platform/plist/PlistFile.h"

#include "support/BinaryPlist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace keldo {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// Files written by an independent encoder: Python's plistlib, binary form unless named .xml.
class PlistFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("keldo-plistfile-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        const fs::path script = dir / "write.py";
        std::ofstream(script) << R"(
import datetime, plistlib, sys
out = sys.argv[1]
def write(name, value, fmt=plistlib.FMT_BINARY):
    open(out + "/" + name, "wb").write(plistlib.dumps(value, fmt=fmt))
shared = {"shared": "twice"}
write("every-kind", {
    "ascii": "Keldo", "utf16": "Gr\u00fc\u00dfe, \u65e5\u672c\u8a9e", "empty": "",
    "int64 min": -2**63, "minus one": -1, "uint64 max": 2**64 - 1,
    "real": 0.1, "true": True, "false": False,
    "date": datetime.datetime(2001, 1, 1) + datetime.timedelta(seconds=394041600),
    "data": b"\x00\xff\x10\x80", "nested": [[], {}, [1, "two", {"three": 3.5}]], "a": shared, "b": shared})
write("every-kind.xml", {"CFBundleExecutable": "Keldo", "n": 7}, plistlib.FMT_XML)
write("nul-in-key", {"CFBundle\0Executable": "Keldo"})
write("nul-in-ascii", ["Kel\0do"])
write("nul-in-utf16", ["K\u00e9l\0do"])
def nested(depth):
    value = [1]
    for _ in range(depth - 1):
        value = [value, 1]
    return value
write("deepest", nested(256))
write("too-deep", nested(257))
)";
        ASSERT_EQ(std::system(("python3 " + script.string() + " " + dir.string()).c_str()), 0);
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    static PlistRef read(const std::string& name) { return PlistFile::read((dir / name).string()); }
    static std::string bytesOf(const std::string& name) {
        std::ostringstream bytes;
        bytes << std::ifstream(dir / name, std::ios::binary).rdbuf();
        return bytes.str();
    }
    static PlistRef parse(const std::string& bytes) { return PlistFile::fromBytes(bytes.data(), bytes.size()); }

    static inline fs::path dir;
};

TEST_F(PlistFileTest, ReadsBothFormsAsPlistlibWritesThem) {
    const PlistValue shared = PlistValue::Dictionary{{"shared", "twice"}};
    const PlistValue expected = PlistValue::Dictionary{
        {"ascii", "Keldo"},
        {"utf16", "Gr\xC3\xBC\xC3\x9F" "e, \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {"empty", ""},
        {"int64 min", INT64_MIN},
        {"minus one", -1},
        {"uint64 max", UINT64_MAX},
        {"real", 0.1},
        {"true", true},
        {"false", false},
        {"date", PlistDate{394041600}},
        {"data", PlistValue::Data{0x00, 0xff, 0x10, 0x80}},
        {"nested", PlistValue::Array{PlistValue::Array{}, PlistValue::Dictionary{},
                                     PlistValue::Array{1, "two", PlistValue::Dictionary{{"three", 3.5}}}}},
        {"a", shared},
        {"b", shared},
    };
    auto value = read("every-kind");
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, expected);
    EXPECT_TRUE(value->find("uint64 max")->isUnsignedInteger());

    auto xml = read("every-kind.xml");
    ASSERT_TRUE(xml);
    EXPECT_EQ(*xml, (PlistValue::Dictionary{{"CFBundleExecutable", "Keldo"}, {"n", 7}}));
}

TEST_F(PlistFileTest, RefusesNulsUnboundedTreesAndBrokenTables) {
    for (const char* name : {"nul-in-key", "nul-in-ascii", "nul-in-utf16", "too-deep"}) EXPECT_FALSE(read(name)) << name;
    EXPECT_TRUE(read("deepest"));
    EXPECT_FALSE(parse("<plist version=\"1.0\"><string>Kel\0do</string></plist>"s));
    // What is no text in its encoding: no value, never one that is no UTF-8.
    EXPECT_FALSE(parse(testing::binaryPlist({"\x52" "a\xB9"s})));                // ASCII past 127
    EXPECT_FALSE(parse(testing::binaryPlist({"\x61\xD8\x3D"s})));                // half a surrogate pair
    EXPECT_FALSE(parse(testing::binaryPlist({"\x62\xDE\x00\xD8\x3D"s})));        // the halves swapped
    EXPECT_EQ(*parse(testing::binaryPlist({"\x62\xD8\x3D\xDE\x00"s})), PlistValue("\xF0\x9F\x98\x80"));

    // Levels each holding the next twice: a few bytes for each, twice the values for each.
    auto doubling = [](int levels) {
        std::vector<std::string> objects;
        for (int i = 1; i <= levels; ++i) objects.push_back("\xA2" + testing::plistRef(i) + testing::plistRef(i));
        objects.push_back("\x09");
        return parse(testing::binaryPlist(objects));
    };
    EXPECT_FALSE(doubling(64));  // 2^64 values
    EXPECT_TRUE(doubling(8));    // 2^8 values from a hundred bytes: sharing itself is fine
    EXPECT_FALSE(doubling(16));  // 2^16 values from 150 bytes is not

    const std::string good = bytesOf("every-kind");
    ASSERT_TRUE(parse(good));
    EXPECT_FALSE(parse(good.substr(0, good.size() - 1)));
    EXPECT_FALSE(parse("bplist00"));
    EXPECT_FALSE(parse(testing::binaryPlist({"\xA1\x00"s})));                 // an array holding itself
    EXPECT_FALSE(parse(testing::binaryPlist({"\xA1\x07"s})));                 // a reference past the objects
    EXPECT_FALSE(parse(testing::binaryPlist({"\xA1\x01"s, "\x5F\x10\x40x"s})));  // a text longer than the file
    std::string badOffset = testing::binaryPlist({"\x09"});
    badOffset[badOffset.size() - 32 - 1] = '\x70';  // the only offset points past the objects
    EXPECT_FALSE(parse(badOffset));

    EXPECT_FALSE(read("no such file"));
    std::ofstream(dir / "large.xml") << "<plist version=\"1.0\"><string>" << std::string(PlistFile::kLargestFile, 'x')
                                     << "</string></plist>";
    EXPECT_FALSE(read("large.xml"));
}

} // namespace
} // namespace keldo
