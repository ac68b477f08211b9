// Feeds arbitrary key/value byte pairs to the AFC key/value conversion, as a device's information
// listing, then turns every entry into a date as file information does. Every input must give a
// dictionary that agrees with the pairs, with no crash, leak or undefined behaviour.
//
// Input: fields separated by NUL bytes, taken two at a time as key and value; a field that is the
// single byte 0x01 stands for a null key or value. When no whole pair is left the reading fails.
#include "afc/AFCDirectoryAccess.h"
#include "platform/mobiledevice/Backend.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

class PairsBackend : public keldo::Backend {
public:
    std::vector<std::optional<std::string>> fields;
    std::size_t next = 0;

    std::int32_t afcKeyValueRead(keldo::afc_dictionary, const char** key, const char** value) override {
        if (next + 1 >= fields.size()) return 1;
        const auto& k = fields[next++];
        const auto& v = fields[next++];
        *key = k ? k->c_str() : nullptr;
        *value = v ? v->c_str() : nullptr;
        return 0;
    }
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto backend = [] {
        auto b = std::make_shared<PairsBackend>();
        keldo::Backend::install(b);
        return b;
    }();
    backend->fields.clear();
    backend->next = 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\0', start);
        if (end == std::string::npos) end = input.size();
        std::string field = input.substr(start, end - start);
        backend->fields.push_back(field == "\x01" ? std::nullopt : std::optional<std::string>(field));
        start = end + 1;
    }

    auto dictionary = keldo::AFCDirectoryAccess::readAfcDictionary(nullptr);

    // What the pairs say, read independently: the last value of each key up to the first null.
    std::map<std::string, std::string> expected;
    for (std::size_t i = 0; i + 1 < backend->fields.size(); i += 2) {
        if (!backend->fields[i] || !backend->fields[i + 1]) break;
        expected[*backend->fields[i]] = *backend->fields[i + 1];
    }
    check(dictionary.size() == expected.size());
    for (const auto& [key, text] : expected) {
        const keldo::PlistValue& value = dictionary.at(key);
        bool digits = text.find_first_not_of("0123456789") == std::string::npos;
        std::int64_t number = 0;
        bool fits = text.empty() ||
                    std::from_chars(text.data(), text.data() + text.size(), number).ec == std::errc();
        if (digits && fits) {
            check(value.signedInteger() == number);
        } else {
            check(value.text() && *value.text() == text);
        }
    }

    for (const auto& entry : expected) keldo::AFCDirectoryAccess::fix_date_entryIn(entry.first, dictionary);
    for (const auto& entry : dictionary) check(entry.second.date() || entry.second.text());
    return 0;
}
