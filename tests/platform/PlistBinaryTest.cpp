#include "platform/plist/PlistBinary.h"

#include "platform/plist/PlistFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace keldo {
namespace {

namespace fs = std::filesystem;

PlistValue nested(int depth) {
    PlistValue value = PlistValue::Array{1};
    for (int i = 1; i < depth; ++i) value = PlistValue::Array{value, 1};
    return value;
}

// Every kind, and every width of integer and of count; 300 objects need 2-byte references, and
// 70,000 bytes of data 4-byte offsets.
PlistValue everyKind() {
    PlistValue::Dictionary many;
    for (int i = 0; i < 20; ++i) many["key " + std::to_string(i)] = i;
    PlistValue::Array wide;
    for (int i = 0; i < 300; ++i) wide.emplace_back(i);
    return PlistValue::Dictionary{
        {"ascii", "Keldo"},
        {"utf16", "Gr\xC3\xBC\xC3\x9F" "e, \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"},
        {"empty", ""},
        {"long", std::string(300, 'x')},
        {"ints", PlistValue::Array{0, 255, 256, 65535, 65536, std::int64_t{4294967295}, std::int64_t{4294967296},
                                   INT64_MAX, -1, INT64_MIN, std::uint64_t{1} << 63, UINT64_MAX}},
        {"real", 0.1},
        {"true", true},
        {"false", false},
        {"date", PlistDate{394041600.25}},
        {"data", PlistValue::Data{0x00, 0xFF, 0x10, 0x80, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"large", PlistValue::Data(70000, 7)},
        {"nested", PlistValue::Array{PlistValue::Array{}, PlistValue::Dictionary{}, nested(254)}},
        {"many", many},
        {"wide", wide},
    };
}

// An independent reader: Python's plistlib must read what we write as the same values, kind for kind.
TEST(PlistBinary, WritesWhatPlistlibReadsAsTheSameValues) {
    const auto bytes = PlistBinary::toBinary(everyKind());
    ASSERT_TRUE(bytes);
    const fs::path dir = fs::temp_directory_path() / ("keldo-plistbinary-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "written.plist", std::ios::binary) << *bytes;
    std::ofstream(dir / "check.py") << R"(
import datetime, plistlib, sys
def nested(depth):
    value = [1]
    for _ in range(depth - 1):
        value = [value, 1]
    return value
expected = {
    "ascii": "Keldo", "utf16": "Gr\u00fc\u00dfe, \u65e5\u672c \U0001F600", "empty": "", "long": "x" * 300,
    "ints": [0, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, -1, -2**63, 2**63, 2**64 - 1],
    "real": 0.1, "true": True, "false": False,
    "date": datetime.datetime(2001, 1, 1) + datetime.timedelta(seconds=394041600.25),
    "data": bytes([0, 255, 16, 128] + list(range(1, 13))),
    "nested": [[], {}, nested(254)],
    "many": {"key %d" % i: i for i in range(20)},
    "wide": list(range(300)), "large": bytes([7]) * 70000,
}
def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b
got = plistlib.loads(open(sys.argv[1], "rb").read())
bad = [k for k in expected if k not in got or not same(got[k], expected[k])]
if bad or got.keys() != expected.keys():
    print("differs:", bad, sorted(got.keys()))
    sys.exit(1)
)";
    EXPECT_EQ(std::system(("python3 " + (dir / "check.py").string() + " " + (dir / "written.plist").string()).c_str()), 0);
    std::error_code ignored;
    fs::remove_all(dir, ignored);

    // And our own reader reads it back as it was.
    const PlistRef back = PlistFile::fromBytes(bytes->data(), bytes->size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, everyKind());
}

TEST(PlistBinary, RefusesWhatHasNoBinaryForm) {
    EXPECT_FALSE(PlistBinary::toBinary(PlistValue::Array{"cut \xE6\x97"}));
    EXPECT_FALSE(PlistBinary::toBinary(PlistValue::Dictionary{{"\xFF", 1}}));
    EXPECT_TRUE(PlistBinary::toBinary(nested(256)));
    EXPECT_FALSE(PlistBinary::toBinary(nested(257)));
}

} // namespace
} // namespace keldo
