#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include "platform/imobiledevice/EventQueue.h"
#include "platform/imobiledevice/ImobiledeviceStatus.h"
#include "platform/imobiledevice/UsbmuxdSocketWatch.h"
#include "platform/plist/PlistXml.h"
#include "platform/SystemLog.h"

#include <fmt/format.h>
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/property_list_service.h>
#include <libimobiledevice/service.h>
#include <plist/plist.h>
#include <pthread.h>
#include <usbmuxd.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string_view>

// Exported by libimobiledevice 1.3.0 but missing from its installed afc.h: an AFC client on a
// service connection that is already open. A started service's port takes one connection only, so
// AFC must use the one the start made. The client does not free the service client.
extern "C" afc_error_t afc_client_new_with_service_client(service_client_t service, afc_client_t* client);

namespace keldo {

namespace {

using Status = ImobiledeviceStatus;

constexpr const char* kLabel = "keldo-agent";

// Holds SIGPIPE back on this thread while the library may write to a device, and drops one that
// the writes raised: OpenSSL writes to a TLS connection without MSG_NOSIGNAL, and a device that
// has gone (or whose connection was cut) must fail the write, not end the process. The process's
// own handling of SIGPIPE (a pipe on its standard output) is left as it is.
class SigpipeHeld {
public:
    SigpipeHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous);
        // Already held by an outer guard (or the thread): that one cleans up.
        owner_ = !sigismember(&previous, SIGPIPE);
    }
    ~SigpipeHeld() {
        if (!owner_) return;
        sigset_t pending;
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            const timespec now{};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_UNBLOCK, &pipe_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

private:
    sigset_t pipe_{};
    bool owner_ = false;
};

struct IdeviceFree { void operator()(idevice_t d) const { idevice_free(d); } };
// Freeing stops an open session (lockdownd) or says goodbye to TLS (services): both write.
struct LockdownFree {
    void operator()(lockdownd_client_t c) const {
        SigpipeHeld held;
        lockdownd_client_free(c);
    }
};
struct ServiceFree {
    void operator()(service_client_t c) const {
        SigpipeHeld held;
        service_client_free(c);
    }
};
struct AfcFree { void operator()(afc_client_t c) const { afc_client_free(c); } };
struct DescriptorFree { void operator()(lockdownd_service_descriptor_t d) const { lockdownd_service_descriptor_free(d); } };
struct PlistFree { void operator()(plist_t p) const { plist_free(p); } };
struct DictionaryFree { void operator()(char** d) const { afc_dictionary_free(d); } };

using PlistPtr = std::unique_ptr<void, PlistFree>;

// The one place that reads libimobiledevice's private structures. Version 1.3.0 exports no getter
// for the connection under a client (seen with nm -D), and the backend needs that connection's
// socket: to cut a call that outlasts its deadline (the library waits forever for a TLS handshake
// and polls forever for a peer that does not read), and to hand a plain service's socket to its
// caller. There is no sound way round it: libimobiledevice makes the connection inside
// lockdownd_client_new and service_client_new and keeps it to itself, and a client can't be
// built on a connection made with idevice_connect. In 1.3.0 each client holds the one below it as
// its first field, down to the connection: lockdownd -> property-list service -> service ->
// connection. Checked: the build refuses any other version of the library until its layout has
// been read again, and only a descriptor that is a stream socket is given (-1 otherwise), so that
// nothing is ever shut down by mistake.
static_assert(std::string_view(KELDO_IMOBILEDEVICE_VERSION) == "1.3.0",
              "the layout of libimobiledevice's clients was read from 1.3.0: read it again for this version");
int socketUnder(const void* client, int levels) {
    const void* next = client;
    for (int level = 0; next && level < levels; ++level) next = *static_cast<const void* const*>(next);
    int fd = -1;
    if (!next || idevice_connection_get_fd(static_cast<idevice_connection_t>(const_cast<void*>(next)), &fd) !=
                     IDEVICE_E_SUCCESS)
        return -1;
    struct stat info {};
    int type = 0;
    socklen_t size = sizeof type;
    const bool stream = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode) &&
                        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
    return stream ? fd : -1;
}

int socketOf(service_client_t client) { return socketUnder(client, 1); }
int socketOf(lockdownd_client_t client) { return socketUnder(client, 3); }

// Handles are ids; the platform's types are pointers.
template <typename Handle>
Handle toHandle(std::uint64_t id) {
    return reinterpret_cast<Handle>(static_cast<std::uintptr_t>(id));
}
template <typename Handle>
std::uint64_t idOf(Handle handle) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

timeval toTimeval(std::chrono::milliseconds t) {
    return timeval{static_cast<time_t>(t.count() / 1000), static_cast<suseconds_t>((t.count() % 1000) * 1000)};
}

PlistRef fromLibplist(plist_t value) {
    if (!value) return nullptr;
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(value, &xml, &length);
    if (!xml) return nullptr;
    PlistRef result = PlistXml::fromXml(xml, length);
    plist_to_xml_free(xml);
    return result;
}

// The HostID of the host's pair record for the device, as usbmuxd keeps it.
std::optional<std::string> hostIdOf(const std::string& udid) {
    char* data = nullptr;
    std::uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data) return std::nullopt;
    plist_t record = nullptr;
    plist_from_memory(data, size, &record);
    std::free(data);
    PlistPtr owned(record);
    plist_t node = record && plist_get_node_type(record) == PLIST_DICT ? plist_dict_get_item(record, "HostID") : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* text = nullptr;
    plist_get_string_val(node, &text);
    if (!text) return std::nullopt;
    std::string hostId(text);
    std::free(text);
    if (hostId.empty()) return std::nullopt;
    return hostId;
}

// A library list of texts, copied into our own.
std::vector<std::string> copyList(char** list) {
    std::vector<std::string> items;
    for (char** p = list; p && *p; ++p) items.emplace_back(*p);
    return items;
}

