#pragma once

#include "platform/simulated/SimulatedBackend.h"
#include "tools/devsim/LockdownSession.h"
#include "tools/devsim/PairRecordStore.h"
#include "tools/devsim/ServiceRegistry.h"
#include "tools/devsim/SocketServer.h"
#include "tools/devsim/StandardServices.h"
#include "tools/devsim/UsbmuxServer.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace keldo {

class ClientConnection;
class DeviceState;
class FreezeGate;
class HostIdentity;

// Simulated devices that real clients reach over the wire, as strict as devices: a usbmuxd on a
// UNIX socket that keeps the host's pair records and, behind it, each device's lockdownd (sessions
// in TLS after pairing, a trust prompt, values withheld outside a session) and its services (those
// of the registry given, then the standard ones). A network device bypasses usbmuxd as a real one
// does: it gets a loopback address of its own, with lockdownd on port 62078 and its services on
// ports of their own. usbmuxd's clients are served by one event loop, however many there are;
// each connection to a device by a thread of its own, up to a bound; nothing is sent while the
// lock that every connection needs is held. A device's connections end
// when it is detached, all of them when the simulator stops. A frozen device keeps its connections
// and reads what clients send, but answers nothing, and usbmuxd holds back Connect requests to it,
// until it is thawed: then it answers what came meanwhile, in order.
//
// What a phone keeps lives as long as the simulator, across detaching and restarts of its socket:
// each udid's file systems, key and trusted hosts; and so do usbmuxd's pair records.
class DeviceSimulator : private UsbmuxServer::Devices {
public:
    struct Options {
        // Connections to devices served at once (a port that a started service holds open for
        // its client counts as one); more are closed as they come, and so is one that no thread
        // can be started for. usbmuxd's own clients are not counted: they cost no thread.
        std::size_t maxConnections = kDefaultMaxConnections;
        // Bytes of answers and events that may wait for a usbmuxd client that does not read; one
        // that falls further behind is dropped (its connection closed), so that no one waits.
        std::size_t listenerBacklog = 4 * 1024 * 1024;
        // How long a client that stops half-way (a request, a TLS handshake, a service port it
        // never connects to) holds what it took.
        SocketServer::Patience patience;
        // The most that the files of each file system hold together (see setCapacity).
        std::uint64_t capacity = 1ull << 30;
        // Told what no client sees, one line at a time: runs of refusals, failed handshakes.
        std::function<void(const std::string&)> log;
        // The link that each connection to a device crosses (none: the socket alone): from a
        // usbmuxd Connect on, or from the start over a network device's own ports.
        std::optional<LinkModel::Figures> link;
    };
    static constexpr std::size_t kDefaultMaxConnections = 128;

    explicit DeviceSimulator(std::string socketPath, ServiceRegistry services = {});
    DeviceSimulator(std::string socketPath, ServiceRegistry services, Options options);
    ~DeviceSimulator() override;
    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    // Listens on the socket path (mode 0600, whatever the umask); the file appears only once
    // clients can connect. It replaces a socket there, never anything else. False with lastError
    // when it can't.
    [[nodiscard]] bool start();
    // Ends every connection, forgets the attached devices (as a restarted usbmuxd would) and
    // removes the socket file, if it is still the one it made.
    void stop();

    // A device made of the model's description: "UniqueDeviceID" is its udid, interface type 2
    // reaches it over the network. A pairing answer of 1 makes it paired with this host: usbmuxd
    // holds a record with real certificates for it (the one a client saved, if the device still
    // trusts that host; else one the simulator makes), so that clients start sessions at once.
    // Any other answer leaves the host without a record and the device trusting no one.
    // Its DeviceID, or 0 (lastError says why).
    [[nodiscard]] std::uint32_t attach(SimulatedDeviceInfo device);
    // Makes ahead what attaching the device takes longest to make (its key, and the certificates
    // of its pair record when it is paired), so that the attach itself is quick; before start
    // too. False (lastError says why) when they can't be made.
    [[nodiscard]] bool prepare(const SimulatedDeviceInfo& device);
    // Detaches the device with the udid over that interface type (0: any); false if none is there.
    [[nodiscard]] bool detach(const std::string& udid, std::int32_t interfaceType = 0);
    // Freezes or thaws every attachment of the udid over that interface type (0: any); false if
    // none is there. Handlers of the registry are held back only before they start.
    [[nodiscard]] bool freeze(const std::string& udid, std::int32_t interfaceType = 0);
    [[nodiscard]] bool thaw(const std::string& udid, std::int32_t interfaceType = 0);
    // The user of the attached device answers its trust prompt: pairing requests from then on
    // succeed (trust) or get "UserDeniedPairing", until the device is attached again.
    [[nodiscard]] bool answerTrustPrompt(const std::string& udid, bool trust);
    // The attached device forgets every host it trusted (its user reset the trust settings);
    // the pair records of this host's usbmuxd stay.
    [[nodiscard]] bool forgetHosts(const std::string& udid);
    // A passcode locks the attached device (pairing gets "PasswordProtected") or no longer does.
    [[nodiscard]] bool setLocked(const std::string& udid, bool locked);
    // The attached device runs its lockdownd sessions in plain text (EnableSessionSSL false), or
    // in TLS again.
    [[nodiscard]] bool setCleartextSessions(const std::string& udid, bool cleartext);
    // One line per device: "<DeviceID> <udid> usb|network [address]".
    std::vector<std::string> describeDevices() const;

