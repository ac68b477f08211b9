#pragma once

#include "platform/plist/PlistValue.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace keldo {

// One message of the usbmuxd protocol: a 16-byte header of four little-endian 32-bit numbers
// (whole length with the header, version 1, message 8 for a property list, tag) and an XML
// property list. Requests from clients are read with parseHeader and parseBody; replies made
// with encode.
class UsbmuxPacket {
public:
    static constexpr std::size_t kHeaderSize = 16;
    static constexpr std::uint32_t kPlistMessage = 8;
    // Requests are small; a larger announced length is refused rather than allocated.
    static constexpr std::uint32_t kMaxLength = 1024 * 1024;

    // The header, or none when its length is impossible (shorter than the header, or too long).
    static std::optional<UsbmuxPacket> parseHeader(const std::uint8_t* header);
    // The body of a header-parsed packet: the request dictionary, or false when the packet is no
    // property-list message or its body is no dictionary with a text "MessageType".
    bool parseBody(const std::uint8_t* body, std::size_t size);
    // A whole packet: header and body in one buffer, as a fuzzer or a test has them.
    static std::optional<UsbmuxPacket> parse(const std::uint8_t* bytes, std::size_t size);

    static std::string encode(std::uint32_t tag, const PlistValue& payload);

    std::size_t bodySize() const { return length - kHeaderSize; }
    // The request's "MessageType" and an integer or text field of it.
    std::string messageType() const;
    std::optional<std::int64_t> integer(const std::string& key) const;
    std::optional<std::string> text(const std::string& key) const;

    std::uint32_t length = 0;
    std::uint32_t version = 0;
    std::uint32_t message = 0;
    std::uint32_t tag = 0;
    PlistRef payload;
};

} // namespace keldo
