#pragma once

#include <chrono>
#include <cstdint>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>

namespace keldo {

// Follows usbmuxd's device events on a thread of its own: a Listen connection to the address that
// libusbmuxd would use, and its Attached, Detached and Paired messages, told as libimobiledevice
// tells them (the same event numbers, connection types and udids).
//
// It stands in for libusbmuxd's own event thread, which makes a new connection at once, without
// closing the last one, each time a Listen fails: a usbmuxd that accepts connections and closes
// them (one at its connection bound) makes it use up descriptors until one is beyond what
// select() takes, and the process aborts. Here a connection that ends, fails or is refused is
// closed, every device it told of is told removed, and the next try comes `retry` later. Only
// poll() waits, and every wait also watches for the stop.
class UsbmuxdListener {
public:
    enum Event { kAdd = 1, kRemove = 2, kPaired = 3 };
    using Handler = std::function<void(int event, const std::string& udid, int connectionType)>;

    // Starts following; `handler` runs on the listener's thread, one event at a time, and must not
    // destroy the listener.
    explicit UsbmuxdListener(Handler handler, std::chrono::milliseconds retry = std::chrono::seconds(1));
    // Stops and waits for the thread; nothing is told from then on (no removals either).
    ~UsbmuxdListener();
    UsbmuxdListener(const UsbmuxdListener&) = delete;
    UsbmuxdListener& operator=(const UsbmuxdListener&) = delete;

    // For tests: how many connections it has made.
    unsigned connections() const;

private:
    void run();
    // Connects to usbmuxd; -1 when it can't (or on stop).
    int connectDaemon();
    // Listens on the connection until it ends or the listener stops.
    void follow(int fd);
    // Waits for the stop at most `timeout`; true when it came.
    bool stopWithin(std::chrono::milliseconds timeout);
    // Every device told of is told removed.
    void removeAll();

    Handler handler_;
    std::chrono::milliseconds retry_;
    int wake_[2] = {-1, -1};  // a byte in it means stop
    std::map<std::uint64_t, std::pair<std::string, int>> devices_;  // by DeviceID; the thread's own
    std::atomic<unsigned> connections_{0};
    std::thread thread_;
};

} // namespace keldo
