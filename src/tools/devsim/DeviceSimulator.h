#pragma once

#include "platform/simulated/SimulatedBackend.h"
#include "tools/devsim/ConnectionBound.h"
#include "tools/devsim/ServiceRegistry.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace keldo {

class ClientConnection;
class OutgoingQueue;
class UsbmuxPacket;

// Simulated devices that real clients reach over the wire: a usbmuxd on a UNIX socket (Listen,
// ListDevices, Connect, ReadBUID, ReadPairRecord) and, behind it, each device's lockdownd and its
// services: AFC ("com.apple.afc" and "com.apple.crashreportcopymobile", each over a file system
// of its own), the crash report mover, and those of the registry, which come first. A network
// device bypasses usbmuxd as a real one does: it gets a loopback address of its own, with
// lockdownd on port 62078 and its services on ports of their own. Each client connection is
// served by a thread of its own, up to a bound (more are closed as they come); nothing is sent
// while the lock that every connection needs is held. A device's connections end when it is
// detached, all of them when the simulator stops. A frozen device keeps its connections and reads what clients send, but
// answers nothing, and usbmuxd holds back Connect requests to it, until it is thawed: then it
// answers what came meanwhile, in order.
class DeviceSimulator {
public:
    struct Options {
        // Client connections served at once (a port that a started service holds open for its
        // client counts as one); more are closed as they come, and so is one that no thread can
        // be started for.
        std::size_t maxConnections = kDefaultMaxConnections;
        // Bytes of events that may wait for a Listen client that does not read; one that falls
        // further behind is dropped (its connection closed), so that no one waits for it.
        std::size_t listenerBacklog = 4 * 1024 * 1024;
        // The most that the files of each file system hold together (see setCapacity).
        std::uint64_t capacity = 1ull << 30;
        // Told what no client sees, one line at a time: the start and end of a run of refusals.
        std::function<void(const std::string&)> log;
    };
    static constexpr std::size_t kDefaultMaxConnections = 128;

    explicit DeviceSimulator(std::string socketPath, ServiceRegistry services = {});
    DeviceSimulator(std::string socketPath, ServiceRegistry services, Options options);
    ~DeviceSimulator();
    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    // Listens on the socket path; the file appears only once clients can connect. False with
    // lastError when it can't.
    [[nodiscard]] bool start();
    // Ends every connection, forgets the devices (as a restarted usbmuxd would) and removes the
    // socket file.
    void stop();

    // A device made of the model's description: "UniqueDeviceID" is its udid, interface type 2
    // reaches it over the network, and a pairing answer of 1 gives the host a pair record.
    // Its DeviceID, or 0 (lastError says why).
    [[nodiscard]] std::uint32_t attach(SimulatedDeviceInfo device);
    // Detaches the device with the udid over that interface type (0: any); false if none is there.
    [[nodiscard]] bool detach(const std::string& udid, std::int32_t interfaceType = 0);
    // Freezes or thaws every attachment of the udid over that interface type (0: any); false if
    // none is there. Handlers of the registry are held back only before they start.
    [[nodiscard]] bool freeze(const std::string& udid, std::int32_t interfaceType = 0);
    [[nodiscard]] bool thaw(const std::string& udid, std::int32_t interfaceType = 0);
    // One line per device: "<DeviceID> <udid> usb|network [address]".
    std::vector<std::string> describeDevices() const;

    // The file system that an AFC service of the device with this udid serves, made empty when
    // first asked for. It outlives detaching and restarts, as a phone keeps its files; the USB and
    // the network connection of one udid reach the same one.
    SimulatedFileSystem& fileSystem(const std::string& udid, const std::string& service = kMediaService);

    static constexpr const char* kMediaService = "com.apple.afc";
    static constexpr const char* kCrashReportService = "com.apple.crashreportcopymobile";
    // Tells its client, with a "ping", that the crash reports are ready to be copied.
    static constexpr const char* kCrashMoverService = "com.apple.crashreportmover";

    std::string lastError() const;
    const std::string& socketPath() const { return socketPath_; }

    static constexpr std::uint16_t kFirstUsbServicePort = 49152;

private:
    struct Device;
    struct Worker;
    using Service = std::function<void(ClientConnection&)>;

    // Serves each client of `listener` on a thread of its own, until the listener is shut (or
    // after one client).
    void acceptLoop(int listener, std::uint32_t deviceId, std::function<void(int)> serve, bool once = false);
    void serveUsbmux(int fd);
    void serveLockdown(ClientConnection& connection, std::uint32_t deviceId);
    bool answer(ClientConnection& connection, const UsbmuxPacket& request);
    void listen(int fd, std::uint32_t tag);
    std::optional<std::uint16_t> startService(std::uint32_t deviceId, const std::string& name);
    std::optional<Service> serviceFor(const std::string& name, const Device& device);
    std::shared_ptr<SimulatedFileSystem> sharedFileSystem(const std::string& udid, const std::string& service);

    // Runs `serve` on a thread of its own for a descriptor that belongs to a device (0: none), and
    // closes the descriptor after. A counted one takes a place of the bound. False, the
    // descriptor closed, when it is refused: no place, no thread, or the simulator is stopping.
    [[nodiscard]] bool spawn(int fd, std::uint32_t deviceId, bool counted, std::function<void()> serve) noexcept;
    [[nodiscard]] bool startWorker(int fd, std::uint32_t deviceId, bool counted, std::function<void()> serve);
    void reapWorkers();
    void endConnectionsOf(std::uint32_t deviceId);
    void broadcast(const std::string& packet);
    PlistValue::Dictionary attachedMessage(const Device& device) const;
    std::shared_ptr<Device> findDevice(std::uint32_t id) const;
    bool setFrozen(const std::string& udid, std::int32_t interfaceType, bool frozen);
    void setError(std::string text);
    int listenTcp(const std::string& address, std::uint16_t port, std::uint16_t* boundPort);

    const std::string socketPath_;
    const ServiceRegistry services_;
    const Options options_;

    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<Device>> devices_;
    std::uint32_t nextDeviceId_ = 1;
    int listener_ = -1;
    bool running_ = false;
    ConnectionBound bound_{options_.maxConnections};
    std::map<int, std::uint32_t> connections_;  // every open client connection, by device
    std::map<int, std::shared_ptr<OutgoingQueue>> listeners_;  // connections that asked for Listen
    std::list<std::unique_ptr<Worker>> workers_;
    std::string lastError_;
    int nextAddress_ = 0;
    // By udid and service name; kept for the simulator's life.
    std::map<std::pair<std::string, std::string>, std::shared_ptr<SimulatedFileSystem>> fileSystems_;
};

} // namespace keldo
