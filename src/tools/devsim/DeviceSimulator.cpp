#include "tools/devsim/DeviceSimulator.h"

#include "platform/plist/PlistXml.h"
#include "tools/devsim/AfcSession.h"
#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/LockdownSession.h"
#include "tools/devsim/OutgoingQueue.h"
#include "tools/devsim/SocketStream.h"
#include "tools/devsim/UsbmuxPacket.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace keldo {

namespace {

// usbmuxd's result numbers.
constexpr std::int64_t kResultOk = 0;
constexpr std::int64_t kResultBadCommand = 1;
constexpr std::int64_t kResultBadDevice = 2;
constexpr std::int64_t kResultConnectionRefused = 3;

constexpr const char* kBuid = LockdownSession::kSystemBuid;

PlistValue result(std::int64_t number) {
    return PlistValue::Dictionary{{"MessageType", "Result"}, {"Number", number}};
}

// Some usbmuxd answers are written by more than one thread: a whole packet goes in one send.
bool sendPacket(int fd, std::uint32_t tag, const PlistValue& payload) {
    const std::string packet = UsbmuxPacket::encode(tag, payload);
    return SocketStream::writeAll(fd, packet.data(), packet.size());
}

bool sendPacket(ClientConnection& connection, std::uint32_t tag, const PlistValue& payload) {
    return sendPacket(connection.fd(), tag, payload);
}

std::string errnoText(const char* what) { return fmt::format("{}: {}", what, std::strerror(errno)); }

} // namespace

struct DeviceSimulator::Device {
    std::uint32_t id = 0;
    std::string udid;
    SimulatedDeviceInfo info;
    bool network = false;
    std::string address;                          // a network device's loopback address
    std::map<std::uint16_t, std::string> usbPorts;  // started services, one connection each
    std::uint16_t nextPort = kFirstUsbServicePort;
    std::shared_ptr<FreezeGate> gate = std::make_shared<FreezeGate>();
};

struct DeviceSimulator::Worker {
    std::thread thread;
    std::atomic<bool> done{false};
};

DeviceSimulator::DeviceSimulator(std::string socketPath, ServiceRegistry services)
    : DeviceSimulator(std::move(socketPath), std::move(services), Options{}) {}

DeviceSimulator::DeviceSimulator(std::string socketPath, ServiceRegistry services, Options options)
    : socketPath_(std::move(socketPath)), services_(std::move(services)), options_(std::move(options)) {}

DeviceSimulator::~DeviceSimulator() { stop(); }

void DeviceSimulator::setError(std::string text) {
    std::lock_guard lock(mutex_);
    lastError_ = std::move(text);
}

std::string DeviceSimulator::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
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
    std::memcpy(address.sun_path, staging.c_str(), staging.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        setError(errnoText("socket"));
        return false;
    }
    ::unlink(staging.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 64) != 0 ||
        ::rename(staging.c_str(), socketPath_.c_str()) != 0) {
        setError(errnoText(socketPath_.c_str()));
        ::unlink(staging.c_str());
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        running_ = true;
        listener_ = fd;
    }
    if (!spawn(fd, 0, false, [this, fd] { acceptLoop(fd, 0, [this](int client) { serveUsbmux(client); }); })) {
        setError("no thread could be started to accept clients");
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
        // Wakes every blocked read and accept; each connection's own thread closes it.
        for (const auto& [fd, device] : connections_) ::shutdown(fd, SHUT_RDWR);
        devices_.clear();
        listener_ = -1;
    }
    for (;;) {
        std::list<std::unique_ptr<Worker>> workers;
        {
            std::lock_guard lock(mutex_);
            workers.swap(workers_);
        }
        if (workers.empty()) break;
        for (auto& w : workers) w->thread.join();
    }
    if (wasRunning) ::unlink(socketPath_.c_str());
}

