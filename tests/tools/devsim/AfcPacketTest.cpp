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

TEST(AfcPacket, ArgumentsAndPayloadSplitAtThisLength) {
    std::string arguments;
    AfcPacket::appendNumber(arguments, 7);
    arguments += std::string("/a\0/b\0", 6);
    const std::string bytes = AfcPacket::encode(9, AfcPacket::RenamePath, arguments, "payload");
    auto packet = header(bytes);
    ASSERT_TRUE(packet);
    packet->setBody(bytes.substr(AfcPacket::kHeaderSize));
    EXPECT_EQ(packet->packetNumber, 9u);
    EXPECT_EQ(packet->number(0), 7u);
    std::size_t next = 0;
    EXPECT_EQ(packet->text(8, &next), "/a");
    EXPECT_EQ(packet->text(next), "/b");
    EXPECT_EQ(packet->payload(), "payload");
    EXPECT_FALSE(packet->number(8));        // "/a\0/b\0" is 6 bytes, not 8
    EXPECT_FALSE(packet->text(next + 3));  // past the arguments, into the payload
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