void onLibraryEvent(const idevice_event_t* event, void* backend) {
    // The library's thread is cancelled by unsubscribe; it must not end inside our code.
    int previous = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    try {
        if (event && backend) {
            // The udid points into the library's stack: copy it now.
            static_cast<ImobiledeviceBackend*>(backend)->libraryEvent(
                static_cast<int>(event->event), event->udid ? event->udid : "", static_cast<int>(event->conn_type));
        }
    } catch (...) {
        // Nothing may cross into the C library; the event is lost.
    }
    pthread_setcancelstate(previous, nullptr);
}

class SetModTimeOperation : public PlatformObject {
public:
    SetModTimeOperation(std::string path, std::uint64_t nanoseconds) : path(std::move(path)), nanoseconds(nanoseconds) {}
    const std::string path;
    const std::uint64_t nanoseconds;
    std::atomic<std::int32_t> result{Status::backend(Status::kNotProcessed)};
};

} // namespace

struct ImobiledeviceBackend::Device {
    std::uint64_t id = 0;
    std::string udid;
    int connectionType = CONNECTION_USBMUXD;
    bool present = true;  // guarded by the backend's mutex
    int references = 0;   // guarded by the backend's mutex

    // The conversation with the device's lockdownd, one at a time.
    std::mutex io;
    std::shared_ptr<idevice_private> idevice;
    std::unique_ptr<lockdownd_client_private, LockdownFree> lockdown;
    std::string sessionId;
    bool inSession = false;

    bool network() const { return connectionType == CONNECTION_NETWORK; }
};

struct ImobiledeviceBackend::Subscription {
    std::shared_ptr<EventQueue> queue;
};

struct ImobiledeviceBackend::Service {
    std::shared_ptr<idevice_private> idevice;  // outlives the client made on it
    std::unique_ptr<service_client_private, ServiceFree> client;
    std::uint64_t device = 0;
    bool network = false;
    bool tls = false;  // the device started it in TLS: only the client may read and write it
    int socket = -1;
    // One send or receive at a time through the client (a TLS connection is one state).
    std::mutex io;
    bool cut = false;  // a send outlasted its time-out: the socket is shut down
};

struct ImobiledeviceBackend::KeyValues {
    std::vector<std::string> items;
    std::size_t next = 0;
};

struct ImobiledeviceBackend::AfcConnection {
    std::shared_ptr<Service> service;  // declared first: freed after the AFC client made on it
    service_handle serviceHandle = 0;
    std::unique_ptr<afc_client_private, AfcFree> afc;
    std::chrono::milliseconds timeout{0};
    std::mutex io;
    bool cut = false;  // a round trip outlasted its time-out: the socket is shut down
    std::string lastError;
    HandleTable<KeyValues> directories;
};

ImobiledeviceBackend::ImobiledeviceBackend() = default;

ImobiledeviceBackend::~ImobiledeviceBackend() {
    std::vector<std::shared_ptr<EventQueue>> queues;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, s] : subscriptions_) queues.push_back(s->queue);
        subscriptions_ = {};
    }
    for (auto& q : queues) q->close();
    socketWatch_.reset();
    dropLibrary(false);
    // Devices still referenced close their lockdownd connections under a deadline too.
    std::vector<std::shared_ptr<Device>> devices;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, d] : devices_) devices.push_back(d);
    }
    for (auto& d : devices) {
        std::lock_guard io(d->io);
        closeLockdown(*d);
    }
}

std::shared_ptr<ImobiledeviceBackend> ImobiledeviceBackend::installNew() {
    auto backend = std::make_shared<ImobiledeviceBackend>();
    Backend::install(backend);
    return backend;
}

void ImobiledeviceBackend::setTimeouts(const Timeouts& timeouts) {
    std::lock_guard lock(mutex_);
    timeouts_ = timeouts;
}

std::size_t ImobiledeviceBackend::recordCount() const {
    std::lock_guard lock(mutex_);
    return devices_.size() + services_.size() + afcConnections_.size() + keyValues_.size();
}

bool ImobiledeviceBackend::followingUsbmuxd() const {
    std::lock_guard lock(mutex_);
    return librarySubscribed_;
}

std::shared_ptr<ImobiledeviceBackend::Device> ImobiledeviceBackend::find(am_device device) const {
    std::lock_guard lock(mutex_);
    return devices_.find(idOf(device));
}

// Events ----------------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::notificationSubscribe(am_device_notification_callback callback, void* context,
                                                         _am_device_notification** subscription) {
    if (!callback || !subscription) return Status::backend(Status::kInvalidArgument);
    auto deliver = [callback, context](const am_device_notification_callback_info& event) {
        am_device_notification_callback_info copy = event;
        callback(&copy, context);
    };
    // An attach that is never delivered still carries its reference: give it back.
    auto discard = [this](const am_device_notification_callback_info& event) {
        if (event.msg == ADNCI_MSG_CONNECTED) release(event.dev);
    };
    auto sub = std::make_shared<Subscription>();
    sub->queue = std::make_shared<EventQueue>(deliver, discard);
    auto queue = sub->queue;
    std::vector<am_device> present;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = subscriptions_.size() == 0;
        // A later subscriber hears of the devices that are already there, as the first one did.
        for (auto& [id, d] : devices_) {
            if (!d->present) continue;
            ++d->references;
            present.push_back(toHandle<am_device>(id));
        }
        *subscription = toHandle<_am_device_notification*>(subscriptions_.add(std::move(sub)));
    }
    for (auto device : present) queue->push({device, ADNCI_MSG_CONNECTED});
    if (first) watchAndSubscribe();
    return 0;
}

std::int32_t ImobiledeviceBackend::notificationUnsubscribe(_am_device_notification* subscription) {
    std::shared_ptr<Subscription> sub;
    bool last = false;
    {
        std::lock_guard lock(mutex_);
        sub = subscriptions_.take(idOf(subscription));
        if (!sub) return Status::backend(Status::kInvalidArgument);
        last = subscriptions_.size() == 0;
    }
    sub->queue->close();
    if (last) {
        socketWatch_.reset();
        dropLibrary(false);
    }
    return 0;
}

