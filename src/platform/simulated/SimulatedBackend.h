#pragma once

#include "platform/mobiledevice/Backend.h"
#include "platform/simulated/SimulatedApps.h"
#include "platform/simulated/SimulatedFileSystem.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace keldo {

// What a simulated device is made of: its values by domain ("" for no domain), how it is reached
// and what it answers to the pairing question.
struct SimulatedDeviceInfo {
    std::map<std::string, PlistValue::Dictionary> domains;
    std::int32_t interfaceType = 1;
    std::int32_t pairedAnswer = 1;

    // A device with the usual identity values, of a model that ran its version (ProductType,
    // HardwareModel, CPUArchitecture); an absent text is left out.
    static SimulatedDeviceInfo iPhone(std::optional<std::string> udid, std::optional<std::string> name,
                                      std::optional<std::string> productVersion, std::int32_t interfaceType = 1);
    SimulatedDeviceInfo& value(const std::string& key, PlistValue value, const std::string& domain = "");
    // Its UniqueDeviceID, when that is a text that is not empty.
    std::optional<std::string> udid() const;
};

// One platform call as the simulator saw it.
struct PlatformCall {
    std::string name;                // the framework's name, e.g. "AMDeviceCopyValue"
    std::vector<std::string> args;   // readable arguments, e.g. {"device#1", "null", "\"DeviceName\""}
    std::string toString() const;
};

// Devices held in memory, for tests and demos. A test adds devices, delivers events, forces the
// status of an operation, and then reads the ordered log of calls and the reference counts.
// Device records live as long as the backend, so a stale reference never points at freed memory.
class SimulatedBackend : public Backend {
public:
    SimulatedBackend();
    ~SimulatedBackend() override;

    // Makes it the process's backend and returns it.
    static std::shared_ptr<SimulatedBackend> installNew();

    am_device addDevice(SimulatedDeviceInfo info);

    // Events. attach hands the receiver one reference (counted in heldReferences); detach and
    // deliver hand none. Each goes to every live subscription, synchronously, in subscription order.
    // Once a detached device holds no reference, its services' connections are closed, as the
    // platform ends them when a device goes.
    void attach(am_device device);
    void detach(am_device device);
    void deliver(am_device device, std::uint32_t message);
    std::size_t subscriptionCount() const;

    // The next `times` calls of `operation` (the framework's name) fail with `status` without doing
    // anything; times < 0 means every call from now on. Status 0 clears what was forced.
    void forceStatus(const std::string& operation, std::int32_t status, int times = 1);

    std::vector<PlatformCall> calls() const;
    std::vector<std::string> callNames() const;
    void clearCalls();

    // References handed out (by attach or AMDeviceRetain) and not yet given back.
    int heldReferences(am_device device) const;
    // Releases of a device that held no reference, or of a pointer that is no simulated device.
    int badReleases() const;

    bool isConnected(am_device device) const;
    bool isInSession(am_device device) const;
    void setPairedAnswer(am_device device, std::int32_t answer);
    void setValue(am_device device, const std::string& key, PlistValue value, const std::string& domain = "");

    // Services. A started service's handle carries one end of a socket pair in its low 32 bits and
    // the service's number in the high ones; the test plays the service on the other end. The
    // simulator owns both ends and closes what is still open when it is destroyed. The service's
    // end is closed early by AMDServiceConnectionInvalidate, by closing an AFC connection made on
    // the service, and when its device is gone; the handle is stale from then on, even once the
    // descriptor number is reused.
    struct StartedService {
        std::string name;
        bool secure = false;
        service_handle handle = 0;
    };
    std::vector<StartedService> startedServices() const;
    // Services of this name start in TLS from now on: their connection gives no descriptor but a
    // secure I/O context, and carries bytes only through AMDServiceConnectionSend and Receive (the
    // simulator encrypts nothing; the peer end reads what was sent).
    void startInTls(const std::string& name);
    // The peer end of a started service (-1 when there is none, or it was closed).
    int peerSocket(service_handle service) const;
    // The socket type of pairs made from now on; SOCK_SEQPACKET lets a test see each send apart.
    void setServiceSocketType(int type);
    // Closes the peer end: the service side then reads end-of-stream and its sends fail.
    void closePeer(service_handle service);

