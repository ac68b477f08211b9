#pragma once

#include "platform/plist/PlistValue.h"

#include <string>
#include <string_view>
#include <vector>

namespace keldo {

class JsonWriter;

// How the tool shows values from a device: plain lines for people, JSON for scripts.
class ValueText {
public:
    // A value on one line: texts as they are, dates in ISO 8601 UTC, data in base64, containers in
    // their one-line debug form.
    static std::string scalar(const PlistValue& value);
    // "Key: value" lines, sorted by key; a container value is followed by its contents indented
    // by two spaces more (array items as "- value").
    static void appendLines(const PlistValue& value, std::vector<std::string>& lines, int indent = 0);
    // The value as JSON: dates as ISO 8601 texts, data as base64 texts.
    static void writeJson(JsonWriter& json, const PlistValue& value);

    // "2014-12-11T12:33:54Z"; whole seconds, rounded down.
    static std::string isoDate(const PlistDate& date);
    // "2014-12-11 13:33", in the local time zone, as ls shows times.
    static std::string localMinute(const PlistDate& date);
    static PlistDate fromUnixSeconds(double seconds);

    static std::string base64(const PlistValue::Data& data);

    // Seconds between 1970-01-01 and 2001-01-01, the epoch of property-list dates.
    static constexpr double kUnixTo2001 = 978'307'200.0;
};

} // namespace keldo
