#include "tools/devsim/DeviceSimulator.h"

#include "platform/plist/PlistXml.h"
#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/DeviceKey.h"
#include "tools/devsim/DeviceState.h"
#include "tools/devsim/FreezeGate.h"
#include "tools/devsim/HostIdentity.h"
#include "tools/devsim/LockdownConnection.h"
#include "tools/devsim/OutgoingQueue.h"
#include "tools/devsim/TlsStream.h"
#include "tools/devsim/UsbmuxPacket.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace keldo {

namespace {

std::string errnoText(const char* what) { return fmt::format("{}: {}", what, std::strerror(errno)); }

// A Wi-Fi address of the device's own, the same for a udid every time.
std::string wifiAddressOf(const std::string& udid) {
    const std::size_t hash = std::hash<std::string>{}(udid);
    return fmt::format("02:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", (hash >> 32) & 0xFF, (hash >> 24) & 0xFF,
                       (hash >> 16) & 0xFF, (hash >> 8) & 0xFF, hash & 0xFF);
}

} // namespace

struct DeviceSimulator::Device {
    std::uint32_t id = 0;
    std::string udid;
    bool network = false;
    std::string address;                               // a network device's loopback address
    std::map<std::uint16_t, PendingService> usbPorts;  // started services, one connection each
    std::uint16_t nextPort = kFirstUsbServicePort;
    std::shared_ptr<FreezeGate> gate = std::make_shared<FreezeGate>();
    std::shared_ptr<DeviceState> state;
};

DeviceSimulator::DeviceSimulator(std::string socketPath, ServiceRegistry services)
    : DeviceSimulator(std::move(socketPath), std::move(services), Options{}) {}

DeviceSimulator::DeviceSimulator(std::string socketPath, ServiceRegistry services, Options options)
    : socketPath_(std::move(socketPath)),
      services_(std::move(services)),
      options_(std::move(options)),
      server_(SocketServer::Options{options_.maxConnections, options_.listenerBacklog, options_.patience, options_.log,
                                    options_.link}),
      usbmux_(*this, records_, LockdownSession::kSystemBuid) {
    services_.addMissing(StandardServices::make(
        [this](const std::string& udid, const std::string& service) { return sharedFileSystem(udid, service); }));
}

DeviceSimulator::~DeviceSimulator() { stop(); }

void DeviceSimulator::setError(std::string text) {
    std::lock_guard lock(mutex_);
    lastError_ = std::move(text);
}

std::string DeviceSimulator::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

void DeviceSimulator::log(const std::string& line) const {
    if (!options_.log) return;
    try {
        options_.log(line);
    } catch (const std::exception&) {
        // Nothing to tell it with.
    }
}

bool DeviceSimulator::start() {
    {
        std::lock_guard lock(mutex_);
        if (running_) return true;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Bound under another name and renamed once listening: a client that sees the file can connect.
    const std::string staging = fmt::format("{}.new-{}", socketPath_, getpid());
    if (staging.size() >= sizeof(address.sun_path)) {
        setError(fmt::format("socket path too long: {}", socketPath_));
        return false;
    }
    // Only a socket is replaced (one that a simulator or a daemon left behind): anything else
    // there is someone's file.
    struct stat there {};
    const bool occupied = ::lstat(socketPath_.c_str(), &there) == 0;
    if (occupied && !S_ISSOCK(there.st_mode)) {
        setError(fmt::format("{} is there and is not a socket: it is left as it is", socketPath_));
        return false;
    }
    std::memcpy(address.sun_path, staging.c_str(), staging.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setError(errnoText("socket"));
        return false;
    }
    ::unlink(staging.c_str());
    // The user's own whatever the umask: whoever can connect reads what clients send to devices.
    // Made so before it listens, so that no one connects while it is open to more.
    struct stat bound {};
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::chmod(staging.c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0 || ::lstat(staging.c_str(), &bound) != 0 ||
        (occupied ? ::rename(staging.c_str(), socketPath_.c_str())
                  : ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, socketPath_.c_str(), RENAME_NOREPLACE)) != 0) {
        setError(errno == EEXIST ? fmt::format("{} appeared meanwhile: it is left as it is", socketPath_)
                                 : errnoText(socketPath_.c_str()));
        ::unlink(staging.c_str());
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        running_ = true;
        socketFile_ = {bound.st_dev, bound.st_ino};
    }
    if (!server_.open(fd, usbmux_)) {
        setError("no thread could be started to serve clients");
        stop();
        return false;
    }
    return true;
}