void ImobiledeviceBackend::watchAndSubscribe() {
    const auto path = UsbmuxdSocketWatch::socketPath();
    if (!path) {
        subscribeLibrary();
        return;
    }
    socketWatch_ = std::make_unique<UsbmuxdSocketWatch>(*path, [this](bool up) {
        if (up) {
            subscribeLibrary();
        } else {
            dropLibrary(true);
        }
    });
    if (!socketWatch_->watching() || socketWatch_->up()) subscribeLibrary();
}

void ImobiledeviceBackend::subscribeLibrary() {
    {
        std::lock_guard lock(mutex_);
        if (librarySubscribed_) return;
        librarySubscribed_ = true;
    }
    // Without inotify, libusbmuxd connects to the socket that USBMUXD_SOCKET_ADDRESS names; with it,
    // it would wait for a file in /var/run whatever the address says.
    libusbmuxd_set_use_inotify(0);
    // Called without our lock: the library replays present devices on this thread before it returns.
    const idevice_error_t status = idevice_event_subscribe(onLibraryEvent, this);
    if (status != IDEVICE_E_SUCCESS) {
        logLine("idevice_event_subscribe failed: {}", static_cast<int>(status));
        std::lock_guard lock(mutex_);
        librarySubscribed_ = false;
    }
}

void ImobiledeviceBackend::dropLibrary(bool tell) {
    bool subscribed = false;
    {
        std::lock_guard lock(mutex_);
        subscribed = librarySubscribed_;
        librarySubscribed_ = false;
    }
    // Never from the library's own thread: its unsubscribe cancels and joins that thread.
    if (subscribed) idevice_event_unsubscribe();
    detachEverything(tell);
}

void ImobiledeviceBackend::detachEverything(bool tell) {
    std::vector<std::pair<std::shared_ptr<EventQueue>, am_device>> pushes;
    std::vector<std::shared_ptr<Device>> gone;
    {
        std::lock_guard lock(mutex_);
        for (auto& [key, id] : present_) {
            auto d = devices_.find(id);
            if (!d) continue;
            d->present = false;
            gone.push_back(d);
            if (!tell) continue;
            for (auto& [subId, s] : subscriptions_) pushes.emplace_back(s->queue, toHandle<am_device>(id));
        }
        present_.clear();
    }
    for (auto& [queue, device] : pushes) queue->push({device, ADNCI_MSG_DISCONNECTED});
    for (auto& d : gone) detached(d);
}

void ImobiledeviceBackend::libraryEvent(int type, const std::string& udid, int connectionType) {
    std::vector<std::pair<std::shared_ptr<EventQueue>, am_device_notification_callback_info>> pushes;
    std::shared_ptr<Device> removed;
    {
        std::lock_guard lock(mutex_);
        const auto key = std::make_pair(udid, connectionType);
        auto it = present_.find(key);
        std::shared_ptr<Device> device = it == present_.end() ? nullptr : devices_.find(it->second);
        std::uint32_t message = 0;
        if (type == IDEVICE_DEVICE_ADD) {
            if (device || udid.empty()) return;  // already known: a replay after a reconnect
            device = std::make_shared<Device>();
            device->udid = udid;
            device->connectionType = connectionType;
            device->references = static_cast<int>(subscriptions_.size());  // one per receiver
            device->id = devices_.add(device);
            present_[key] = device->id;
            message = ADNCI_MSG_CONNECTED;
        } else if (type == IDEVICE_DEVICE_REMOVE) {
            if (!device) return;
            device->present = false;
            present_.erase(key);
            removed = device;
            message = ADNCI_MSG_DISCONNECTED;
        } else if (type == IDEVICE_DEVICE_PAIRED) {
            if (!device) return;
            message = ADNCI_MSG_UNKNOWN;
        } else {
            return;
        }
        for (auto& [id, s] : subscriptions_)
            pushes.emplace_back(s->queue, am_device_notification_callback_info{toHandle<am_device>(device->id), message});
    }
    for (auto& [queue, event] : pushes) queue->push(event);
    if (removed) detached(removed);
}

void ImobiledeviceBackend::detached(const std::shared_ptr<Device>& device) {
    std::vector<std::shared_ptr<Service>> services;
    {
        std::lock_guard lock(mutex_);
        for (auto it = services_.begin(); it != services_.end();) {
            if (it->second->device == device->id) {
                services.push_back(std::move(it->second));
                it = services_.erase(it);
            } else {
                ++it;
            }
        }
    }
    services.clear();  // closed: their handles find nothing from now on
    forgetIfUnused(device);
}

void ImobiledeviceBackend::forgetIfUnused(const std::shared_ptr<Device>& device) {
    {
        std::lock_guard lock(mutex_);
        if (device->present || device->references > 0) return;
        if (!devices_.take(device->id)) return;  // forgotten already
    }
    std::lock_guard io(device->io);
    closeLockdown(*device);
    device->idevice.reset();
}

// Device ----------------------------------------------------------------------------------------

template <typename Call>
auto ImobiledeviceBackend::onLockdown(Device& device, Call call, bool* timedOut) {
    std::chrono::milliseconds timeout;
    {
        std::lock_guard lock(mutex_);
        timeout = timeouts_.lockdown;
    }
    SigpipeHeld held;
    auto deadline = deadlines_.arm(socketOf(device.lockdown.get()), timeout);
    auto result = call(device.lockdown.get());
    const bool expired = deadline.expired();
    deadline = {};
    if (expired) {
        logLine("lockdownd of {} did not answer within {} ms; its connection was cut", device.udid, timeout.count());
        device.lockdown.reset();  // on a cut socket: fails at once
        device.inSession = false;
        device.sessionId.clear();
    }
    if (timedOut) *timedOut = expired;
    return result;
}

