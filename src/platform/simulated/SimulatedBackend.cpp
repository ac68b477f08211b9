#include "platform/simulated/SimulatedBackend.h"

#include "platform/simulated/SimulatedHouseArrest.h"
#include "platform/simulated/SimulatedInstallationProxy.h"

#include <fmt/format.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace keldo {

struct SimulatedBackend::Device {
    int id = 0;
    SimulatedDeviceInfo info;
    bool connected = false;
    bool inSession = false;
    bool present = true;  // until a detach event, and again after an attach
    int heldReferences = 0;
    std::map<std::string, std::unique_ptr<SimulatedFileSystem>> fileSystems;  // by AFC service name
    std::shared_ptr<SimulatedApps> apps = std::make_shared<SimulatedApps>();

    SimulatedFileSystem& fileSystem(const std::string& service) {
        auto& files = fileSystems[service];
        if (!files) files = std::make_unique<SimulatedFileSystem>();
        return *files;
    }
};

struct SimulatedBackend::Subscription {
    am_device_notification_callback callback = nullptr;
    void* context = nullptr;
    bool active = true;
};

// Both ends of one started service's socket pair; whichever is still open closes with the record.
struct SimulatedBackend::Service {
    Device* device = nullptr;
    std::string name;
    bool secure = false;
    bool tls = false;
    service_handle value = 0;  // the number in the high 32 bits, the service end as it was started
    int serviceEnd = -1;       // -1 once the connection is closed
    int peerEnd = -1;
    int secureContext = 0;  // only its address matters: the secure I/O context of a secure start
    // A service that the simulator plays itself, with what its client sent that is not answered
    // yet, and what is not sent yet.
    std::unique_ptr<SimulatedMessageService> played;
    std::string input;
    std::string output;

    ~Service() {
        closeServiceEnd();
        if (peerEnd >= 0) ::close(peerEnd);
    }
    service_handle handle() const { return value; }
    bool closeServiceEnd() {
        if (serviceEnd < 0) return false;
        // Shut down first: a message in flight on a duplicate of it ends at once too.
        ::shutdown(serviceEnd, SHUT_RDWR);
        ::close(serviceEnd);
        serviceEnd = -1;
        return true;
    }
};

namespace {

class SimulatedPowerAssertion : public PlatformObject {};

std::string quotedOrNull(const char* text) { return text ? fmt::format("\"{}\"", text) : "null"; }

// A model that ran the iOS version, by its major number: no iPhone 4S on iOS 17.
struct Model {
    int fromMajor;
    const char* productType;
    const char* hardwareModel;
    const char* architecture;
};
constexpr Model kModels[] = {
    {0, "iPhone1,1", "M68AP", "armv6"},   {2, "iPhone1,2", "N82AP", "armv6"},  {4, "iPhone3,1", "N90AP", "armv7"},
    {5, "iPhone4,1", "N94AP", "armv7"},   {10, "iPhone9,1", "D10AP", "arm64"}, {16, "iPhone14,7", "D27AP", "arm64e"},
};

const Model& modelFor(const std::optional<std::string>& productVersion) {
    const int major = productVersion ? std::atoi(productVersion->c_str()) : 0;
    if (major <= 0) return kModels[3];  // no version: the iPhone 4S, as before versions were told apart
    const Model* found = &kModels[0];
    for (const Model& model : kModels) {
        if (major >= model.fromMajor) found = &model;
    }
    return *found;
}

} // namespace

SimulatedDeviceInfo SimulatedDeviceInfo::iPhone(std::optional<std::string> udid, std::optional<std::string> name,
                                                std::optional<std::string> productVersion,
                                                std::int32_t interfaceType) {
    SimulatedDeviceInfo info;
    info.interfaceType = interfaceType;
    const Model& model = modelFor(productVersion);
    info.value("ProductType", model.productType).value("DeviceClass", "iPhone");
    info.value("HardwareModel", model.hardwareModel).value("CPUArchitecture", model.architecture);
    if (udid) info.value("UniqueDeviceID", *udid).value("SerialNumber", "SIM" + udid->substr(0, 8));
    if (name) info.value("DeviceName", *name);
    if (productVersion) info.value("ProductVersion", *productVersion);
    return info;
}

