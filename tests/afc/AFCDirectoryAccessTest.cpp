#include "afc/AfcFixture.h"

#include <gmock/gmock.h>

#include <sys/socket.h>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using KeyValues = SimulatedFileSystem::KeyValues;

PlistValue dateAt(double secondsSince1970) { return PlistDate{secondsSince1970 - 978307200.0}; }

class AFCDirectoryAccessTest : public testing::AfcFixture {};

using AFCConnectionOpening = testing::DeviceFixture;

TEST_F(AFCConnectionOpening, OpensOnTheStartedServiceInsideTheDeviceBracket) {
    auto device = makeHandle(addPhone());
    auto afc = device->directoryForName("com.apple.afc");
    ASSERT_TRUE(afc);
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect", "AMDeviceStartSession", "AMDeviceStartService",
                                              "AFCConnectionOpen", "AMDeviceStopSession", "AMDeviceDisconnect"));
    EXPECT_EQ(sim->calls()[3].args, (std::vector<std::string>{fmt::format("{:#x}", afc->service()), "0"}));
    EXPECT_TRUE(afc->afc());
}

TEST_F(AFCConnectionOpening, OverTheWirelessConnectionHandsTheSecureContextOn) {
    auto device = makeHandle(addPhone("Anna's iPhone", "7.1", 2));
    auto afc = device->directoryForName("com.apple.afc");
    ASSERT_TRUE(afc);
    auto calls = sim->calls();
    auto set = std::find_if(calls.begin(), calls.end(),
                            [](const auto& c) { return c.name == "AFCConnectionSetSecureContext"; });
    ASSERT_NE(set, calls.end());
    EXPECT_EQ(set->args[1], fmt::format("{}", afc->context()));
    EXPECT_TRUE(afc->context());
}

TEST_F(AFCConnectionOpening, AFailedOpenIsLoggedAndLeavesNoObject) {
    auto device = makeHandle(addPhone());
    sim->forceStatus("AFCConnectionOpen", -5);
    EXPECT_FALSE(device->directoryForName("com.apple.afc"));
    EXPECT_THAT(log.lines(), ElementsAre("AFCConnectionOpen com.apple.afc failed: -5"));
    EXPECT_FALSE(device->lasterror());  // the undo steps succeeded
    EXPECT_EQ(sim->openAfcConnections(), 0);
}

using AFCConnectionClosing = AFCDirectoryAccessTest;

