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

// A sender that waits for room, as LinkPump does: it hands over `pieces` pieces of `piece` bytes,
// each as soon as the link has room after `now` (which it moves on); gives when the last arrives.
Time sendWaitingForRoom(LinkModel& link, Time& now, int pieces, std::size_t piece) {
    Time last{};
    for (int i = 0; i < pieces; ++i) {
        now = std::max(now, link.roomToDevice());
        last = link.toDevice(now, piece);
    }
    return last;
}

TEST(LinkModelTest, ASenderThatWaitsForRoomHasTheWholeRateAndOthersWaitOnlyForTheQueue) {
    LinkModel link(kFigures);
    Time now = kStart;
    // 2 MiB in pieces of 16 KiB: one latency, then the rate without a gap...
    EXPECT_EQ(sendWaitingForRoom(link, now, 128, 16 * 1024), kStart + 1ms + 2097152us);
    // ...though the sender never got further ahead than the queue.
    EXPECT_GE(now, kStart + 2097152us - 262144us - 16384us);
    // Another connection's message, sent while the stream flows, waits behind the queue only
    // and pays its own latency; then the stream goes on, behind it.
    Time other = now;
    EXPECT_LE(sendWaitingForRoom(link, other, 1, 100), now + 1ms + 262144us + 16384us + 100us);
    EXPECT_EQ(sendWaitingForRoom(link, now, 128, 16 * 1024), kStart + 1ms + 2 * 2097152us + 100us);
    // With no limit on the rate, the link has room at any time.
    LinkModel unlimited(*LinkModel::named("10/0"));
    (void)unlimited.toDevice(kStart, 1 << 30);
    EXPECT_LE(unlimited.roomToDevice(), kStart);
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
    for (const char* bad : {"fast", "usb3", "/", "10/", "/10", "-1/10", "10/x", "10/10/10", "nan/1", "1e300/1", "10/0.5"})
        EXPECT_FALSE(LinkModel::named(bad)) << bad;
}

} // namespace
} // namespace keldo
