#include "device/AMService.h"

#include "device/AMDevice.h"
#include "platform/mobiledevice/ForwardingBackend.h"
#include "platform/plist/PlistXml.h"
#include "support/DeviceFixture.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace keldo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string xmlOf(const PlistValue& value) { return std::string(PlistXml::toXml(value)->view()); }

std::string frame(const std::string& body) {
    auto n = static_cast<std::uint32_t>(body.size());
    std::string out = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                       static_cast<char>(n)};
    return out + body;
}

void writeAll(int fd, const std::string& bytes) {
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

int descriptorOf(service_handle service) { return static_cast<int>(static_cast<std::uint32_t>(service)); }

// Quiet handlers without SA_RESTART, so that a signal makes a blocked send or receive fail with
// EINTR; the previous handler returns with the object.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction quiet {};
        quiet.sa_handler = [](int) {};
        ::sigaction(SIGUSR1, &quiet, &previous_);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &previous_, nullptr); }

private:
    struct sigaction previous_ {};
};

// Runs `between` once, right after the platform has given the descriptor of `target`: what a
// detach on another thread can do between two steps of a message.
class ClosingBetweenLooks : public ForwardingBackend {
public:
    using ForwardingBackend::ForwardingBackend;
    std::int32_t serviceConnectionGetSocket(service_handle service) override {
        const std::int32_t socket = ForwardingBackend::serviceConnectionGetSocket(service);
        if (service == target && between) std::exchange(between, nullptr)();
        return socket;
    }
    service_handle target = 0;
    std::function<void()> between;
};

std::string readAvailable(int fd) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

class AMServiceTest : public testing::DeviceFixture {
protected:
    std::shared_ptr<AMService> start(std::int32_t interfaceType = 1) {
        device = makeOpenHandle(interfaceType);
        auto service = AMService::serviceWithNameOnDevice("com.apple.test", device);
        EXPECT_TRUE(service);
        if (service) peer = sim->peerSocket(service->service());
        return service;
    }
    std::shared_ptr<AMDevice> device;
    int peer = -1;
};

using AMServiceMaking = AMServiceTest;

TEST_F(AMServiceMaking, StartsThePlainServiceWithoutContextOrAssertion) {
    auto service = start(1);
    ASSERT_TRUE(service);
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceStartService"));
    EXPECT_FALSE(service->context());
    EXPECT_EQ(sim->createdAssertions(), 0);
}

TEST_F(AMServiceMaking, OverTheWirelessConnectionTakesTheSecureContextAndAPowerAssertion) {
    auto service = start(2);
    ASSERT_TRUE(service);
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceSecureStartService", "AMDServiceConnectionGetSecureIOContext",
                                              "AMDevicePowerAssertionCreate"));
    EXPECT_TRUE(service->context());
    EXPECT_EQ(sim->liveAssertions(), 1);
    EXPECT_EQ(loop->pendingTimers(), 1u);
}

TEST_F(AMServiceMaking, AFailedStartGivesNoServiceAndMakesNoFurtherCall) {
    device = makeOpenHandle(2);
    sim->forceStatus("AMDeviceSecureStartService", 0x10);
    EXPECT_FALSE(AMService::initWithNameOnDevice("com.apple.test", device));
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDeviceSecureStartService"));
    EXPECT_FALSE(AMService::initWithNameOnDevice("com.apple.test", nullptr));
}

using AMServiceSending = AMServiceTest;

TEST_F(AMServiceSending, SendsTheLengthAndThenTheXmlInTwoSends) {
    sim->setServiceSocketType(SOCK_SEQPACKET);
    auto service = start();
    ASSERT_TRUE(service);
    // A text whose XML form is exactly 300 bytes.
    std::size_t frameLength = xmlOf(PlistValue("")).size();
    PlistValue request(std::string(300 - frameLength, 'a'));
    std::string xml = xmlOf(request);
    ASSERT_EQ(xml.size(), 300u);

    service->setLastError("old");
    ASSERT_TRUE(service->sendXMLRequest(request));
    EXPECT_FALSE(service->lastError());
    char record[1024];
    ASSERT_EQ(::recv(peer, record, sizeof record, 0), 4);
    EXPECT_EQ(std::string(record, 4), std::string("\x00\x00\x01\x2c", 4));
    ASSERT_EQ(::recv(peer, record, sizeof record, 0), 300);
    EXPECT_EQ(std::string(record, 300), xml);
}

