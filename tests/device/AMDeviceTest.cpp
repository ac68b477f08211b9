#include "device/AMDevice.h"

#include "platform/NotificationCenter.h"
#include "support/DeviceFixture.h"

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using AMDeviceTest = testing::DeviceFixture;

using AMDeviceMaking = AMDeviceTest;

TEST_F(AMDeviceMaking, ReadsTheIdentityInsideOneConnectionAndSession) {
    am_device phone = addPhone("Anna's iPhone", "6.1.3");
    AMDeviceRetain(phone);
    sim->clearCalls();
    std::optional<std::string> error;
    auto handle = AMDevice::initWithDeviceOrBust(phone, error);

    ASSERT_TRUE(handle);
    EXPECT_FALSE(error);
    EXPECT_THAT(sim->callNames(),
                ElementsAre("AMDeviceConnect", "AMDeviceStartSession", "AMDeviceGetInterfaceType", "AMDeviceCopyValue",
                            "AMDeviceCopyValue", "AMDeviceCopyValue", "AMDeviceIsPaired", "AMDeviceStopSession",
                            "AMDeviceDisconnect"));
    EXPECT_EQ(sim->calls()[3].toString(), "AMDeviceCopyValue(device#1, null, \"UniqueDeviceID\")");
    EXPECT_EQ(handle->udid(), "udid-1");
    EXPECT_EQ(handle->deviceName(), "Anna's iPhone");
    EXPECT_EQ(handle->productVersion(), "6.1.3");
    EXPECT_EQ(handle->interfaceType(), 1);
    EXPECT_EQ(handle->description(), "AMDevice('Anna's iPhone')");
    EXPECT_FALSE(handle->lasterror());
    EXPECT_FALSE(sim->isConnected(phone));
}

TEST_F(AMDeviceMaking, ConnectFailureGivesTheTextAndLeavesTheReferenceWithTheCaller) {
    am_device phone = addPhone();
    AMDeviceRetain(phone);
    sim->forceStatus("AMDeviceConnect", static_cast<std::int32_t>(0xe8000084u));
    sim->clearCalls();
    std::optional<std::string> error;
    auto handle = AMDevice::initWithDeviceOrBust(phone, error);

    EXPECT_FALSE(handle);
    EXPECT_EQ(error, "AMDeviceConnect failed: e8000084");
    // The discarded handle made no call on its way out, and released nothing.
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect"));
    EXPECT_EQ(sim->heldReferences(phone), 1);
}

TEST_F(AMDeviceMaking, SessionFailureStoresNoValuesButStillMakesTheHandle) {
    am_device phone = addPhone();
    sim->forceStatus("AMDeviceStartSession", 0x11);
    auto handle = makeHandle(phone);

    ASSERT_TRUE(handle);
    EXPECT_FALSE(handle->udid());
    EXPECT_FALSE(handle->deviceName());
    EXPECT_EQ(handle->description(), "AMDevice('(null)')");
    // The stop of the never-started session failed; the disconnect after it succeeded.
    EXPECT_FALSE(handle->lasterror());
}

TEST_F(AMDeviceMaking, ValuesOfTheWrongKindFromTheDeviceCountAsNone) {
    am_device phone = addPhone();
    sim->setValue(phone, "DeviceName", PlistValue(std::int64_t{42}));
    sim->setValue(phone, "ProductVersion", PlistValue(PlistValue::Array{}));
    auto handle = makeHandle(phone);

    EXPECT_FALSE(handle->deviceName());
    sim->clearCalls();
    EXPECT_FALSE(handle->productVersion());
}

using AMDeviceReferences = AMDeviceTest;

TEST_F(AMDeviceReferences, DestructionClosesWhatIsOpenAndReleasesOnce) {
    am_device phone = addPhone();
    auto handle = makeHandle(phone);
    ASSERT_TRUE(handle->deviceConnect());
    ASSERT_TRUE(handle->startSession());
    sim->clearCalls();
    handle.reset();

    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceStopSession", "AMDeviceDisconnect", "AMDeviceRelease"));
    EXPECT_EQ(sim->heldReferences(phone), 0);
    EXPECT_EQ(sim->badReleases(), 0);
}