std::optional<std::string> SimulatedDeviceInfo::udid() const {
    auto domain = domains.find("");
    if (domain == domains.end()) return std::nullopt;
    auto found = domain->second.find("UniqueDeviceID");
    if (found == domain->second.end() || !found->second.text() || found->second.text()->empty()) return std::nullopt;
    return *found->second.text();
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
        d->present = true;
    }
    deliver(device, ADNCI_MSG_CONNECTED);
}

void SimulatedBackend::detach(am_device device) {
    auto* d = find(device);
    if (d) {
        std::lock_guard lock(mutex_);
        d->present = false;
    }
    deliver(device, ADNCI_MSG_DISCONNECTED);
    if (d) {
        std::lock_guard lock(mutex_);
        closeServicesIfGone(d);
    }
}

void SimulatedBackend::closeServicesIfGone(Device* device) {
    if (device->present || device->heldReferences > 0) return;
    for (auto& s : services_) {
        if (s->device == device) s->closeServiceEnd();
    }
}

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

std::int32_t SimulatedBackend::deviceList(std::vector<AMDeviceListEntry>& devices) {
    if (auto forced = enter("AMDCreateDeviceList", {})) return *forced;
    std::lock_guard lock(mutex_);
    for (const auto& d : devices_) {
        const auto udid = d->info.udid();
        if (d->present && udid) devices.push_back({*udid, d->info.interfaceType});
    }
    return 0;
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

std::int32_t SimulatedBackend::setPairing(const char* operation, am_device device, std::int32_t answer) {
    if (auto forced = enter(operation, {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return kNoSuchDevice;
    if (!d->connected) return kNotConnected;
    d->info.pairedAnswer = answer;
    return 0;
}

std::int32_t SimulatedBackend::pair(am_device device) { return setPairing("AMDevicePair", device, 1); }

std::int32_t SimulatedBackend::unpair(am_device device) { return setPairing("AMDeviceUnpair", device, 0); }

std::int32_t SimulatedBackend::validatePairing(am_device device) {
    if (auto forced = enter("AMDeviceValidatePairing", {nameOf(device)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* d = find(device);
    if (!d) return kNoSuchDevice;
    if (!d->connected) return kNotConnected;
    return d->info.pairedAnswer == 1 ? 0 : kNotPaired;
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
    closeServicesIfGone(d);
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

void SimulatedBackend::startInTls(const std::string& name) {
    std::lock_guard lock(mutex_);
    tlsServices_.insert(name);
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
    s->device = d;
    s->name = name;
    s->secure = secure;
    s->tls = tlsServices_.count(name) != 0;
    s->serviceEnd = ends[0];
    s->peerEnd = ends[1];
    s->value = (static_cast<service_handle>(services_.size() + 1) << 32) | static_cast<std::uint32_t>(ends[0]);
    if (s->name == SimulatedHouseArrest::kServiceName) s->played = std::make_unique<SimulatedHouseArrest>(d->apps);
    if (s->name == SimulatedInstallationProxy::kServiceName)
        s->played = std::make_unique<SimulatedInstallationProxy>(d->apps);
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
    return s && (s->secure || s->tls) && s->serviceEnd >= 0 ? &s->secureContext : nullptr;
}

std::int32_t SimulatedBackend::serviceConnectionGetSocket(service_handle service) {
    if (enter("AMDServiceConnectionGetSocket", {fmt::format("{:#x}", service)})) return -1;
    std::lock_guard lock(mutex_);
    auto* s = findService(service);
    if (!s) return -1;
    // A played service answers what came in when its descriptor is asked for, which happens for
    // every message on either path.
    pump(*s);
    return s->tls ? -1 : s->serviceEnd;
}

void SimulatedBackend::pump(Service& s) {
    if (!s.played || s.peerEnd < 0) return;
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::recv(s.peerEnd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) break;
        s.input.append(buffer, static_cast<std::size_t>(got));
    }
    if (!s.played->receive(s.input, s.output)) {
        // A stream that can't be followed ends the connection, as a device ends it.
        ::close(s.peerEnd);
        s.peerEnd = -1;
        return;
    }
    while (!s.output.empty()) {
        const ssize_t sent = ::send(s.peerEnd, s.output.data(), s.output.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent <= 0) break;
        s.output.erase(0, static_cast<std::size_t>(sent));
    }
}

int SimulatedBackend::openServiceEnd(service_handle service) const {
    std::lock_guard lock(mutex_);
    auto* s = findService(service);
    return s ? s->serviceEnd : -1;
}

ssize_t SimulatedBackend::serviceConnectionSend(service_handle service, const void* data, std::size_t size) {
    if (enter("AMDServiceConnectionSend", {fmt::format("{:#x}", service), fmt::format("{}", size)})) return -1;
    // Outside the lock: a peer that reads slowly holds up only this call.
    const int end = openServiceEnd(service);
    if (end < 0) return -1;
    const auto* bytes = static_cast<const char*>(data);
    for (std::size_t done = 0; done < size;) {
        const ssize_t sent = ::send(end, bytes + done, size - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return -1;
        done += static_cast<std::size_t>(sent);
    }
    return static_cast<ssize_t>(size);
}

ssize_t SimulatedBackend::serviceConnectionReceive(service_handle service, void* buffer, std::size_t size) {
    if (enter("AMDServiceConnectionReceive", {fmt::format("{:#x}", service), fmt::format("{}", size)})) return -1;
    const int end = openServiceEnd(service);
    if (end < 0) return -1;
    ssize_t got;
    do {
        got = ::recv(end, buffer, size, 0);
    } while (got < 0 && errno == EINTR);
    return got;
}

std::int32_t SimulatedBackend::serviceConnectionInvalidate(service_handle service) {
    if (auto forced = enter("AMDServiceConnectionInvalidate", {fmt::format("{:#x}", service)})) return *forced;
    std::lock_guard lock(mutex_);
    auto* s = findService(service);
    return s && s->closeServiceEnd() ? 0 : kAMDUndefinedError;
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

// AFC: the glue between the platform's handles and each device's SimulatedFileSystem.

struct SimulatedBackend::AfcConnection {
    int number = 0;
    Service* service = nullptr;  // whose connection it talks on, and closes with itself
    SimulatedFileSystem* files = nullptr;
    std::shared_ptr<SimulatedFileSystem> vended;  // an app's container, kept while it is served
    bool open = true;
    std::vector<afc_file_ref> openFiles;
};

// A directory's names, read one at a time; each name stays valid until the handle is closed.
struct SimulatedBackend::DirectoryListing {
    AfcConnection* connection = nullptr;
    std::string path;
    std::vector<std::string> names;
    std::size_t next = 0;
};

struct SimulatedBackend::KeyValueIterator {
    SimulatedFileSystem* files = nullptr;
    std::string path;
    SimulatedFileSystem::KeyValues pairs;
    std::size_t next = 0;
};

namespace {

struct SimulatedOperation : PlatformObject {
    std::string path;
    std::uint64_t nanoseconds = 0;
    void* context = nullptr;
    std::int32_t result = 0;
};

constexpr std::int32_t kNotConnectedAfc = 11;  // the AFC protocol's "service not connected"

} // namespace

SimulatedFileSystem& SimulatedBackend::fileSystem(am_device device, const std::string& service) {
    std::lock_guard lock(mutex_);
    Device* d = find(device);
    // A pointer that is no simulated device gets a file system of its own that nothing serves.
    static SimulatedFileSystem nowhere;
    return d ? d->fileSystem(service) : nowhere;
}

SimulatedApps& SimulatedBackend::apps(am_device device) {
    std::lock_guard lock(mutex_);
    Device* d = find(device);
    static SimulatedApps none;
    return d ? *d->apps : none;
}

int SimulatedBackend::openAfcConnections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(afcConnections_.begin(), afcConnections_.end(),
                                          [](const auto& c) { return c->open; }));
}

int SimulatedBackend::openDirectories() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(directories_.size());
}

int SimulatedBackend::peakOpenDirectories() const {
    std::lock_guard lock(mutex_);
    return peakDirectories_;
}

int SimulatedBackend::openKeyValueIterators() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(iterators_.size());
}

int SimulatedBackend::liveOperations() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(operations_.begin(), operations_.end(),
                                          [](const auto& o) { return !o.expired(); }));
}

SimulatedBackend::AfcConnection* SimulatedBackend::openConnection(afc_connection connection) const {
    std::lock_guard lock(mutex_);
    for (const auto& c : afcConnections_) {
        if (reinterpret_cast<afc_connection>(c.get()) == connection) return c->open ? c.get() : nullptr;
    }
    return nullptr;
}

std::string SimulatedBackend::nameOf(afc_connection connection) const {
    std::lock_guard lock(mutex_);
    for (const auto& c : afcConnections_) {
        if (reinterpret_cast<afc_connection>(c.get()) == connection) return fmt::format("afc#{}", c->number);
    }
    return connection ? "unknown-afc" : "null";
}

SimulatedFileSystem* SimulatedBackend::fileOf(afc_connection connection, afc_file_ref ref) const {
    std::lock_guard lock(mutex_);
    AfcConnection* c = openConnection(connection);
    if (!c || std::find(c->openFiles.begin(), c->openFiles.end(), ref) == c->openFiles.end()) return nullptr;
    return c->files;
}

std::int32_t SimulatedBackend::afcConnectionOpen(service_handle service, std::uint32_t ioTimeout,
                                                 afc_connection* connection) {
    if (auto forced = enter("AFCConnectionOpen", {fmt::format("{:#x}", service), fmt::format("{}", ioTimeout)}))
        return *forced;
    std::lock_guard lock(mutex_);
    Service* s = findService(service);
    if (!s || !s->device || s->serviceEnd < 0 || !connection) return kAMDUndefinedError;
    std::shared_ptr<SimulatedFileSystem> vended;
    if (s->played) {
        // A played service speaks AFC only once it has handed a file system over.
        pump(*s);
        vended = s->played->handedOver();
        if (!vended) return kAMDUndefinedError;
    }
    auto c = std::make_unique<AfcConnection>();
    c->number = static_cast<int>(afcConnections_.size()) + 1;
    c->service = s;
    c->files = vended ? vended.get() : &s->device->fileSystem(s->name);
    c->vended = std::move(vended);
    *connection = reinterpret_cast<afc_connection>(c.get());
    afcConnections_.push_back(std::move(c));
    return 0;
}

std::int32_t SimulatedBackend::afcConnectionSetSecureContext(afc_connection connection, void* context) {
    if (auto forced = enter("AFCConnectionSetSecureContext", {nameOf(connection), fmt::format("{}", context)}))
        return *forced;
    return openConnection(connection) ? 0 : kNotConnectedAfc;
}

std::int32_t SimulatedBackend::afcConnectionClose(afc_connection connection) {
    if (auto forced = enter("AFCConnectionClose", {nameOf(connection)})) return *forced;
    std::lock_guard lock(mutex_);
    AfcConnection* c = openConnection(connection);
    if (!c) return kNotConnectedAfc;
    // The device ends what was still open on the connection.
    for (afc_file_ref ref : c->openFiles) c->files->dropHandle(ref);
    c->openFiles.clear();
    std::erase_if(directories_, [&](const auto& entry) { return entry.second->connection == c; });
    c->service->closeServiceEnd();
    c->open = false;
    return 0;
}

std::uint32_t SimulatedBackend::afcConnectionGetIOTimeout(afc_connection connection) {
    record("AFCConnectionGetIOTimeout", {nameOf(connection)});
    AfcConnection* c = openConnection(connection);
    return c ? c->files->ioTimeout() : 0;
}

std::int32_t SimulatedBackend::afcConnectionProcessOperation(afc_connection connection,
                                                             const PlatformObjectRef& operation, double timeout) {
    if (auto forced = enter("AFCConnectionProcessOperation",
                            {nameOf(connection), operation ? "operation" : "null", fmt::format("{}", timeout)}))
        return *forced;
    AfcConnection* c = openConnection(connection);
    if (!c) return kNotConnectedAfc;
    auto* op = dynamic_cast<SimulatedOperation*>(operation.get());
    if (!op) return SimulatedFileSystem::kInvalidArgument;
    op->result = c->files->setModificationTime(op->path, op->nanoseconds);
    return 0;
}

PlistRef SimulatedBackend::afcConnectionCopyLastErrorInfo(afc_connection connection) {
    record("AFCConnectionCopyLastErrorInfo", {nameOf(connection)});
    AfcConnection* c = openConnection(connection);
    if (!c) return nullptr;
    auto info = c->files->lastErrorInfo();
    return info ? PlistValue::make(std::move(*info)) : nullptr;
}

std::int32_t SimulatedBackend::afcDeviceInfoOpen(afc_connection connection, afc_dictionary* info) {
    if (auto forced = enter("AFCDeviceInfoOpen", {nameOf(connection)})) return *forced;
    std::lock_guard lock(mutex_);
    AfcConnection* c = openConnection(connection);
    if (!c || !info) return kNotConnectedAfc;
    auto it = std::make_unique<KeyValueIterator>();
    it->files = c->files;
    it->path = "/";
    if (auto status = c->files->deviceInfo(it->pairs)) return status;
    *info = reinterpret_cast<afc_dictionary>(it.get());
    iterators_[*info] = std::move(it);
    return 0;
}

std::int32_t SimulatedBackend::afcFileInfoOpen(afc_connection connection, const char* path, afc_dictionary* info) {
    if (auto forced = enter("AFCFileInfoOpen", {nameOf(connection), quotedOrNull(path)})) return *forced;
    std::lock_guard lock(mutex_);
    AfcConnection* c = openConnection(connection);
    if (!c || !info) return kNotConnectedAfc;
    if (!path) return SimulatedFileSystem::kInvalidArgument;
    auto it = std::make_unique<KeyValueIterator>();
    it->files = c->files;
    it->path = path;
    if (auto status = c->files->fileInfo(path, it->pairs)) return status;
    *info = reinterpret_cast<afc_dictionary>(it.get());
    iterators_[*info] = std::move(it);
    return 0;
}

std::int32_t SimulatedBackend::afcKeyValueRead(afc_dictionary info, const char** key, const char** value) {
    if (auto forced = enter("AFCKeyValueRead", {fmt::format("{}", static_cast<void*>(info))})) return *forced;
    std::lock_guard lock(mutex_);
    auto found = iterators_.find(info);
    if (found == iterators_.end() || !key || !value) return SimulatedFileSystem::kInvalidArgument;
    KeyValueIterator& it = *found->second;
    if (auto status = it.files->checkFault("AFCKeyValueRead", it.path)) return status;
    if (it.next >= it.pairs.size()) {
        *key = nullptr;
        *value = nullptr;
        return 0;
    }
    const auto& pair = it.pairs[it.next++];
    *key = pair.key ? pair.key->c_str() : nullptr;
    *value = pair.value ? pair.value->c_str() : nullptr;
    return 0;
}

std::int32_t SimulatedBackend::afcKeyValueClose(afc_dictionary info) {
    if (auto forced = enter("AFCKeyValueClose", {fmt::format("{}", static_cast<void*>(info))})) return *forced;
    std::lock_guard lock(mutex_);
    return iterators_.erase(info) ? 0 : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcDirectoryOpen(afc_connection connection, const char* path,
                                                afc_directory* directory) {
    if (auto forced = enter("AFCDirectoryOpen", {nameOf(connection), quotedOrNull(path)})) return *forced;
    std::lock_guard lock(mutex_);
    AfcConnection* c = openConnection(connection);
    if (!c || !directory) return kNotConnectedAfc;
    if (!path) return SimulatedFileSystem::kInvalidArgument;
    auto listing = std::make_unique<DirectoryListing>();
    listing->connection = c;
    listing->path = path;
    if (auto status = c->files->readDirectory(path, listing->names)) return status;
    *directory = reinterpret_cast<afc_directory>(listing.get());
    directories_[*directory] = std::move(listing);
    peakDirectories_ = std::max(peakDirectories_, static_cast<int>(directories_.size()));
    return 0;
}

std::int32_t SimulatedBackend::afcDirectoryRead(afc_connection connection, afc_directory directory, char** name) {
    if (auto forced = enter("AFCDirectoryRead", {nameOf(connection), fmt::format("{}", static_cast<void*>(directory))}))
        return *forced;
    std::lock_guard lock(mutex_);
    auto found = directories_.find(directory);
    if (!name) return SimulatedFileSystem::kInvalidArgument;
    *name = nullptr;
    if (found == directories_.end() || found->second->connection != openConnection(connection))
        return SimulatedFileSystem::kInvalidArgument;
    DirectoryListing& listing = *found->second;
    if (auto status = listing.connection->files->checkFault("AFCDirectoryRead", listing.path)) return status;
    if (listing.next < listing.names.size()) *name = listing.names[listing.next++].data();
    return 0;
}

std::int32_t SimulatedBackend::afcDirectoryClose(afc_connection connection, afc_directory directory) {
    if (auto forced = enter("AFCDirectoryClose", {nameOf(connection), fmt::format("{}", static_cast<void*>(directory))}))
        return *forced;
    std::lock_guard lock(mutex_);
    return directories_.erase(directory) ? 0 : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcDirectoryCreate(afc_connection connection, const char* path) {
    if (auto forced = enter("AFCDirectoryCreate", {nameOf(connection), quotedOrNull(path)})) return *forced;
    AfcConnection* c = openConnection(connection);
    if (!c) return kNotConnectedAfc;
    return path ? c->files->makeDirectory(path) : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcRemovePath(afc_connection connection, const char* path) {
    if (auto forced = enter("AFCRemovePath", {nameOf(connection), quotedOrNull(path)})) return *forced;
    AfcConnection* c = openConnection(connection);
    if (!c) return kNotConnectedAfc;
    return path ? c->files->removePath(path) : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcRenamePath(afc_connection connection, const char* oldPath, const char* newPath) {
    if (auto forced = enter("AFCRenamePath", {nameOf(connection), quotedOrNull(oldPath), quotedOrNull(newPath)}))
        return *forced;
    AfcConnection* c = openConnection(connection);
    if (!c) return kNotConnectedAfc;
    if (!oldPath || !newPath) return SimulatedFileSystem::kInvalidArgument;
    return c->files->renamePath(oldPath, newPath);
}

std::int32_t SimulatedBackend::afcLinkPath(afc_connection connection, std::int64_t linkType, const char* target,
                                           const char* linkPath) {
    if (auto forced = enter("AFCLinkPath", {nameOf(connection), fmt::format("{}", linkType), quotedOrNull(target),
                                            quotedOrNull(linkPath)}))
        return *forced;
    AfcConnection* c = openConnection(connection);
    if (!c) return kNotConnectedAfc;
    if (!target || !linkPath) return SimulatedFileSystem::kInvalidArgument;
    return c->files->makeLink(linkType, target, linkPath);
}

PlatformObjectRef SimulatedBackend::afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                                 void* context) {
    if (enter("AFCOperationCreateSetModTime", {fmt::format("\"{}\"", path), fmt::format("{}", nanoseconds),
                                               fmt::format("{}", context)}))
        return nullptr;
    auto operation = std::make_shared<SimulatedOperation>();
    operation->path = path;
    operation->nanoseconds = nanoseconds;
    operation->context = context;
    std::lock_guard lock(mutex_);
    operations_.push_back(operation);
    return operation;
}

std::int32_t SimulatedBackend::afcOperationGetResultStatus(const PlatformObjectRef& operation) {
    if (auto forced = enter("AFCOperationGetResultStatus", {operation ? "operation" : "null"})) return *forced;
    auto* op = dynamic_cast<SimulatedOperation*>(operation.get());
    return op ? op->result : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcFileRefOpen(afc_connection connection, const char* path, std::uint64_t mode,
                                              afc_file_ref* ref) {
    if (auto forced = enter("AFCFileRefOpen", {nameOf(connection), quotedOrNull(path), fmt::format("{}", mode)}))
        return *forced;
    std::lock_guard lock(mutex_);
    AfcConnection* c = openConnection(connection);
    if (!c) return kNotConnectedAfc;
    if (!path || !ref) return SimulatedFileSystem::kInvalidArgument;
    afc_file_ref opened = 0;
    if (auto status = c->files->openFile(path, mode, opened)) return status;
    c->openFiles.push_back(opened);
    *ref = opened;
    return 0;
}

std::int32_t SimulatedBackend::afcFileRefClose(afc_connection connection, afc_file_ref ref) {
    if (auto forced = enter("AFCFileRefClose", {nameOf(connection), fmt::format("{}", ref)})) return *forced;
    std::lock_guard lock(mutex_);
    SimulatedFileSystem* files = fileOf(connection, ref);
    if (!files) return SimulatedFileSystem::kInvalidArgument;
    if (auto status = files->closeFile(ref)) return status;
    std::erase(openConnection(connection)->openFiles, ref);
    return 0;
}

std::int32_t SimulatedBackend::afcFileRefSeek(afc_connection connection, afc_file_ref ref, std::int64_t offset,
                                              std::int64_t mode) {
    if (auto forced = enter("AFCFileRefSeek", {nameOf(connection), fmt::format("{}", ref), fmt::format("{}", offset),
                                               fmt::format("{}", mode)}))
        return *forced;
    SimulatedFileSystem* files = fileOf(connection, ref);
    return files ? files->seek(ref, offset, mode) : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcFileRefTell(afc_connection connection, afc_file_ref ref, std::uint64_t* position) {
    if (auto forced = enter("AFCFileRefTell", {nameOf(connection), fmt::format("{}", ref)})) return *forced;
    SimulatedFileSystem* files = fileOf(connection, ref);
    if (!files || !position) return SimulatedFileSystem::kInvalidArgument;
    return files->tell(ref, *position);
}

std::int32_t SimulatedBackend::afcFileRefRead(afc_connection connection, afc_file_ref ref, void* buffer,
                                              std::uint64_t* count) {
    if (auto forced = enter("AFCFileRefRead", {nameOf(connection), fmt::format("{}", ref),
                                               count ? fmt::format("{}", *count) : "null"}))
        return *forced;
    SimulatedFileSystem* files = fileOf(connection, ref);
    if (!files || !count || (!buffer && *count > 0)) return SimulatedFileSystem::kInvalidArgument;
    return files->read(ref, buffer, *count);
}

std::int32_t SimulatedBackend::afcFileRefWrite(afc_connection connection, afc_file_ref ref, const void* buffer,
                                               std::uint64_t count) {
    if (auto forced = enter("AFCFileRefWrite", {nameOf(connection), fmt::format("{}", ref), fmt::format("{}", count)}))
        return *forced;
    SimulatedFileSystem* files = fileOf(connection, ref);
    if (!files || (!buffer && count > 0)) return SimulatedFileSystem::kInvalidArgument;
    return files->write(ref, buffer, count);
}

std::int32_t SimulatedBackend::afcFileRefSetFileSize(afc_connection connection, afc_file_ref ref,
                                                     std::uint64_t size) {
    if (auto forced = enter("AFCFileRefSetFileSize", {nameOf(connection), fmt::format("{}", ref),
                                                      fmt::format("{}", size)}))
        return *forced;
    SimulatedFileSystem* files = fileOf(connection, ref);
    return files ? files->setFileSize(ref, size) : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcFileRefLock(afc_connection connection, afc_file_ref ref) {
    if (auto forced = enter("AFCFileRefLock", {nameOf(connection), fmt::format("{}", ref)})) return *forced;
    SimulatedFileSystem* files = fileOf(connection, ref);
    return files ? files->lock(ref) : SimulatedFileSystem::kInvalidArgument;
}

std::int32_t SimulatedBackend::afcFileRefUnlock(afc_connection connection, afc_file_ref ref) {
    if (auto forced = enter("AFCFileRefUnlock", {nameOf(connection), fmt::format("{}", ref)})) return *forced;
    SimulatedFileSystem* files = fileOf(connection, ref);
    return files ? files->unlock(ref) : SimulatedFileSystem::kInvalidArgument;
}

} // namespace keldo
