#pragma once

#include "platform/imobiledevice/HandleTable.h"
#include "platform/imobiledevice/TimeoutWatch.h"
#include "platform/mobiledevice/Backend.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

struct lockdownd_service_descriptor;

namespace keldo {

class UsbmuxdListener;
class UsbmuxdSocketWatch;

// Real devices through libimobiledevice and libusbmuxd (the usbmuxd named by
// USBMUXD_SOCKET_ADDRESS, else the system's).
//
// Events: one listener follows usbmuxd's events (UsbmuxdListener, which never lets a daemon that
// drops connections wear the process down) and the backend fans them out to its subscriptions. Each subscription gets its events one at a time on the
// GLib main context that was the subscribing thread's thread-default one. A device is one
// (udid, connection type).
//
// Handles: devices, subscriptions, AFC connections, key/value iterators and directory listings
// are ids that are never reused (see HandleTable); a service handle carries a counter in its
// high 32 bits and the socket in its low 32. Every operation looks its handle up, so a stale or
// forged one is refused with a failure status. A detached device's services are closed and its
// AFC connections refuse every operation at once; its record is forgotten once no reference to
// it is held, so memory stays flat over any number of attaches.
//
// While usbmuxd is not there (no socket file, or a file left behind by a daemon that died) the
// backend waits for a new file with a file monitor instead of letting libusbmuxd retry every
// second, and it lets go of the library until then.
//
// Nothing waits on a device without bound: each call that talks to one has a deadline (see
// Timeouts) after which its connection is cut and the call fails with kTimedOut.
//
// A service that the device starts in TLS is secured here (a handshake that fails fails the
// start) and has no socket to give: its handle's low 32 bits are all ones, it answers a secure
// I/O context, and it is reached through Send and Receive, which go through the library's TLS.
// There a receive gives all it asks for (at most kServicePiece) or fails, and a failure, time-out
// included, ends the connection's use: the library drops what it had read of the piece.
//
// Power assertions and wake-up tokens have no equivalent: they fail.
class ImobiledeviceBackend : public Backend {
public:
    ImobiledeviceBackend();
    ~ImobiledeviceBackend() override;
    ImobiledeviceBackend(const ImobiledeviceBackend&) = delete;
    ImobiledeviceBackend& operator=(const ImobiledeviceBackend&) = delete;

    // Makes one, installs it as the process's backend and returns it.
    static std::shared_ptr<ImobiledeviceBackend> installNew();

    // How long a call may wait on a device before its connection is cut.
    struct Timeouts {
        // One lockdownd request and its reply (values, session start and stop with their TLS
        // handshake, service start), and closing the connection.
        std::chrono::milliseconds lockdown{10000};
        // Connecting to a started service and its TLS handshake.
        std::chrono::milliseconds serviceStart{10000};
        // One AFC round trip (a read or write moves at most kAfcChunk per round trip), unless
        // the connection was opened with a time-out of its own.
        std::chrono::milliseconds afcUsb{5000};
        std::chrono::milliseconds afcNetwork{20000};
        // Each send and receive on a service's socket through its handle.
        std::chrono::milliseconds serviceSocket{30000};
        // usbmuxd's answer to the list of attached devices, its connection included.
        std::chrono::milliseconds deviceList{1000};
    };
    // For tests, before the first device is reached.
    void setTimeouts(const Timeouts& timeouts);

    // Events
    std::int32_t notificationSubscribe(am_device_notification_callback, void* context,
                                       _am_device_notification** subscription) override;
    std::int32_t notificationUnsubscribe(_am_device_notification* subscription) override;
    // usbmuxd's own list (see UsbmuxdDeviceList), asked afresh on each call.
    std::int32_t deviceList(std::vector<AMDeviceListEntry>& devices) override;

    // Device
    std::int32_t connect(am_device) override;
    std::int32_t disconnect(am_device) override;
    std::int32_t startSession(am_device) override;
    std::int32_t stopSession(am_device) override;
    PlistRef copyValue(am_device, const char* domain, const char* key) override;
    std::int32_t interfaceType(am_device) override;
    std::int32_t isPaired(am_device) override;
    am_device retain(am_device) override;
    void release(am_device) override;

    // Pairing, in the device's lockdownd connection: pair and unpair keep usbmuxd's record in
    // step; validatePairing starts and stops a session with the record.
    std::int32_t pair(am_device) override;
    std::int32_t unpair(am_device) override;
    std::int32_t validatePairing(am_device) override;

    // Services: the started service's socket is in the handle's low 32 bits (all ones for one in
    // TLS), a count of starts in the high ones, so a handle whose service has gone is refused even
    // once its socket number is reused.
    std::int32_t startService(am_device, const char* name, service_handle* handle, std::uint32_t* unknown) override;
    std::int32_t secureStartService(am_device, const char* name, service_handle* handle) override;
    void* secureIOContext(service_handle) override;
    std::int32_t serviceConnectionGetSocket(service_handle) override;
    ssize_t serviceConnectionSend(service_handle, const void* data, std::size_t size) override;
    ssize_t serviceConnectionReceive(service_handle, void* buffer, std::size_t size) override;
    std::int32_t serviceConnectionInvalidate(service_handle) override;

    // AFC connection, built on a started service's own connection
    std::int32_t afcConnectionOpen(service_handle, std::uint32_t ioTimeout, afc_connection* connection) override;
    std::int32_t afcConnectionClose(afc_connection) override;
    std::uint32_t afcConnectionGetIOTimeout(afc_connection) override;
    std::int32_t afcConnectionProcessOperation(afc_connection, const PlatformObjectRef& operation, double timeout) override;
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