TEST_F(AMServiceSending, ARequestWithNoXmlFormSendsNothing) {
    auto service = start();
    EXPECT_FALSE(service->sendXMLRequest(PlistValue(std::string("a\0b", 3))));
    EXPECT_EQ(service->lastError(), "Can't convert request to XML");
    EXPECT_EQ(readAvailable(peer), "");
}

TEST_F(AMServiceSending, AGonePeerFailsTheSendWithoutSignalAndNoReceiveFollows) {
    auto service = start();
    sim->closePeer(service->service());
    EXPECT_FALSE(service->sendRequestAndWaitForSingleReply(PlistValue(1)));
    // A receive after the failed send would have left its own text.
    EXPECT_EQ(service->lastError(), "Can't send message size");
}

TEST_F(AMServiceSending, AMessageGoesOutWholeAcrossPartialSendsAndInterruptions) {
    InterruptingSignal interrupting;
    auto service = start();
    // A full connection makes the prefix's send wait, and be interrupted, before any byte goes;
    // a body far larger than the socket's buffer then goes out in interrupted pieces.
    std::size_t filled = 0;
    char junk[4096] = {};
    for (ssize_t n; (n = ::send(descriptorOf(service->service()), junk, sizeof junk, MSG_DONTWAIT)) > 0;)
        filled += static_cast<std::size_t>(n);
    PlistValue request(std::string(1 << 20, 'a'));
    std::string expected = frame(xmlOf(request));

    std::atomic<bool> sent{false};
    std::thread interrupter([&, sender = ::pthread_self()] {
        while (!sent) {
            ::pthread_kill(sender, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    std::string received;
    std::thread reader([&, fd = peer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        char piece[16 * 1024];
        while (received.size() < filled + expected.size()) {
            ssize_t n = ::recv(fd, piece, sizeof piece, 0);
            if (n <= 0) break;
            received.append(piece, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    bool ok = service->sendXMLRequest(request);
    sent = true;
    interrupter.join();
    if (!ok) ::shutdown(descriptorOf(service->service()), SHUT_RDWR);  // lets the reader end
    reader.join();
    ASSERT_TRUE(ok) << service->lastError().value_or("");
    ASSERT_EQ(received.size(), filled + expected.size());
    EXPECT_TRUE(received.substr(filled) == expected);
}

using AMServiceReceiving = AMServiceTest;

TEST_F(AMServiceReceiving, AssemblesABodyArrivingInPiecesInOrder) {
    auto service = start();
    PlistValue reply(PlistValue::Dictionary{{"Status", "Complete"}, {"List", PlistValue::Array{1, 2, 3}}});
    std::string message = frame(xmlOf(reply));
    std::thread writer([&, fd = peer] {
        for (std::size_t at = 0; at < message.size(); at += 37) {
            std::string piece = message.substr(at, 37);
            ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    service->setLastError("old");
    auto got = service->readXMLReply();
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, reply);
    EXPECT_FALSE(service->lastError());
}

TEST_F(AMServiceReceiving, APeerClosingInTheBodyLeavesTheMissingCount) {
    auto service = start();
    std::string body = xmlOf(PlistValue("twelve bytes"));
    std::string message = frame(body);
    writeAll(peer, message.substr(0, 4 + 10));
    sim->closePeer(service->service());
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), fmt::format("Reply was truncated, expected {} more bytes", body.size() - 10));
}

TEST_F(AMServiceReceiving, GathersAPrefixSplitAcrossSegmentsAndInterruptedBySignals) {
    InterruptingSignal interrupting;
    auto service = start();
    PlistValue reply(PlistValue::Dictionary{{"Status", "Complete"}});
    std::string message = frame(xmlOf(reply)) + frame(xmlOf(PlistValue("next")));
    writeAll(peer, message.substr(0, 2));
    std::thread writer([&, fd = peer, reader = ::pthread_self()] {
        for (int i = 0; i < 5; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::pthread_kill(reader, SIGUSR1);
        }
        ::send(fd, message.data() + 2, message.size() - 2, MSG_NOSIGNAL);
    });
    auto got = service->readXMLReply();
    writer.join();
    ASSERT_TRUE(got) << service->lastError().value_or("");
    EXPECT_EQ(*got, reply);
    // The next message is read from where it starts.
    auto next = service->readXMLReply();
    ASSERT_TRUE(next);
    EXPECT_EQ(textOf(next), "next");
}

TEST_F(AMServiceReceiving, AShortOrMissingPrefixFails) {
    auto service = start();
    writeAll(peer, std::string("\x00\x00", 2));
    sim->closePeer(service->service());
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), "Can't receive reply size");

    auto silent = start();
    sim->closePeer(silent->service());
    EXPECT_FALSE(silent->readXMLReply());
    EXPECT_EQ(silent->lastError(), "Can't receive reply size");
}

TEST_F(AMServiceReceiving, AZeroLengthReplyIsNoneAndKeepsTheOldText) {
    auto service = start();
    service->setLastError("old");
    writeAll(peer, std::string(4, '\0'));
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), "old");
}

TEST_F(AMServiceReceiving, ABodyThatIsNoPropertyListOrHoldsAMalformedValueIsNone) {
    auto service = start();
    for (const char* body : {"this is not xml at all", "<plist><dict><key>Count</key><integer>12abc</integer></dict></plist>",
                             "<plist><dict><key>Status</key><string>Complete</string><key>Orphan</key></dict></plist>"}) {
        writeAll(peer, frame(body));
        EXPECT_FALSE(service->readXMLReply()) << body;
        EXPECT_EQ(service->lastError(), "Reply is not a property list");
    }
}

TEST_F(AMServiceReceiving, AReceiveErrorInTheBodyIsNone) {
    auto service = start();
    writeAll(peer, frame("0123456789").substr(0, 7));
    // With no more data waiting, a non-blocking socket reports an error instead of blocking.
    int fd = static_cast<int>(static_cast<std::uint32_t>(service->service()));
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), "Can't receive reply text, expected 7 more bytes");
}

TEST_F(AMServiceReceiving, AnAnnouncedLengthOverTheBoundIsRefusedAndItsBytesSkipped) {
    auto service = start();
    std::string junk = frame(xmlOf(PlistValue("looks like a message")));
    writeAll(peer, std::string("\xff\xff\xff\xff", 4) + junk);
    sim->closePeer(service->service());
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), "Reply of 4294967295 bytes is over the limit of 67108864 bytes");
    // What followed the prefix was skipped as its body, not read as a message of its own.
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), "Can't receive reply size");
}