void DeviceSimulator::stop() {
    bool wasRunning = false;
    {
        std::lock_guard lock(mutex_);
        wasRunning = running_;
        running_ = false;
    }
    server_.stop();
    {
        std::lock_guard lock(mutex_);
        devices_.clear();
    }
    // Removed only while it is the socket made here: whatever took its place stays.
    struct stat there {};
    if (wasRunning && ::lstat(socketPath_.c_str(), &there) == 0 && std::pair{there.st_dev, there.st_ino} == socketFile_) {
        ::unlink(socketPath_.c_str());
    }
}

std::shared_ptr<DeviceSimulator::Device> DeviceSimulator::findDevice(std::uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second;
}

// usbmuxd ---------------------------------------------------------------------------------------

PlistValue::Dictionary DeviceSimulator::attachedMessage(const Device& device) const {
    PlistValue::Dictionary properties{
        {"ConnectionType", device.network ? "Network" : "USB"},
        {"DeviceID", static_cast<std::int64_t>(device.id)},
        {"ProductID", std::int64_t{0x12a8}},
        {"SerialNumber", device.udid},
    };
    if (device.network) {
        // A BSD sockaddr_in: length, family 2, port, address.
        PlistValue::Data address(16, 0);
        address[0] = 16;
        address[1] = 2;
        address[2] = LockdownSession::kPort >> 8;
        address[3] = LockdownSession::kPort & 0xFF;
        in_addr ip{};
        ::inet_pton(AF_INET, device.address.c_str(), &ip);
        std::memcpy(&address[4], &ip, 4);
        properties["NetworkAddress"] = address;
        properties["EscapedFullServiceName"] = fmt::format("{}@fe80::sim._apple-mobdev2._tcp.local.", device.udid);
    } else {
        properties["LocationID"] = std::int64_t{0};
        properties["ConnectionSpeed"] = std::int64_t{480000000};
    }
    return {{"MessageType", "Attached"}, {"DeviceID", static_cast<std::int64_t>(device.id)}, {"Properties", properties}};
}

PlistValue::Array DeviceSimulator::attachedMessages() const {
    std::lock_guard lock(mutex_);
    PlistValue::Array list(devices_.size());
    auto at = list.begin();
    for (const auto& [id, device] : devices_) *at++ = attachedMessage(*device);
    return list;
}

bool DeviceSimulator::listen(int client, std::uint32_t tag) {
    // Attaching and detaching hand their events to the client's queue and go on: the server's
    // loop sends them, and no one waits when the client does not read.
    std::lock_guard lock(mutex_);
    // Queued before any later event can be, so that the client misses none.
    std::vector<std::string> first{UsbmuxPacket::encode(tag, UsbmuxServer::result(UsbmuxServer::kResultOk))};
    for (const auto& [id, device] : devices_) first.push_back(UsbmuxPacket::encode(0, attachedMessage(*device)));
    return server_.addListener(client, first);
}

void DeviceSimulator::paired(std::int64_t deviceId) {
    std::lock_guard lock(mutex_);
    // Told only of a device that is there, as the daemon does.
    if (deviceId <= 0 || deviceId > 0xFFFFFFFF || !devices_.count(static_cast<std::uint32_t>(deviceId))) return;
    server_.broadcast(UsbmuxPacket::encode(0, PlistValue::Dictionary{{"MessageType", "Paired"}, {"DeviceID", deviceId}}));
}

SocketServer::Protocol::Answer DeviceSimulator::connect(std::uint32_t tag, std::int64_t deviceId, std::uint16_t port) {
    const auto refusal = [tag](std::int64_t number) {
        return SocketServer::Protocol::Answer::replying(UsbmuxPacket::encode(tag, UsbmuxServer::result(number)));
    };
    auto device = deviceId > 0 && deviceId <= 0xFFFFFFFF ? findDevice(static_cast<std::uint32_t>(deviceId)) : nullptr;
    if (!device || device->network) return refusal(UsbmuxServer::kResultBadDevice);
    std::optional<PendingService> service;
    if (port != LockdownSession::kPort) {
        std::lock_guard lock(mutex_);
        auto it = device->usbPorts.find(port);
        if (it == device->usbPorts.end()) return refusal(UsbmuxServer::kResultConnectionRefused);
        service = std::move(it->second);
        device->usbPorts.erase(it);
        if (std::chrono::steady_clock::now() >= service->until) return refusal(UsbmuxServer::kResultConnectionRefused);
    }
    // The rest takes a thread: the device may be frozen, and its stream is served by blocking reads.
    return SocketServer::Protocol::Answer::takingOver([this, device, service, tag](ClientConnection& connection) {
        serveConnection(connection, tag, device, service);
    });
}

