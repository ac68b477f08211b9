#include "tools/device/FileTime.h"

#include <cerrno>
#include <cstdlib>
#include <tuple>

namespace keldo {

namespace {

constexpr double kSecondsFrom1970To2001 = 978'307'200.0;

FileTime fromNanoseconds(std::int64_t count) {
    std::int64_t seconds = count / FileTime::kNanosecondsPerSecond;
    std::int64_t rest = count % FileTime::kNanosecondsPerSecond;
    if (rest < 0) {
        --seconds;
        rest += FileTime::kNanosecondsPerSecond;
    }
    return {seconds, rest};
}

} // namespace

std::optional<FileTime> FileTime::fromDevice(const PlistValue* value) {
    if (!value) return std::nullopt;
    if (auto integer = value->signedInteger()) return fromNanoseconds(*integer);
    const std::string* text = value->text();
    if (!text || text->empty()) return std::nullopt;
    // Digits beyond the signed range are a time before 1970 in two's complement.
    const bool negative = (*text)[0] == '-';
    for (std::size_t i = negative ? 1 : 0; i < text->size(); ++i) {
        if ((*text)[i] < '0' || (*text)[i] > '9') return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    if (negative) {
        const long long count = std::strtoll(text->c_str(), &end, 10);
        if (errno != 0 || *end != '\0') return std::nullopt;
        return fromNanoseconds(count);
    }
    const unsigned long long count = std::strtoull(text->c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return fromNanoseconds(static_cast<std::int64_t>(count));
}

PlistDate FileTime::toDate() const {
    return {(static_cast<double>(seconds) - kSecondsFrom1970To2001) +
            static_cast<double>(nanoseconds) / static_cast<double>(kNanosecondsPerSecond)};
}

bool FileTime::matches(const FileTime& other) const {
    // A file system that keeps whole seconds has cut the other's nanoseconds off.
    if (seconds == other.seconds && (nanoseconds == 0 || other.nanoseconds == 0)) return true;
    const FileTime& later = std::tie(seconds, nanoseconds) > std::tie(other.seconds, other.nanoseconds) ? *this : other;
    const FileTime& earlier = &later == this ? other : *this;
    if (later.seconds == earlier.seconds) return later.nanoseconds - earlier.nanoseconds < kCloseEnough;
    if (later.seconds - 1 != earlier.seconds) return false;
    return later.nanoseconds + kNanosecondsPerSecond - earlier.nanoseconds < kCloseEnough;
}

} // namespace keldo
