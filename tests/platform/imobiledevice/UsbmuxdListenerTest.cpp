#include "platform/imobiledevice/UsbmuxdListener.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace keldo {
namespace {

namespace fs = std::filesystem;

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// A usbmuxd at its connection bound: it takes each connection and closes it.
class ClosingDaemon {
public:
    ClosingDaemon() {
        char scratch[] = "/tmp/keldo-closing-XXXXXX";
        dir_ = ::mkdtemp(scratch);
        path_ = dir_ + "/usbmuxd";
        server_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (::bind(server_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(server_, 64) != 0)
            ADD_FAILURE() << std::strerror(errno);
        thread_ = std::thread([this] {
            // Every other connection is closed once the request has come, as by a daemon that stops.
            for (int fd, taken = 0; (fd = ::accept4(server_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ::close(fd)) {
                char request[1024];
                if (++taken % 2 == 0) (void)::recv(fd, request, sizeof request, 0);
            }
        });
        const char* previous = std::getenv("USBMUXD_SOCKET_ADDRESS");
        if (previous) previous_ = previous;
        ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + path_).c_str(), 1);
    }
    ~ClosingDaemon() {
        ::shutdown(server_, SHUT_RDWR);
        thread_.join();
        ::close(server_);
        previous_.empty() ? ::unsetenv("USBMUXD_SOCKET_ADDRESS") : ::setenv("USBMUXD_SOCKET_ADDRESS", previous_.c_str(), 1);
        fs::remove_all(dir_);
    }
private:
    std::string dir_, path_, previous_;
    int server_ = -1;
    std::thread thread_;
};

// Each connection that the daemon drops is closed, and the next comes only after the pause: the
// process neither runs out of descriptors nor floods the daemon.
TEST(UsbmuxdListenerAgainstADaemonThatCloses, ClosesEveryDroppedConnectionAndTriesAgainAfterThePause) {
    ClosingDaemon daemon;
    const std::size_t before = openDescriptors();
    std::atomic<int> events{0};
    {
        UsbmuxdListener listener([&](int, const std::string&, int) { events.fetch_add(1); }, std::chrono::milliseconds(20));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (listener.connections() < 20 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(listener.connections(), 20u);
        // Beside the listener's own two (its wake-up pipe), at most the one connection in hand:
        // its end and the daemon's, which the daemon may not have closed yet.
        EXPECT_LE(openDescriptors(), before + 4);
        const unsigned made = listener.connections();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // 100 ms at a pause of 20 ms is five tries, not thousands.
        EXPECT_LT(listener.connections() - made, 50u);
    }
    EXPECT_EQ(events.load(), 0);
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
} // namespace keldo