TEST_F(AMDeviceReferences, ForgetReleasesOnceAndDestructionThenCallsNothing) {
    am_device phone = addPhone("Anna", "9.0");
    auto handle = makeHandle(phone);
    handle->forgetDevice();
    handle->forgetDevice();

    EXPECT_EQ(sim->heldReferences(phone), 0);
    EXPECT_FALSE(handle->isDevice(phone));
    EXPECT_EQ(handle->deviceName(), "Anna");
    EXPECT_EQ(handle->productVersion(), "9.0");
    handle->applicationWillTerminate(Notification{kApplicationWillTerminateNotification, nullptr, nullptr});
    handle.reset();
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceRelease"));
    EXPECT_EQ(sim->badReleases(), 0);
}

TEST_F(AMDeviceReferences, IsDeviceComparesTheReference) {
    am_device phone = addPhone();
    am_device other = addPhone();
    auto handle = makeHandle(phone);
    EXPECT_TRUE(handle->isDevice(phone));
    EXPECT_FALSE(handle->isDevice(other));
    EXPECT_FALSE(handle->isDevice(nullptr));
}

TEST_F(AMDeviceReferences, WillTerminateClosesSessionAndConnectionButKeepsTheReference) {
    am_device phone = addPhone();
    auto handle = makeHandle(phone);
    ASSERT_TRUE(handle->deviceConnect());
    ASSERT_TRUE(handle->startSession());
    sim->clearCalls();
    handle->applicationWillTerminate(Notification{kApplicationWillTerminateNotification, nullptr, nullptr});

    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceStopSession", "AMDeviceDisconnect"));
    EXPECT_TRUE(handle->isDevice(phone));
    EXPECT_EQ(sim->heldReferences(phone), 1);
    sim->clearCalls();
    handle->applicationWillTerminate(Notification{kApplicationWillTerminateNotification, nullptr, nullptr});
    EXPECT_THAT(sim->callNames(), IsEmpty());
}

using AMDeviceBracketedRead = AMDeviceTest;

TEST_F(AMDeviceBracketedRead, OnAnIdleHandleConnectsStartsReadsAndUndoesInReverse) {
    auto handle = makeHandle(addPhone());
    auto value = handle->deviceValueForKey("ProductType");

    ASSERT_TRUE(value);
    EXPECT_EQ(*value, PlistValue("iPhone4,1"));
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect", "AMDeviceStartSession", "AMDeviceCopyValue",
                                              "AMDeviceStopSession", "AMDeviceDisconnect"));
    EXPECT_FALSE(handle->lasterror());
}

TEST_F(AMDeviceBracketedRead, InASessionOnlyReadsAndLeavesTheTextAlone) {
    auto handle = makeHandle(addPhone());
    ASSERT_TRUE(handle->deviceConnect());
    ASSERT_TRUE(handle->startSession());
    handle->setLastError("earlier");
    sim->clearCalls();
    (void)handle->deviceValueForKey("DeviceClass");

    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceCopyValue"));
    EXPECT_EQ(handle->lasterror(), "earlier");
}

TEST_F(AMDeviceBracketedRead, WhenConnectedWithoutSessionStartsOneForTheReadOnly) {
    am_device phone = addPhone();
    auto handle = makeHandle(phone);
    ASSERT_TRUE(handle->deviceConnect());
    sim->clearCalls();
    (void)handle->deviceValueForKey("DeviceClass");

    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceStartSession", "AMDeviceCopyValue", "AMDeviceStopSession"));
    EXPECT_TRUE(sim->isConnected(phone));
}

TEST_F(AMDeviceBracketedRead, FailedConnectReturnsNoneWithTheConnectText) {
    auto handle = makeHandle(addPhone());
    sim->forceStatus("AMDeviceConnect", 0x1234abcd);
    EXPECT_FALSE(handle->deviceValueForKey("DeviceClass"));
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect"));
    EXPECT_EQ(handle->lasterror(), "AMDeviceConnect failed: 1234abcd");
}

