#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

typedef struct _GFileMonitor GFileMonitor;
typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace keldo {

// Watches for a usbmuxd daemon to answer on its socket and to go, with no polling and no wake-up
// while nothing changes:
// - the socket file appearing, going, replaced or touched: GLib's file monitor (inotify on its
//   directory);
// - the daemon going while its file stays (killed with SIGKILL): a connection held open to it
//   that nobody talks on, which ends when the daemon does. A file that refuses connections is
//   stale, and only a new or touched file is tried again.
// Signals arrive on the thread-default main context of the thread that made the watch.
class UsbmuxdSocketWatch {
public:
    // The socket's path as libusbmuxd finds it: USBMUXD_SOCKET_ADDRESS "UNIX:/path", else the
    // system's one. None for a TCP address ("host:port"), which has no file to watch.
    static std::optional<std::string> socketPath();

    // `changed(true)` when a daemon starts answering, `changed(false)` when it stops (its file gone,
    // or left behind by a daemon that died).
    UsbmuxdSocketWatch(const std::string& path, std::function<void(bool up)> changed);
    ~UsbmuxdSocketWatch();
    UsbmuxdSocketWatch(const UsbmuxdSocketWatch&) = delete;
    UsbmuxdSocketWatch& operator=(const UsbmuxdSocketWatch&) = delete;

    // False when the directory can't be watched.
    bool watching() const { return monitor_ != nullptr; }
    // True while a daemon accepts connections on the socket.
    bool up() const { return sentinel_ >= 0; }

    // Called by the monitor's signal handler.
    void onEvent(const char* changedPath, const char* otherPath, int eventType);
    // Called when the held connection reports an end or an error.
    void onSentinelEvent();
    // Called by the timer that tries a new file again while its daemon is still starting.
    bool onRetry();

private:
    // Connects the held connection; true when the daemon accepted it.
    bool connectSentinel();
    void closeSentinel();
    // A new or touched file: try it now and, while refused, a few times more.
    void tryFile(bool justCreated);
    // Asks again every `milliseconds`, `retries` times (unless a retry is due already).
    void retryLater(int retries, unsigned milliseconds);
    void set(bool up);

    std::string path_;
    std::function<void(bool)> changed_;
    GMainContext* context_ = nullptr;
    GFileMonitor* monitor_ = nullptr;
    unsigned long handler_ = 0;
    int sentinel_ = -1;
    std::chrono::steady_clock::time_point sentinelSince_;
    GSource* sentinelSource_ = nullptr;
    GSource* retrySource_ = nullptr;
    int retriesLeft_ = 0;
    bool busy_ = false;  // the last connect found the daemon's queue of new connections full
    bool reported_ = false;  // the state `changed` was last told
};

} // namespace keldo
