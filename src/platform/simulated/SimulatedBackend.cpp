#include "platform/simulated/SimulatedBackend.h"

#include <fmt/format.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace keldo {

struct SimulatedBackend::Device {
    int id = 0;
    SimulatedDeviceInfo info;
    bool connected = false;
    bool inSession = false;
    int heldReferences = 0;
};

struct SimulatedBackend::Subscription {
    am_device_notification_callback callback = nullptr;
    void* context = nullptr;
    bool active = true;
};

// Both ends of one started service's socket pair; whichever is still open closes with the record.
struct SimulatedBackend::Service {
    int number = 0;
    std::string name;
    bool secure = false;
    int serviceEnd = -1;
    int peerEnd = -1;
    int secureContext = 0;  // only its address matters: the secure I/O context of a secure start

    ~Service() {
        if (serviceEnd >= 0) ::close(serviceEnd);
        if (peerEnd >= 0) ::close(peerEnd);
    }
    service_handle handle() const {
        return (static_cast<service_handle>(number) << 32) | static_cast<std::uint32_t>(serviceEnd);
    }
};

namespace {

class SimulatedPowerAssertion : public PlatformObject {};

std::string quotedOrNull(const char* text) { return text ? fmt::format("\"{}\"", text) : "null"; }

} // namespace

SimulatedDeviceInfo SimulatedDeviceInfo::iPhone(std::optional<std::string> udid, std::optional<std::string> name,
                                                std::optional<std::string> productVersion,
                                                std::int32_t interfaceType) {
    SimulatedDeviceInfo info;
    info.interfaceType = interfaceType;
    info.value("ProductType", "iPhone4,1").value("DeviceClass", "iPhone");
    if (udid) info.value("UniqueDeviceID", *udid).value("SerialNumber", "SIM" + udid->substr(0, 8));
    if (name) info.value("DeviceName", *name);
    if (productVersion) info.value("ProductVersion", *productVersion);
    return info;
}

SimulatedDeviceInfo& SimulatedDeviceInfo::value(const std::string& key, PlistValue value, const std::string& domain) {
    domains[domain][key] = std::move(value);
    return *this;
}

std::string PlatformCall::toString() const {
    return fmt::format("{}({})", name, fmt::join(args, ", "));
}

SimulatedBackend::SimulatedBackend() : serviceSocketType_(SOCK_STREAM) {}
SimulatedBackend::~SimulatedBackend() = default;

std::shared_ptr<SimulatedBackend> SimulatedBackend::installNew() {
    auto backend = std::make_shared<SimulatedBackend>();
    Backend::install(backend);
    return backend;
}

am_device SimulatedBackend::addDevice(SimulatedDeviceInfo info) {
    std::lock_guard lock(mutex_);
    auto device = std::make_unique<Device>();
    device->id = static_cast<int>(devices_.size()) + 1;
    device->info = std::move(info);
    auto* ref = reinterpret_cast<am_device>(device.get());
    devices_.push_back(std::move(device));
    return ref;
}

SimulatedBackend::Device* SimulatedBackend::find(am_device device) const {
    std::lock_guard lock(mutex_);
    for (const auto& d : devices_) {
        if (reinterpret_cast<am_device>(d.get()) == device) return d.get();
    }
    return nullptr;
}

std::string SimulatedBackend::nameOf(am_device device) const {
    if (!device) return "null";
    auto* d = find(device);
    return d ? fmt::format("device#{}", d->id) : "unknown-device";
}

void SimulatedBackend::attach(am_device device) {
    if (auto* d = find(device)) {
        std::lock_guard lock(mutex_);
        ++d->heldReferences;
    }
    deliver(device, ADNCI_MSG_CONNECTED);
}

void SimulatedBackend::detach(am_device device) { deliver(device, ADNCI_MSG_DISCONNECTED); }

void SimulatedBackend::deliver(am_device device, std::uint32_t message) {
    std::vector<Subscription> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& s : subscriptions_) {
            if (s->active) targets.push_back(*s);
        }
    }
    // Called without the lock: a receiver calls back into the platform.
    for (const auto& s : targets) {
        am_device_notification_callback_info info{device, message};
        s.callback(&info, s.context);
    }
}

std::size_t SimulatedBackend::subscriptionCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(subscriptions_.begin(), subscriptions_.end(),
                                                  [](const auto& s) { return s->active; }));
}

void SimulatedBackend::forceStatus(const std::string& operation, std::int32_t status, int times) {
    std::lock_guard lock(mutex_);
    if (status == 0 || times == 0) {
        forced_.erase(operation);
    } else {
        forced_[operation] = Forced{status, times};
    }
}

std::vector<PlatformCall> SimulatedBackend::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> SimulatedBackend::callNames() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    for (const auto& c : calls_) names.push_back(c.name);
    return names;
}