TEST_F(AMDeviceBracketedRead, FailedSessionDisconnectsAndReadsNothing) {
    auto handle = makeHandle(addPhone());
    sim->forceStatus("AMDeviceStartSession", 5);
    EXPECT_FALSE(handle->deviceValueForKey("DeviceClass"));
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect", "AMDeviceStartSession", "AMDeviceDisconnect"));
    // The disconnect succeeded after the failed start, so the text is empty again.
    EXPECT_FALSE(handle->lasterror());
}

TEST_F(AMDeviceBracketedRead, FailedSessionWhileConnectedKeepsTheConnectionAndTheText) {
    auto handle = makeHandle(addPhone());
    ASSERT_TRUE(handle->deviceConnect());
    sim->forceStatus("AMDeviceStartSession", -1);
    sim->clearCalls();
    EXPECT_FALSE(handle->deviceValueForKey("DeviceClass"));
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceStartSession"));
    EXPECT_EQ(handle->lasterror(), "AMDeviceStartSession failed: ffffffff");
}

TEST_F(AMDeviceBracketedRead, MissingValueIsNoError) {
    auto handle = makeHandle(addPhone());
    EXPECT_FALSE(handle->deviceValueForKey("NoSuchKey"));
    EXPECT_FALSE(handle->lasterror());
}

TEST_F(AMDeviceBracketedRead, AllValuesOfADomainPassesNoKey) {
    am_device phone = addPhone();
    sim->setValue(phone, "BatteryCurrentCapacity", PlistValue(80), "com.apple.mobile.battery");
    auto handle = makeHandle(phone);
    auto all = handle->allDeviceValuesForDomain("com.apple.mobile.battery");

    ASSERT_TRUE(all);
    EXPECT_EQ(*all, PlistValue(PlistValue::Dictionary{{"BatteryCurrentCapacity", PlistValue(80)}}));
    EXPECT_EQ(sim->calls()[2].toString(), "AMDeviceCopyValue(device#1, \"com.apple.mobile.battery\", null)");
}

using AMDeviceProperties = AMDeviceTest;

TEST_F(AMDeviceProperties, ProductVersionIsReadUntilAValueArrivesThenKept) {
    am_device phone = addPhone("n", std::nullopt);
    auto handle = makeHandle(phone);
    EXPECT_FALSE(handle->productVersion());
    EXPECT_FALSE(handle->productVersion());
    EXPECT_EQ(sim->callNames().size(), 10u);  // two bracketed reads of five calls

    sim->setValue(phone, "ProductVersion", "7.1");
    EXPECT_EQ(handle->productVersion(), "7.1");
    sim->clearCalls();
    EXPECT_EQ(handle->productVersion(), "7.1");
    EXPECT_THAT(sim->callNames(), IsEmpty());
}

TEST_F(AMDeviceProperties, OtherKeyedPropertiesAreReadOnEveryCall) {
    auto handle = makeHandle(addPhone("n", "6.0"));
    EXPECT_EQ(handle->productType(), "iPhone4,1");
    EXPECT_EQ(handle->deviceClass(), "iPhone");
    EXPECT_EQ(handle->serialNumber(), "SIMudid-1");
    EXPECT_EQ(handle->productType(), "iPhone4,1");
    EXPECT_EQ(sim->callNames().size(), 20u);
}

TEST_F(AMDeviceProperties, IsPairAsksUntilThePlatformOnceSaysOneThenSticks) {
    am_device phone = addPhone();
    sim->setPairedAnswer(phone, 0);
    auto handle = makeHandle(phone);
    EXPECT_FALSE(handle->isPair());
    sim->setPairedAnswer(phone, 2);  // anything but exactly 1 is "not paired"
    EXPECT_FALSE(handle->isPair());
    sim->setPairedAnswer(phone, 1);
    EXPECT_TRUE(handle->isPair());
    sim->setPairedAnswer(phone, 0);
    EXPECT_TRUE(handle->isPair());
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceIsPaired", "AMDeviceIsPaired", "AMDeviceIsPaired"));
}

using AMDevicePairing = AMDeviceTest;