void DeviceSimulator::serveConnection(ClientConnection& connection, std::uint32_t tag,
                                      const std::shared_ptr<Device>& device, const std::optional<PendingService>& service) {
    bool present = false;
    {
        std::lock_guard lock(mutex_);
        present = devices_.count(device->id) != 0;
        // From here the connection is the device's: detaching it ends the connection.
        if (present) server_.assign(connection.fd(), device->id);
    }
    if (!present) {
        (void)UsbmuxServer::send(connection, tag, UsbmuxServer::result(UsbmuxServer::kResultBadDevice));
        return;
    }
    // A frozen device answers no connection: the client waits as for one that hangs.
    connection.answerFor(device->gate);
    if (!connection.awaitThawUnread()) return;
    // The answer already crossed the link, as the device's acceptance of the connection does.
    server_.pace(connection.fd());
    if (!UsbmuxServer::send(connection, tag, UsbmuxServer::result(UsbmuxServer::kResultOk))) return;
    // From here on the socket is the raw stream to the device's port.
    if (!service) {
        serveLockdown(connection, device);
    } else if (auto entry = services_.find(service->name)) {
        serveService(connection, *entry, *device->state, service->hostCertificates);
    }
}

// lockdownd and services ------------------------------------------------------------------------

void DeviceSimulator::serveLockdown(ClientConnection& connection, const std::shared_ptr<Device>& device) {
    connection.answerFor(device->gate);
    const std::uint32_t id = device->id;
    LockdownSession session(device->state, [this, id](const std::string& name, const DeviceState::Certificates& hostCertificates) {
        return startService(id, name, hostCertificates);
    });
    LockdownConnection::serve(connection, session, device->state->key(), [this](const std::string& line) { log(line); });
}

void DeviceSimulator::serveService(ClientConnection& connection, const ServiceRegistry::Service& service,
                                   const DeviceState& state, const DeviceState::Certificates& hostCertificates) {
    // A frozen device holds back the service's start (and, in TLS, the handshake).
    if (!connection.awaitThaw()) return;
    if (!service.tls) {
        service.handler(connection, state.info());
        return;
    }
    std::string error;
    auto tls = TlsStream::accept(connection, state.key(), hostCertificates, error);
    if (!tls) {
        log("service: " + error);
        return;
    }
    service.handler(*tls, state.info());
}

std::shared_ptr<SimulatedFileSystem> DeviceSimulator::sharedFileSystem(const std::string& udid,
                                                                       const std::string& service) {
    std::lock_guard lock(mutex_);
    auto& files = fileSystems_[{udid, service}];
    if (!files) {
        files = std::make_shared<SimulatedFileSystem>();
        files->setCapacity(options_.capacity);
        files->followSystemClock();
    }
    return files;
}

SimulatedFileSystem& DeviceSimulator::fileSystem(const std::string& udid, const std::string& service) {
    return *sharedFileSystem(udid, service);
}

std::optional<LockdownSession::StartedService> DeviceSimulator::startService(std::uint32_t deviceId,
                                                                             const std::string& name,
                                                                             const DeviceState::Certificates& hostCertificates) {
    auto device = findDevice(deviceId);
    if (!device) return std::nullopt;
    auto service = services_.find(name);
    if (!service) return std::nullopt;
    if (!device->network) {
        std::lock_guard lock(mutex_);
        // A port that its client never came to is closed after a while, as the device's own is.
        const auto now = std::chrono::steady_clock::now();
        std::erase_if(device->usbPorts, [&](const auto& entry) { return now >= entry.second.until; });
        const std::uint16_t port = device->nextPort++;
        if (device->nextPort == 0) device->nextPort = kFirstUsbServicePort;
        device->usbPorts[port] = {name, hostCertificates, now + options_.patience.unusedPort};
        return LockdownSession::StartedService{port, service->tls};
    }
    std::uint16_t port = 0;
    const int listener = SocketServer::listenTcp(device->address, 0, &port);
    if (listener < 0) return std::nullopt;
    // The port waits for its one connection, and counts as one.
    const bool listening = server_.listenOn(listener, deviceId, [this, device, service, hostCertificates](ClientConnection& connection) {
        connection.answerFor(device->gate);
        serveService(connection, *service, *device->state, hostCertificates);
    }, true);
    if (!listening) return std::nullopt;
    return LockdownSession::StartedService{port, service->tls};
}

