#include "platform/plist/PlistXml.h"

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <bit>
#include <vector>

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
    auto back = PlistXml::fromXml(xml->data(), xml->size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, everyKind());
}

TEST(PlistXmlRefusal, ControlCharactersHaveNoXmlFormButTabsLineFeedsAndReturnsComeBack) {
    EXPECT_FALSE(PlistXml::toXml(PlistValue(std::string("cut\0short", 9))));
    EXPECT_FALSE(PlistXml::toXml(PlistValue(Dict{{std::string("k\0ey", 4), 1}})));
    EXPECT_FALSE(PlistXml::toXml(PlistValue(Array{"bell\x07"})));
    EXPECT_FALSE(PlistXml::toXml(PlistValue(Dict{{"escape\x1B", 1}})));
    EXPECT_FALSE(PlistXml::toXml(PlistValue("not a character: \xEF\xBF\xBF")));
    const PlistValue spaced = Dict{{"tab\tline\nreturn\r", "\r\n\xEF\xBF\xBD"}};
    auto xml = PlistXml::toXml(spaced);
    ASSERT_TRUE(xml);
    EXPECT_EQ(*PlistXml::fromXml(xml->data(), xml->size()), spaced);
    EXPECT_FALSE(PlistXml::toXml(PlistValue(Array{PlistDate{1e12}})));
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
    EXPECT_FALSE(parse(nested(100'000)));
    // Empty containers written in short form don't count as levels.
    std::string flat = "<plist version=\"1.0\"><array>";
    for (int i = 0; i < 1000; ++i) flat += "<array/><dict/>";
    EXPECT_TRUE(parse(flat + "</array></plist>"));
}

// --- an independent encoder and decoder: Python's plistlib -------------------------------------

// Writes `bytes` to a scratch file, and removes it again.
class ScratchFile {
public:
    explicit ScratchFile(std::string_view bytes) {
        static int count = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("keldo-plist-" + std::to_string(::getpid()) + "-" + std::to_string(++count));
        std::ofstream(path_, std::ios::binary) << bytes;
    }
    ~ScratchFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

bool havePython() { return std::system("python3 -c '' >/dev/null 2>&1") == 0; }

#define REQUIRE_PYTHON() \
    if (!havePython()) GTEST_SKIP() << "python3 is not installed: nothing to compare with plistlib"

std::string runPython(const std::string& script) {
    ScratchFile file(script);
    std::string out;
    if (FILE* p = ::popen(("python3 " + file.path() + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

TEST(PlistXmlInterop, ComesBackWholeThroughPlistlib) {
    REQUIRE_PYTHON();
    auto xml = PlistXml::toXml(everyKind());
    ASSERT_TRUE(xml);
    ScratchFile written(xml->view());
    // What plistlib reads from our form and writes again in its own must read as what we wrote.
    std::string out = runPython("import plistlib, sys\nsys.stdout.write(plistlib.dumps(plistlib.load(open('" +
                                written.path() + "', 'rb'))).decode())\n");
    auto back = parse(out);
    ASSERT_TRUE(back) << out;
    EXPECT_EQ(*back, everyKind());
    EXPECT_TRUE(back->find("uint64 max")->isUnsignedInteger());
}

// --- strict reading, differentially against plistlib ------------------------------------------

// One form for a value in both languages: kind letter, then hex for texts, keys and bytes, the
// IEEE bits for reals, whole seconds since 2001 for dates; dictionaries in key byte order.
template <typename Bytes>
std::string hex(const Bytes& bytes) {
    std::string out;
    for (auto b : bytes) out += fmt::format("{:02x}", static_cast<unsigned char>(b));
    return out;
}

std::string canonical(const PlistValue& v) {
    switch (v.kind()) {
    case PlistValue::Kind::Text: return "s" + hex(*v.text());
    case PlistValue::Kind::Integer:
        return v.isUnsignedInteger() ? fmt::format("i{}", *v.unsignedInteger()) : fmt::format("i{}", *v.signedInteger());
    case PlistValue::Kind::Real: return fmt::format("r{:016x}", std::bit_cast<std::uint64_t>(*v.real()));
    case PlistValue::Kind::Boolean: return *v.boolean() ? "t" : "f";
    case PlistValue::Kind::Date: return fmt::format("d{}", static_cast<std::int64_t>(v.date()->secondsSince2001));
    case PlistValue::Kind::Data: return "b" + hex(*v.data());
    case PlistValue::Kind::Array: {
        std::string out = "[";
        for (const auto& item : *v.array()) out += (out.size() > 1 ? "," : "") + canonical(item);
        return out + "]";
    }
    case PlistValue::Kind::Dictionary: {
        std::string out = "{";
        for (const auto& [key, item] : *v.dictionary()) out += (out.size() > 1 ? "," : "") + hex(key) + ":" + canonical(item);
        return out + "}";
    }
    }
    return {};
}

const char* kPythonCanonical = R"(
import datetime, plistlib, struct, sys
def canonical(v):
    if isinstance(v, bool): return 't' if v else 'f'
    if isinstance(v, int):
        if not -2**63 <= v < 2**64: raise ValueError('no 64-bit integer')
        return 'i%d' % v
    if isinstance(v, float): return 'r' + struct.pack('>d', v).hex()
    if isinstance(v, str): return 's' + v.encode().hex()
    if isinstance(v, bytes): return 'b' + v.hex()
    if isinstance(v, datetime.datetime):
        return 'd%d' % ((v - datetime.datetime(2001, 1, 1)) // datetime.timedelta(seconds=1))
    if isinstance(v, list): return '[' + ','.join(canonical(x) for x in v) + ']'
    if isinstance(v, dict):
        return '{' + ','.join(k.encode().hex() + ':' + canonical(v[k]) for k in sorted(v, key=str.encode)) + '}'
    raise ValueError('no value')
for line in open(CORPUS):
    try: print(canonical(plistlib.loads(bytes.fromhex(line), fmt=plistlib.FMT_XML)))
    except Exception: print('refused')
)";

struct Body {
    std::string xml;
    // plistlib reads it, and we refuse it on purpose.
    bool narrower = false;
};

Body in(const std::string& element, const std::string& text, bool narrower = false) {
    return {"<plist version=\"1.0\"><" + element + ">" + text + "</" + element + "></plist>", narrower};
}
Body doc(const std::string& xml, bool narrower = false) { return {xml, narrower}; }

std::vector<Body> corpus() {
    const std::string apple = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
                              "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
    std::vector<Body> bodies;
    for (const char* text :
         {"abc", "12abc", "", " ", "1 2", "1__2", "_1", "1_", "1_2", " 12 ", "\n12\t", "+7", "-0", "--1", "1e3", "1.0",
          "007", "0x1F", "0X1f", "0x_1f", "0x__1f", "0x", "0x1F ", " 0x1F", "-0x1F", "0xg", "0x-1",
          "\xC2\xA0" "12\xE3\x80\x80", "0x\xC2\xA0" "1F", "9223372036854775807", "9223372036854775808",
          "18446744073709551615", "18446744073709551616", "-9223372036854775808", "-9223372036854775809",
          "0xFFFFFFFFFFFFFFFF", "0x10000000000000000", "99999999999999999999999999"})
        bodies.push_back(in("integer", text));
    bodies.push_back(in("integer", std::string(4300, '0') + "1"));
    bodies.push_back(in("integer", "\xD9\xA1\xD9\xA2", true));  // Arabic-Indic digits
    for (const char* text : {"abc", "", "1.5", " -2.5e-3 ", "1e999", "-1e999", "1e-400", "-0", "inf", "-Infinity",
                             "infinit", "nan", "-NaN", "1_000.5", "1__0", "1_e5", "1e1_0", "0x1p3", "1e", ".5", "5.",
                             ".", "1.5.5", "+.5e+2", "4.9e-324", "\xC2\xA0" "1.5", "1,5"})
        bodies.push_back(in("real", text));
    for (const char* text :
         {"garbage", "", "2001-01-01T00:00:00Z", "2001-01-01T00:00:00Zjunk", "2001-01-01Z", "2001-01Z", "2001Z",
          "2001-02-29T00:00:00Z", "2000-02-29T12:00:00Z", "1900-02-29T00:00:00Z", "2001-13-01T00:00:00Z",
          "2001-01-32T00:00:00Z", "2001-01-01T24:00:00Z", "2001-01-01T23:60:00Z", "2001-01-01T23:59:60Z",
          "0000-01-01T00:00:00Z", "0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z", "1970-01-01T00:00:00Z",
          "2001-01-01T00:00:00.5Z", " 2001-01-01T00:00:00Z", "2001-01-01T00:00:00", "2001-01-01T00Z",
          "2001-01-01T0Z", "2001-01-01T00:00Z", "\xEF\xBC\x92" "001-01-01Z"})
        bodies.push_back(in("date", text));
    for (const char* text : {"AAE=", "AAE", "A", "", "!!AA==junk", "AA==AA", "QQ=Q=", " A A E = ", "AAECAw==", "====",
                             "A===", "AAE=\n", "AAECAwQ"})
        bodies.push_back(in("data", text));
    for (const char* text : {"a\rb\r\nc", "a<b/>c", "<![CDATA[a<b]]>", "a<!--c-->b", "&lt;&amp;&#x263A;&#65;&quot;",
                             "a&foo;b", "a&#0;b", "a&#1;b", "a\x01" "b", "\xFF",
                             "\xED\xA0\x80", "\xEF\xBF\xBE", "<string>inner</string>"})
        bodies.push_back(in("string", text));
    bodies.push_back(in("string", std::string("a\0b", 3)));
    for (const char* inner :
         {"<dict><key>a</key></dict>", "<dict><key></key></dict>", "<dict><string>x</string></dict>",
          "<dict><key>a</key><key>b</key><string>x</string></dict>", "<dict><key></key><key>a</key><true/></dict>",
          "<dict><key>a</key><integer>1</integer><key>a</key><integer>2</integer></dict>",
          "<array><dict><key></key></dict><string>x</string></array>", "<array><key>a</key></array>",
          "<array><string>a</string>tail<false/></array>", "<dict><key>k</key><array><real>2</real></array></dict>",
          "<string>a</string><string>b</string>", "<true>x</true>", "<x:string>a</x:string>",
          "<unknown><string>a</string></unknown>", "", "<string>a</strin>", "<dict><key>a</key><string>1</string>"})
        bodies.push_back(doc("<plist version=\"1.0\">" + std::string(inner) + "</plist>"));
    for (const char* whole : {"garbage", "<key>a</key>", "<string>alone</string>", "<plist/><plist/>",
                              " <?xml version=\"1.0\"?><plist><true/></plist>",
                              "<!DOCTYPE plist [<!ENTITY a \"x\">]><plist><string>&a;</string></plist>",
                              "<!DOCTYPE plist [<!ENTITY % p \"x\">]><plist><true/></plist>",
                              "<!DOCTYPE plist [<!ENTITY a \"x\"><!ENTITY b \"&a;&a;&a;&a;\">]><plist><string>&b;</string></plist>",
                              "<!DOCTYPE plist [<!ELEMENT plist ANY>]><plist><true/></plist>",
                              "<?xml version=\"1.0\" standalone=\"yes\"?><!DOCTYPE plist SYSTEM \"x.dtd\"><plist><string>a&foo;b</string></plist>",
                              "<plist a=\"1\" a=\"2\"><true/></plist>", "<plist><string a=\"&foo;\">x</string></plist>",
                              "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><string>\xE9</string></plist>",
                              "<?xml version=\"1.0\" encoding=\"us-ascii\"?><plist><string>a</string></plist>",
                              "<?xml version=\"1.0\" encoding=\"US-ASCII\"?><plist><string>\xE9</string></plist>",
                              "<?xml version=\"1.0\" encoding=\"utf8\"?><plist><string>\xC3\xA9</string></plist>",
                              "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><string>a</string></plist>",
                              "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><plist><string>a</string></plist>",
                              "<?xml version=\"1.0\" encoding=\"bogus\"?><plist><string>a</string></plist>"})
        bodies.push_back(doc(whole));
    bodies.push_back(doc(apple + "<plist version=\"1.0\"><string>a&foo;b</string></plist>"));
    auto utf16 = [](const std::string& latin1) {
        std::string out = "\xFF\xFE";
        for (char c : latin1) out += {c, '\0'};
        return out;
    };
    bodies.push_back(doc(utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><string>\xE9</string></plist>")));
    bodies.push_back(doc(utf16("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist><true/></plist>")));
    bodies.push_back(doc(utf16("<!DOCTYPEplist SYSTEM \"x.dtd\"><plist><true/></plist>")));
    bodies.push_back(doc(std::string("<plist><true/></plist>\0", 23)));
    std::string ucs4;
    for (char c : std::string("<true/>")) ucs4 += {'\0', '\0', '\0', c};
    bodies.push_back(doc(ucs4));
    bodies.push_back(doc("<?xml version=\"1.0\" encoding=\"latin1\"?><plist><string>\xE9</string></plist>", true));
    bodies.push_back(doc("<?xml version=\"1.1\"?><plist><true/></plist>", true));
    bodies.push_back(doc("<!DOCTYPEplist SYSTEM \"x.dtd\"><plist><true/></plist>"));
    bodies.push_back(doc("<!-- <!DOCTYPEx --><?pi ?>\n<!DOCTYPE plist><plist><true/></plist>"));
    bodies.push_back(doc("<plist><x\xD9\xA1/><\xD9\xA1x/></plist>"));
    bodies.push_back(doc("<?xml version=\"1.0\" encoding=\"utf8\"?><plist><true/></plist>", true));
    std::string deep = "<plist>";
    for (int i = 0; i <= PlistXml::kMaxDepth; ++i) deep += "<array>";
    for (int i = 0; i <= PlistXml::kMaxDepth; ++i) deep += "</array>";
    bodies.push_back(doc(deep + "</plist>", true));
    return bodies;
}

TEST(PlistXmlStrictReading, RefusesWhatPlistlibRefusesAndReadsTheRestTheSame) {
    REQUIRE_PYTHON();
    std::vector<Body> bodies = corpus();
    std::string hexLines;
    for (const auto& body : bodies) hexLines += hex(body.xml) + "\n";
    ScratchFile corpusFile(hexLines);
    std::string out = runPython("CORPUS = '" + corpusFile.path() + "'\n" + kPythonCanonical);
    std::istringstream lines(out);
    for (const auto& body : bodies) {
        SCOPED_TRACE(body.xml);
        std::string plistlib;
        ASSERT_TRUE(std::getline(lines, plistlib)) << out;
        auto ours = parse(body.xml);
        std::string read = ours ? canonical(*ours) : "refused";
        if (body.narrower) {
            EXPECT_NE(plistlib, "refused");
            EXPECT_EQ(read, "refused");
        } else {
            EXPECT_EQ(read, plistlib);
        }
    }
}

} // namespace
} // namespace keldo
