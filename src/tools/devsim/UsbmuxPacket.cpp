#include "tools/devsim/UsbmuxPacket.h"

#include "platform/plist/PlistXml.h"

namespace keldo {

namespace {

std::uint32_t littleEndian(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void appendLittleEndian(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

} // namespace

std::optional<UsbmuxPacket> UsbmuxPacket::parseHeader(const std::uint8_t* header) {
    UsbmuxPacket packet;
    packet.length = littleEndian(header);
    packet.version = littleEndian(header + 4);
    packet.message = littleEndian(header + 8);
    packet.tag = littleEndian(header + 12);
    if (packet.length < kHeaderSize || packet.length > kMaxLength) return std::nullopt;
    return packet;
}

bool UsbmuxPacket::parseBody(const std::uint8_t* body, std::size_t size) {
    if (message != kPlistMessage || size == 0) return false;
    payload = PlistXml::fromXml(reinterpret_cast<const char*>(body), size);
    return payload && payload->isDictionary() && text("MessageType").has_value();
}

std::optional<UsbmuxPacket> UsbmuxPacket::parse(const std::uint8_t* bytes, std::size_t size) {
    if (size < kHeaderSize) return std::nullopt;
    auto packet = parseHeader(bytes);
    if (!packet || packet->length > size) return std::nullopt;
    if (!packet->parseBody(bytes + kHeaderSize, packet->bodySize())) return std::nullopt;
    return packet;
}

std::string UsbmuxPacket::encode(std::uint32_t tag, const PlistValue& payload) {
    const std::string xml = PlistXml::toXmlString(payload);
    std::string out;
    appendLittleEndian(out, static_cast<std::uint32_t>(kHeaderSize + xml.size()));
    appendLittleEndian(out, 1);
    appendLittleEndian(out, kPlistMessage);
    appendLittleEndian(out, tag);
    return out + xml;
}

std::string UsbmuxPacket::messageType() const { return text("MessageType").value_or(""); }

std::optional<std::int64_t> UsbmuxPacket::integer(const std::string& key) const {
    const PlistValue* value = payload ? payload->find(key) : nullptr;
    return value ? value->signedInteger() : std::nullopt;
}

std::optional<std::string> UsbmuxPacket::text(const std::string& key) const {
    const PlistValue* value = payload ? payload->find(key) : nullptr;
    if (!value || !value->text()) return std::nullopt;
    return *value->text();
}

} // namespace keldo
