#include "afc/AFCDirectoryAccess.h"

#include "afc/AFCFileReference.h"
#include "device/AMDevice.h"
#include "platform/SystemLog.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <optional>

#include <locale.h>
#include <stdlib.h>

namespace keldo {

namespace {

constexpr double kNanosecondsPerSecond = 1'000'000'000.0;
// Seconds from 1970-01-01 to 2001-01-01, where property-list dates count from.
constexpr double kSecondsFrom1970To2001 = 978'307'200.0;

// Closes a key/value iterator on every path.
struct KeyValueCloser {
    void operator()(_afc_dictionary* iterator) const { (void)AFCKeyValueClose(iterator); }
};
using KeyValueIterator = std::unique_ptr<_afc_dictionary, KeyValueCloser>;

// A value of decimal digits only (the empty one included) is a signed 64-bit integer. One too
// large for that stays text: a wrapped or clamped number would look valid and be wrong.
PlistValue valueOf(const char* text) {
    std::int64_t number = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return PlistValue(std::string(text));
        int digit = *p - '0';
        if (number > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return PlistValue(std::string(text));
        number = number * 10 + digit;
    }
    return PlistValue(number);
}

// A text of decimal digits between 2^63 and 2^64 - 1: an unsigned 64-bit count whose bits are
// those of a negative signed one. None for any other text.
std::optional<std::int64_t> twosComplementCount(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (number > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        number = number * 10 + digit;
    }
    if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(number);
}

// A text's leading floating-point number, after leading white space; 0 when it starts with none.
// Read in the C locale, so that the decimal point is "." whatever the process's locale says.
double leadingNumber(const std::string& text) {
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", nullptr);
    std::size_t start = text.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string::npos) return 0.0;
    const char* first = text.c_str() + start;
    const char* digits = first + (*first == '+' || *first == '-' ? 1 : 0);
    // Only digits, or a point and a digit, begin a number here: not "inf", "nan" or "0x...".
    bool number = (digits[0] >= '0' && digits[0] <= '9') || (digits[0] == '.' && digits[1] >= '0' && digits[1] <= '9');
    if (!number || !cLocale) return 0.0;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) return 0.0;
    return strtod_l(first, nullptr, cLocale);
}

} // namespace

AFCDirectoryAccess::AFCDirectoryAccess() : _afc(std::make_shared<afc_connection>(nullptr)) {}

std::shared_ptr<AFCDirectoryAccess> AFCDirectoryAccess::initWithNameOnDevice(const std::string& name,
                                                                            const std::shared_ptr<AMDevice>& device) {
    std::shared_ptr<AFCDirectoryAccess> access(new AFCDirectoryAccess());
    if (!access->initWithNameOnDeviceSteps(name, device)) return nullptr;
    if (access->openConnection(name, *device) != 0) return nullptr;
    return access;
}

std::shared_ptr<AFCDirectoryAccess> AFCDirectoryAccess::initWithNameOnDeviceAfterRequest(
    const std::string& name, const std::shared_ptr<AMDevice>& device, const PlistValue& request,
    const Refusal& refusal, std::string& why) {
    std::shared_ptr<AFCDirectoryAccess> access(new AFCDirectoryAccess());
    if (!access->initWithNameOnDeviceSteps(name, device)) {
        why = fmt::format("{} could not be started", name);
        return nullptr;
    }
    PlistRef answer = access->sendRequestAndWaitForSingleReply(request);
    if (!answer) {
        // An empty message leaves no text behind: it is no answer all the same.
        why = access->lastError().value_or(fmt::format("{} gave no answer", name));
        return nullptr;
    }
    if (auto refused = refusal ? refusal(*answer) : std::nullopt) {
        why = std::move(*refused);
        return nullptr;
    }
    if (std::int32_t status = access->openConnection(name, *device); status != 0) {
        why = fmt::format("AFCConnectionOpen failed: {}", status);
        return nullptr;
    }
    return access;
}

std::int32_t AFCDirectoryAccess::openConnection(const std::string& name, const AMDevice& device) {
    afc_connection afc = nullptr;
    std::int32_t status = AFCConnectionOpen(service(), 0, &afc);
    if (status != 0) {
        logLine("AFCConnectionOpen {} failed: {}", name, status);
        return status;
    }
    *_afc = afc;
    if (device.interfaceType() == 2) (void)AFCConnectionSetSecureContext(afc, context());
    return 0;
}

AFCDirectoryAccess::~AFCDirectoryAccess() {
    if (*_afc) close();
}

void AFCDirectoryAccess::close() {
    if (!*_afc) return;
    std::int32_t status = AFCConnectionClose(*_afc);
    if (status != 0) logLine("AFCConnectionClose failed: {}", status);
    *_afc = nullptr;
    // The AFC connection talked on the service's own connection and has closed it.
    forgetService();
}

bool AFCDirectoryAccess::ensureConnectionIsOpen() {
    if (*_afc) return true;
    setLastError(notOpenText());
    return false;
}