    // Power assertions handed out and not yet released, and all ever made.
    int liveAssertions() const;
    int createdAssertions() const;

    // AFC. A device has one file system per AFC service name; a connection opened on a started
    // service serves the file system of that service's device and name.
    SimulatedFileSystem& fileSystem(am_device device, const std::string& service = "com.apple.afc");
    // The device's apps. The simulator plays two services over them itself, on the peer end of
    // the started service: installation_proxy, and house_arrest, whose connection serves the
    // vended app's container once a request has handed it over (AFC is refused on it before).
    // Their answers go out whenever the service's descriptor is asked for, as it is before
    // every message.
    SimulatedApps& apps(am_device device);
    // Connections, directory handles and key/value iterators open now; operations not yet released.
    int openAfcConnections() const;
    int openDirectories() const;
    int peakOpenDirectories() const;
    int openKeyValueIterators() const;
    int liveOperations() const;

    // Status codes of the simulator's own refusals.
    static constexpr std::int32_t kNotConnected = static_cast<std::int32_t>(0xe8000012u);
    static constexpr std::int32_t kNoSession = static_cast<std::int32_t>(0xe800001du);
    static constexpr std::int32_t kNoSuchDevice = static_cast<std::int32_t>(0xe8000084u);
    static constexpr std::int32_t kNotPaired = static_cast<std::int32_t>(0xe800001cu);

    // Events
    std::int32_t notificationSubscribe(am_device_notification_callback, void* context,
                                       _am_device_notification** subscription) override;
    std::int32_t notificationUnsubscribe(_am_device_notification* subscription) override;
    // Every device added and not detached that has a udid, whether its attach has been delivered
    // yet or not: the source of the events knows of a device before its subscribers hear of it.
    std::int32_t deviceList(std::vector<AMDeviceListEntry>& devices) override;

    // Device
    std::int32_t connect(am_device) override;
    std::int32_t disconnect(am_device) override;
    std::int32_t startSession(am_device) override;
    std::int32_t stopSession(am_device) override;
    PlistRef copyValue(am_device, const char* domain, const char* key) override;
    std::int32_t interfaceType(am_device) override;
    std::int32_t isPaired(am_device) override;
    // Pairing on a connected device: pair makes it paired (its pairing answer 1), unpair not (0),
    // and validatePairing is refused with kNotPaired when it is not. Refusals such as an
    // unanswered trust prompt are forced statuses.
    std::int32_t pair(am_device) override;
    std::int32_t unpair(am_device) override;
    std::int32_t validatePairing(am_device) override;
    am_device retain(am_device) override;
    void release(am_device) override;

    // Services
    std::int32_t startService(am_device, const char* name, service_handle* handle, std::uint32_t* unknown) override;
    std::int32_t secureStartService(am_device, const char* name, service_handle* handle) override;
    void* secureIOContext(service_handle) override;
    std::int32_t serviceConnectionGetSocket(service_handle) override;
    ssize_t serviceConnectionSend(service_handle, const void* data, std::size_t size) override;
    ssize_t serviceConnectionReceive(service_handle, void* buffer, std::size_t size) override;
    std::int32_t serviceConnectionInvalidate(service_handle) override;

    // Power, wake
    PlatformObjectRef powerAssertionCreate(am_device, const char* type, const char* name, PlistRef* details,
                                           double duration) override;
    std::int32_t createWakeupToken(am_device, PlistRef* token) override;
    std::int32_t wakeupUsingToken(const PlistRef& token, double timeout) override;

    // AFC connection
    std::int32_t afcConnectionOpen(service_handle, std::uint32_t ioTimeout, afc_connection* connection) override;
    std::int32_t afcConnectionSetSecureContext(afc_connection, void* context) override;
    std::int32_t afcConnectionClose(afc_connection) override;
    std::uint32_t afcConnectionGetIOTimeout(afc_connection) override;
    std::int32_t afcConnectionProcessOperation(afc_connection, const PlatformObjectRef& operation,
                                               double timeout) override;
    PlistRef afcConnectionCopyLastErrorInfo(afc_connection) override;

