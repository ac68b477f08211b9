#include "platform/imobiledevice/UsbmuxdSocketWatch.h"

#include "platform/SystemLog.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace keldo {

namespace {

constexpr const char* kSystemSocket = "/var/run/usbmuxd";

void onMonitorEvent(GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent type, gpointer data) {
    std::unique_ptr<char, decltype(&g_free)> path(file ? g_file_get_path(file) : nullptr, g_free);
    std::unique_ptr<char, decltype(&g_free)> otherPath(other ? g_file_get_path(other) : nullptr, g_free);
    static_cast<UsbmuxdSocketWatch*>(data)->onEvent(path.get(), otherPath.get(), static_cast<int>(type));
}

} // namespace

std::optional<std::string> UsbmuxdSocketWatch::socketPath() {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (!address || !*address) return std::string(kSystemSocket);
    if (std::strncmp(address, "UNIX:", 5) == 0) return std::string(address + 5);
    return std::nullopt;
}

UsbmuxdSocketWatch::UsbmuxdSocketWatch(const std::string& path, std::function<void(bool present)> changed)
    : path_(path), changed_(std::move(changed)) {
    std::unique_ptr<GFile, decltype(&g_object_unref)> file(g_file_new_for_path(path.c_str()), g_object_unref);
    GError* error = nullptr;
    // A monitor of the one file: GLib watches its directory but drops the events of other files
    // before they reach this thread's main loop.
    monitor_ = g_file_monitor_file(file.get(), G_FILE_MONITOR_WATCH_MOVES, nullptr, &error);
    if (!monitor_) {
        logLine("cannot watch for the usbmuxd socket {}: {}", path, error ? error->message : "unknown error");
        g_clear_error(&error);
        return;
    }
    handler_ = g_signal_connect(monitor_, "changed", G_CALLBACK(onMonitorEvent), this);
}

UsbmuxdSocketWatch::~UsbmuxdSocketWatch() {
    if (!monitor_) return;
    g_signal_handler_disconnect(monitor_, handler_);
    g_file_monitor_cancel(monitor_);
    g_object_unref(monitor_);
}

bool UsbmuxdSocketWatch::present() const {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

void UsbmuxdSocketWatch::onEvent(const char* changedPath, const char* otherPath, int eventType) {
    const bool isOurs = changedPath && path_ == changedPath;
    const bool otherIsOurs = otherPath && path_ == otherPath;
    switch (static_cast<GFileMonitorEvent>(eventType)) {
    case G_FILE_MONITOR_EVENT_CREATED:
    case G_FILE_MONITOR_EVENT_MOVED_IN:
        if (isOurs) changed_(true);
        break;
    case G_FILE_MONITOR_EVENT_DELETED:
    case G_FILE_MONITOR_EVENT_MOVED_OUT:
        if (isOurs) changed_(false);
        break;
    case G_FILE_MONITOR_EVENT_RENAMED:
        if (otherIsOurs) changed_(true);
        else if (isOurs) changed_(false);
        break;
    default: break;
    }
}

} // namespace keldo