    // The file system that an AFC service of the device with this udid serves, made empty when
    // first asked for; what is made or written in it carries the system's time. The USB and the
    // network connection of one udid reach the same one.
    SimulatedFileSystem& fileSystem(const std::string& udid, const std::string& service = kMediaService);
    // The pair record that usbmuxd holds for the udid, as it was saved.
    std::optional<PlistValue::Data> pairRecord(const std::string& udid) const { return records_.read(udid); }

    static constexpr const char* kMediaService = StandardServices::kMedia;
    static constexpr const char* kCrashReportService = StandardServices::kCrashReports;
    static constexpr const char* kCrashMoverService = StandardServices::kCrashMover;

    std::string lastError() const;
    const std::string& socketPath() const { return socketPath_; }

    static constexpr std::uint16_t kFirstUsbServicePort = 49152;

private:
    struct Device;
    // A service started over USB, waiting for its client's Connect.
    struct PendingService {
        std::string name;
        DeviceState::Certificates hostCertificates;
        // Until when the port waits for its client; refused after, as a closed port is.
        std::chrono::steady_clock::time_point until;
    };

    // usbmuxd's view of the devices.
    PlistValue::Array attachedMessages() const override;
    bool listen(int client, std::uint32_t tag) override;
    SocketServer::Protocol::Answer connect(std::uint32_t tag, std::int64_t deviceId, std::uint16_t port) override;
    void paired(std::int64_t deviceId) override;

    // A Connect accepted: waits while the device is frozen, answers, and serves the stream.
    void serveConnection(ClientConnection& connection, std::uint32_t tag, const std::shared_ptr<Device>& device,
                         const std::optional<PendingService>& service);
    void serveLockdown(ClientConnection& connection, const std::shared_ptr<Device>& device);
    std::optional<LockdownSession::StartedService> startService(std::uint32_t deviceId, const std::string& name,
                                                                const DeviceState::Certificates& hostCertificates);
    void serveService(ClientConnection& connection, const ServiceRegistry::Service& service, const DeviceState& state,
                      const DeviceState::Certificates& hostCertificates);
    std::shared_ptr<SimulatedFileSystem> sharedFileSystem(const std::string& udid, const std::string& service);

    // The udid of a device's description; none (with lastError) when it has no text one.
    std::optional<std::string> udidOf(const SimulatedDeviceInfo& info);
    // The state of the udid's phone, made (with a new key) when first attached.
    std::shared_ptr<DeviceState> stateFor(const std::string& udid, SimulatedDeviceInfo info);
    // Gives the host a record of the device that the device trusts, keeping a saved one.
    bool pairWithThisHost(const std::string& udid, DeviceState& state);
    std::shared_ptr<const HostIdentity> hostIdentity();
    PlistValue::Dictionary attachedMessage(const Device& device) const;
    std::shared_ptr<Device> findDevice(std::uint32_t id) const;
    // Runs `change` on the state of each attachment of the udid; false (with lastError) if none.
    bool forEachAttachment(const std::string& udid, std::int32_t interfaceType, const std::function<void(Device&)>& change);
    void setError(std::string text);
    void log(const std::string& line) const;

    const std::string socketPath_;
    ServiceRegistry services_;
    const Options options_;
    SocketServer server_;
    PairRecordStore records_;
    UsbmuxServer usbmux_;

    mutable std::mutex mutex_;  // before server_'s own, where both are taken
    std::map<std::uint32_t, std::shared_ptr<Device>> devices_;
    std::uint32_t nextDeviceId_ = 1;
    bool running_ = false;
    std::pair<dev_t, ino_t> socketFile_{};  // the socket file made, to remove only that one
    std::string lastError_;
    int nextAddress_ = 0;
    // By udid (and service name): what each phone keeps for the simulator's life.
    std::map<std::string, std::shared_ptr<DeviceState>> states_;
    std::map<std::pair<std::string, std::string>, std::shared_ptr<SimulatedFileSystem>> fileSystems_;

    std::mutex identityMutex_;
    std::shared_ptr<const HostIdentity> hostIdentity_;
};

} // namespace keldo