TEST_F(AFCConnectionClosing, ClosesOnceAndLeavesTheTextAlone) {
    afc->setLastError("earlier");
    afc->close();
    afc->close();
    EXPECT_THAT(sim->callNames(), ElementsAre("AFCConnectionClose"));
    EXPECT_EQ(afc->lastError(), "earlier");
    EXPECT_FALSE(afc->afc());
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(AFCConnectionClosing, AFailedCloseIsLoggedAndStillCountsAsClosed) {
    sim->forceStatus("AFCConnectionClose", 7);
    afc->close();
    EXPECT_THAT(log.lines(), ElementsAre("AFCConnectionClose failed: 7"));
    EXPECT_FALSE(afc->deviceInfo());
    EXPECT_EQ(afc->lastError(), "Connection is not open");
    afc.reset();
    EXPECT_EQ(count("AFCConnectionClose"), 1);
}

TEST_F(AFCConnectionClosing, DestructionClosesAnOpenConnection) {
    afc.reset();
    EXPECT_THAT(sim->callNames(), ElementsAre("AFCConnectionClose"));
    EXPECT_EQ(sim->openAfcConnections(), 0);
}

TEST_F(AFCConnectionClosing, ClosedOperationsFailAtTheGuardAfterTheirArgumentChecks) {
    afc->close();
    sim->clearCalls();
    EXPECT_FALSE(afc->getFileInfo(std::nullopt));
    EXPECT_EQ(afc->lastError(), "Input path is nil");
    EXPECT_FALSE(afc->fileExistsAtPath(std::nullopt));
    EXPECT_EQ(afc->lastError(), "Input path is nil");
    for (auto failed : {!afc->deviceInfo(), !afc->getFileInfo("/"), !afc->fileExistsAtPath("/")}) {
        EXPECT_TRUE(failed);
        EXPECT_EQ(afc->lastError(), "Connection is not open");
    }
    EXPECT_THAT(sim->callNames(), IsEmpty());
}

TEST_F(AFCConnectionClosing, ItsMessagesFailAndLeaveTheServiceThatReusedItsDescriptorAlone) {
    auto descriptor = [](service_handle s) { return static_cast<std::uint32_t>(s); };
    service_handle closed = afc->service();
    afc->close();
    ASSERT_TRUE(device->deviceConnect() && device->startSession());
    auto newer = AMService::serviceWithNameOnDevice("com.apple.test", device);
    ASSERT_TRUE(newer);
    ASSERT_EQ(descriptor(newer->service()), descriptor(closed));
    int newerPeer = sim->peerSocket(newer->service());
    const char reply[] = "\0\0\0\x16<plist><true/></plist>";
    ASSERT_EQ(::send(newerPeer, reply, sizeof reply - 1, 0), static_cast<ssize_t>(sizeof reply - 1));
    sim->clearCalls();

    EXPECT_FALSE(afc->sendXMLRequest(PlistValue("stray")));
    EXPECT_EQ(afc->lastError(), "Connection is not open");
    EXPECT_FALSE(afc->readXMLReply());
    EXPECT_EQ(afc->lastError(), "Connection is not open");
    EXPECT_THAT(sim->callNames(), IsEmpty());
    char byte;
    EXPECT_EQ(::recv(newerPeer, &byte, 1, MSG_DONTWAIT), -1);  // nothing came
    sim->closePeer(newer->service());  // what was sent stays to be read, and nothing waits for more
    auto newersReply = newer->readXMLReply();
    ASSERT_TRUE(newersReply);
    EXPECT_EQ(*newersReply, PlistValue(true));
}

using AFCStatusCheck = AFCDirectoryAccessTest;

TEST_F(AFCStatusCheck, WritesTheStatusAsUnsignedUpperCaseHexOfAtLeastFourDigits) {
    auto textFor = [&](std::int32_t status) {
        (void)afc->checkStatusFrom(status, "AFCRemovePath");
        return afc->lastError().value_or("(none)");
    };
    EXPECT_EQ(textFor(31), "AFCRemovePath failed: Return code = 0x001F");
    EXPECT_EQ(textFor(255), "AFCRemovePath failed: Return code = 0x00FF");
    EXPECT_EQ(textFor(74565), "AFCRemovePath failed: Return code = 0x12345");
    EXPECT_EQ(textFor(-1), "AFCRemovePath failed: Return code = 0xFFFFFFFF");
    EXPECT_TRUE(afc->checkStatusFrom(0, "AFCRemovePath"));
    EXPECT_FALSE(afc->lastError());
}

using AFCKeyValueConversion = AFCDirectoryAccessTest;

TEST_F(AFCKeyValueConversion, DigitsOnlyBecomeIntegersAndEverythingElseStaysText) {
    files->setDeviceInfo({{"n", "123"},   {"empty", ""},  {"zeros", "0012"}, {"sign", "-5"},
                          {"point", "1.5"}, {"mixed", "12a"}, {"space", " 7"},   {"n", "9"},
                          {"max", "9223372036854775807"},     {"over", "9223372036854775808"},
                          {"long", "000000000000000000000000042"}});
    afc->setLastError("earlier");
    auto info = afc->deviceInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, PlistValue(PlistValue::Dictionary{
                         {"n", 9}, {"empty", 0}, {"zeros", 12}, {"sign", "-5"}, {"point", "1.5"}, {"mixed", "12a"},
                         {"space", " 7"}, {"max", std::int64_t{9223372036854775807}},
                         {"over", "9223372036854775808"}, {"long", 42}}));
    EXPECT_FALSE(afc->lastError());
    EXPECT_EQ(sim->openKeyValueIterators(), 0);
}

