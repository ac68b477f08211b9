#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace keldo {

class PlistValue;

// A shared, immutable property-list value: what a platform "Copy" call hands to its caller.
// Null stands for "none".
using PlistRef = std::shared_ptr<const PlistValue>;

// A point in time as property lists keep it: seconds since 2001-01-01 00:00:00 UTC.
struct PlistDate {
    double secondsSince2001 = 0.0;
    friend bool operator==(const PlistDate&, const PlistDate&) = default;
};

// A property-list value: text, integer, real, boolean, date, data, array or dictionary.
// Integers keep whether they were unsigned, so that values of 2^63 and above stay
// faithful; two integers are equal when they denote the same number.
class PlistValue {
public:
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue>;
    using Data = std::vector<std::uint8_t>;

    enum class Kind { Text, Integer, Real, Boolean, Date, Data, Array, Dictionary };

    PlistValue() : value_(Dictionary{}) {}
    PlistValue(std::string text) : value_(std::move(text)) {}
    PlistValue(const char* text) : value_(std::string(text)) {}
    PlistValue(std::int64_t integer) : value_(integer) {}
    PlistValue(int integer) : value_(std::int64_t{integer}) {}
    PlistValue(std::uint64_t integer) : value_(integer) {}
    PlistValue(double real) : value_(real) {}
    PlistValue(bool boolean) : value_(boolean) {}
    PlistValue(PlistDate date) : value_(date) {}
    PlistValue(Data data) : value_(std::move(data)) {}
    PlistValue(Array array) : value_(std::move(array)) {}
    PlistValue(Dictionary dictionary) : value_(std::move(dictionary)) {}

    template <typename T>
    static PlistRef make(T&& value) { return std::make_shared<const PlistValue>(std::forward<T>(value)); }

    Kind kind() const;

    bool isText() const { return kind() == Kind::Text; }
    bool isInteger() const { return kind() == Kind::Integer; }
    bool isDictionary() const { return kind() == Kind::Dictionary; }

    // Typed access: null when the value is of another kind.
    const std::string* text() const { return std::get_if<std::string>(&value_); }
    const double* real() const { return std::get_if<double>(&value_); }
    const bool* boolean() const { return std::get_if<bool>(&value_); }
    const PlistDate* date() const { return std::get_if<PlistDate>(&value_); }
    const Data* data() const { return std::get_if<Data>(&value_); }
    const Array* array() const { return std::get_if<Array>(&value_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&value_); }
    // For whoever still holds the only reference to a value being built or updated.
    Dictionary* dictionary() { return std::get_if<Dictionary>(&value_); }

    // Integers: the signed value when it fits, the unsigned value when it is not negative.
    std::optional<std::int64_t> signedInteger() const;
    std::optional<std::uint64_t> unsignedInteger() const;
    // True for an integer stored as unsigned (it may be at or above 2^63).
    bool isUnsignedInteger() const { return std::holds_alternative<std::uint64_t>(value_); }

    // Dictionary entry, or null when this is no dictionary or has no such key.
    const PlistValue* find(const std::string& key) const;

    // A readable one-line form for logs and test failures, e.g. {"Key" = 1; "List" = ("a", 2.5)}.
    std::string debugDescription() const;

    friend bool operator==(const PlistValue& a, const PlistValue& b);

private:
    std::variant<std::string, std::int64_t, std::uint64_t, double, bool, PlistDate, Data, Array, Dictionary> value_;
};

// The text that a value holds, or none when it is absent or not a text.
std::optional<std::string> textOf(const PlistRef& value);

// gtest prints values through this.
void PrintTo(const PlistValue& value, std::ostream* os);

} // namespace keldo