// Devices ---------------------------------------------------------------------------------------

std::shared_ptr<DeviceState> DeviceSimulator::stateFor(const std::string& udid, SimulatedDeviceInfo info) {
    {
        std::lock_guard lock(mutex_);
        if (auto it = states_.find(udid); it != states_.end()) {
            it->second->reattach(std::move(info));
            return it->second;
        }
    }
    // Made outside the lock: a key takes a while, and everyone else is served meanwhile.
    std::string error;
    auto key = DeviceKey::generate(error);
    if (!key) {
        setError(error);
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    auto& state = states_[udid];
    if (state) {
        state->reattach(std::move(info));
    } else {
        state = std::make_shared<DeviceState>(std::move(info), std::move(key));
    }
    return state;
}

std::shared_ptr<const HostIdentity> DeviceSimulator::hostIdentity() {
    std::lock_guard lock(identityMutex_);
    if (!hostIdentity_) {
        std::string error;
        hostIdentity_ = HostIdentity::generate(error);
        if (!hostIdentity_) setError(error);
    }
    return hostIdentity_;
}

bool DeviceSimulator::pairWithThisHost(const std::string& udid, DeviceState& state) {
    // A record that a client saved stays, as long as the device still trusts its host.
    if (const auto hostId = records_.hostIdOf(udid); hostId && state.certificatesOf(*hostId)) return true;
    const auto identity = hostIdentity();
    if (!identity) return false;
    auto record = identity->pairRecord(state.key(), LockdownSession::kHostId, LockdownSession::kSystemBuid,
                                       wifiAddressOf(udid));
    if (!record) {
        setError("no pair record could be made");
        return false;
    }
    (*record)["EscrowBag"] = state.trust(LockdownSession::kHostId, identity->certificates(), LockdownSession::kSystemBuid);
    const std::string xml = PlistXml::toXmlString(*record);
    if (!records_.save(udid, PlistValue::Data(xml.begin(), xml.end()))) {
        setError("no pair record could be kept");
        return false;
    }
    return true;
}

bool DeviceSimulator::prepare(const SimulatedDeviceInfo& info) {
    const auto udid = udidOf(info);
    if (!udid) return false;
    bool known = false;
    {
        std::lock_guard lock(mutex_);
        known = states_.count(*udid) != 0;
    }
    if (!known && !stateFor(*udid, info)) return false;
    return info.pairedAnswer != 1 || hostIdentity() != nullptr;
}

std::optional<std::string> DeviceSimulator::udidOf(const SimulatedDeviceInfo& info) {
    auto udid = info.udid();
    if (!udid) setError("a device needs a text UniqueDeviceID");
    return udid;
}

std::uint32_t DeviceSimulator::attach(SimulatedDeviceInfo info) {
    const auto udid = udidOf(info);
    if (!udid) return 0;
    auto device = std::make_shared<Device>();
    if (!device->gate->valid()) {
        setError(errnoText("eventfd"));
        return 0;
    }
    device->udid = *udid;
    device->network = info.interfaceType == 2;
    const auto alreadyThere = [&] {
        for (const auto& [id, d] : devices_) {
            if (d->udid == device->udid && d->network == device->network) {
                lastError_ = fmt::format("{} is already attached", device->udid);
                return true;
            }
        }
        return false;
    };
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            lastError_ = "the simulator is not running";
            return 0;
        }
        if (alreadyThere()) return 0;
    }
    const bool paired = info.pairedAnswer == 1;
    if (!info.domains[""].count("WiFiAddress")) info.value("WiFiAddress", wifiAddressOf(device->udid));
    device->state = stateFor(device->udid, std::move(info));
    if (!device->state) return 0;
    if (paired) {
        if (!pairWithThisHost(device->udid, *device->state)) return 0;
    } else {
        records_.remove(device->udid);
        device->state->forgetAll();
    }
    int lockdownListener = -1;
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            lastError_ = "the simulator is not running";
            return 0;
        }
        if (alreadyThere()) return 0;
        if (device->network) {
            // lockdownd of a network device listens on its fixed port: each device needs an address
            // of its own, and so does each simulator running beside this one.
            for (int attempt = 0; attempt < 64 && lockdownListener < 0; ++attempt) {
                const int n = nextAddress_++;
                device->address = fmt::format("127.{}.{}.{}", 64 + getpid() % 128, (n / 250) % 250, 2 + n % 250);
                lockdownListener = SocketServer::listenTcp(device->address, LockdownSession::kPort, nullptr);
            }
            if (lockdownListener < 0) {
                lastError_ = errnoText("no loopback address for lockdownd");
                return 0;
            }
        }
        device->id = nextDeviceId_++;
        devices_[device->id] = device;
        server_.broadcast(UsbmuxPacket::encode(0, attachedMessage(*device)));
    }
    if (lockdownListener >= 0) {
        const std::uint32_t id = device->id;
        const bool listening = server_.listenOn(lockdownListener, id, [this, id](ClientConnection& connection) {
            // A client that came as the device went finds no one.
            if (auto device = findDevice(id)) serveLockdown(connection, device);
        });
        if (!listening) {
            // Unreachable without its lockdownd: it goes again, as a device that failed to start.
            (void)detach(device->udid, 2);
            setError("no thread could be started for the device's lockdownd");
            return 0;
        }
    }
    return device->id;
}