    // AFC files. Our modes are mapped by meaning: 1 read, 2 write (creates, truncates), 3 read and
    // write (creates, keeps the content). Reads are repeated until the count or the end of the
    // file; writes go in chunks.
    std::int32_t afcFileRefOpen(afc_connection, const char* path, std::uint64_t mode, afc_file_ref* ref) override;
    std::int32_t afcFileRefClose(afc_connection, afc_file_ref) override;
    std::int32_t afcFileRefSeek(afc_connection, afc_file_ref, std::int64_t offset, std::int64_t mode) override;
    std::int32_t afcFileRefTell(afc_connection, afc_file_ref, std::uint64_t* position) override;
    std::int32_t afcFileRefRead(afc_connection, afc_file_ref, void* buffer, std::uint64_t* count) override;
    std::int32_t afcFileRefWrite(afc_connection, afc_file_ref, const void* buffer, std::uint64_t count) override;
    std::int32_t afcFileRefSetFileSize(afc_connection, afc_file_ref, std::uint64_t size) override;
    std::int32_t afcFileRefLock(afc_connection, afc_file_ref) override;
    std::int32_t afcFileRefUnlock(afc_connection, afc_file_ref) override;

    // Largest single AFC read request and write packet. Each one waits for its reply, so the
    // chunk sets how much of a link's rate a transfer gets: with 1 MiB a reply's round trip is
    // a few percent of the time over USB 2.0 and about a fifth of it over Wi-Fi.
    static constexpr std::uint32_t kAfcChunk = 1024 * 1024;
    // Largest piece that one library call sends or receives through a service's connection.
    static constexpr std::uint32_t kServicePiece = 256 * 1024;
    // The low half of a TLS service's handle: no socket.
    static constexpr std::uint32_t kNoSocket = 0xFFFFFFFFu;

    // Called on the thread that follows usbmuxd's events (see UsbmuxdListener); the numbers are
    // libimobiledevice's.
    void libraryEvent(int type, const std::string& udid, int connectionType);

    // For tests: the device, service, AFC connection and key/value records held; and whether
    // the library is subscribed to usbmuxd's events.
    std::size_t recordCount() const;
    bool followingUsbmuxd() const;

private:
    struct Device;
    struct Subscription;
    struct Service;
    struct AfcConnection;
    struct KeyValues;

    std::shared_ptr<Device> find(am_device device) const;
    std::shared_ptr<AfcConnection> findAfc(afc_connection connection) const;
    // A started service (or the one under an AFC connection) whose device is still there; with
    // `ioTimeout`, also the time-out of one exchange on it, read under the same lock.
    std::shared_ptr<Service> liveService(service_handle handle, std::chrono::milliseconds* ioTimeout = nullptr) const;
    std::int32_t start(am_device device, const char* name, service_handle* handle);
    // Runs one AFC call on a connection under its lock and its deadline, keeping the last error
    // for its info.
    template <typename Call>
    std::int32_t onAfc(afc_connection connection, const char* what, Call call);
    std::int32_t openKeyValues(afc_connection connection, const char* what, const char* path, afc_dictionary* info);
    // Runs a lockdownd call under the device's deadline; a call that outlasts it leaves the
    // connection cut and dropped.
    template <typename Call>
    auto onLockdown(Device& device, Call call, bool* timedOut = nullptr);
    void closeLockdown(Device& device);
    // Starts a session with the host's record on the device's open connection.
    std::int32_t openSession(Device& device);
    // Asks the device's lockdownd to start a service; the descriptor is the caller's to free.
    std::int32_t requestService(Device& device, const char* name, lockdownd_service_descriptor** descriptor);
    // Runs `call` on a device that is there and connected, under its conversation's lock.
    template <typename Call>
    std::int32_t onConnected(am_device device, Call call);

    // Follows usbmuxd while a subscription is there, and only then.
    void followSubscriptions();
    // Under following_.
    void watchAndSubscribe();
    void subscribeLibrary();
    // Ends the library subscription; every present device is gone (and, with `tell`, detached).
    void dropLibrary(bool tell);
    void detachEverything(bool tell);
    // The device has gone: its services are closed, and its record goes once unreferenced.
    void detached(const std::shared_ptr<Device>& device);
    void forgetIfUnused(const std::shared_ptr<Device>& device);

    mutable std::mutex mutex_;
    Timeouts timeouts_;
    TimeoutWatch deadlines_;  // outlives every connection below
    HandleTable<Device> devices_;
    std::map<std::pair<std::string, int>, std::uint64_t> present_;  // (udid, connection type) -> device id
    HandleTable<Subscription> subscriptions_;
    std::map<service_handle, std::shared_ptr<Service>> services_;
    HandleTable<AfcConnection> afcConnections_;
    HandleTable<KeyValues> keyValues_;
    std::uint32_t nextService_ = 0;
    bool librarySubscribed_ = false;
    // Taken before mutex_, never after it; guards starting and stopping the following of usbmuxd.
    std::mutex following_;
    bool watching_ = false;                           // guarded by following_
    std::unique_ptr<UsbmuxdSocketWatch> socketWatch_;  // guarded by following_
    std::unique_ptr<UsbmuxdListener> listener_;        // guarded by mutex_
};

} // namespace keldo