bool DeviceSimulator::spawn(int fd, std::uint32_t deviceId, bool counted, std::function<void()> serve) noexcept {
    const char* refusal = nullptr;
    std::size_t refusedBefore = 0;
    bool started = false;
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            reapWorkers();
            if (counted && !bound_.admit()) {
                if (bound_.refuse()) refusal = "all places are taken";
            } else if (startWorker(fd, deviceId, counted, std::move(serve))) {
                started = true;
                if (counted) refusedBefore = bound_.endRefusals();
            } else {
                if (counted) bound_.release();
                if (!counted || bound_.refuse()) refusal = "no thread could be started";
            }
        }
    }
    // A refused client sees its connection closed; everyone else is served as before.
    if (!started) ::close(fd);
    if (options_.log && (refusal || refusedBefore)) {
        try {
            options_.log(refusal ? fmt::format("refusing connections: {} (at most {})", refusal, bound_.limit())
                                 : fmt::format("serving connections again after refusing {}", refusedBefore));
        } catch (const std::exception&) {
            // Nothing to tell it with: the refusal itself stands.
        }
    }
    return started;
}

bool DeviceSimulator::startWorker(int fd, std::uint32_t deviceId, bool counted, std::function<void()> serve) {
    bool listed = false;
    try {
        connections_[fd] = deviceId;
        // In the list before its thread starts: the list never misses a thread it must join.
        workers_.push_back(std::make_unique<Worker>());
        listed = true;
        Worker* self = workers_.back().get();
        self->thread = std::thread([this, fd, counted, serve = std::move(serve), self] {
            try {
                serve();
            } catch (const std::exception&) {
                // No memory for this connection's next message: it ends, the others go on.
            }
            {
                std::lock_guard lock(mutex_);
                connections_.erase(fd);
                listeners_.erase(fd);
                if (counted) bound_.release();
            }
            ::close(fd);
            self->done = true;
        });
        return true;
    } catch (const std::exception&) {
        // Threads or memory have run out: a refusal like any other, never the end of the process.
        connections_.erase(fd);
        if (listed) workers_.pop_back();
        return false;
    }
}

void DeviceSimulator::reapWorkers() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void DeviceSimulator::acceptLoop(int listener, std::uint32_t deviceId, std::function<void(int)> serve, bool once) {
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory for now: the client waits in the backlog until
                // a connection ends, and the simulator goes on.
                ::poll(nullptr, 0, 50);
                continue;
            }
            return;  // shut down
        }
        std::function<void()> job;
        try {
            job = [serve, client] { serve(client); };
        } catch (const std::exception&) {
            ::close(client);
            continue;
        }
        (void)spawn(client, deviceId, true, std::move(job));
        if (once) return;
    }
}

void DeviceSimulator::endConnectionsOf(std::uint32_t deviceId) {
    for (const auto& [fd, device] : connections_) {
        if (device == deviceId) ::shutdown(fd, SHUT_RDWR);
    }
}

std::shared_ptr<DeviceSimulator::Device> DeviceSimulator::findDevice(std::uint32_t id) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(id);
    return it == devices_.end() ? nullptr : it->second;
}

// usbmuxd ---------------------------------------------------------------------------------------

void DeviceSimulator::serveUsbmux(int fd) {
    ClientConnection connection(fd);
    for (;;) {
        std::uint8_t header[UsbmuxPacket::kHeaderSize];
        if (!connection.readExactly(header, sizeof(header))) return;
        auto packet = UsbmuxPacket::parseHeader(header);
        if (!packet) return;  // no way to find the next packet: end the connection
        std::vector<std::uint8_t> body(packet->bodySize());
        if (!body.empty() && !connection.readExactly(body.data(), body.size())) return;
        if (!packet->parseBody(body.data(), body.size())) {
            if (!sendPacket(connection, packet->tag, result(kResultBadCommand))) return;
            continue;
        }
        if (!answer(connection, *packet)) return;
    }
}

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

