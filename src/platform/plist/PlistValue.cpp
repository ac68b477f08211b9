#include "platform/plist/PlistValue.h"

#include <fmt/format.h>

#include <ostream>

namespace keldo {

PlistValue::Kind PlistValue::kind() const {
    switch (value_.index()) {
    case 0: return Kind::Text;
    case 1:
    case 2: return Kind::Integer;
    case 3: return Kind::Real;
    case 4: return Kind::Boolean;
    case 5: return Kind::Date;
    case 6: return Kind::Data;
    case 7: return Kind::Array;
    default: return Kind::Dictionary;
    }
}

std::optional<std::int64_t> PlistValue::signedInteger() const {
    if (const auto* s = std::get_if<std::int64_t>(&value_)) return *s;
    if (const auto* u = std::get_if<std::uint64_t>(&value_)) {
        if (*u <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(*u);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> PlistValue::unsignedInteger() const {
    if (const auto* u = std::get_if<std::uint64_t>(&value_)) return *u;
    if (const auto* s = std::get_if<std::int64_t>(&value_)) {
        if (*s >= 0) return static_cast<std::uint64_t>(*s);
    }
    return std::nullopt;
}

const PlistValue* PlistValue::find(const std::string& key) const {
    const auto* dict = dictionary();
    if (!dict) return nullptr;
    auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

bool operator==(const PlistValue& a, const PlistValue& b) {
    if (a.isInteger() && b.isInteger()) {
        auto as = a.signedInteger(), bs = b.signedInteger();
        if (as && bs) return *as == *bs;
        auto au = a.unsignedInteger(), bu = b.unsignedInteger();
        return au && bu && *au == *bu;
    }
    return a.value_ == b.value_;
}

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

} // namespace

std::string PlistValue::debugDescription() const {
    switch (kind()) {
    case Kind::Text: return quoted(*text());
    case Kind::Integer:
        if (isUnsignedInteger()) return fmt::format("{}", *unsignedInteger());
        return fmt::format("{}", *signedInteger());
    case Kind::Real: return fmt::format("{}", *real());
    case Kind::Boolean: return *boolean() ? "true" : "false";
    case Kind::Date: return fmt::format("<date {}>", date()->secondsSince2001);
    case Kind::Data: {
        std::string out = "<";
        for (auto byte : *data()) out += fmt::format("{:02x}", byte);
        return out + ">";
    }
    case Kind::Array: {
        std::string out = "(";
        const char* sep = "";
        for (const auto& item : *array()) {
            out += sep + item.debugDescription();
            sep = ", ";
        }
        return out + ")";
    }
    case Kind::Dictionary: {
        std::string out = "{";
        const char* sep = "";
        for (const auto& [key, item] : *dictionary()) {
            out += sep + quoted(key) + " = " + item.debugDescription();
            sep = "; ";
        }
        return out + "}";
    }
    }
    return {};
}

std::optional<std::string> textOf(const PlistRef& value) {
    if (!value) return std::nullopt;
    if (const auto* t = value->text()) return *t;
    return std::nullopt;
}

void PrintTo(const PlistValue& value, std::ostream* os) { *os << value.debugDescription(); }

} // namespace keldo