void ImobiledeviceBackend::closeLockdown(Device& device) {
    if (!device.lockdown) return;
    // Freeing stops an open session: a request and its reply.
    std::chrono::milliseconds timeout;
    {
        std::lock_guard lock(mutex_);
        timeout = timeouts_.lockdown;
    }
    auto deadline = deadlines_.arm(socketOf(device.lockdown.get()), timeout);
    device.lockdown.reset();
    device.inSession = false;
    device.sessionId.clear();
}

am_device ImobiledeviceBackend::retain(am_device device) {
    std::lock_guard lock(mutex_);
    if (auto d = devices_.find(idOf(device))) ++d->references;
    return device;
}

void ImobiledeviceBackend::release(am_device device) {
    auto d = find(device);
    if (!d) return;
    {
        std::lock_guard lock(mutex_);
        if (d->references == 0) return;  // not ours to give back: ignored
        --d->references;
    }
    forgetIfUnused(d);
}

std::int32_t ImobiledeviceBackend::connect(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return Status::backend(Status::kNoSuchDevice);
    }
    if (d->lockdown) return 0;
    // Both calls wait only on bounded steps: usbmuxd's replies (5 s each, libusbmuxd's own) and,
    // for a network device, the TCP connect (5 s, libimobiledevice's own). The client sends nothing.
    if (!d->idevice) {
        idevice_t idevice = nullptr;
        const auto lookup = d->network() ? IDEVICE_LOOKUP_NETWORK : IDEVICE_LOOKUP_USBMUX;
        const idevice_error_t status = idevice_new_with_options(&idevice, d->udid.c_str(), lookup);
        if (status != IDEVICE_E_SUCCESS) return Status::fromIdevice(status);
        d->idevice = std::shared_ptr<idevice_private>(idevice, IdeviceFree());
    }
    lockdownd_client_t client = nullptr;
    // Not the handshake variant: that one pairs on its own when no pair record is there.
    const lockdownd_error_t status = lockdownd_client_new(d->idevice.get(), &client, kLabel);
    if (status != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(status);
    d->lockdown.reset(client);
    return 0;
}

std::int32_t ImobiledeviceBackend::disconnect(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    closeLockdown(*d);  // stops a session that is still open
    return 0;
}

std::int32_t ImobiledeviceBackend::startSession(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    return openSession(*d);
}

std::int32_t ImobiledeviceBackend::openSession(Device& d) {
    const auto hostId = hostIdOf(d.udid);
    if (!hostId) return Status::backend(Status::kNotPaired);
    char* sessionId = nullptr;
    int ssl = 0;
    bool timedOut = false;
    const lockdownd_error_t status = onLockdown(d, [&](lockdownd_client_t client) {
        return lockdownd_start_session(client, hostId->c_str(), &sessionId, &ssl);
    }, &timedOut);
    std::unique_ptr<char, decltype(&std::free)> owned(sessionId, std::free);
    if (timedOut) return Status::backend(Status::kTimedOut);
    if (status == LOCKDOWN_E_SSL_ERROR) {
        // The device answered in plain text and waits for TLS that never came (the record's keys
        // were refused, or the handshake failed): the connection is of no further use. A fresh
        // one lets the caller read on outside a session, as it does after any refused session.
        closeLockdown(d);
        lockdownd_client_t fresh = nullptr;
        if (lockdownd_client_new(d.idevice.get(), &fresh, kLabel) == LOCKDOWN_E_SUCCESS) d.lockdown.reset(fresh);
    }
    if (status != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(status);
    d.sessionId = sessionId ? sessionId : "";
    d.inSession = true;
    return 0;
}

std::int32_t ImobiledeviceBackend::stopSession(am_device device) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    if (!d->inSession) return Status::backend(Status::kNoSession);
    bool timedOut = false;
    const lockdownd_error_t status = onLockdown(*d, [&](lockdownd_client_t client) {
        return lockdownd_stop_session(client, d->sessionId.c_str());
    }, &timedOut);
    if (timedOut) return Status::backend(Status::kTimedOut);
    if (status != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(status);
    d->inSession = false;
    d->sessionId.clear();
    return 0;
}

PlistRef ImobiledeviceBackend::copyValue(am_device device, const char* domain, const char* key) {
    auto d = find(device);
    if (!d) return nullptr;
    std::lock_guard io(d->io);
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return nullptr;
    }
    if (!d->lockdown) return nullptr;
    plist_t value = nullptr;
    const lockdownd_error_t status = onLockdown(*d, [&](lockdownd_client_t client) {
        return lockdownd_get_value(client, domain, key, &value);
    });
    PlistPtr owned(value);
    // Success without a value is how the library says "not found".
    if (status != LOCKDOWN_E_SUCCESS) return nullptr;
    return fromLibplist(value);
}

// Pairing --------------------------------------------------------------------------------------

namespace {

// The refusals that callers tell apart, in the framework's terms.
std::int32_t pairingStatus(lockdownd_error_t status) {
    switch (status) {
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING: return kAMDPairingDialogResponsePendingError;
    case LOCKDOWN_E_USER_DENIED_PAIRING: return kAMDUserDeniedPairingError;
    case LOCKDOWN_E_PASSWORD_PROTECTED: return kAMDPasswordProtectedError;
    default: return Status::fromLockdown(status);
    }
}

} // namespace

template <typename Call>
std::int32_t ImobiledeviceBackend::onConnected(am_device device, Call call) {
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return Status::backend(Status::kNoSuchDevice);
    }
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    return call(*d);
}

std::int32_t ImobiledeviceBackend::pair(am_device device) {
    return onConnected(device, [&](Device& d) {
        bool timedOut = false;
        // The library makes the host's certificates, asks the device, and has usbmuxd keep the
        // record of a yes (usbmuxd then tells its listeners that the device is paired).
        const lockdownd_error_t status =
            onLockdown(d, [](lockdownd_client_t client) { return lockdownd_pair(client, nullptr); }, &timedOut);
        return timedOut ? Status::backend(Status::kTimedOut) : pairingStatus(status);
    });
}