bool DeviceSimulator::answer(ClientConnection& connection, const UsbmuxPacket& request) {
    const int fd = connection.fd();
    const std::string type = request.messageType();
    const std::uint32_t tag = request.tag;
    if (type == "Listen") {
        listen(fd, tag);
        return false;
    }
    if (type == "ListDevices") {
        PlistValue::Array list;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, device] : devices_) list.push_back(attachedMessage(*device));
        }
        return sendPacket(fd, tag, PlistValue::Dictionary{{"DeviceList", list}});
    }
    if (type == "ReadBUID") return sendPacket(fd, tag, PlistValue::Dictionary{{"BUID", kBuid}});
    if (type == "ReadPairRecord") {
        const auto udid = request.text("PairRecordID");
        bool paired = false;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, device] : devices_) {
                if (udid && device->udid == *udid && device->info.pairedAnswer == 1) paired = true;
            }
        }
        if (!paired) return sendPacket(fd, tag, result(kResultBadDevice));
        const std::string record =
            PlistXml::toXmlString(PlistValue::Dictionary{{"HostID", LockdownSession::kHostId}, {"SystemBUID", kBuid}});
        return sendPacket(fd, tag, PlistValue::Dictionary{{"PairRecordData", PlistValue::Data(record.begin(), record.end())}});
    }
    if (type == "SavePairRecord" || type == "DeletePairRecord") return sendPacket(fd, tag, result(kResultOk));
    if (type == "Connect") {
        const auto id = request.integer("DeviceID");
        const auto portField = request.integer("PortNumber");
        auto device = id && *id > 0 && *id <= 0xFFFFFFFF ? findDevice(static_cast<std::uint32_t>(*id)) : nullptr;
        if (!device || device->network) return sendPacket(fd, tag, result(kResultBadDevice));
        // The port comes in network byte order inside the integer.
        const auto raw = static_cast<std::uint16_t>(portField.value_or(0) & 0xFFFF);
        const auto port = static_cast<std::uint16_t>((raw >> 8) | ((raw & 0xFF) << 8));
        std::optional<std::string> service;
        bool present = false;
        {
            std::lock_guard lock(mutex_);
            present = devices_.count(device->id) != 0;
            if (present && port != LockdownSession::kPort) {
                auto it = device->usbPorts.find(port);
                if (it != device->usbPorts.end()) {
                    service = it->second;
                    device->usbPorts.erase(it);
                }
            }
            // From here the connection is the device's: detaching it ends the connection.
            if (present) connections_[fd] = device->id;
        }
        if (!present) return sendPacket(fd, tag, result(kResultBadDevice));
        // A frozen device answers no connection: the client waits as for one that hangs.
        connection.answerFor(device->gate);
        if (!connection.awaitThawUnread()) return false;
        if (port != LockdownSession::kPort && !service) {
            {
                std::lock_guard lock(mutex_);
                connections_[fd] = 0;
            }
            return sendPacket(fd, tag, result(kResultConnectionRefused));
        }
        if (!sendPacket(fd, tag, result(kResultOk))) return false;
        // From here on the socket is the raw stream to the device's port.
        if (service) {
            if (auto serve = serviceFor(*service, *device)) (*serve)(connection);
        } else {
            serveLockdown(connection, device->id);
        }
        return false;
    }
    return sendPacket(fd, tag, result(kResultBadCommand));
}

void DeviceSimulator::listen(int fd, std::uint32_t tag) {
    // Attaching and detaching hand their events to the queue and go on: only this thread sends,
    // and only this connection waits when the client does not read.
    auto queue = std::make_shared<OutgoingQueue>(options_.listenerBacklog);
    if (!queue->valid()) return;
    {
        std::lock_guard lock(mutex_);
        // Queued before any later event can be, so that the client misses none.
        bool fits = queue->push(UsbmuxPacket::encode(tag, result(kResultOk)));
        for (const auto& [id, device] : devices_) fits = fits && queue->push(UsbmuxPacket::encode(0, attachedMessage(*device)));
        if (!fits) return;
        listeners_[fd] = queue;
    }
    // Nothing more is asked on this socket: it is read only to see the client close it.
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {queue->readyFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) {
            for (const auto& message : queue->takeAll()) {
                if (!SocketStream::writeAll(fd, message.data(), message.size())) return;
            }
        }
        if (fds[0].revents) {
            char ignored[256];
            const ssize_t n = ::recv(fd, ignored, sizeof(ignored), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        }
    }
}