bool AFCDirectoryAccess::checkStatusFrom(std::int32_t status, const char* operation) {
    if (status == 0) {
        clearLastError();
        return true;
    }
    setLastError(fmt::format("{} failed: Return code = 0x{:04X}", operation, static_cast<std::uint32_t>(status)));
    return false;
}

PlistValue::Dictionary AFCDirectoryAccess::readAfcDictionary(afc_dictionary dictionary) {
    PlistValue::Dictionary result;
    for (;;) {
        const char* key = nullptr;
        const char* value = nullptr;
        if (AFCKeyValueRead(dictionary, &key, &value) != 0 || !key || !value) break;
        // Keys and text values keep their bytes as the device sent them, valid UTF-8 or not.
        result.insert_or_assign(key, valueOf(value));
    }
    return result;
}

PlistRef AFCDirectoryAccess::deviceInfo() {
    if (!ensureConnectionIsOpen()) return nullptr;
    afc_dictionary opened = nullptr;
    if (!checkStatusFrom(AFCDeviceInfoOpen(*_afc, &opened), "AFCDeviceInfoOpen")) return nullptr;
    KeyValueIterator iterator(opened);
    PlistValue::Dictionary info = readAfcDictionary(iterator.get());
    iterator.reset();
    clearLastError();
    return PlistValue::make(std::move(info));
}

void AFCDirectoryAccess::fix_date_entryIn(const std::string& key, PlistValue::Dictionary& dictionary) {
    auto entry = dictionary.find(key);
    if (entry == dictionary.end()) return;
    double nanoseconds = 0.0;
    if (auto integer = entry->second.signedInteger()) {
        nanoseconds = static_cast<double>(*integer);
    } else if (const std::string* text = entry->second.text()) {
        // Digits beyond the signed range are a time before 1970 in the device's unsigned count,
        // as the set-modification-time operation writes it: read as a huge positive number they
        // would put a file of 1966 into the year 2550.
        if (auto beforeEpoch = twosComplementCount(*text)) {
            nanoseconds = static_cast<double>(*beforeEpoch);
        } else {
            nanoseconds = leadingNumber(*text);
        }
    } else if (const double* real = entry->second.real()) {
        nanoseconds = *real;
    } else {
        return;  // a date already, or nothing that counts time
    }
    double seconds = std::trunc(nanoseconds / kNanosecondsPerSecond);
    // A time that no 64-bit count of seconds holds (or no number at all) can't be a date: the
    // entry stays as it came rather than becoming a wrong one.
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (!(seconds >= -kLimit && seconds < kLimit)) return;
    entry->second = PlistDate{static_cast<double>(static_cast<std::int64_t>(seconds)) - kSecondsFrom1970To2001};
}

PlistRef AFCDirectoryAccess::getFileInfo(const Path& path) {
    if (!given(path, "Input path is nil")) return nullptr;
    if (!ensureConnectionIsOpen()) return nullptr;
    afc_dictionary opened = nullptr;
    if (!checkStatusFrom(AFCFileInfoOpen(*_afc, path->c_str(), &opened), "AFCFileInfoOpen")) return nullptr;
    KeyValueIterator iterator(opened);
    PlistValue::Dictionary info = readAfcDictionary(iterator.get());
    info.insert_or_assign("path", *path);
    iterator.reset();
    clearLastError();
    fix_date_entryIn("st_birthtime", info);
    fix_date_entryIn("st_mtime", info);
    return PlistValue::make(std::move(info));
}

bool AFCDirectoryAccess::fileExistsAtPath(const Path& path) {
    if (!given(path, "Input path is nil")) return false;
    if (!ensureConnectionIsOpen()) return false;
    afc_dictionary opened = nullptr;
    if (AFCFileInfoOpen(*_afc, path->c_str(), &opened) != 0) return false;
    KeyValueIterator iterator(opened);
    iterator.reset();
    clearLastError();
    return true;
}

std::shared_ptr<AFCFileReference> AFCDirectoryAccess::openForRead(const Path& path) { return open(path, 1); }
std::shared_ptr<AFCFileReference> AFCDirectoryAccess::openForWrite(const Path& path) { return open(path, 2); }
std::shared_ptr<AFCFileReference> AFCDirectoryAccess::openForReadWrite(const Path& path) { return open(path, 3); }

std::shared_ptr<AFCFileReference> AFCDirectoryAccess::open(const Path& path, std::uint64_t mode) {
    // Refused like every other operation that is given no path, before the platform sees it.
    if (!given(path, "Input path is nil")) return nullptr;
    if (!ensureConnectionIsOpen()) return nullptr;
    afc_file_ref reference = 0;
    if (!checkStatusFrom(AFCFileRefOpen(*_afc, path->c_str(), mode, &reference), "AFCFileRefOpen")) return nullptr;
    return AFCFileReference::initWithPathReferenceAfc(path, reference, _afc);
}

} // namespace keldo