void SimulatedBackend::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

int SimulatedBackend::heldReferences(am_device device) const {
    auto* d = find(device);
    std::lock_guard lock(mutex_);
    return d ? d->heldReferences : 0;
}

int SimulatedBackend::badReleases() const {
    std::lock_guard lock(mutex_);
    return badReleases_;
}

bool SimulatedBackend::isConnected(am_device device) const {
    auto* d = find(device);
    std::lock_guard lock(mutex_);
    return d && d->connected;
}

bool SimulatedBackend::isInSession(am_device device) const {
    auto* d = find(device);
    std::lock_guard lock(mutex_);
    return d && d->inSession;
}

void SimulatedBackend::setPairedAnswer(am_device device, std::int32_t answer) {
    std::lock_guard lock(mutex_);
    if (auto* d = find(device)) d->info.pairedAnswer = answer;
}

void SimulatedBackend::setValue(am_device device, const std::string& key, PlistValue value,
                                const std::string& domain) {
    std::lock_guard lock(mutex_);
    if (auto* d = find(device)) d->info.value(key, std::move(value), domain);
}

void SimulatedBackend::record(std::string name, std::vector<std::string> args) {
    std::lock_guard lock(mutex_);
    calls_.push_back(PlatformCall{std::move(name), std::move(args)});
}

std::optional<std::int32_t> SimulatedBackend::enter(const char* name, std::vector<std::string> args) {
    std::lock_guard lock(mutex_);
    record(name, std::move(args));
    auto it = forced_.find(name);
    if (it == forced_.end()) return std::nullopt;
    std::int32_t status = it->second.status;
    if (it->second.remaining > 0 && --it->second.remaining == 0) forced_.erase(it);
    return status;
}

std::int32_t SimulatedBackend::notificationSubscribe(am_device_notification_callback callback, void* context,
                                                     _am_device_notification** subscription) {
    if (auto forced = enter("AMDeviceNotificationSubscribe", {fmt::format("{}", context)})) return *forced;
    if (!callback || !subscription) return kAMDUndefinedError;
    std::lock_guard lock(mutex_);
    auto s = std::make_unique<Subscription>();
    s->callback = callback;
    s->context = context;
    *subscription = reinterpret_cast<_am_device_notification*>(s.get());
    subscriptions_.push_back(std::move(s));
    return 0;
}

std::int32_t SimulatedBackend::notificationUnsubscribe(_am_device_notification* subscription) {
    if (auto forced = enter("AMDeviceNotificationUnsubscribe", {fmt::format("{}", static_cast<void*>(subscription))}))
        return *forced;
    std::lock_guard lock(mutex_);
    for (auto& s : subscriptions_) {
        if (reinterpret_cast<_am_device_notification*>(s.get()) == subscription && s->active) {
            s->active = false;
            return 0;
        }
    }
    return kAMDUndefinedError;
}