void DeviceSimulator::broadcast(const std::string& packet) {
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if (it->second->push(packet)) {
            ++it;
            continue;
        }
        // Too far behind to catch up: dropped, never waited for. Its thread sees the socket shut.
        ::shutdown(it->first, SHUT_RDWR);
        it = listeners_.erase(it);
    }
}

// lockdownd and services ------------------------------------------------------------------------

void DeviceSimulator::serveLockdown(ClientConnection& connection, std::uint32_t deviceId) {
    auto device = findDevice(deviceId);
    if (!device) return;
    connection.answerFor(device->gate);
    LockdownSession session(device->info, [this, deviceId](const std::string& name) { return startService(deviceId, name); });
    while (!session.finished()) {
        std::uint8_t header[4];
        if (!connection.readExactly(header, sizeof(header))) return;
        const auto length = LockdownSession::messageLength(header);
        if (!length) return;
        std::vector<char> body(*length);
        if (!connection.readExactly(body.data(), body.size())) return;
        if (!connection.awaitThaw()) return;
        const std::string reply = LockdownSession::frame(session.reply(PlistXml::fromXml(body.data(), body.size())));
        if (!connection.writeAll(reply.data(), reply.size())) return;
    }
}

std::optional<DeviceSimulator::Service> DeviceSimulator::serviceFor(const std::string& name, const Device& device) {
    if (auto handler = services_.find(name)) {
        // A handler of the registry has the raw socket: a frozen device holds back its start only.
        return [handler = std::move(*handler), info = device.info](ClientConnection& connection) {
            if (connection.awaitThawUnread()) handler(connection.fd(), info);
        };
    }
    if (name == kMediaService || name == kCrashReportService) {
        auto files = sharedFileSystem(device.udid, name);
        return [files](ClientConnection& connection) { AfcSession(files).serve(connection); };
    }
    if (name == kCrashMoverService) {
        // The reports are where the copy service finds them from the start.
        return [](ClientConnection& connection) {
            if (connection.awaitThaw()) (void)connection.writeAll("ping", 4);
        };
    }
    return std::nullopt;
}

std::shared_ptr<SimulatedFileSystem> DeviceSimulator::sharedFileSystem(const std::string& udid,
                                                                       const std::string& service) {
    std::lock_guard lock(mutex_);
    auto& files = fileSystems_[{udid, service}];
    if (!files) {
        files = std::make_shared<SimulatedFileSystem>();
        files->setCapacity(options_.capacity);
    }
    return files;
}

SimulatedFileSystem& DeviceSimulator::fileSystem(const std::string& udid, const std::string& service) {
    return *sharedFileSystem(udid, service);
}

std::optional<std::uint16_t> DeviceSimulator::startService(std::uint32_t deviceId, const std::string& name) {
    auto device = findDevice(deviceId);
    if (!device) return std::nullopt;
    auto serve = serviceFor(name, *device);
    if (!serve) return std::nullopt;
    if (!device->network) {
        std::lock_guard lock(mutex_);
        const std::uint16_t port = device->nextPort++;
        if (device->nextPort == 0) device->nextPort = kFirstUsbServicePort;
        device->usbPorts[port] = name;
        return port;
    }
    std::uint16_t port = 0;
    const int listener = listenTcp(device->address, 0, &port);
    if (listener < 0) return std::nullopt;
    // The port waits for its one connection, and counts as one.
    const bool started = spawn(listener, deviceId, true, [this, listener, deviceId, serve, gate = device->gate] {
        acceptLoop(listener, deviceId, [serve, gate](int client) {
            ClientConnection connection(client);
            connection.answerFor(gate);
            (*serve)(connection);
        }, true);
    });
    if (!started) return std::nullopt;
    return port;
}

