#include "platform/plist/PlistXml.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

namespace keldo {

namespace {

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocDeleter>;

Node parse(const char* data, std::size_t size) {
    if (size > std::numeric_limits<std::uint32_t>::max()) return nullptr;
    // The library leaves the slot untouched on text that is no property list.
    plist_t node = nullptr;
    plist_from_xml(data, static_cast<std::uint32_t>(size), &node);
    return Node(node);
}

std::optional<std::string> render(plist_t node) {
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    MallocText owned(xml);
    if (!owned) return std::nullopt;
    return std::string(owned.get(), length);
}

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

// libplist keeps every integer as 64 bits plus a width: values it parsed from unsigned digits of
// 2^63 or more carry the wide one, and only those are written unsigned. Its builder always makes
// the narrow one (UINT64_MAX would come out as -1), so a wide node is made by parsing its digits.
Node unsignedNode(std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return Node(plist_new_uint(value));
    }
    std::string xml = "<plist version=\"1.0\"><integer>" + std::to_string(value) + "</integer></plist>";
    return parse(xml.data(), xml.size());
}

// The converse: with the top bit set, only the written form tells -1 from UINT64_MAX.
bool isWideUnsigned(plist_t node) {
    auto xml = render(node);
    return xml && xml->find("<integer>-") == std::string::npos;
}

Node toNode(const PlistValue& value) {
    switch (value.kind()) {
    case PlistValue::Kind::Text:
        if (holdsNul(*value.text())) return nullptr;
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
            if (holdsNul(key)) return nullptr;
            Node child = toNode(item);
            if (!child) return nullptr;
            plist_dict_set_item(dict.get(), key.c_str(), child.release());
        }
        return dict;
    }
    }
    return nullptr;
}

std::optional<PlistValue> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return PlistValue(b != 0);
    }
    case PLIST_UINT: {
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) && isWideUnsigned(node))
            return PlistValue(u);
        return PlistValue(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return PlistValue(d);
    }
    case PLIST_STRING: {
        // By pointer and length: the copying getter asserts (aborts) on a text holding a NUL,
        // which a peer may send. The library doesn't keep such a text intact (what follows the
        // NUL is lost), and NUL is no XML character: the list is refused.
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        if (!text) return PlistValue(std::string());
        if (::strnlen(text, length) != length) return std::nullopt;
        return PlistValue(std::string(text, length));
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
        return PlistValue(bytes ? PlistValue::Data(bytes, bytes + length) : PlistValue::Data{});
    }
    case PLIST_DATE: {
        std::int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return PlistValue(PlistDate{static_cast<double>(sec) + static_cast<double>(usec) / 1e6});
    }
    case PLIST_ARRAY: {
        PlistValue::Array items;
        std::uint32_t n = plist_array_get_size(node);
        items.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            auto item = fromNode(plist_array_get_item(node, i));
            if (!item) return std::nullopt;
            items.push_back(std::move(*item));
        }
        return PlistValue(std::move(items));
    }
    case PLIST_DICT: {
        PlistValue::Dictionary entries;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        MallocText ownedIter(static_cast<char*>(it));
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &key, &item);
            MallocText ownedKey(key);
            if (!item) break;
            auto converted = fromNode(item);
            if (!converted || !ownedKey) return std::nullopt;
            entries.insert_or_assign(std::string(ownedKey.get()), std::move(*converted));
        }
        return PlistValue(std::move(entries));
    }
    default:
        // Keys outside a dictionary, UIDs and anything else are no value of ours.
        return std::nullopt;
    }
}

// Counts how deep arrays and dictionaries open, without parsing: only a guard for the library's
// recursion. Tags inside comments or CDATA count too, which can only make it refuse, never crash.
bool nestsTooDeep(std::string_view text) {
    int depth = 0;
    for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
        std::string_view rest = text.substr(at + 1);
        bool closing = !rest.empty() && rest.front() == '/';
        if (closing) rest.remove_prefix(1);
        std::size_t nameLength = rest.starts_with("array") ? 5 : rest.starts_with("dict") ? 4 : 0;
        if (nameLength == 0) continue;
        if (closing) {
            // Stray closing tags must not buy room for deeper nesting later on.
            if (depth > 0) --depth;
            continue;
        }
        std::size_t end = rest.find('>');
        if (end != std::string_view::npos && end > 0 && rest[end - 1] == '/') continue;  // <array/>
        if (++depth > PlistXml::kMaxDepth) return true;
    }
    return false;
}

} // namespace

std::optional<std::string> PlistXml::toXml(const PlistValue& value) {
    Node node = toNode(value);
    if (!node) return std::nullopt;
    return render(node.get());
}

PlistRef PlistXml::fromXml(const char* data, std::size_t size) {
    if (!data || size == 0) return nullptr;
    if (nestsTooDeep(std::string_view(data, size))) return nullptr;
    Node node = parse(data, size);
    if (!node) return nullptr;
    auto value = fromNode(node.get());
    if (!value) return nullptr;
    return PlistValue::make(std::move(*value));
}

} // namespace keldo
