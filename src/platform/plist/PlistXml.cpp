#include "platform/plist/PlistXml.h"

#include "platform/plist/PlistXmlReader.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

namespace keldo {

namespace {

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Characters that no XML document holds, not even as a reference: the C0 controls but tab, line
// feed and carriage return (NUL among them, which would cut the text short), U+FFFE and U+FFFF.
bool holdsNoXmlCharacter(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') return true;
    }
    return text.find("\xEF\xBF\xBE") != std::string::npos || text.find("\xEF\xBF\xBF") != std::string::npos;
}

// libplist keeps every integer as 64 bits plus a width: values it parsed from unsigned digits of
// 2^63 or more carry the wide one, and only those are written unsigned. Its builder always makes
// the narrow one (UINT64_MAX would come out as -1), so a wide node is made by parsing its digits.
Node unsignedNode(std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Node(plist_new_uint(value));
    }
    std::string xml = "<plist version=\"1.0\"><integer>" + std::to_string(value) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    return Node(node);
}

Node toNode(const PlistValue& value) {
    switch (value.kind()) {
    case PlistValue::Kind::Text:
        if (holdsNoXmlCharacter(*value.text())) return nullptr;
        return Node(plist_new_string(value.text()->c_str()));
    case PlistValue::Kind::Integer:
        if (value.isUnsignedInteger()) return unsignedNode(*value.unsignedInteger());
        return Node(plist_new_uint(static_cast<std::uint64_t>(*value.signedInteger())));
    case PlistValue::Kind::Real: return Node(plist_new_real(*value.real()));
    case PlistValue::Kind::Boolean: return Node(plist_new_bool(*value.boolean() ? 1 : 0));
    case PlistValue::Kind::Date: {
        double seconds = std::floor(value.date()->secondsSince2001);
        if (!(seconds >= std::numeric_limits<std::int32_t>::min() && seconds <= std::numeric_limits<std::int32_t>::max()))
            return nullptr;
        return Node(plist_new_date(static_cast<std::int32_t>(seconds), 0));
    }
    case PlistValue::Kind::Data: {
        const auto& bytes = *value.data();
        return Node(plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    case PlistValue::Kind::Array: {
        Node array(plist_new_array());
        for (const auto& item : *value.array()) {
            Node child = toNode(item);
            if (!child) return nullptr;
            plist_array_append_item(array.get(), child.release());
        }
        return array;
    }
    case PlistValue::Kind::Dictionary: {
        Node dict(plist_new_dict());
        for (const auto& [key, item] : *value.dictionary()) {
            if (holdsNoXmlCharacter(key)) return nullptr;
            Node child = toNode(item);
            if (!child) return nullptr;
            plist_dict_set_item(dict.get(), key.c_str(), child.release());
        }
        return dict;
    }
    }
    return nullptr;
}

// A reader turns a carriage return in the text into a line feed, as XML's end-of-line rule says,
// unless it comes as a reference. The library writes it as it is, and writes none of its own.
std::optional<PlistXmlText> withReturnsKept(const PlistXmlText& text) {
    constexpr std::string_view kReturn = "&#13;";
    const auto returns = static_cast<std::size_t>(std::count(text.data(), text.data() + text.size(), '\r'));
    const std::size_t size = text.size() + returns * (kReturn.size() - 1);
    char* kept = static_cast<char*>(std::malloc(size + 1));
    if (!kept) return std::nullopt;
    char* out = kept;
    for (const char c : text.view()) {
        if (c == '\r') {
            out = std::copy(kReturn.begin(), kReturn.end(), out);
        } else {
            *out++ = c;
        }
    }
    *out = '\0';
    return PlistXmlText(kept, size);
}

} // namespace

std::optional<PlistXmlText> PlistXml::toXml(const PlistValue& value) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    {
        Node node = toNode(value);
        if (!node) return std::nullopt;
        plist_to_xml(node.get(), &xml, &length);
    }
    // The library's buffer (malloc'd, as plist_to_xml_free knows) is handed on as it is.
    if (!xml) return std::nullopt;
    PlistXmlText text(xml, length);
    if (std::memchr(xml, '\r', length) == nullptr) return text;
    return withReturnsKept(text);
}

PlistRef PlistXml::fromXml(const char* data, std::size_t size) {
    return PlistXmlReader::read(data, size, kMaxDepth);
}

std::string PlistXml::toXmlString(const PlistValue& value) {
    auto xml = toXml(value);
    return xml ? std::string(xml->view()) : std::string();
}

} // namespace keldo
