#include "tools/device/ValueText.h"

#include "tools/device/JsonWriter.h"

#include <fmt/format.h>

#include <cmath>
#include <ctime>

namespace keldo {

namespace {

std::string formatTime(const PlistDate& date, const char* format, bool utc) {
    const double seconds = std::floor(date.secondsSince2001 + ValueText::kUnixTo2001);
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) return "(invalid date)";
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!(utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts))) return "(invalid date)";
    char buffer[64];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &parts);
    return std::string(buffer, n);
}

std::string indentOf(int indent) { return std::string(static_cast<std::size_t>(indent), ' '); }

bool isContainer(const PlistValue& value) {
    return value.kind() == PlistValue::Kind::Array || value.kind() == PlistValue::Kind::Dictionary;
}

} // namespace

std::string ValueText::scalar(const PlistValue& value) {
    switch (value.kind()) {
    case PlistValue::Kind::Text: return *value.text();
    case PlistValue::Kind::Integer:
        if (auto v = value.signedInteger()) return fmt::format("{}", *v);
        return fmt::format("{}", value.unsignedInteger().value_or(0));
    case PlistValue::Kind::Real: return fmt::format("{}", *value.real());
    case PlistValue::Kind::Boolean: return *value.boolean() ? "true" : "false";
    case PlistValue::Kind::Date: return isoDate(*value.date());
    case PlistValue::Kind::Data: return base64(*value.data());
    default: return value.debugDescription();
    }
}

void ValueText::appendLines(const PlistValue& value, std::vector<std::string>& lines, int indent) {
    const std::string pad = indentOf(indent);
    if (const auto* dictionary = value.dictionary()) {
        for (const auto& [key, item] : *dictionary) {
            if (isContainer(item)) {
                lines.push_back(pad + key + ":");
                appendLines(item, lines, indent + 2);
            } else {
                lines.push_back(pad + key + ": " + scalar(item));
            }
        }
    } else if (const auto* array = value.array()) {
        for (const auto& item : *array) {
            if (isContainer(item)) {
                lines.push_back(pad + "-");
                appendLines(item, lines, indent + 2);
            } else {
                lines.push_back(pad + "- " + scalar(item));
            }
        }
    } else {
        lines.push_back(pad + scalar(value));
    }
}

void ValueText::writeJson(JsonWriter& json, const PlistValue& value) {
    switch (value.kind()) {
    case PlistValue::Kind::Text: json.text(*value.text()); break;
    case PlistValue::Kind::Integer:
        if (auto v = value.signedInteger()) {
            json.integer(*v);
        } else {
            json.unsignedInteger(value.unsignedInteger().value_or(0));
        }
        break;
    case PlistValue::Kind::Real: json.real(*value.real()); break;
    case PlistValue::Kind::Boolean: json.boolean(*value.boolean()); break;
    case PlistValue::Kind::Date: json.text(isoDate(*value.date())); break;
    case PlistValue::Kind::Data: json.text(base64(*value.data())); break;
    case PlistValue::Kind::Array:
        json.beginArray();
        for (const auto& item : *value.array()) writeJson(json, item);
        json.endArray();
        break;
    case PlistValue::Kind::Dictionary:
        json.beginObject();
        for (const auto& [key, item] : *value.dictionary()) {
            // A text from the device (a path, a link's target) keeps its bytes beside it.
            if (item.kind() == PlistValue::Kind::Text) {
                json.field(key, *item.text());
                continue;
            }
            json.key(key);
            writeJson(json, item);
        }
        json.endObject();
        break;
    }
}

std::string ValueText::isoDate(const PlistDate& date) { return formatTime(date, "%Y-%m-%dT%H:%M:%SZ", true); }

std::string ValueText::localMinute(const PlistDate& date) { return formatTime(date, "%Y-%m-%d %H:%M", false); }

PlistDate ValueText::fromUnixSeconds(double seconds) { return PlistDate{seconds - kUnixTo2001}; }

std::string ValueText::base64(const PlistValue::Data& data) {
    return JsonWriter::base64({reinterpret_cast<const char*>(data.data()), data.size()});
}

} // namespace keldo
