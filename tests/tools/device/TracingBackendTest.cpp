#include "tools/device/TracingBackend.h"

#include "device/AMService.h"
#include "platform/plist/PlistXml.h"
#include "support/DeviceFixture.h"

#include <gmock/gmock.h>

#include <sys/socket.h>

namespace keldo {
namespace {

using TracingBackendTest = testing::DeviceFixture;

// keldo-device -v puts the tracing backend in front: what the library asks of a service has to
// reach the one behind it, or every message and every close would fail under -v alone.
TEST_F(TracingBackendTest, ServicesAndPairingReachTheBackendBehindIt) {
    auto device = makeOpenHandle();
    sim->startInTls("com.apple.secure");
    TracingBackend::installOverCurrent();
    for (const char* name : {"com.apple.plain", "com.apple.secure"}) {
        auto service = AMService::serviceWithNameOnDevice(name, device);
        ASSERT_TRUE(service);
        ASSERT_TRUE(service->sendXMLRequest(PlistValue("ping"))) << service->lastError().value_or("");
        const int peer = sim->peerSocket(service->service());
        char request[512];
        ASSERT_GT(::recv(peer, request, sizeof request, MSG_DONTWAIT), 4);
        const auto reply = PlistXml::toXml(PlistValue("pong"));
        const std::string body(reply->view());
        const std::string message = std::string{0, 0, 0, static_cast<char>(body.size())} + body;
        ASSERT_EQ(::send(peer, message.data(), message.size(), MSG_NOSIGNAL), static_cast<ssize_t>(message.size()));
        EXPECT_EQ(textOf(service->readXMLReply()), "pong") << name;
        service->close();
        char byte;
        EXPECT_EQ(::recv(peer, &byte, 1, MSG_DONTWAIT), 0) << name;  // closed, not left open
    }
    EXPECT_TRUE(device->validatePairing());
    EXPECT_TRUE(device->unpair());
    EXPECT_TRUE(device->pair());
}

} // namespace
} // namespace keldo
