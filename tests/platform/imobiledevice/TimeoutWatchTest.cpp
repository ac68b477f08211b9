#include "platform/imobiledevice/TimeoutWatch.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace keldo {
namespace {

using namespace std::chrono_literals;

struct SocketPair {
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds); }
    ~SocketPair() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    int fds[2] = {-1, -1};
};

TEST(TimeoutWatchConcurrency, CutsABlockedReceiveAtItsDeadlineAndLeavesOthersAlone) {
    TimeoutWatch watch;
    SocketPair stuck, fine, renewed;
    auto cut = watch.arm(stuck.fds[0], 100ms);
    auto disarmed = watch.arm(fine.fds[0], 50ms);
    auto kept = watch.arm(renewed.fds[0], 500ms);
    disarmed = {};

    // Blocked on a peer that never writes: the deadline ends the wait.
    const auto begin = std::chrono::steady_clock::now();
    char byte = 0;
    EXPECT_EQ(::recv(stuck.fds[0], &byte, 1, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    EXPECT_TRUE(cut.expired());

    // A deadline renewed in time never passes (here 600 ms after it was armed for 500 ms); the
    // disarmed one never fires.
    kept.renew();
    std::this_thread::sleep_for(300ms);
    kept.renew();
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(kept.expired());
    EXPECT_EQ(::send(renewed.fds[1], "x", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(::recv(renewed.fds[0], &byte, 1, 0), 1);
    EXPECT_EQ(::send(fine.fds[1], "y", 1, MSG_NOSIGNAL), 1);
    EXPECT_EQ(::recv(fine.fds[0], &byte, 1, 0), 1);
    EXPECT_EQ(byte, 'y');

    // No socket, no deadline.
    EXPECT_FALSE(watch.arm(-1, 1ms).expired());
}

} // namespace
} // namespace keldo
