#include "tools/devsim/LinkModel.h"

#include <gtest/gtest.h>

namespace keldo {
namespace {

using namespace std::chrono_literals;
using Time = LinkModel::Time;

// 1 ms each way; 1 MB/s towards the device, 4 MB/s towards the host.
const LinkModel::Figures kFigures{{1ms, 1e6}, {1ms, 4e6}};
const Time kStart = Time() + 1h;  // a virtual clock: nothing here waits

TEST(LinkModelTest, BytesArriveOneLatencyPlusTheirTransmissionAfterTheyAreSent) {
    LinkModel link(kFigures);
    EXPECT_EQ(link.toDevice(kStart, 1000), kStart + 1ms + 1ms);
    // The other direction has its own figures and is not held up by this one.
    EXPECT_EQ(link.toHost(kStart + 1ms, 4000), kStart + 1ms + 1ms + 1ms);
}

TEST(LinkModelTest, AStreamPaysTheLatencyOnceAndQueuesBehindWhatIsStillInFlight) {
    LinkModel link(kFigures);
    Time last{};
    // Ten pieces handed over at once: one latency, then the link's rate for all of them.
    for (int i = 0; i < 10; ++i) last = link.toDevice(kStart, 1000);
    EXPECT_EQ(last, kStart + 1ms + 10ms);
    // One handed over while the others still arrive waits for them, and no latency more.
    EXPECT_EQ(link.toDevice(kStart + 5ms, 1000), kStart + 12ms);
    // Once the link is idle, the next piece pays the latency again.
    EXPECT_EQ(link.toDevice(kStart + 100ms, 1000), kStart + 102ms);
}

TEST(LinkModelTest, ARequestAndItsReplyTakeARoundTripAtLeast) {
    // The device answers once the request arrived: the reply is sent then, and crosses back.
    LinkModel link(kFigures);
    const Time request = link.toDevice(kStart, 100);
    const Time reply = link.toHost(request, 40);
    EXPECT_GE(reply - kStart, 2ms);
    EXPECT_EQ(reply, kStart + 1ms + 100us + 1ms + 10us);
}

TEST(LinkModelTest, NamesTheModelledLinksAndReadsFiguresOfItsOwn) {
    const auto usb = LinkModel::named("usb2");
    ASSERT_TRUE(usb);
    EXPECT_EQ(usb->toDevice.bytesPerSecond, 35e6);
    EXPECT_EQ(usb->toHost.latency, 250us);
    const auto wifi = LinkModel::named("wifi");
    ASSERT_TRUE(wifi);
    EXPECT_GT(wifi->toHost.latency, usb->toHost.latency);
    const auto own = LinkModel::named("1500/2000000");
    ASSERT_TRUE(own);
    EXPECT_EQ(own->toDevice.latency, 1500us);
    EXPECT_EQ(own->toHost.bytesPerSecond, 2e6);
    // No limit on the rate: only the latency counts.
    EXPECT_EQ(LinkModel(*LinkModel::named("10/0")).toHost(kStart, 1 << 30), kStart + 10us);
    for (const char* bad : {"fast", "usb3", "/", "10/", "/10", "-1/10", "10/x", "10/10/10", "nan/1", "1e300/1"})
        EXPECT_FALSE(LinkModel::named(bad)) << bad;
}

} // namespace
} // namespace keldo