std::int32_t ImobiledeviceBackend::unpair(am_device device) {
    return onConnected(device, [&](Device& d) {
        if (!hostIdOf(d.udid)) return Status::backend(Status::kNotPaired);
        bool timedOut = false;
        const lockdownd_error_t status =
            onLockdown(d, [](lockdownd_client_t client) { return lockdownd_unpair(client, nullptr); }, &timedOut);
        if (timedOut) return Status::backend(Status::kTimedOut);
        // A device that no longer knows this computer is unpaired already; the record that the
        // library leaves then would keep saying otherwise.
        if (status == LOCKDOWN_E_INVALID_HOST_ID) {
            (void)usbmuxd_delete_pair_record(d.udid.c_str());
            return 0;
        }
        return pairingStatus(status);
    });
}

std::int32_t ImobiledeviceBackend::validatePairing(am_device device) {
    return onConnected(device, [&](Device& d) -> std::int32_t {
        // An open session has proved it already.
        if (d.inSession) return 0;
        const std::int32_t started = openSession(d);
        if (started != 0) return started;
        bool timedOut = false;
        const lockdownd_error_t stopped = onLockdown(d, [&](lockdownd_client_t client) {
            return lockdownd_stop_session(client, d.sessionId.c_str());
        }, &timedOut);
        if (!timedOut && stopped == LOCKDOWN_E_SUCCESS) {
            d.inSession = false;
            d.sessionId.clear();
        }
        return 0;
    });
}

std::int32_t ImobiledeviceBackend::interfaceType(am_device device) {
    auto d = find(device);
    if (!d) return 0;
    return d->network() ? 2 : 1;
}

std::int32_t ImobiledeviceBackend::isPaired(am_device device) {
    auto d = find(device);
    return d && hostIdOf(d->udid) ? 1 : 0;
}

// Services --------------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::start(am_device device, const char* name, service_handle* handle) {
    if (!name || !handle) return Status::backend(Status::kInvalidArgument);
    auto d = find(device);
    if (!d) return Status::backend(Status::kNoSuchDevice);
    std::lock_guard io(d->io);
    Timeouts timeouts;
    {
        std::lock_guard lock(mutex_);
        if (!d->present) return Status::backend(Status::kNoSuchDevice);
        timeouts = timeouts_;
    }
    if (!d->lockdown) return Status::backend(Status::kNotConnected);
    lockdownd_service_descriptor_t descriptor = nullptr;
    bool timedOut = false;
    const lockdownd_error_t started = onLockdown(*d, [&](lockdownd_client_t client) {
        return lockdownd_start_service(client, name, &descriptor);
    }, &timedOut);
    std::unique_ptr<lockdownd_service_descriptor, DescriptorFree> ownedDescriptor(descriptor);
    if (timedOut) return Status::backend(Status::kTimedOut);
    if (started != LOCKDOWN_E_SUCCESS) return Status::fromLockdown(started);
    if (!descriptor) return Status::fromLockdown(LOCKDOWN_E_UNKNOWN_ERROR);
    // The library's own client would run the TLS handshake without a time-out and carry on in
    // plain text when it fails. So: connect in plain text, then turn TLS on here, bounded, and
    // fail when it fails.
    const bool tls = descriptor->ssl_enabled != 0;
    descriptor->ssl_enabled = 0;
    service_client_t client = nullptr;
    const service_error_t made = service_client_new(d->idevice.get(), descriptor, &client);
    std::unique_ptr<service_client_private, ServiceFree> ownedClient(client);
    if (made != SERVICE_E_SUCCESS) return Status::fromService(made);
    const int fd = socketOf(client);
    if (fd < 0) return Status::fromIdevice(IDEVICE_E_UNKNOWN_ERROR);
    if (tls) {
        SigpipeHeld held;
        auto deadline = deadlines_.arm(fd, timeouts.serviceStart);
        const service_error_t secured = service_enable_ssl(client);
        if (deadline.expired()) return Status::backend(Status::kTimedOut);
        if (secured != SERVICE_E_SUCCESS) return Status::fromService(secured);
    }
    // The library leaves the socket non-blocking; whoever talks to it through the handle expects
    // a read to wait for its bytes, and a bounded wait: a device that stops answering or reading
    // makes a send or receive fail after the time-out. The library's own reads poll first.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const timeval bound = toTimeval(timeouts.serviceSocket);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    auto service = std::make_shared<Service>();
    service->idevice = d->idevice;
    service->client = std::move(ownedClient);
    service->device = d->id;
    service->network = d->network();
    service->tls = tls;
    service->socket = fd;
    std::lock_guard lock(mutex_);
    // The counter skips 0 when it wraps; the socket in the low half tells live handles apart. A
    // TLS service's handle carries no socket, so that no one writes plain text into it.
    if (++nextService_ == 0) ++nextService_;
    const std::uint32_t low = tls ? kNoSocket : static_cast<std::uint32_t>(fd);
    const service_handle value = (static_cast<service_handle>(nextService_) << 32) | low;
    services_[value] = std::move(service);
    *handle = value;
    return 0;
}

std::int32_t ImobiledeviceBackend::startService(am_device device, const char* name, service_handle* handle,
                                                std::uint32_t*) {
    return start(device, name, handle);
}

std::int32_t ImobiledeviceBackend::secureStartService(am_device device, const char* name, service_handle* handle) {
    return start(device, name, handle);
}

std::shared_ptr<ImobiledeviceBackend::Service> ImobiledeviceBackend::liveService(service_handle handle,
                                                                              std::chrono::milliseconds* ioTimeout) const {
    std::lock_guard lock(mutex_);
    if (ioTimeout) *ioTimeout = timeouts_.serviceSocket;
    std::shared_ptr<Service> service;
    if (auto it = services_.find(handle); it != services_.end()) service = it->second;
    for (auto c = afcConnections_.begin(); !service && c != afcConnections_.end(); ++c) {
        if (c->second->serviceHandle == handle) service = c->second->service;
    }
    // An AFC connection keeps its service until it is closed, and is refused like its operations
    // once its device has gone.
    auto device = service ? devices_.find(service->device) : nullptr;
    return device && device->present ? service : nullptr;
}

