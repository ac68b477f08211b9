#include "platform/imobiledevice/UsbmuxdSocketWatch.h"

#include "platform/SystemLog.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace keldo {

namespace {

constexpr const char* kSystemSocket = "/var/run/usbmuxd";
// A daemon makes its file before it listens: a new file that refuses is tried this often more.
constexpr int kRetries = 20;
constexpr guint kRetryMilliseconds = 100;
// A held connection that ends sooner than this after it was made was dropped by a daemon that
// does so to every one.
constexpr guint kQuickEndMilliseconds = 1000;

void onMonitorEvent(GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent type, gpointer data) {
    std::unique_ptr<char, decltype(&g_free)> path(file ? g_file_get_path(file) : nullptr, g_free);
    std::unique_ptr<char, decltype(&g_free)> otherPath(other ? g_file_get_path(other) : nullptr, g_free);
    static_cast<UsbmuxdSocketWatch*>(data)->onEvent(path.get(), otherPath.get(), static_cast<int>(type));
}

gboolean onSentinel(gint, GIOCondition, gpointer data) {
    static_cast<UsbmuxdSocketWatch*>(data)->onSentinelEvent();
    return G_SOURCE_CONTINUE;  // the watch destroys the source itself when it closes the connection
}

gboolean onRetryTimer(gpointer data) {
    return static_cast<UsbmuxdSocketWatch*>(data)->onRetry() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void destroySource(GSource*& source) {
    if (!source) return;
    g_source_destroy(source);
    g_source_unref(source);
    source = nullptr;
}

} // namespace

std::optional<std::string> UsbmuxdSocketWatch::socketPath() {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (!address || !*address) return std::string(kSystemSocket);
    if (std::strncmp(address, "UNIX:", 5) == 0) return std::string(address + 5);
    return std::nullopt;
}

UsbmuxdSocketWatch::UsbmuxdSocketWatch(const std::string& path, std::function<void(bool up)> changed)
    : path_(path), changed_(std::move(changed)), context_(g_main_context_ref_thread_default()) {
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
    reported_ = connectSentinel();
    if (busy_) retryLater(kRetries, kRetryMilliseconds);
}

UsbmuxdSocketWatch::~UsbmuxdSocketWatch() {
    destroySource(retrySource_);
    closeSentinel();
    if (monitor_) {
        g_signal_handler_disconnect(monitor_, handler_);
        g_file_monitor_cancel(monitor_);
        g_object_unref(monitor_);
    }
    g_main_context_unref(context_);
}

void UsbmuxdSocketWatch::onEvent(const char* changedPath, const char* otherPath, int eventType) {
    const bool isOurs = changedPath && path_ == changedPath;
    const bool otherIsOurs = otherPath && path_ == otherPath;
    switch (static_cast<GFileMonitorEvent>(eventType)) {
    case G_FILE_MONITOR_EVENT_CREATED:
    case G_FILE_MONITOR_EVENT_MOVED_IN:
        if (isOurs) tryFile(true);
        break;
    case G_FILE_MONITOR_EVENT_ATTRIBUTE_CHANGED:
    case G_FILE_MONITOR_EVENT_CHANGES_DONE_HINT:
    case G_FILE_MONITOR_EVENT_CHANGED:
        // Touched: worth one more try when it was refused.
        if (isOurs && !up()) tryFile(false);
        break;
    case G_FILE_MONITOR_EVENT_DELETED:
    case G_FILE_MONITOR_EVENT_MOVED_OUT:
        if (isOurs) {
            destroySource(retrySource_);
            closeSentinel();
            set(false);
        }
        break;
    case G_FILE_MONITOR_EVENT_RENAMED:
        if (otherIsOurs) {
            tryFile(true);
        } else if (isOurs) {
            destroySource(retrySource_);
            closeSentinel();
            set(false);
        }
        break;
    default: break;
    }
}

void UsbmuxdSocketWatch::onSentinelEvent() {
    char buffer[256];
    const ssize_t n = ::recv(sentinel_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return;  // nothing is expected; ignored
    // The daemon ended the connection. A restarted one answers at once; a dead one left its file.
    const bool quick = std::chrono::steady_clock::now() - sentinelSince_ < std::chrono::milliseconds(kQuickEndMilliseconds);
    closeSentinel();
    if (quick) {
        // A daemon that drops connections as it takes them (one at its bound) is asked again in
        // a while, not at once and for ever; it counts as there until it refuses.
        retryLater(1, kQuickEndMilliseconds);
        return;
    }
    if (connectSentinel()) return;
    if (busy_) {
        retryLater(kRetries, kRetryMilliseconds);
        return;
    }
    logLine("usbmuxd at {} has gone and left its socket file; waiting for a new one", path_);
    set(false);
}

bool UsbmuxdSocketWatch::onRetry() {
    if (up() || retriesLeft_ <= 0 || connectSentinel()) {
        g_source_unref(retrySource_);
        retrySource_ = nullptr;
        set(up());  // last: a change may end the watch
        return false;
    }
    // A daemon too busy to take the connection is there: it is asked until it takes one.
    if (!busy_) --retriesLeft_;
    return true;
}

void UsbmuxdSocketWatch::tryFile(bool justCreated) {
    // A new file while connected: the daemon was replaced; the old connection ends by itself.
    if (justCreated) closeSentinel();
    if (up() || connectSentinel()) {
        destroySource(retrySource_);
        set(true);
        return;
    }
    if (justCreated || busy_) retryLater(kRetries, kRetryMilliseconds);
}

void UsbmuxdSocketWatch::retryLater(int retries, unsigned milliseconds) {
    if (retrySource_) return;
    retriesLeft_ = retries;
    retrySource_ = g_timeout_source_new(milliseconds);
    g_source_set_callback(retrySource_, onRetryTimer, this, nullptr);
    g_source_attach(retrySource_, context_);
}

bool UsbmuxdSocketWatch::connectSentinel() {
    if (sentinel_ >= 0) return true;
    sockaddr_un address{};
    if (path_.size() >= sizeof(address.sun_path)) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        // A full queue of connections not yet taken: the daemon is there, only busy.
        busy_ = errno == EAGAIN;
        ::close(fd);
        return false;
    }
    busy_ = false;
    sentinel_ = fd;
    sentinelSince_ = std::chrono::steady_clock::now();
    sentinelSource_ = g_unix_fd_source_new(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_callback(sentinelSource_, reinterpret_cast<GSourceFunc>(reinterpret_cast<void (*)()>(onSentinel)), this,
                          nullptr);
    g_source_attach(sentinelSource_, context_);
    return true;
}

void UsbmuxdSocketWatch::closeSentinel() {
    destroySource(sentinelSource_);
    if (sentinel_ >= 0) ::close(sentinel_);
    sentinel_ = -1;
}

void UsbmuxdSocketWatch::set(bool up) {
    if (up == reported_) return;
    reported_ = up;
    changed_(up);
}

} // namespace keldo
