// Sends arbitrary bytes to a running DeviceSimulator as a usbmuxd client would, then ends the
// stream and reads whatever comes back. Every input must end in replies and a closed connection,
// with no crash, leak or hang: the simulator parses the header, the property list and the request,
// and a Connect hands the rest of the stream to the device's lockdownd.
#include "tools/devsim/DeviceSimulator.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

struct Server {
    std::string path = "/tmp/keldo-usbmux-fuzz-" + std::to_string(getpid());
    keldo::DeviceSimulator simulator{path};
    Server() {
        if (!simulator.start()) std::abort();
        if (simulator.attach(keldo::SimulatedDeviceInfo::iPhone("fuzz-1", "Fuzz", "9.0")) == 0) std::abort();
    }
};

// The threads of this process that are running now.
int runningThreads() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (!tasks) return 0;
    int count = 0;
    while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
    ::closedir(tasks);
    return count;
}

// The simulator serves a connection on a thread of its own, which closes the connection and then
// ends, freeing what libxml2 keeps per thread as it goes. An input is over once that thread is gone
// too: the leak check that follows an input must not see a thread in the middle of its end. A
// thread that lasts (one the input had a service start) is waited for a little, then left be.
void awaitThreadsEnded(int before) {
    for (int wait = 0; wait < 2000 && runningThreads() > before; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server server;
    const int threadsBefore = runningThreads();
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", server.path.c_str());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) std::abort();
    // Written whole before reading: inputs are small against the socket's buffer.
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::send(fd, data, size, MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) {}
    // A reset is an end too: the simulator closed with input left unread. A time-out is a hang.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) std::abort();
    ::close(fd);
    awaitThreadsEnded(threadsBefore);
    return 0;
}
