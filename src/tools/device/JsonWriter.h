#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace keldo {

// Builds one JSON text for scripts. Commas and nesting are kept track of; texts are escaped, and
// bytes that are not valid UTF-8 (names from a device come byte for byte) become U+FFFD so that
// the result is always valid JSON. Control characters (C0, DEL, C1) and bidirectional controls are
// written as \uNNNN, so the text is also safe to show on a terminal as it is.
//
// A name with U+FFFD in it can't be given back to the device, so `field` and `element` also
// write the bytes of a text that is not UTF-8, base64-encoded, under the key with "Base64"
// added: {"name": "Odd\uFFFD", "nameBase64": "T2Rk/w=="}.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    // Inside an object: the next value's key.
    JsonWriter& key(std::string_view name);

    JsonWriter& text(std::string_view value);
    JsonWriter& integer(std::int64_t value);
    JsonWriter& unsignedInteger(std::uint64_t value);
    // NaN and the infinities, which JSON has no form for, are written as null.
    JsonWriter& real(double value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();

    // Inside an object: "key": value, and "keyBase64" beside it when the value is not UTF-8.
    JsonWriter& field(std::string_view key, std::string_view value);
    // In an array: the text itself when it is UTF-8, else {"key": text, "keyBase64": bytes}.
    JsonWriter& element(std::string_view key, std::string_view value);

    // The text written so far.
    const std::string& str() const { return out_; }

    // `value` as a JSON string literal, quotes included.
    static std::string quoted(std::string_view value);
    static std::string base64(std::string_view bytes);

private:
    void beforeValue();

    std::string out_;
    // One entry per open container: whether it already holds a value.
    std::vector<bool> hasValue_;
    bool afterKey_ = false;
};

} // namespace keldo