TEST_F(AMDevicePairing, EachCallConnectsForItselfAndLeavesItsOwnStatus) {
    am_device phone = addPhone();
    sim->setPairedAnswer(phone, 0);
    auto handle = makeHandle(phone);
    sim->forceStatus("AMDevicePair", kAMDPairingDialogResponsePendingError);
    EXPECT_FALSE(handle->pair());
    // The refusal's text, not the successful disconnect's empty one.
    EXPECT_EQ(handle->lasterror(), "AMDevicePair failed: e8000095");
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceConnect", "AMDevicePair", "AMDeviceDisconnect"));
    EXPECT_FALSE(handle->isPair());

    EXPECT_TRUE(handle->pair());
    EXPECT_TRUE(handle->isPair());
    EXPECT_TRUE(handle->validatePairing());
    EXPECT_FALSE(handle->lasterror());
    // Unpaired, it says so at once, though a "paired" answer is otherwise kept.
    EXPECT_TRUE(handle->unpair());
    EXPECT_FALSE(handle->isPair());
    EXPECT_FALSE(handle->validatePairing());
    EXPECT_EQ(handle->lasterror(), "AMDeviceValidatePairing failed: e800001c");

    // A handle that is connected already stays so, and makes no bracket of its own.
    ASSERT_TRUE(handle->deviceConnect());
    sim->clearCalls();
    EXPECT_TRUE(handle->pair());
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDevicePair"));
}

TEST_F(AMDeviceProperties, StatusCheckFormatsUnsignedLowerCaseHex) {
    auto handle = makeHandle(addPhone());
    EXPECT_FALSE(handle->checkStatusFrom(-2, "AMDeviceStopSession"));
    EXPECT_EQ(handle->lasterror(), "AMDeviceStopSession failed: fffffffe");
    EXPECT_FALSE(handle->checkStatusFrom(0x1f, "X"));
    EXPECT_EQ(handle->lasterror(), "X failed: 1f");
    EXPECT_TRUE(handle->checkStatusFrom(0, "X"));
    EXPECT_FALSE(handle->lasterror());
}

TEST_F(AMDeviceProperties, StepsChangeTheirFlagOnlyOnSuccessAndAlwaysCallThePlatform) {
    am_device phone = addPhone();
    auto handle = makeHandle(phone);
    EXPECT_TRUE(handle->deviceConnect());
    EXPECT_TRUE(handle->deviceConnect());
    sim->forceStatus("AMDeviceDisconnect", 9);
    EXPECT_FALSE(handle->deviceDisconnect());
    sim->clearCalls();
    // Still connected as far as the handle knows: a read adds only the session bracket.
    (void)handle->deviceValueForKey("DeviceClass");
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceStartSession", "AMDeviceCopyValue", "AMDeviceStopSession"));
}

} // namespace
} // namespace keldo

namespace keldo {
namespace {

using AMDeviceConcurrency = AMDeviceTest;

// Another thread (a log writer, a UI) reads the texts while the main thread keeps changing the last
// error: every read is a whole text that was set, never a torn or freed one (ThreadSanitizer checks
// the rest in the tsan build).
TEST_F(AMDeviceConcurrency, TextsReadFromAnotherThreadWhileTheOwnerWritesAreWhole) {
    auto handle = makeHandle(addPhone("Anna's iPhone"));
    const std::string longText(200, 'x');
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            auto error = handle->lasterror();
            if (error) {
                EXPECT_TRUE(*error == longText || *error == "AMDeviceConnect failed: 2a") << *error;
            }
            EXPECT_EQ(handle->deviceName(), "Anna's iPhone");
            EXPECT_EQ(handle->udid(), "udid-1");
            ++reads;
        }
    });
    for (int i = 0; i < 20000 || reads < 100; ++i) {
        switch (i % 3) {
        case 0: handle->setLastError(longText); break;
        case 1: (void)handle->checkStatusFrom(0x2a, "AMDeviceConnect"); break;
        default: handle->clearLastError(); break;
        }
    }
    done = true;
    reader.join();
}

} // namespace
} // namespace keldo