bool DeviceSimulator::detach(const std::string& udid, std::int32_t interfaceType) {
    std::lock_guard lock(mutex_);
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        const Device& d = *it->second;
        if (d.udid != udid || (interfaceType != 0 && (interfaceType == 2) != d.network)) continue;
        const std::uint32_t id = d.id;
        devices_.erase(it);
        server_.broadcast(UsbmuxPacket::encode(
            0, PlistValue::Dictionary{{"MessageType", "Detached"}, {"DeviceID", static_cast<std::int64_t>(id)}}));
        // As when a cable is pulled: every conversation with the device ends.
        server_.endConnectionsOf(id);
        return true;
    }
    lastError_ = fmt::format("{} is not attached", udid);
    return false;
}

bool DeviceSimulator::forEachAttachment(const std::string& udid, std::int32_t interfaceType,
                                        const std::function<void(Device&)>& change) {
    std::lock_guard lock(mutex_);
    bool found = false;
    for (const auto& [id, d] : devices_) {
        if (d->udid != udid || (interfaceType != 0 && (interfaceType == 2) != d->network)) continue;
        change(*d);
        found = true;
    }
    if (!found) lastError_ = fmt::format("{} is not attached", udid);
    return found;
}

bool DeviceSimulator::freeze(const std::string& udid, std::int32_t interfaceType) {
    return forEachAttachment(udid, interfaceType, [](Device& d) { d.gate->freeze(); });
}

bool DeviceSimulator::thaw(const std::string& udid, std::int32_t interfaceType) {
    return forEachAttachment(udid, interfaceType, [](Device& d) { d.gate->thaw(); });
}

bool DeviceSimulator::answerTrustPrompt(const std::string& udid, bool trust) {
    return forEachAttachment(udid, 0, [trust](Device& d) {
        d.state->answerPrompt(trust ? DeviceState::Prompt::Trusted : DeviceState::Prompt::Denied);
    });
}

bool DeviceSimulator::forgetHosts(const std::string& udid) {
    return forEachAttachment(udid, 0, [](Device& d) { d.state->forgetAll(); });
}

bool DeviceSimulator::setLocked(const std::string& udid, bool locked) {
    return forEachAttachment(udid, 0, [locked](Device& d) { d.state->setLocked(locked); });
}

bool DeviceSimulator::setCleartextSessions(const std::string& udid, bool cleartext) {
    return forEachAttachment(udid, 0, [cleartext](Device& d) { d.state->setCleartextSessions(cleartext); });
}

std::vector<std::string> DeviceSimulator::describeDevices() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [id, d] : devices_) {
        lines.push_back(d->network ? fmt::format("{} {} network {}", id, d->udid, d->address)
                                   : fmt::format("{} {} usb", id, d->udid));
    }
    return lines;
}

} // namespace keldo
