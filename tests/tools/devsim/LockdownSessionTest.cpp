#include "tools/devsim/LockdownSession.h"

#include "platform/plist/PlistXml.h"

#include <gmock/gmock.h>

namespace keldo {
namespace {

PlistRef request(PlistValue::Dictionary fields) { return PlistValue::make(std::move(fields)); }

class LockdownSessionTest : public ::testing::Test {
protected:
    LockdownSessionTest()
        : device(SimulatedDeviceInfo::iPhone("udid-1", "Ida's iPhone", "8.4").value("BatteryCurrentCapacity", 80,
                                                                                       "com.apple.mobile.battery")),
          session(device, [this](const std::string& name) -> std::optional<std::uint16_t> {
              started.push_back(name);
              if (name == "com.keldo.known") return 49152;
              return std::nullopt;
          }) {}
    PlistValue::Dictionary startSession() {
        return session.reply(request({{"Request", "StartSession"}, {"HostID", LockdownSession::kHostId}}));
    }

    SimulatedDeviceInfo device;
    std::vector<std::string> started;
    LockdownSession session;
};

TEST_F(LockdownSessionTest, ValuesComeByDomainAndKeyAndMissingOnesAreAnError) {
    auto name = session.reply(request({{"Request", "GetValue"}, {"Key", "DeviceName"}}));
    EXPECT_EQ(name["Value"], PlistValue("Ida's iPhone"));
    EXPECT_EQ(name["Request"], PlistValue("GetValue"));

    auto battery = session.reply(request({{"Request", "GetValue"}, {"Domain", "com.apple.mobile.battery"}}));
    EXPECT_EQ(battery["Value"], PlistValue(PlistValue::Dictionary{{"BatteryCurrentCapacity", 80}}));

    for (auto fields : {PlistValue::Dictionary{{"Request", "GetValue"}, {"Key", "Nope"}},
                        PlistValue::Dictionary{{"Request", "GetValue"}, {"Domain", "com.nowhere"}}}) {
        auto missing = session.reply(request(fields));
        EXPECT_EQ(missing["Error"], PlistValue("MissingValue"));
        EXPECT_EQ(missing.count("Value"), 0u);
    }
}

TEST_F(LockdownSessionTest, ServicesStartOnlyInASessionOfThePairedHost) {
    const auto startService = [&](const char* name) {
        return session.reply(request({{"Request", "StartService"}, {"Service", name}}));
    };
    EXPECT_EQ(startService("com.keldo.known")["Error"], PlistValue("SessionInactive"));
    EXPECT_EQ(session.reply(request({{"Request", "StartSession"}, {"HostID", "someone else"}}))["Error"],
              PlistValue("InvalidHostID"));

    auto started = startSession();
    EXPECT_EQ(started["EnableSessionSSL"], PlistValue(false));
    EXPECT_TRUE(started.count("SessionID"));
    auto known = startService("com.keldo.known");
    EXPECT_EQ(known["Port"], PlistValue(49152));
    EXPECT_EQ(known["EnableServiceSSL"], PlistValue(false));
    EXPECT_EQ(startService("com.apple.afc")["Error"], PlistValue("InvalidService"));

    EXPECT_EQ(session.reply(request({{"Request", "StopSession"}})).count("Error"), 0u);
    EXPECT_EQ(startService("com.keldo.known")["Error"], PlistValue("SessionInactive"));
}

TEST_F(LockdownSessionTest, AnUnpairedDeviceRefusesSessionsAndGarbageGetsAnErrorReply) {
    device.pairedAnswer = 0;
    LockdownSession unpaired(device, nullptr);
    EXPECT_EQ(unpaired.reply(request({{"Request", "StartSession"}, {"HostID", LockdownSession::kHostId}}))["Error"],
              PlistValue("InvalidHostID"));
    for (const PlistRef& bad : {PlistRef(), PlistValue::make(PlistValue("text")), request({{"Request", 7}}),
                                request({{"Request", "Reboot"}})}) {
        EXPECT_TRUE(unpaired.reply(bad).count("Error"));
        EXPECT_FALSE(unpaired.finished());
    }
    EXPECT_EQ(unpaired.reply(request({{"Request", "Goodbye"}}))["Result"], PlistValue("Success"));
    EXPECT_TRUE(unpaired.finished());
}

TEST(LockdownFraming, LengthIsBigEndianAndEmptyOrHugeMessagesAreRefused) {
    const std::string framed = LockdownSession::frame(PlistValue::Dictionary{{"Request", "QueryType"}});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(framed.data());
    ASSERT_EQ(LockdownSession::messageLength(bytes), framed.size() - 4);
    EXPECT_TRUE(PlistXml::fromXml(framed.data() + 4, framed.size() - 4));
    const std::uint8_t empty[4] = {0, 0, 0, 0};
    const std::uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(LockdownSession::messageLength(empty));
    EXPECT_FALSE(LockdownSession::messageLength(huge));
}

} // namespace
} // namespace keldo
