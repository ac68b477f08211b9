#include "tools/device/JsonWriter.h"

#include "platform/TerminalText.h"
#include "platform/Utf8.h"

#include <fmt/format.h>

#include <cmath>

namespace keldo {

std::string JsonWriter::quoted(std::string_view value) {
    std::string out = "\"";
    for (std::size_t i = 0; i < value.size();) {
        const Utf8::Sequence s = Utf8::decode(value, i);
        if (!s.valid()) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        switch (s.codePoint) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            // Valid JSON needs only C0 escaped; the other controls are escaped too, so that a
            // document read on a terminal can't act on it either.
            if (TerminalText::isControl(s.codePoint)) {
                out += fmt::format("\\u{:04x}", s.codePoint);
            } else {
                out.append(value.substr(i, s.length));
            }
        }
        i += s.length;
    }
    out += '"';
    return out;
}

void JsonWriter::beforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!hasValue_.empty()) {
        if (hasValue_.back()) out_ += ',';
        hasValue_.back() = true;
    }
}

JsonWriter& JsonWriter::beginObject() {
    beforeValue();
    out_ += '{';
    hasValue_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    out_ += '}';
    hasValue_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    beforeValue();
    out_ += '[';
    hasValue_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    out_ += ']';
    hasValue_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    beforeValue();
    out_ += quoted(name);
    out_ += ':';
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::text(std::string_view value) {
    beforeValue();
    out_ += quoted(value);
    return *this;
}

JsonWriter& JsonWriter::integer(std::int64_t value) {
    beforeValue();
    out_ += fmt::format("{}", value);
    return *this;
}

JsonWriter& JsonWriter::unsignedInteger(std::uint64_t value) {
    beforeValue();
    out_ += fmt::format("{}", value);
    return *this;
}

JsonWriter& JsonWriter::real(double value) {
    if (!std::isfinite(value)) return null();
    beforeValue();
    // The shortest form that reads back as the same double.
    out_ += fmt::format("{}", value);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    beforeValue();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    beforeValue();
    out_ += "null";
    return *this;
}

JsonWriter& JsonWriter::field(std::string_view name, std::string_view value) {
    key(name).text(value);
    if (!Utf8::isValid(value)) key(std::string(name) + "Base64").text(base64(value));
    return *this;
}

JsonWriter& JsonWriter::element(std::string_view name, std::string_view value) {
    if (Utf8::isValid(value)) return text(value);
    return beginObject().field(name, value).endObject();
}

std::string JsonWriter::base64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t b0 = static_cast<unsigned char>(bytes[i]);
        const std::uint32_t b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        const std::uint32_t b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        const std::uint32_t n = (b0 << 16) | (b1 << 8) | b2;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

} // namespace keldo