TEST_F(AFCKeyValueConversion, ANullKeyOrValueOrAFailedReadEndsTheReading) {
    files->setDeviceInfo({{"a", "1"}, {"b", std::nullopt}, {"c", "3"}});
    EXPECT_EQ(*afc->deviceInfo(), PlistValue(PlistValue::Dictionary{{"a", 1}}));
    files->setDeviceInfo({{"a", "1"}, {std::nullopt, "2"}, {"c", "3"}});
    EXPECT_EQ(*afc->deviceInfo(), PlistValue(PlistValue::Dictionary{{"a", 1}}));
    files->setDeviceInfo({{"a", "1"}, {"b", "2"}, {"c", "3"}});
    files->inject(SimulatedFileSystem::Fault("AFCKeyValueRead", 1).after(2));
    EXPECT_EQ(*afc->deviceInfo(), PlistValue(PlistValue::Dictionary{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(sim->openKeyValueIterators(), 0);
}

TEST_F(AFCKeyValueConversion, BytesThatAreNotUtf8AreKeptAsTheyCame) {
    files->setDeviceInfo({{"caf\xe9", "\xff\xfe"}, {"\xc3", "12"}});
    EXPECT_EQ(*afc->deviceInfo(), PlistValue(PlistValue::Dictionary{{"caf\xe9", "\xff\xfe"}, {"\xc3", 12}}));
}

TEST_F(AFCKeyValueConversion, TheDeviceHandleConvertsAlike) {
    files->setDeviceInfo({{"a", "7"}, {"b", "x"}});
    afc_dictionary iterator = nullptr;
    ASSERT_EQ(AFCDeviceInfoOpen(afc->afc(), &iterator), 0);
    EXPECT_EQ(AMDevice::readAfcDictionary(iterator), (PlistValue::Dictionary{{"a", 7}, {"b", "x"}}));
    EXPECT_EQ(0, AFCKeyValueClose(iterator));
}

using AFCDeviceInfo = AFCDirectoryAccessTest;

TEST_F(AFCDeviceInfo, AFailedQueryGivesNothingWithTheStatusText) {
    files->inject(SimulatedFileSystem::Fault("AFCDeviceInfoOpen", 3));
    EXPECT_FALSE(afc->deviceInfo());
    EXPECT_EQ(afc->lastError(), "AFCDeviceInfoOpen failed: Return code = 0x0003");
}

using AFCFileInfo = AFCDirectoryAccessTest;

TEST_F(AFCFileInfo, HoldsTheRequestedPathAndWholeSecondsOfTheTimes) {
    files->addFile("/f");
    files->setFileInfo("/f", {{"path", "/elsewhere"},
                              {"st_mtime", "1418301234999999999"},
                              {"st_birthtime", "999999999"},
                              {"st_size", "3"}});
    afc->setLastError("earlier");
    auto info = afc->getFileInfo("/f");
    ASSERT_TRUE(info);
    EXPECT_EQ(*info->find("path"), PlistValue("/f"));
    // Through a double before the division, so the nanoseconds round up to the next second.
    EXPECT_EQ(*info->find("st_mtime"), dateAt(1418301235));
    EXPECT_EQ(*info->find("st_birthtime"), dateAt(0));
    EXPECT_EQ(*info->find("st_size"), PlistValue(3));
    EXPECT_FALSE(afc->lastError());
    EXPECT_EQ(sim->openKeyValueIterators(), 0);
}

TEST_F(AFCFileInfo, ReadsTimesGivenAsTextFromTheirStartAndLeavesImpossibleOnesAlone) {
    auto mtimeOf = [&](std::string value) {
        files->setFileInfo("/", {{"st_mtime", std::move(value)}});
        return *afc->getFileInfo("/")->find("st_mtime");
    };
    EXPECT_EQ(mtimeOf("1418301234500000000"), dateAt(1418301234));
    EXPECT_EQ(mtimeOf(" 1.5e9 seconds"), dateAt(1));
    EXPECT_EQ(mtimeOf("-1500000000"), dateAt(-1));  // toward zero
    EXPECT_EQ(mtimeOf("soon"), dateAt(0));
    EXPECT_EQ(mtimeOf("nan"), dateAt(0));
    EXPECT_EQ(mtimeOf("1e400"), PlistValue("1e400"));
    EXPECT_EQ(mtimeOf("99999999999999999999999999999999"), PlistValue("99999999999999999999999999999999"));
    // A time before 1970, as the device counts it (and as setmodtimeTo writes it): unsigned, its
    // bits those of the negative count. 1966-01-01 is -126230400 s.
    EXPECT_EQ(mtimeOf(std::to_string(static_cast<std::uint64_t>(-126230400000000000LL))), dateAt(-126230400));
    EXPECT_EQ(mtimeOf("18446744073709551615"), dateAt(0));  // one nanosecond before 1970, toward zero
}

TEST_F(AFCFileInfo, WithoutABirthTimeHasNoSuchEntry) {
    files->setFileInfo("/", {{"st_mtime", "0"}});
    auto info = afc->getFileInfo("/");
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->find("st_birthtime"));
}

TEST_F(AFCFileInfo, AFailedQueryGivesNothingWithTheStatusText) {
    EXPECT_FALSE(afc->getFileInfo("/missing"));
    EXPECT_EQ(afc->lastError(), "AFCFileInfoOpen failed: Return code = 0x0008");
}

using AFCFileExists = AFCDirectoryAccessTest;

TEST_F(AFCFileExists, AnExistingPathClearsTheTextAndAMissingOneLeavesIt) {
    files->addFile("/f");
    afc->setLastError("earlier");
    EXPECT_FALSE(afc->fileExistsAtPath("/missing"));
    EXPECT_EQ(afc->lastError(), "earlier");
    EXPECT_TRUE(afc->fileExistsAtPath("/f"));
    EXPECT_FALSE(afc->lastError());
    EXPECT_EQ(sim->openKeyValueIterators(), 0);
}

} // namespace
} // namespace keldo
