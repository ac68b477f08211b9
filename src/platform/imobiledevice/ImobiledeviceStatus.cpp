#include "platform/imobiledevice/ImobiledeviceStatus.h"

namespace keldo {

std::int32_t ImobiledeviceStatus::fromAfc(int code) {
    if (code >= 0 && code <= kLastDeviceAfcCode) return code;
    return make(Source::AfcClient, code);
}

std::int32_t ImobiledeviceStatus::make(Source source, int code) {
    if (code == 0) return 0;
    // Magnitudes beyond the field share its largest value rather than spill into the source bits.
    const std::int64_t magnitude = code < 0 ? -static_cast<std::int64_t>(code) : code;
    const std::uint32_t field = magnitude > 0xFFF ? 0xFFFu : static_cast<std::uint32_t>(magnitude);
    return static_cast<std::int32_t>(0xE8000000u | (static_cast<std::uint32_t>(source) << 12) | field);
}

} // namespace keldo