    // AFC information
    std::int32_t afcDeviceInfoOpen(afc_connection, afc_dictionary* info) override;
    std::int32_t afcFileInfoOpen(afc_connection, const char* path, afc_dictionary* info) override;
    std::int32_t afcKeyValueRead(afc_dictionary, const char** key, const char** value) override;
    std::int32_t afcKeyValueClose(afc_dictionary) override;

    // AFC directories and paths
    std::int32_t afcDirectoryOpen(afc_connection, const char* path, afc_directory* directory) override;
    std::int32_t afcDirectoryRead(afc_connection, afc_directory, char** name) override;
    std::int32_t afcDirectoryClose(afc_connection, afc_directory) override;
    std::int32_t afcDirectoryCreate(afc_connection, const char* path) override;
    std::int32_t afcRemovePath(afc_connection, const char* path) override;
    std::int32_t afcRenamePath(afc_connection, const char* oldPath, const char* newPath) override;
    std::int32_t afcLinkPath(afc_connection, std::int64_t linkType, const char* target, const char* linkPath) override;

    // AFC operations
    PlatformObjectRef afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                   void* context) override;
    std::int32_t afcOperationGetResultStatus(const PlatformObjectRef& operation) override;

    // AFC files
    std::int32_t afcFileRefOpen(afc_connection, const char* path, std::uint64_t mode, afc_file_ref* ref) override;
    std::int32_t afcFileRefClose(afc_connection, afc_file_ref) override;
    std::int32_t afcFileRefSeek(afc_connection, afc_file_ref, std::int64_t offset, std::int64_t mode) override;
    std::int32_t afcFileRefTell(afc_connection, afc_file_ref, std::uint64_t* position) override;
    std::int32_t afcFileRefRead(afc_connection, afc_file_ref, void* buffer, std::uint64_t* count) override;
    std::int32_t afcFileRefWrite(afc_connection, afc_file_ref, const void* buffer, std::uint64_t count) override;
    std::int32_t afcFileRefSetFileSize(afc_connection, afc_file_ref, std::uint64_t size) override;
    std::int32_t afcFileRefLock(afc_connection, afc_file_ref) override;
    std::int32_t afcFileRefUnlock(afc_connection, afc_file_ref) override;

private:
    struct Device;
    struct Subscription;
    struct Service;
    struct AfcConnection;
    struct DirectoryListing;
    struct KeyValueIterator;

    Device* find(am_device device) const;
    Service* findService(service_handle service) const;
    // Answers what the client of a service that the simulator plays has sent so far.
    void pump(Service& service);
    std::int32_t start(am_device device, const char* name, bool secure, service_handle* handle);
    // The service end of a live service, for Send and Receive; -1 when there is none.
    int openServiceEnd(service_handle service) const;
    // Sets a connected device's pairing answer, unless a status is forced.
    std::int32_t setPairing(const char* operation, am_device device, std::int32_t answer);
    // Closes the service ends of a device that is detached and holds no reference.
    void closeServicesIfGone(Device* device);
    std::string nameOf(am_device device) const;
    AfcConnection* openConnection(afc_connection connection) const;
    std::string nameOf(afc_connection connection) const;
    // The connection's file system when the connection is open and holds the file.
    SimulatedFileSystem* fileOf(afc_connection connection, afc_file_ref ref) const;
    void record(std::string name, std::vector<std::string> args);
    // Logs the call and answers a forced status, if one is due.
    std::optional<std::int32_t> enter(const char* name, std::vector<std::string> args);

    struct Forced {
        std::int32_t status;
        int remaining;  // < 0: always
    };

    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Subscription>> subscriptions_;
    std::map<std::string, Forced> forced_;
    std::vector<PlatformCall> calls_;
    std::vector<std::unique_ptr<Service>> services_;
    int serviceSocketType_;
    std::set<std::string> tlsServices_;
    std::vector<std::weak_ptr<PlatformObject>> assertions_;
    std::vector<std::unique_ptr<AfcConnection>> afcConnections_;
    std::map<afc_directory, std::unique_ptr<DirectoryListing>> directories_;
    int peakDirectories_ = 0;
    std::map<afc_dictionary, std::unique_ptr<KeyValueIterator>> iterators_;
    std::vector<std::weak_ptr<PlatformObject>> operations_;
    int badReleases_ = 0;
};

} // namespace keldo
