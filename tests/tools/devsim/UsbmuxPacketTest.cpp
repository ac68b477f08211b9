#include "tools/devsim/UsbmuxPacket.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

TEST(UsbmuxPacket, AnEncodedRequestParsesBackWithItsTagAndFields) {
    const auto bytes = bytesOf(UsbmuxPacket::encode(
        42, PlistValue::Dictionary{{"MessageType", "Connect"}, {"DeviceID", 3}, {"PortNumber", 32498}}));
    auto packet = UsbmuxPacket::parse(bytes.data(), bytes.size());
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->length, bytes.size());
    EXPECT_EQ(packet->version, 1u);
    EXPECT_EQ(packet->tag, 42u);
    EXPECT_EQ(packet->messageType(), "Connect");
    EXPECT_EQ(packet->integer("PortNumber"), 32498);
    EXPECT_FALSE(packet->integer("MessageType"));
}

TEST(UsbmuxPacket, ImpossibleLengthsOtherMessagesAndBodiesWithoutAMessageTypeAreRefused) {
    auto good = bytesOf(UsbmuxPacket::encode(1, PlistValue::Dictionary{{"MessageType", "Listen"}}));
    auto tooShort = good;
    tooShort[0] = 15;
    auto tooLong = good;
    tooLong[3] = 0x7F;
    auto binary = good;
    binary[8] = 0;  // message 0: the old binary protocol
    auto noType = bytesOf(UsbmuxPacket::encode(1, PlistValue::Dictionary{{"Other", "Listen"}}));
    for (const auto& bytes : {tooShort, tooLong, binary, noType}) {
        EXPECT_FALSE(UsbmuxPacket::parse(bytes.data(), bytes.size()));
    }
    EXPECT_FALSE(UsbmuxPacket::parse(good.data(), good.size() - 1));  // cut short
}

} // namespace
} // namespace keldo