std::int32_t SimulatedBackend::connect(am_device device) {
    if (auto forced = enter("AMDeviceConnect", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return kNoSuchDevice;
    d->connected = true;
    return 0;
}

std::int32_t SimulatedBackend::disconnect(am_device device) {
    if (auto forced = enter("AMDeviceDisconnect", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return kNoSuchDevice;
    d->connected = false;
    d->inSession = false;
    return 0;
}

std::int32_t SimulatedBackend::startSession(am_device device) {
    if (auto forced = enter("AMDeviceStartSession", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return kNoSuchDevice;
    if (!d->connected) return kNotConnected;
    d->inSession = true;
    return 0;
}

std::int32_t SimulatedBackend::stopSession(am_device device) {
    if (auto forced = enter("AMDeviceStopSession", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return kNoSuchDevice;
    if (!d->inSession) return kNoSession;
    d->inSession = false;
    return 0;
}

PlistRef SimulatedBackend::copyValue(am_device device, const char* domain, const char* key) {
    if (enter("AMDeviceCopyValue", {nameOf(device), quotedOrNull(domain), quotedOrNull(key)})) return nullptr;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    // Like a real device, values are only given inside a session.
    if (!d || !d->connected || !d->inSession) return nullptr;
    auto dom = d->info.domains.find(domain ? domain : "");
    if (dom == d->info.domains.end()) return nullptr;
    if (!key) return PlistValue::make(dom->second);
    auto it = dom->second.find(key);
    return it == dom->second.end() ? nullptr : PlistValue::make(it->second);
}

std::int32_t SimulatedBackend::interfaceType(am_device device) {
    if (auto forced = enter("AMDeviceGetInterfaceType", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    return d ? d->info.interfaceType : 0;
}

std::int32_t SimulatedBackend::isPaired(am_device device) {
    if (auto forced = enter("AMDeviceIsPaired", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    return d ? d->info.pairedAnswer : 0;
}

am_device SimulatedBackend::retain(am_device device) {
    record("AMDeviceRetain", {nameOf(device)});
    std::lock_guard lock(mutex_);
    if (auto* d = find(device)) ++d->heldReferences;
    return device;
}

void SimulatedBackend::release(am_device device) {
    record("AMDeviceRelease", {nameOf(device)});
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d || d->heldReferences == 0) {
        ++badReleases_;
        return;
    }
    --d->heldReferences;
}

SimulatedBackend::Service* SimulatedBackend::findService(service_handle service) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : services_) {
        if (s->handle() == service) return s.get();
    }
    return nullptr;
}

std::vector<SimulatedBackend::StartedService> SimulatedBackend::startedServices() const {
    std::lock_guard lock(mutex_);
    std::vector<StartedService> started;
    for (const auto& s : services_) started.push_back(StartedService{s->name, s->secure, s->handle()});
    return started;
}

int SimulatedBackend::peerSocket(service_handle service) const {
    std::lock_guard lock(mutex_);
    auto* s = findService(service);
    return s ? s->peerEnd : -1;
}

void SimulatedBackend::setServiceSocketType(int type) {
    std::lock_guard lock(mutex_);
    serviceSocketType_ = type;
}

void SimulatedBackend::closePeer(service_handle service) {
    std::lock_guard lock(mutex_);
    if (auto* s = findService(service); s && s->peerEnd >= 0) {
        ::close(s->peerEnd);
        s->peerEnd = -1;
    }
}

std::int32_t SimulatedBackend::start(am_device device, const char* name, bool secure, service_handle* handle) {
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return kNoSuchDevice;
    // Like a real device, services are only started inside a session.
    if (!d->connected || !d->inSession) return kNoSession;
    if (!name || !handle) return kAMDUndefinedError;
    int ends[2];
    if (::socketpair(AF_UNIX, serviceSocketType_ | SOCK_CLOEXEC, 0, ends) != 0) return kAMDUndefinedError;
    auto s = std::make_unique<Service>();
    s->number = static_cast<int>(services_.size()) + 1;
    s->name = name;
    s->secure = secure;
    s->serviceEnd = ends[0];
    s->peerEnd = ends[1];
    *handle = s->handle();
    services_.push_back(std::move(s));
    return 0;
}

std::int32_t SimulatedBackend::startService(am_device device, const char* name, service_handle* handle,
                                            std::uint32_t*) {
    if (auto forced = enter("AMDeviceStartService", {nameOf(device), quotedOrNull(name)})) return *forced;
    return start(device, name, false, handle);
}

std::int32_t SimulatedBackend::secureStartService(am_device device, const char* name, service_handle* handle) {
    if (auto forced = enter("AMDeviceSecureStartService", {nameOf(device), quotedOrNull(name)})) return *forced;
    return start(device, name, true, handle);
}

void* SimulatedBackend::secureIOContext(service_handle service) {
    if (enter("AMDServiceConnectionGetSecureIOContext", {fmt::format("{:#x}", service)})) return nullptr;
    std::lock_guard lock(mutex_);
    auto* s = findService(service);
    return s && s->secure ? &s->secureContext : nullptr;
}

PlatformObjectRef SimulatedBackend::powerAssertionCreate(am_device device, const char* type, const char* name,
                                                         PlistRef*, double duration) {
    if (enter("AMDevicePowerAssertionCreate",
              {nameOf(device), quotedOrNull(type), quotedOrNull(name), fmt::format("{}", duration)}))
        return nullptr;
    std::lock_guard lock(mutex_);
    if (!find(device)) return nullptr;
    auto assertion = std::make_shared<SimulatedPowerAssertion>();
    assertions_.push_back(assertion);
    return assertion;
}

int SimulatedBackend::liveAssertions() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(assertions_.begin(), assertions_.end(),
                                          [](const auto& a) { return !a.expired(); }));
}

int SimulatedBackend::createdAssertions() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(assertions_.size());
}

std::int32_t SimulatedBackend::createWakeupToken(am_device device, PlistRef* token) {
    if (auto forced = enter("AMDeviceCreateWakeupToken", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d || !token) return kNoSuchDevice;
    *token = PlistValue::make(PlistValue::Dictionary{{"WakeupToken", fmt::format("token-of-device#{}", d->id)}});
    return 0;
}

std::int32_t SimulatedBackend::wakeupUsingToken(const PlistRef& token, double timeout) {
    if (auto forced = enter("AMDeviceWakeupUsingToken", {token ? token->debugDescription() : "null",
                                                         fmt::format("{}", timeout)}))
        return *forced;
    return token ? 0 : kAMDUndefinedError;
}

} // namespace keldo
