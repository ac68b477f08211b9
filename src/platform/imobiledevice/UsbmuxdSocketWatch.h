#pragma once

#include <functional>
#include <optional>
#include <string>

typedef struct _GFileMonitor GFileMonitor;

namespace keldo {

// Watches for usbmuxd's socket file to appear and go, through GLib's file monitor (inotify on its
// directory: no polling, no wake-up while nothing changes). Signals arrive on the thread-default
// main context of the thread that made the watch.
class UsbmuxdSocketWatch {
public:
    // The socket's path as libusbmuxd finds it: USBMUXD_SOCKET_ADDRESS "UNIX:/path", else the
    // system's one. None for a TCP address ("host:port"), which has no file to watch.
    static std::optional<std::string> socketPath();

    // `changed(true)` when the socket appears, `changed(false)` when it goes.
    UsbmuxdSocketWatch(const std::string& path, std::function<void(bool present)> changed);
    ~UsbmuxdSocketWatch();
    UsbmuxdSocketWatch(const UsbmuxdSocketWatch&) = delete;
    UsbmuxdSocketWatch& operator=(const UsbmuxdSocketWatch&) = delete;

    // False when the directory can't be watched.
    bool watching() const { return monitor_ != nullptr; }
    bool present() const;

    // Called by the monitor's signal handler.
    void onEvent(const char* changedPath, const char* otherPath, int eventType);

private:
    std::string path_;
    std::function<void(bool)> changed_;
    GFileMonitor* monitor_ = nullptr;
    unsigned long handler_ = 0;
};

} // namespace keldo