std::int32_t ImobiledeviceBackend::serviceConnectionGetSocket(service_handle handle) {
    auto service = liveService(handle);
    return service && !service->tls ? service->socket : -1;
}

void* ImobiledeviceBackend::secureIOContext(service_handle handle) {
    // Opaque to its callers, who only tell it from null: the handle itself, which no other live
    // service has.
    auto service = liveService(handle);
    return service && service->tls ? reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle)) : nullptr;
}

ssize_t ImobiledeviceBackend::serviceConnectionSend(service_handle handle, const void* data, std::size_t size) {
    if (!data && size > 0) return -1;
    std::chrono::milliseconds timeout{};
    auto service = liveService(handle, &timeout);
    if (!service) return -1;
    std::lock_guard io(service->io);
    if (service->cut) return -1;
    // OpenSSL writes without MSG_NOSIGNAL; and the library polls a peer that reads nothing for
    // ever, so the socket is cut once the time-out has passed.
    SigpipeHeld held;
    auto deadline = deadlines_.arm(service->socket, timeout);
    const auto* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(size - done, kServicePiece));
        std::uint32_t sent = 0;
        deadline.renew();
        if (service_send(service->client.get(), bytes + done, piece, &sent) != SERVICE_E_SUCCESS || sent == 0) {
            if (deadline.expired()) service->cut = true;
            return -1;
        }
        done += std::min(sent, piece);
    }
    return static_cast<ssize_t>(size);
}

ssize_t ImobiledeviceBackend::serviceConnectionReceive(service_handle handle, void* buffer, std::size_t size) {
    if (!buffer || size == 0) return -1;
    std::chrono::milliseconds timeout{};
    auto service = liveService(handle, &timeout);
    if (!service) return -1;
    std::lock_guard io(service->io);
    if (service->cut) return -1;
    // In TLS the library gives all that is asked for or nothing, so the pieces asked for are of a
    // bounded size, each with its own time-out.
    const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(size, kServicePiece));
    std::uint32_t got = 0;
    SigpipeHeld held;  // a failed read may answer with an alert
    const service_error_t status = service_receive_with_timeout(service->client.get(), static_cast<char*>(buffer),
                                                                piece, &got, static_cast<unsigned>(timeout.count()));
    if (status == SERVICE_E_SUCCESS && got > 0) return static_cast<ssize_t>(std::min(got, piece));
    // A TLS stream that failed half-way has lost its place (the library drops what it read).
    if (service->tls) service->cut = true;
    // The library says "TLS error" for a stream that has ended too: the socket tells which.
    char byte;
    const ssize_t peeked = ::recv(service->socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 ? 0 : -1;
}

std::int32_t ImobiledeviceBackend::serviceConnectionInvalidate(service_handle handle) {
    std::shared_ptr<Service> service;
    {
        std::lock_guard lock(mutex_);
        // One that an AFC connection took over closes with that connection.
        auto it = services_.find(handle);
        if (it == services_.end()) return Status::backend(Status::kNoSuchObject);
        service = std::move(it->second);
        services_.erase(it);
    }
    return 0;  // the connection closes here, outside the lock
}

// AFC connection --------------------------------------------------------------------------------

std::shared_ptr<ImobiledeviceBackend::AfcConnection> ImobiledeviceBackend::findAfc(afc_connection connection) const {
    std::lock_guard lock(mutex_);
    return afcConnections_.find(idOf(connection));
}

template <typename Call>
std::int32_t ImobiledeviceBackend::onAfc(afc_connection connection, const char* what, Call call) {
    std::shared_ptr<AfcConnection> c;
    {
        std::lock_guard lock(mutex_);
        c = afcConnections_.find(idOf(connection));
        if (!c) return Status::backend(Status::kNoSuchObject);
        // A detached device's connections are refused at once: nothing is sent to what has gone.
        auto device = devices_.find(c->service->device);
        if (!device || !device->present) return Status::backend(Status::kNoSuchDevice);
    }
    std::lock_guard io(c->io);
    if (c->cut) return Status::backend(Status::kNotConnected);
    SigpipeHeld held;
    auto deadline = deadlines_.arm(c->service->socket, c->timeout);
    const afc_error_t status = call(*c, deadline);
    if (deadline.expired()) {
        c->cut = true;
        c->lastError = fmt::format("{} failed: no answer within {} ms", what, c->timeout.count());
        return Status::backend(Status::kTimedOut);
    }
    if (status != AFC_E_SUCCESS) c->lastError = fmt::format("{} failed: AFC error {}", what, static_cast<int>(status));
    return Status::fromAfc(status);
}

std::int32_t ImobiledeviceBackend::afcConnectionOpen(service_handle handle, std::uint32_t ioTimeout,
                                                     afc_connection* connection) {
    if (!connection) return Status::backend(Status::kInvalidArgument);
    std::shared_ptr<Service> service;
    std::chrono::milliseconds timeout{0};
    {
        std::lock_guard lock(mutex_);
        auto it = services_.find(handle);
        if (it == services_.end()) return Status::backend(Status::kNoSuchObject);
        service = it->second;
        services_.erase(it);  // the AFC connection owns it from now on
        timeout = ioTimeout > 0 ? std::chrono::seconds(ioTimeout)
                                : (service->network ? timeouts_.afcNetwork : timeouts_.afcUsb);
    }
    afc_client_t afc = nullptr;
    const afc_error_t status = afc_client_new_with_service_client(service->client.get(), &afc);
    std::lock_guard lock(mutex_);
    if (status != AFC_E_SUCCESS || !afc) {
        services_[handle] = service;
        return Status::fromAfc(status != AFC_E_SUCCESS ? status : AFC_E_UNKNOWN_ERROR);
    }
    auto record = std::make_shared<AfcConnection>();
    record->service = std::move(service);
    record->serviceHandle = handle;
    record->afc.reset(afc);
    record->timeout = timeout;
    *connection = toHandle<afc_connection>(afcConnections_.add(std::move(record)));
    return 0;
}

