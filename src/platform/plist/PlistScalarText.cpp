#include "platform/plist/PlistScalarText.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>

namespace keldo {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of the white space (as Python's str.strip() knows it) that `text` starts or ends with.
std::size_t spaceAt(std::string_view text, bool atEnd) {
    static constexpr std::string_view kWide[] = {
        "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xA8", "\xE2\x80\xA9",
        "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
    };
    if (text.empty()) return 0;
    char c = atEnd ? text.back() : text.front();
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    for (std::string_view space : kWide) {
        if (atEnd ? text.ends_with(space) : text.starts_with(space)) return space.size();
    }
    // U+2000 to U+200A: E2 80 80 to E2 80 8A.
    std::string_view three = atEnd ? text.substr(text.size() - std::min<std::size_t>(3, text.size())) : text.substr(0, 3);
    if (three.size() == 3 && three[0] == '\xE2' && three[1] == '\x80' &&
        static_cast<unsigned char>(three[2]) >= 0x80 && static_cast<unsigned char>(three[2]) <= 0x8A)
        return 3;
    return 0;
}

std::string_view stripped(std::string_view text) {
    while (std::size_t n = spaceAt(text, false)) text.remove_prefix(n);
    while (std::size_t n = spaceAt(text, true)) text.remove_suffix(n);
    return text;
}

// Digits of the given base with single underscores between them, as Python's int() takes them;
// none when the text holds anything else or the value passes `limit`.
std::optional<std::uint64_t> digitsValue(std::string_view text, int base, std::uint64_t limit) {
    if (text.empty() || text.front() == '_' || text.back() == '_') return std::nullopt;
    std::uint64_t value = 0;
    std::size_t digits = 0;
    char previous = '\0';
    for (char c : text) {
        if (c == '_') {
            if (previous == '_') return std::nullopt;
            previous = c;
            continue;
        }
        previous = c;
        int d = base == 16 ? hexValue(c) : (isDigit(c) ? c - '0' : -1);
        if (d < 0) return std::nullopt;
        // Python refuses decimal texts of more than 4300 digits, leading zeros included.
        if (base == 10 && ++digits > 4300) return std::nullopt;
        if (value > (limit - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base)) return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    return value;
}

PlistValue integerValue(std::uint64_t magnitude, bool negative) {
    if (negative) return PlistValue(static_cast<std::int64_t>(0 - magnitude));
    if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return PlistValue(magnitude);
    return PlistValue(static_cast<std::int64_t>(magnitude));
}

bool equalsNoCase(std::string_view text, std::string_view lowerCase) {
    if (text.size() != lowerCase.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerCase[i]) return false;
    }
    return true;
}

// The decimal form that Python's float() takes once underscores are gone: at least one digit,
// an optional fraction and exponent.
bool isDecimalReal(std::string_view text) {
    std::size_t at = 0, mantissaDigits = 0;
    auto digitsHere = [&] {
        std::size_t start = at;
        while (at < text.size() && isDigit(text[at])) ++at;
        return at - start;
    };
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    mantissaDigits += digitsHere();
    if (at < text.size() && text[at] == '.') {
        ++at;
        mantissaDigits += digitsHere();
    }
    if (mantissaDigits == 0) return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (digitsHere() == 0) return false;
    }
    return at == text.size();
}

locale_t cLocale() {
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
    return c;
}

bool isLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

} // namespace

std::optional<PlistValue> PlistScalarText::integer(std::string_view text) {
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    // plistlib picks the base from the raw text, so a hexadecimal value has white space only after.
    if (text.starts_with("0x") || text.starts_with("0X")) {
        std::string_view digits = text.substr(2);
        while (std::size_t n = spaceAt(digits, true)) digits.remove_suffix(n);
        if (digits.starts_with('_')) digits.remove_prefix(1);
        auto value = digitsValue(digits, 16, kMax);
        if (!value) return std::nullopt;
        return integerValue(*value, false);
    }
    std::string_view body = stripped(text);
    bool negative = false;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    auto value = digitsValue(body, 10, negative ? std::uint64_t{1} << 63 : kMax);
    if (!value) return std::nullopt;
    return integerValue(*value, negative);
}

