#pragma once

#include "platform/plist/PlistValue.h"

#include <cstdint>
#include <optional>

#include <time.h>

namespace keldo {

// A file's modification time as push and pull carry it from one side to the other: whole
// seconds since 1970 (negative before) and the nanoseconds within the second.
//
// The device counts nanoseconds since 1970 as one 64-bit number, a time before 1970 as its two's
// complement; the library sets a remote time from a date in double precision, which keeps present
// times to about 0.25 microsecond (see matches).
struct FileTime {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;  // 0 to 999,999,999

    static FileTime of(const timespec& time) { return {time.tv_sec, time.tv_nsec}; }
    // The device's "st_mtime" as it comes: decimal digits, or the integer they were read as.
    static std::optional<FileTime> fromDevice(const PlistValue* value);

    timespec toTimespec() const { return {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)}; }
    PlistDate toDate() const;
    // The same time as a rerun compares them: less than kCloseEnough apart (what the library's
    // conversion to a date moves a time by), or in the same second where one of them has no
    // nanoseconds (as a file system that keeps whole seconds has cut them off).
    bool matches(const FileTime& other) const;

    static constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
    static constexpr std::int64_t kCloseEnough = 1'000;
};

} // namespace keldo