std::int32_t ImobiledeviceBackend::afcConnectionClose(afc_connection connection) {
    std::shared_ptr<AfcConnection> record;
    {
        std::lock_guard lock(mutex_);
        record = afcConnections_.take(idOf(connection));
        if (!record) return Status::backend(Status::kNoSuchObject);
    }
    // Freed here, or by the last call still running on it.
    return 0;
}

std::uint32_t ImobiledeviceBackend::afcConnectionGetIOTimeout(afc_connection connection) {
    auto c = findAfc(connection);
    if (!c) return 0;
    // In whole seconds, rounded up.
    return static_cast<std::uint32_t>((c->timeout.count() + 999) / 1000);
}

std::int32_t ImobiledeviceBackend::afcConnectionProcessOperation(afc_connection connection,
                                                                 const PlatformObjectRef& operation, double) {
    auto setModTime = std::dynamic_pointer_cast<SetModTimeOperation>(operation);
    if (!setModTime) return Status::backend(Status::kInvalidArgument);
    if (!findAfc(connection)) return Status::backend(Status::kNoSuchObject);
    setModTime->result = onAfc(connection, "afc_set_file_time", [&](AfcConnection& c, auto&) {
        return afc_set_file_time(c.afc.get(), setModTime->path.c_str(), setModTime->nanoseconds);
    });
    return 0;
}

PlistRef ImobiledeviceBackend::afcConnectionCopyLastErrorInfo(afc_connection connection) {
    auto c = findAfc(connection);
    if (!c) return nullptr;
    std::lock_guard io(c->io);
    if (c->lastError.empty()) return nullptr;
    return PlistValue::make(PlistValue::Dictionary{{"NSLocalizedDescription", c->lastError}});
}

// AFC information -------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::openKeyValues(afc_connection connection, const char* what, const char* path,
                                                 afc_dictionary* info) {
    if (!info) return Status::backend(Status::kInvalidArgument);
    auto pairs = std::make_shared<KeyValues>();
    const std::int32_t status = onAfc(connection, what, [&](AfcConnection& c, auto&) {
        char** list = nullptr;
        const afc_error_t s = path ? afc_get_file_info(c.afc.get(), path, &list) : afc_get_device_info(c.afc.get(), &list);
        std::unique_ptr<char*, DictionaryFree> owned(list);
        pairs->items = copyList(list);
        return s;
    });
    if (status != 0) return status;
    std::lock_guard lock(mutex_);
    *info = toHandle<afc_dictionary>(keyValues_.add(std::move(pairs)));
    return 0;
}

std::int32_t ImobiledeviceBackend::afcDeviceInfoOpen(afc_connection connection, afc_dictionary* info) {
    return openKeyValues(connection, "afc_get_device_info", nullptr, info);
}

std::int32_t ImobiledeviceBackend::afcFileInfoOpen(afc_connection connection, const char* path, afc_dictionary* info) {
    if (!path) return Status::backend(Status::kInvalidArgument);
    return openKeyValues(connection, "afc_get_file_info", path, info);
}

std::int32_t ImobiledeviceBackend::afcKeyValueRead(afc_dictionary info, const char** key, const char** value) {
    if (!key || !value) return Status::backend(Status::kInvalidArgument);
    *key = nullptr;
    *value = nullptr;
    std::lock_guard lock(mutex_);
    auto pairs = keyValues_.find(idOf(info));
    if (!pairs) return Status::backend(Status::kNoSuchObject);
    // After the last pair, both stay null.
    if (pairs->next + 1 < pairs->items.size()) {
        *key = pairs->items[pairs->next].c_str();
        *value = pairs->items[pairs->next + 1].c_str();
        pairs->next += 2;
    }
    return 0;
}

std::int32_t ImobiledeviceBackend::afcKeyValueClose(afc_dictionary info) {
    std::lock_guard lock(mutex_);
    return keyValues_.take(idOf(info)) ? 0 : Status::backend(Status::kNoSuchObject);
}

// AFC directories and paths ---------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::afcDirectoryOpen(afc_connection connection, const char* path,
                                                    afc_directory* directory) {
    if (!path || !directory) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_read_directory", [&](AfcConnection& c, auto&) {
        char** list = nullptr;
        // The whole listing comes at once; reading it is then local.
        const afc_error_t status = afc_read_directory(c.afc.get(), path, &list);
        std::unique_ptr<char*, DictionaryFree> owned(list);
        if (status != AFC_E_SUCCESS) return status;
        auto names = std::make_shared<KeyValues>();
        names->items = copyList(list);
        *directory = toHandle<afc_directory>(c.directories.add(std::move(names)));
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcDirectoryRead(afc_connection connection, afc_directory directory, char** name) {
    if (!name) return Status::backend(Status::kInvalidArgument);
    *name = nullptr;
    auto c = findAfc(connection);
    if (!c) return Status::backend(Status::kNoSuchObject);
    std::lock_guard io(c->io);
    auto names = c->directories.find(idOf(directory));
    if (!names) return Status::backend(Status::kNoSuchObject);
    if (names->next < names->items.size()) *name = names->items[names->next++].data();
    return 0;
}

std::int32_t ImobiledeviceBackend::afcDirectoryClose(afc_connection connection, afc_directory directory) {
    auto c = findAfc(connection);
    if (!c) return Status::backend(Status::kNoSuchObject);
    std::lock_guard io(c->io);
    return c->directories.take(idOf(directory)) ? 0 : Status::backend(Status::kNoSuchObject);
}

std::int32_t ImobiledeviceBackend::afcDirectoryCreate(afc_connection connection, const char* path) {
    if (!path) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_make_directory", [&](AfcConnection& c, auto&) { return afc_make_directory(c.afc.get(), path); });
}

std::int32_t ImobiledeviceBackend::afcRemovePath(afc_connection connection, const char* path) {
    if (!path) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_remove_path", [&](AfcConnection& c, auto&) { return afc_remove_path(c.afc.get(), path); });
}

std::int32_t ImobiledeviceBackend::afcRenamePath(afc_connection connection, const char* oldPath, const char* newPath) {
    if (!oldPath || !newPath) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_rename_path",
                 [&](AfcConnection& c, auto&) { return afc_rename_path(c.afc.get(), oldPath, newPath); });
}