TEST_F(AMServiceReceiving, AReplyAtTheBoundIsStillRead) {
    auto service = start();
    const std::string open = "<plist><string>", close = "</string></plist>";
    std::string text(AMService::kMaxReplyLength - open.size() - close.size(), 'x');
    std::string message = frame(open + text + close);
    std::thread writer([&, fd = peer] { ::send(fd, message.data(), message.size(), MSG_NOSIGNAL); });
    auto got = service->readXMLReply();
    writer.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->text()->size(), text.size());
}

// A service that the device started in TLS: its descriptor carries ciphertext, so it is never
// asked for by number, and every message goes through the platform's own connection.
using AMServiceOverTls = AMServiceTest;

TEST_F(AMServiceOverTls, MessagesGoThroughThePlatformsConnectionFramedAsOnASocket) {
    sim->startInTls("com.apple.test");
    auto service = start();
    ASSERT_TRUE(service);
    sim->clearCalls();
    PlistValue request(PlistValue::Dictionary{{"Request", "MobileGestalt"}});
    ASSERT_TRUE(service->sendXMLRequest(request));
    EXPECT_EQ(readAvailable(peer), frame(xmlOf(request)));
    PlistValue reply(PlistValue::Dictionary{{"Status", "Success"}, {"List", PlistValue::Array{1, 2, 3}}});
    std::string message = frame(xmlOf(reply));
    std::thread writer([&, fd = peer] {
        for (std::size_t at = 0; at < message.size(); at += 37) {
            ::send(fd, message.data() + at, std::min<std::size_t>(37, message.size() - at), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    auto got = service->readXMLReply();
    writer.join();
    ASSERT_TRUE(got) << service->lastError().value_or("");
    EXPECT_EQ(*got, reply);
    auto names = sim->callNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), "AMDServiceConnectionSend"), 2);
    for (const auto& name : names) {
        EXPECT_TRUE(name == "AMDServiceConnectionGetSocket" || name == "AMDServiceConnectionGetSecureIOContext" ||
                    name == "AMDServiceConnectionSend" || name == "AMDServiceConnectionReceive")
            << name;
    }
}

TEST_F(AMServiceOverTls, FailuresOfThePlatformsConnectionLeaveTheSocketsTexts) {
    sim->startInTls("com.apple.test");
    auto service = start();
    sim->forceStatus("AMDServiceConnectionSend", -1);
    EXPECT_FALSE(service->sendRequestAndWaitForSingleReply(PlistValue(1)));
    EXPECT_EQ(service->lastError(), "Can't send message size");
    sim->forceStatus("AMDServiceConnectionReceive", -1);
    writeAll(peer, frame(xmlOf(PlistValue("unread"))));
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), "Can't receive reply size");
    // One that the peer ends half-way.
    std::string body = xmlOf(PlistValue("twelve bytes"));
    auto cut = start();
    writeAll(peer, frame(body).substr(0, 4 + 10));
    sim->closePeer(cut->service());
    EXPECT_FALSE(cut->readXMLReply());
    EXPECT_EQ(cut->lastError(), fmt::format("Reply was truncated, expected {} more bytes", body.size() - 10));
    // Closed, it has neither a descriptor nor a context: nothing is sent anywhere.
    cut->close();
    sim->clearCalls();
    EXPECT_FALSE(cut->sendXMLRequest(PlistValue("stray")));
    EXPECT_EQ(cut->lastError(), "Service is not open");
    EXPECT_THAT(sim->callNames(), IsEmpty());
}

