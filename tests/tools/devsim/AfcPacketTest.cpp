#include "tools/devsim/AfcPacket.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

std::optional<AfcPacket> header(const std::string& bytes) {
    return AfcPacket::parseHeader(reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

// Rewrites one of the header's four numbers (0 entire length, 1 this length).
std::string withNumber(std::string bytes, int index, std::uint64_t value) {
    std::string number;
    AfcPacket::appendNumber(number, value);
    return bytes.replace(8 + 8 * index, 8, number);
}

TEST(AfcPacket, HeadersThatCantStartAPacketAreRefused) {
    const std::string good = AfcPacket::encode(1, AfcPacket::GetDeviceInfo, "abc");
    EXPECT_TRUE(header(good));
    std::string magic = good;
    magic[7] = 'B';
    for (const auto& bytes : {magic, withNumber(good, 1, 39), withNumber(good, 0, 42),
                              withNumber(withNumber(good, 1, AfcPacket::kMaxArguments + 41), 0, ~0ull)}) {
        EXPECT_FALSE(header(bytes));
    }
}

} // namespace
} // namespace keldo
