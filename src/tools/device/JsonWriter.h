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

    // The text written so far.
    const std::string& str() const { return out_; }

    // `value` as a JSON string literal, quotes included.
    static std::string quoted(std::string_view value);

private:
    void beforeValue();

    std::string out_;
    // One entry per open container: whether it already holds a value.
    std::vector<bool> hasValue_;
    bool afterKey_ = false;
};

} // namespace keldo
