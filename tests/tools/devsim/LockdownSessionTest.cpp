#include "tools/devsim/LockdownSession.h"

#include "platform/plist/PlistXml.h"
#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/HostIdentity.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <ctime>

namespace keldo {
namespace {

PlistRef request(PlistValue::Dictionary fields) { return PlistValue::make(std::move(fields)); }

// Keys take a while to make: one device key and two hosts serve every test.
struct Keys {
    std::string error;
    std::shared_ptr<const DeviceKey> device = DeviceKey::generate(error);
    std::shared_ptr<const HostIdentity> host = HostIdentity::generate(error);
    std::shared_ptr<const HostIdentity> stranger = HostIdentity::generate(error);
};
const Keys& keys() {
    static const Keys made;
    return made;
}

class LockdownSessionTest : public ::testing::Test {
protected:
    LockdownSessionTest()
        : device(std::make_shared<DeviceState>(
              SimulatedDeviceInfo::iPhone("udid-1", "Ida's iPhone", "8.4").value("BatteryCurrentCapacity", 80, "com.apple.mobile.battery"),
              keys().device)),
          session(device, [this](const std::string& name, const DeviceState::Certificates& host) -> std::optional<LockdownSession::StartedService> {
              started.push_back(name);
              hosts.push_back(host);
              if (name == "com.keldo.known") return LockdownSession::StartedService{49152, true};
              return std::nullopt;
          }) {}

    // The pairing part of a host's record, as the host sends it (no private keys).
    static PlistValue::Dictionary pairRecord(const HostIdentity& host, const std::string& hostId,
                                             const std::string& buid = "BUID") {
        auto record = host.pairRecord(*keys().device, hostId, buid, "02:00:00:00:00:01").value();
        record.erase("RootPrivateKey");
        record.erase("HostPrivateKey");
        return record;
    }
    PlistValue::Dictionary pair(const std::string& hostId = "HOST-1", const std::string& buid = "BUID") {
        return session.reply(request({{"Request", "Pair"}, {"PairRecord", pairRecord(*keys().host, hostId, buid)}}));
    }
    PlistValue::Dictionary startSession(const std::string& hostId = "HOST-1") {
        return session.reply(request({{"Request", "StartSession"}, {"HostID", hostId}}));
    }
    PlistValue::Dictionary value(const char* key, const char* domain = nullptr) {
        PlistValue::Dictionary fields{{"Request", "GetValue"}, {"Key", key}};
        if (domain) fields["Domain"] = domain;
        return session.reply(request(fields));
    }