int DeviceSimulator::listenTcp(const std::string& address, std::uint16_t port, std::uint16_t* boundPort) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    socklen_t size = sizeof(where);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0) {
        ::close(fd);
        return -1;
    }
    if (boundPort) *boundPort = ntohs(where.sin_port);
    return fd;
}

// Devices ---------------------------------------------------------------------------------------

std::uint32_t DeviceSimulator::attach(SimulatedDeviceInfo info) {
    const PlistValue* udidValue = nullptr;
    if (auto it = info.domains.find(""); it != info.domains.end()) {
        auto found = it->second.find("UniqueDeviceID");
        if (found != it->second.end()) udidValue = &found->second;
    }
    if (!udidValue || !udidValue->text() || udidValue->text()->empty()) {
        setError("a device needs a text UniqueDeviceID");
        return 0;
    }
    auto device = std::make_shared<Device>();
    if (!device->gate->valid()) {
        setError(errnoText("eventfd"));
        return 0;
    }
    device->udid = *udidValue->text();
    device->network = info.interfaceType == 2;
    device->info = std::move(info);
    int lockdownListener = -1;
    {
        std::lock_guard lock(mutex_);
        if (!running_) {
            lastError_ = "the simulator is not running";
            return 0;
        }
        for (const auto& [id, d] : devices_) {
            if (d->udid == device->udid && d->network == device->network) {
                lastError_ = fmt::format("{} is already attached", device->udid);
                return 0;
            }
        }
        if (device->network) {
            // lockdownd of a network device listens on its fixed port: each device needs an address
            // of its own, and so does each simulator running beside this one.
            for (int attempt = 0; attempt < 64 && lockdownListener < 0; ++attempt) {
                const int n = nextAddress_++;
                device->address = fmt::format("127.{}.{}.{}", 64 + getpid() % 128, (n / 250) % 250, 2 + n % 250);
                lockdownListener = listenTcp(device->address, LockdownSession::kPort, nullptr);
            }
            if (lockdownListener < 0) {
                lastError_ = errnoText("no loopback address for lockdownd");
                return 0;
            }
        }
        device->id = nextDeviceId_++;
        devices_[device->id] = device;
        broadcast(UsbmuxPacket::encode(0, attachedMessage(*device)));
    }
    if (lockdownListener >= 0) {
        const std::uint32_t id = device->id;
        const bool started = spawn(lockdownListener, id, false, [this, lockdownListener, id] {
            acceptLoop(lockdownListener, id, [this, id](int client) {
                ClientConnection connection(client);
                serveLockdown(connection, id);
            });
        });
        if (!started) {
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
        broadcast(UsbmuxPacket::encode(
            0, PlistValue::Dictionary{{"MessageType", "Detached"}, {"DeviceID", static_cast<std::int64_t>(id)}}));
        // As when a cable is pulled: every conversation with the device ends.
        endConnectionsOf(id);
        return true;
    }
    lastError_ = fmt::format("{} is not attached", udid);
    return false;
}

bool DeviceSimulator::freeze(const std::string& udid, std::int32_t interfaceType) {
    return setFrozen(udid, interfaceType, true);
}

bool DeviceSimulator::thaw(const std::string& udid, std::int32_t interfaceType) {
    return setFrozen(udid, interfaceType, false);
}

bool DeviceSimulator::setFrozen(const std::string& udid, std::int32_t interfaceType, bool frozen) {
    std::lock_guard lock(mutex_);
    bool found = false;
    for (const auto& [id, d] : devices_) {
        if (d->udid != udid || (interfaceType != 0 && (interfaceType == 2) != d->network)) continue;
        frozen ? d->gate->freeze() : d->gate->thaw();
        found = true;
    }
    if (!found) lastError_ = fmt::format("{} is not attached", udid);
    return found;
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