std::optional<PlistValue> PlistScalarText::real(std::string_view text) {
    std::string_view body = stripped(text);
    // Underscores only between two digits; they carry nothing.
    std::string plain;
    plain.reserve(body.size());
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '_') {
            plain += body[i];
            continue;
        }
        if (i == 0 || i + 1 == body.size() || !isDigit(body[i - 1]) || !isDigit(body[i + 1])) return std::nullopt;
    }
    std::string_view magnitude = plain;
    bool negative = false;
    if (!magnitude.empty() && (magnitude.front() == '+' || magnitude.front() == '-')) {
        negative = magnitude.front() == '-';
        magnitude.remove_prefix(1);
    }
    const double sign = negative ? -1.0 : 1.0;
    if (equalsNoCase(magnitude, "nan")) return PlistValue(std::copysign(std::numeric_limits<double>::quiet_NaN(), sign));
    if (equalsNoCase(magnitude, "inf") || equalsNoCase(magnitude, "infinity"))
        return PlistValue(sign * std::numeric_limits<double>::infinity());
    if (!isDecimalReal(plain)) return std::nullopt;
    // Correctly rounded, locale-independent; out of range gives infinity or zero as in Python.
    return PlistValue(::strtod_l(plain.c_str(), nullptr, cLocale()));
}

std::optional<PlistValue> PlistScalarText::date(std::string_view text) {
    // Year, then as many of "-MM", "-DD", "THH", ":MM", ":SS" as are there in order, then "Z".
    static constexpr char kSeparators[] = {'-', '-', 'T', ':', ':'};
    auto twoDigits = [&](std::size_t at) {
        return at + 2 <= text.size() && isDigit(text[at]) && isDigit(text[at + 1]);
    };
    if (text.size() < 4 || !twoDigits(0) || !twoDigits(2)) return std::nullopt;
    std::array<int, 6> parts{(text[0] - '0') * 1000 + (text[1] - '0') * 100 + (text[2] - '0') * 10 + (text[3] - '0')};
    std::size_t count = 1, at = 4;
    while (count < parts.size() && at < text.size() && text[at] == kSeparators[count - 1] && twoDigits(at + 1)) {
        parts[count++] = (text[at + 1] - '0') * 10 + (text[at + 2] - '0');
        at += 3;
    }
    if (at >= text.size() || text[at] != 'Z') return std::nullopt;
    // Year, month and day are required, and every part must name a real moment.
    auto [year, month, day, hour, minute, second] = parts;
    if (count < 3 || year < 1 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return std::nullopt;
    std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                        daysFromCivil(2001, 1, 1);
    return PlistValue(PlistDate{static_cast<double>(days * 86400 + hour * 3600 + minute * 60 + second)});
}

std::optional<PlistValue> PlistScalarText::data(std::string_view text) {
    // The lenient decoding of Python's binascii.a2b_base64.
    PlistValue::Data bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    int quadPosition = 0, pads = 0;
    unsigned leftover = 0;
    for (char c : text) {
        if (c == '=') {
            // Enough padding for the group so far ends the data; any other padding is skipped.
            if (quadPosition >= 2 && quadPosition + ++pads >= 4) return PlistValue(std::move(bytes));
            continue;
        }
        unsigned value;
        if (c >= 'A' && c <= 'Z') value = static_cast<unsigned>(c - 'A');
        else if (c >= 'a' && c <= 'z') value = static_cast<unsigned>(c - 'a' + 26);
        else if (isDigit(c)) value = static_cast<unsigned>(c - '0' + 52);
        else if (c == '+') value = 62;
        else if (c == '/') value = 63;
        else continue;
        pads = 0;
        switch (quadPosition) {
        case 0: leftover = value; break;
        case 1: bytes.push_back(static_cast<std::uint8_t>((leftover << 2) | (value >> 4))); leftover = value & 0x0f; break;
        case 2: bytes.push_back(static_cast<std::uint8_t>((leftover << 4) | (value >> 2))); leftover = value & 0x03; break;
        case 3: bytes.push_back(static_cast<std::uint8_t>((leftover << 6) | value)); break;
        }
        quadPosition = (quadPosition + 1) % 4;
    }
    // A group left open is a wrong length or missing padding.
    if (quadPosition != 0) return std::nullopt;
    return PlistValue(std::move(bytes));
}

} // namespace keldo