using AMServiceClosing = AMServiceTest;

TEST_F(AMServiceClosing, CloseAndTheObjectsEndCloseTheConnectionOnce) {
    auto service = start();
    sim->clearCalls();
    service->close();
    service->close();
    service.reset();
    EXPECT_THAT(sim->callNames(), ElementsAre("AMDServiceConnectionInvalidate"));
    char byte;
    EXPECT_EQ(::recv(peer, &byte, 1, MSG_DONTWAIT), 0);  // the service saw the connection end

    auto dropped = start();
    dropped.reset();
    EXPECT_EQ(::recv(peer, &byte, 1, MSG_DONTWAIT), 0);
}

TEST_F(AMServiceClosing, AClosedServiceLeavesTheConnectionThatReusedItsDescriptorAlone) {
    auto old = start();
    service_handle closed = old->service();
    old->close();
    auto newer = AMService::serviceWithNameOnDevice("com.apple.other", device);
    ASSERT_TRUE(newer);
    ASSERT_EQ(descriptorOf(newer->service()), descriptorOf(closed));
    int newerPeer = sim->peerSocket(newer->service());
    writeAll(newerPeer, frame(xmlOf(PlistValue("for the newer one"))));
    sim->clearCalls();

    EXPECT_FALSE(old->sendXMLRequest(PlistValue("stray")));
    EXPECT_EQ(old->lastError(), "Service is not open");
    EXPECT_FALSE(old->sendRequestAndWaitForSingleReply(PlistValue("stray")));
    EXPECT_FALSE(old->readXMLReply());
    EXPECT_EQ(old->lastError(), "Service is not open");
    EXPECT_THAT(sim->callNames(), IsEmpty());
    EXPECT_EQ(readAvailable(newerPeer), "");
    EXPECT_EQ(textOf(newer->readXMLReply()), "for the newer one");
}