std::int32_t ImobiledeviceBackend::afcLinkPath(afc_connection connection, std::int64_t linkType, const char* target,
                                               const char* linkPath) {
    if (!target || !linkPath || (linkType != AFC_HARDLINK && linkType != AFC_SYMLINK))
        return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_make_link", [&](AfcConnection& c, auto&) {
        return afc_make_link(c.afc.get(), static_cast<afc_link_type_t>(linkType), target, linkPath);
    });
}

// AFC operations --------------------------------------------------------------------------------

PlatformObjectRef ImobiledeviceBackend::afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                                     void*) {
    return std::make_shared<SetModTimeOperation>(path, nanoseconds);
}

std::int32_t ImobiledeviceBackend::afcOperationGetResultStatus(const PlatformObjectRef& operation) {
    auto setModTime = std::dynamic_pointer_cast<SetModTimeOperation>(operation);
    return setModTime ? setModTime->result.load() : Status::backend(Status::kInvalidArgument);
}

// AFC files -------------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::afcFileRefOpen(afc_connection connection, const char* path, std::uint64_t mode,
                                                  afc_file_ref* ref) {
    if (!path || !ref) return Status::backend(Status::kInvalidArgument);
    // The wire's numbers mean other things than ours: its 2 is "r+" and its 3 is "w", which
    // truncates. Passing ours through would empty a file opened for reading and writing.
    afc_file_mode_t wire;
    switch (mode) {
    case 1: wire = AFC_FOPEN_RDONLY; break;
    case 2: wire = AFC_FOPEN_WRONLY; break;
    case 3: wire = AFC_FOPEN_RW; break;
    default: return Status::backend(Status::kInvalidArgument);
    }
    return onAfc(connection, "afc_file_open", [&](AfcConnection& c, auto&) {
        std::uint64_t handle = 0;
        const afc_error_t status = afc_file_open(c.afc.get(), path, wire, &handle);
        if (status == AFC_E_SUCCESS) *ref = handle;
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefClose(afc_connection connection, afc_file_ref ref) {
    return onAfc(connection, "afc_file_close", [&](AfcConnection& c, auto&) { return afc_file_close(c.afc.get(), ref); });
}

std::int32_t ImobiledeviceBackend::afcFileRefSeek(afc_connection connection, afc_file_ref ref, std::int64_t offset,
                                                  std::int64_t mode) {
    if (mode < 0 || mode > 2) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_seek", [&](AfcConnection& c, auto&) {
        return afc_file_seek(c.afc.get(), ref, offset, static_cast<int>(mode));
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefTell(afc_connection connection, afc_file_ref ref, std::uint64_t* position) {
    if (!position) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_tell", [&](AfcConnection& c, auto&) {
        std::uint64_t value = 0;
        const afc_error_t status = afc_file_tell(c.afc.get(), ref, &value);
        if (status == AFC_E_SUCCESS) *position = value;
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefRead(afc_connection connection, afc_file_ref ref, void* buffer,
                                                  std::uint64_t* count) {
    if (!count || (!buffer && *count > 0)) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_read", [&](AfcConnection& c, TimeoutWatch::Deadline& deadline) {
        auto* bytes = static_cast<char*>(buffer);
        std::uint64_t done = 0;
        afc_error_t status = AFC_E_SUCCESS;
        // One request may bring less than asked: ask again until the count or the end of the file.
        while (done < *count) {
            const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(*count - done, kAfcChunk));
            std::uint32_t got = 0;
            deadline.renew();  // each round trip has its own time-out
            status = afc_file_read(c.afc.get(), ref, bytes + done, chunk, &got);
            if (status != AFC_E_SUCCESS || got == 0) break;
            done += std::min<std::uint64_t>(got, chunk);
        }
        // Bytes already read are handed over; a failure after them shows at the next read.
        if (done > 0) status = AFC_E_SUCCESS;
        if (status == AFC_E_SUCCESS) *count = done;
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefWrite(afc_connection connection, afc_file_ref ref, const void* buffer,
                                                   std::uint64_t count) {
    if (!buffer && count > 0) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_write", [&](AfcConnection& c, TimeoutWatch::Deadline& deadline) {
        const auto* bytes = static_cast<const char*>(buffer);
        std::uint64_t done = 0;
        // The library sends a whole buffer as one packet; a device takes packets of limited size.
        while (done < count) {
            const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(count - done, kAfcChunk));
            std::uint32_t written = 0;
            deadline.renew();
            const afc_error_t status = afc_file_write(c.afc.get(), ref, bytes + done, chunk, &written);
            if (status != AFC_E_SUCCESS) return status;
            if (written == 0) return AFC_E_WRITE_ERROR;
            done += std::min<std::uint64_t>(written, chunk);
        }
        return AFC_E_SUCCESS;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefSetFileSize(afc_connection connection, afc_file_ref ref,
                                                         std::uint64_t size) {
    return onAfc(connection, "afc_file_truncate",
                 [&](AfcConnection& c, auto&) { return afc_file_truncate(c.afc.get(), ref, size); });
}

std::int32_t ImobiledeviceBackend::afcFileRefLock(afc_connection connection, afc_file_ref ref) {
    return onAfc(connection, "afc_file_lock", [&](AfcConnection& c, auto&) { return afc_file_lock(c.afc.get(), ref, AFC_LOCK_EX); });
}

std::int32_t ImobiledeviceBackend::afcFileRefUnlock(afc_connection connection, afc_file_ref ref) {
    return onAfc(connection, "afc_file_lock", [&](AfcConnection& c, auto&) { return afc_file_lock(c.afc.get(), ref, AFC_LOCK_UN); });
}

} // namespace keldo
