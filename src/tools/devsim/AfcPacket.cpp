#include "tools/devsim/AfcPacket.h"

#include <algorithm>
#include <cstring>

namespace keldo {

namespace {

constexpr char kMagic[] = "CFA6LPAA";
constexpr std::size_t kMagicSize = 8;

std::uint64_t littleEndian(const std::uint8_t* p) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

void putLittleEndian(char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

} // namespace

std::optional<AfcPacket> AfcPacket::parseHeader(const std::uint8_t* header) {
    if (std::memcmp(header, kMagic, kMagicSize) != 0) return std::nullopt;
    AfcPacket packet;
    packet.entireLength = littleEndian(header + 8);
    packet.thisLength = littleEndian(header + 16);
    packet.packetNumber = littleEndian(header + 24);
    packet.operation = littleEndian(header + 32);
    if (packet.thisLength < kHeaderSize || packet.entireLength < packet.thisLength) return std::nullopt;
    if (packet.argumentsSize() > kMaxArguments) return std::nullopt;
    return packet;
}

std::string_view AfcPacket::arguments() const {
    const std::string_view all = body();
    return all.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(all.size(), argumentsSize())));
}

std::string_view AfcPacket::payload() const {
    // Never a null view, even when empty: its bytes go to calls that want a pointer.
    const std::string_view all = body().data() ? body() : std::string_view(owned_);
    return all.substr(static_cast<std::size_t>(std::min<std::uint64_t>(all.size(), argumentsSize())));
}

std::optional<std::uint64_t> AfcPacket::number(std::size_t offset) const {
    const std::string_view args = arguments();
    if (offset > args.size() || args.size() - offset < 8) return std::nullopt;
    return littleEndian(reinterpret_cast<const std::uint8_t*>(args.data() + offset));
}

std::optional<std::string> AfcPacket::text(std::size_t offset, std::size_t* next) const {
    const std::string_view args = arguments();
    if (offset > args.size()) return std::nullopt;
    const std::size_t found = args.find('\0', offset);
    const std::size_t end = found == std::string_view::npos ? args.size() : found;
    // The end of the packet ends a text as a NUL would, so nothing follows an unterminated one.
    if (next) *next = end + 1;
    return std::string(args.substr(offset, end - offset));
}

std::string AfcPacket::encode(std::uint64_t packetNumber, std::uint64_t operation, std::string_view arguments,
                              std::string_view payload) {
    std::string out(kHeaderSize, '\0');
    writeHeader(out.data(), packetNumber, operation, kHeaderSize + arguments.size(),
                kHeaderSize + arguments.size() + payload.size());
    out.append(arguments);
    out.append(payload);
    return out;
}

void AfcPacket::writeHeader(char* out, std::uint64_t packetNumber, std::uint64_t operation, std::uint64_t thisLength,
                            std::uint64_t entireLength) {
    std::memcpy(out, kMagic, kMagicSize);
    putLittleEndian(out + 8, entireLength);
    putLittleEndian(out + 16, thisLength);
    putLittleEndian(out + 24, packetNumber);
    putLittleEndian(out + 32, operation);
}

void AfcPacket::appendNumber(std::string& out, std::uint64_t value) {
    char bytes[8];
    putLittleEndian(bytes, value);
    out.append(bytes, sizeof(bytes));
}

} // namespace keldo