TEST_F(AMServiceClosing, AMessageNeverGoesToTheConnectionThatTookTheNumberOfItsClosedService) {
    auto backend = std::make_shared<ClosingBetweenLooks>(sim);
    Backend::install(backend);
    auto service = start();
    std::shared_ptr<AMDevice> phone;
    std::shared_ptr<AMService> newer;
    backend->target = service->service();
    backend->between = [&] {
        (void)sim->serviceConnectionInvalidate(service->service());
        phone = makeOpenHandle();
        newer = AMService::serviceWithNameOnDevice("com.apple.other", phone);
    };
    EXPECT_FALSE(service->sendXMLRequest(PlistValue("stray")));
    ASSERT_TRUE(newer);
    ASSERT_EQ(descriptorOf(newer->service()), descriptorOf(service->service()));
    EXPECT_EQ(readAvailable(sim->peerSocket(newer->service())), "");
}

TEST_F(AMServiceClosing, TheServiceOfADetachedAndReleasedDeviceFailsTheSameWayAlsoMidMessage) {
    am_device phone = addPhone();
    device = makeHandle(phone);
    ASSERT_TRUE(device->deviceConnect() && device->startSession());
    auto service = AMService::serviceWithNameOnDevice("com.apple.test", device);
    ASSERT_TRUE(service);
    const int oldPeer = sim->peerSocket(service->service());
    // A message in flight on a full connection that its peer does not read: its first send waits.
    char junk[4096] = {};
    while (::send(descriptorOf(service->service()), junk, sizeof junk, MSG_DONTWAIT) > 0) {}
    std::atomic<bool> sent{true}, done{false};
    std::thread sender([&] {
        sent = service->sendXMLRequest(PlistValue(std::string(16 * 1024, 'a')));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sim->detach(phone);
    device->forgetDevice();  // what the monitor does with a detached device
    auto other = start();  // another phone, whose service takes the descriptor number
    ASSERT_EQ(descriptorOf(other->service()), descriptorOf(service->service()));
    // The old peer now reads, so that a send still going on the old connection would move on.
    std::thread drain([oldPeer] {
        char sink[64 * 1024];
        while (::recv(oldPeer, sink, sizeof sink, 0) > 0) {}
    });
    for (int i = 0; i < 200 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string stray = readAvailable(peer);
    if (!done) ::shutdown(descriptorOf(other->service()), SHUT_RDWR);  // lets a stuck sender end
    sender.join();
    ::shutdown(oldPeer, SHUT_RDWR);
    drain.join();
    EXPECT_FALSE(sent);
    EXPECT_EQ(stray.size(), 0u);  // the message's rest reached no newcomer

    writeAll(peer, frame(xmlOf(PlistValue("for the other one"))));

    EXPECT_FALSE(service->sendXMLRequest(PlistValue("stray")));
    EXPECT_EQ(service->lastError(), "Service is not open");
    EXPECT_FALSE(service->readXMLReply());
    EXPECT_EQ(service->lastError(), "Service is not open");
    EXPECT_EQ(readAvailable(peer), "");
    sim->closePeer(other->service());  // what was sent stays to be read, and nothing waits for more
    EXPECT_EQ(textOf(other->readXMLReply()), "for the other one");
}

} // namespace
} // namespace keldo