    std::shared_ptr<DeviceState> device;
    std::vector<std::string> started;
    std::vector<DeviceState::Certificates> hosts;
    LockdownSession session;
};

TEST_F(LockdownSessionTest, PairingWaitsForTheUsersAnswerAndAPasscodeComesFirst) {
    EXPECT_EQ(pair()["Error"], PlistValue("PairingDialogResponsePending"));
    device->answerPrompt(DeviceState::Prompt::Denied);
    EXPECT_EQ(pair()["Error"], PlistValue("UserDeniedPairing"));
    device->answerPrompt(DeviceState::Prompt::Trusted);
    device->setLocked(true);
    EXPECT_EQ(pair()["Error"], PlistValue("PasswordProtected"));
    device->setLocked(false);
    auto paired = pair();
    EXPECT_EQ(paired.count("Error"), 0u);
    EXPECT_EQ(paired["Request"], PlistValue("Pair"));
    EXPECT_TRUE(paired["EscrowBag"].data());

    // A host it trusts pairs again without asking, also under a new HostID; a new attach asks
    // anew for any other.
    device->reattach(SimulatedDeviceInfo::iPhone("udid-1", "Ida's iPhone", "8.4"));
    EXPECT_EQ(pair()["Request"], PlistValue("Pair"));
    EXPECT_EQ(pair("HOST-1b")["Request"], PlistValue("Pair"));
    EXPECT_EQ(pair("HOST-2", "OTHER-BUID")["Error"], PlistValue("PairingDialogResponsePending"));
}

TEST_F(LockdownSessionTest, APairRecordMustCarryTheHostAndCertificatesOfThisDevice) {
    device->answerPrompt(DeviceState::Prompt::Trusted);
    auto record = pairRecord(*keys().host, "HOST-1");
    const auto without = [&](const char* key) {
        auto changed = record;
        changed.erase(key);
        return session.reply(request({{"Request", "Pair"}, {"PairRecord", changed}}))["Error"];
    };
    EXPECT_EQ(without("HostID"), PlistValue("MissingHostID"));
    EXPECT_EQ(without("RootCertificate"), PlistValue("InvalidPairRecord"));
    EXPECT_EQ(without("DeviceCertificate"), PlistValue("InvalidPairRecord"));
    EXPECT_EQ(session.reply(request({{"Request", "Pair"}}))["Error"], PlistValue("InvalidPairRecord"));
    // A certificate of another key is not this device's.
    auto foreign = record;
    foreign["DeviceCertificate"] = record["HostCertificate"];
    EXPECT_EQ(session.reply(request({{"Request", "Pair"}, {"PairRecord", foreign}}))["Error"], PlistValue("InvalidPairRecord"));
    auto garbled = record;
    garbled["RootCertificate"] = PlistValue::Data{'-', '-', '-'};
    EXPECT_EQ(session.reply(request({{"Request", "Pair"}, {"PairRecord", garbled}}))["Error"], PlistValue("InvalidPairRecord"));
    EXPECT_FALSE(device->certificatesOf("HOST-1"));
}

TEST_F(LockdownSessionTest, OutsideASessionOnlyThePublicIdentityIsGiven) {
    EXPECT_EQ(value("DeviceName")["Value"], PlistValue("Ida's iPhone"));
    const auto key = value("DevicePublicKey")["Value"];
    ASSERT_TRUE(key.data());
    EXPECT_THAT(std::string(key.data()->begin(), key.data()->end()), ::testing::StartsWith("-----BEGIN RSA PUBLIC KEY-----"));
    for (auto withheld : {value("SerialNumber"), value("BatteryCurrentCapacity", "com.apple.mobile.battery"),
                          value("TimeIntervalSince1970")}) {
        EXPECT_EQ(withheld["Error"], PlistValue("MissingValue"));
        EXPECT_EQ(withheld.count("Value"), 0u);
    }
    auto all = session.reply(request({{"Request", "GetValue"}}))["Value"];
    ASSERT_TRUE(all.dictionary());
    EXPECT_TRUE(all.find("UniqueDeviceID"));
    EXPECT_FALSE(all.find("SerialNumber"));

    device->answerPrompt(DeviceState::Prompt::Trusted);
    pair();
    startSession();
    EXPECT_EQ(value("SerialNumber")["Value"], PlistValue("SIMudid-1"));
    EXPECT_EQ(value("BatteryCurrentCapacity", "com.apple.mobile.battery")["Value"], PlistValue(80));
    EXPECT_TRUE(value("TimeIntervalSince1970")["Value"].real());
    EXPECT_EQ(value("Nope")["Error"], PlistValue("MissingValue"));
}

// What clients commonly read in a session (appium-ios-device's device time, ideviceinfo's
// domains) is there, made to agree with the device: a model that ran its version, the host's zone.
TEST_F(LockdownSessionTest, InASessionTheValuesClientsReadAreThereAndAgreeWithTheDevice) {
    const char* savedZone = std::getenv("TZ");
    const std::string saved = savedZone ? savedZone : "";
    ::setenv("TZ", "America/Sao_Paulo", 1);  // UTC-3, without summer time since 2019
    ::tzset();
    device->reattach(SimulatedDeviceInfo::iPhone("udid-1", "Ida's iPhone", "17.0.1")
                         .value("BatteryCurrentCapacity", 80, "com.apple.mobile.battery"));
    EXPECT_EQ(value("ProductType")["Value"], PlistValue("iPhone14,7"));  // public, as before
    EXPECT_EQ(value("TimeZone")["Error"], PlistValue("MissingValue"));
    device->answerPrompt(DeviceState::Prompt::Trusted);
    pair();
    startSession();
    EXPECT_EQ(value("TimeZone")["Value"], PlistValue("America/Sao_Paulo"));
    EXPECT_EQ(value("TimeZoneOffsetFromUTC")["Value"], PlistValue(-3 * 3600.0));
    EXPECT_TRUE(value("Uses24HourClock")["Value"].boolean());
    EXPECT_EQ(value("HardwareModel")["Value"], PlistValue("D27AP"));
    EXPECT_EQ(value("BuildVersion")["Value"], PlistValue("21A101"));
    for (const char* key : {"BluetoothAddress", "ProductName", "CPUArchitecture", "SerialNumber"}) {
        EXPECT_TRUE(value(key).count("Value")) << key;
    }
    EXPECT_TRUE(value("TotalDiskCapacity", "com.apple.disk_usage")["Value"].isInteger());
    EXPECT_EQ(value("BatteryCurrentCapacity", "com.apple.mobile.battery")["Value"], PlistValue(80));  // the description's
    EXPECT_EQ(value("Locale", "com.apple.international")["Value"], PlistValue("en_US"));
    if (savedZone) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
}

TEST_F(LockdownSessionTest, OnlyATrustedHostStartsASessionAndItRunsInTlsUntilStopped) {
    EXPECT_EQ(startSession()["Error"], PlistValue("InvalidHostID"));
    EXPECT_EQ(session.reply(request({{"Request", "StartService"}, {"Service", "com.keldo.known"}}))["Error"],
              PlistValue("SessionInactive"));
    device->answerPrompt(DeviceState::Prompt::Trusted);
    pair();
    auto started = startSession();
    EXPECT_EQ(started["EnableSessionSSL"], PlistValue(true));
    EXPECT_EQ(session.next(), LockdownSession::Next::StartTls);
    EXPECT_EQ(session.hostCertificates(), keys().host->certificates());
    EXPECT_EQ(startSession()["Error"], PlistValue("SessionActive"));

    auto known = session.reply(request({{"Request", "StartService"}, {"Service", "com.keldo.known"}}));
    EXPECT_EQ(known["Port"], PlistValue(49152));
    EXPECT_EQ(known["EnableServiceSSL"], PlistValue(true));
    EXPECT_EQ(hosts.back(), session.hostCertificates());  // the service asks for the same host
    EXPECT_EQ(session.next(), LockdownSession::Next::Continue);
    EXPECT_EQ(session.reply(request({{"Request", "StartService"}, {"Service", "com.apple.x"}}))["Error"],
              PlistValue("InvalidService"));

    EXPECT_EQ(session.reply(request({{"Request", "StopSession"}, {"SessionID", "other"}}))["Error"],
              PlistValue("InvalidSessionID"));
    EXPECT_EQ(session.reply(request({{"Request", "StopSession"}, {"SessionID", started["SessionID"]}})).count("Error"), 0u);
    EXPECT_EQ(session.next(), LockdownSession::Next::EndTls);
    EXPECT_EQ(session.reply(request({{"Request", "StartService"}, {"Service", "com.keldo.known"}}))["Error"],
              PlistValue("SessionInactive"));
}

TEST_F(LockdownSessionTest, ValidateAndUnpairKnowOnlyTheHostWithItsOwnRoot) {
    device->answerPrompt(DeviceState::Prompt::Trusted);
    pair();
    const auto validate = [&](const HostIdentity& host) {
        return session.reply(request({{"Request", "ValidatePair"}, {"PairRecord", pairRecord(host, "HOST-1")}}));
    };
    EXPECT_EQ(validate(*keys().host).count("Error"), 0u);
    EXPECT_EQ(validate(*keys().stranger)["Error"], PlistValue("InvalidHostID"));  // same id, another root

    const auto unpair = [&]() { return session.reply(request({{"Request", "Unpair"}, {"PairRecord", pairRecord(*keys().host, "HOST-1")}})); };
    EXPECT_EQ(unpair()["Request"], PlistValue("Unpair"));
    EXPECT_EQ(unpair()["Error"], PlistValue("InvalidHostID"));
    EXPECT_EQ(validate(*keys().host)["Error"], PlistValue("InvalidHostID"));
    EXPECT_EQ(startSession()["Error"], PlistValue("InvalidHostID"));
}

// A HostID and a SystemBUID are no secrets (any client of usbmuxd reads the BUID): claimed with
// other certificates, they are a new host to the device, and the host it trusts keeps its place.
TEST_F(LockdownSessionTest, AClaimToATrustedHostWithOtherCertificatesAsksTheUserAgain) {
    device->answerPrompt(DeviceState::Prompt::Trusted);
    pair();
    const auto claim = [&](const std::string& hostId) {
        return session.reply(request({{"Request", "Pair"}, {"PairRecord", pairRecord(*keys().stranger, hostId)}}));
    };
    EXPECT_EQ(claim("HOST-1")["Error"], PlistValue("PairingDialogResponsePending"));
    EXPECT_EQ(claim("HOST-9")["Error"], PlistValue("PairingDialogResponsePending"));  // the same BUID
    EXPECT_EQ(device->certificatesOf("HOST-1"), keys().host->certificates());
    EXPECT_FALSE(device->certificatesOf("HOST-9"));
    EXPECT_EQ(pair().count("Error"), 0u);  // the trusted host itself pairs again at once

    device->answerPrompt(DeviceState::Prompt::Trusted);  // the user says yes to the new question
    EXPECT_EQ(claim("HOST-9").count("Error"), 0u);
    EXPECT_EQ(device->certificatesOf("HOST-9"), keys().stranger->certificates());
}

TEST_F(LockdownSessionTest, UnpairForgetsOnlyAHostThatProvesItIsOne) {
    device->answerPrompt(DeviceState::Prompt::Trusted);
    pair();
    const auto unpair = [&](PlistValue::Dictionary fields) {
        fields["Request"] = "Unpair";
        return session.reply(request(std::move(fields)));
    };
    EXPECT_EQ(unpair({{"HostID", "HOST-1"}})["Error"], PlistValue("InvalidHostID"));
    EXPECT_EQ(unpair({{"PairRecord", PlistValue::Dictionary{{"HostID", "HOST-1"}}}})["Error"], PlistValue("InvalidHostID"));
    EXPECT_EQ(unpair({{"PairRecord", pairRecord(*keys().stranger, "HOST-1")}})["Error"], PlistValue("InvalidHostID"));
    EXPECT_TRUE(device->certificatesOf("HOST-1"));
    // Inside its own session the HostID is enough.
    startSession();
    EXPECT_EQ(unpair({{"HostID", "HOST-1"}}).count("Error"), 0u);
    EXPECT_FALSE(device->certificatesOf("HOST-1"));
}

TEST_F(LockdownSessionTest, OnlyTheNameIsSetAndOnlyInASession) {
    const auto set = [&](const char* key, PlistValue value) {
        return session.reply(request({{"Request", "SetValue"}, {"Key", key}, {"Value", value}}));
    };
    EXPECT_EQ(set("DeviceName", "Bo")["Error"], PlistValue("SessionInactive"));
    device->answerPrompt(DeviceState::Prompt::Trusted);
    pair();
    startSession();
    EXPECT_EQ(set("DeviceName", "Bo  B.").count("Error"), 0u);
    EXPECT_EQ(value("DeviceName")["Value"], PlistValue("Bo  B."));
    EXPECT_EQ(set("DeviceName", 7)["Error"], PlistValue("SetProhibited"));
    EXPECT_EQ(set("SerialNumber", "X")["Error"], PlistValue("SetProhibited"));
    EXPECT_EQ(value("SerialNumber")["Value"], PlistValue("SIMudid-1"));
}

TEST_F(LockdownSessionTest, GarbageGetsAnErrorReplyAndOnlyGoodbyeEndsTheConversation) {
    for (const PlistRef& bad : {PlistRef(), PlistValue::make(PlistValue("text")), request({{"Request", 7}}),
                                request({{"Request", "Reboot"}}), request({{"Request", "Pair"}, {"PairRecord", 3}}),
                                request({{"Request", "StopSession"}})}) {
        EXPECT_TRUE(session.reply(bad).count("Error"));
        EXPECT_FALSE(session.finished());
    }
    EXPECT_EQ(session.reply(request({{"Request", "Goodbye"}}))["Result"], PlistValue("Success"));
    EXPECT_TRUE(session.finished());
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
