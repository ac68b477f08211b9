#pragma once

// The operations of the vendor's device framework that the system calls, with the framework's own
// names and shapes. Each dispatches to the process's installed Backend (see Backend.h).
//
// Ownership rules, as the framework has them:
// - An attach event hands the receiver one reference to the device; whoever keeps it gives it up
//   with AMDeviceRelease, and whoever does not keep it must release it too.
// - Objects that a "Create" or "Copy" call returns belong to the caller. Here they are shared
//   pointers, so dropping the last copy is the release.
// - Every status is 32 bits; 0 is success.

#include "platform/plist/PlistValue.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace keldo {

// Opaque platform records; only a backend knows what is inside.
struct _am_device;
struct _am_device_notification;
struct _afc_connection;
struct _afc_dictionary;
struct _afc_directory;

using am_device = _am_device*;
using afc_connection = _afc_connection*;
using afc_dictionary = _afc_dictionary*;
using afc_directory = _afc_directory*;
using afc_file_ref = std::uint64_t;
using service_handle = std::uint64_t;

// A counted platform object (power assertion, AFC operation, ...). Releasing is dropping the pointer.
class PlatformObject {
public:
    virtual ~PlatformObject() = default;
};
using PlatformObjectRef = std::shared_ptr<PlatformObject>;

// The record that the subscription callback is given: device reference at offset 0, message at 8.
struct am_device_notification_callback_info {
    _am_device* dev;
    std::uint32_t msg;
};

inline constexpr std::uint32_t ADNCI_MSG_CONNECTED = 1;
inline constexpr std::uint32_t ADNCI_MSG_DISCONNECTED = 2;
inline constexpr std::uint32_t ADNCI_MSG_UNKNOWN = 3;

using am_device_notification_callback = void (*)(am_device_notification_callback_info* info, void* context);

// A device attached now, as the list of attached devices names it: its udid and its interface
// type (1 USB, 2 network), as the device's handle will tell them once its attach event has come.
struct AMDeviceListEntry {
    std::string udid;
    std::int32_t interfaceType = 0;
};

// The generic failure status a backend gives for operations it does not offer.
inline constexpr std::int32_t kAMDUndefinedError = static_cast<std::int32_t>(0xe8000001u);
// Why a device refused to pair, in the framework's terms whatever the backend: its user has not
// answered the trust prompt yet, has answered it with "Don't Trust", or it is locked with a passcode.
inline constexpr std::int32_t kAMDPairingDialogResponsePendingError = static_cast<std::int32_t>(0xe8000095u);
inline constexpr std::int32_t kAMDUserDeniedPairingError = static_cast<std::int32_t>(0xe8000096u);
inline constexpr std::int32_t kAMDPasswordProtectedError = static_cast<std::int32_t>(0xe800001au);

// Events
[[nodiscard]] std::int32_t AMDeviceNotificationSubscribe(am_device_notification_callback callback, std::uint32_t unused0,
                                           std::uint32_t unused1, void* context,
                                           _am_device_notification** subscription);
[[nodiscard]] std::int32_t AMDeviceNotificationUnsubscribe(_am_device_notification* subscription);
// The devices attached at the moment of the call, asked of the source of the events (which may
// not have told its subscribers of each yet): the whole set, where the events come one at a time
// and never say that they are complete. Non-zero, with `devices` empty, when the source can't be
// asked or does not answer in time.
[[nodiscard]] std::int32_t AMDCreateDeviceList(std::vector<AMDeviceListEntry>& devices);

// Device
[[nodiscard]] std::int32_t AMDeviceConnect(am_device device);
[[nodiscard]] std::int32_t AMDeviceDisconnect(am_device device);
[[nodiscard]] std::int32_t AMDeviceStartSession(am_device device);
[[nodiscard]] std::int32_t AMDeviceStopSession(am_device device);
// domain and key may each be null; a null key asks for the whole domain.
[[nodiscard]] PlistRef AMDeviceCopyValue(am_device device, const char* domain, const char* key);
[[nodiscard]] std::int32_t AMDeviceGetInterfaceType(am_device device);
[[nodiscard]] std::int32_t AMDeviceIsPaired(am_device device);
// Pairing with this computer, on a connected device outside a session. Pair asks the device's user
// to trust the computer and keeps the pair record that a yes gives; Unpair makes the device forget
// the computer and drops the record; ValidatePairing proves that the device still trusts the record.
[[nodiscard]] std::int32_t AMDevicePair(am_device device);
[[nodiscard]] std::int32_t AMDeviceUnpair(am_device device);
[[nodiscard]] std::int32_t AMDeviceValidatePairing(am_device device);
am_device AMDeviceRetain(am_device device);
void AMDeviceRelease(am_device device);

// Services
[[nodiscard]] std::int32_t AMDeviceStartService(am_device device, const char* name, service_handle* handle, std::uint32_t* unknown);
[[nodiscard]] std::int32_t AMDeviceSecureStartService(am_device device, const char* name, void* unused, service_handle* handle);
// The secure I/O context of a started service whose connection runs in TLS; null for a plain
// connection, and once the handle is closed or stale.
void* AMDServiceConnectionGetSecureIOContext(service_handle service);
// The descriptor of a started service's plain connection; -1 once the handle is closed or stale,
// or its device has been detached and released. Whoever talks through a handle asks for every
// message, so that a descriptor number reused by a newer connection is never written to.
// A connection in TLS has no descriptor to give (-1, with a secure I/O context): its bytes on the
// socket are ciphertext, and it is reached only through Send and Receive below.
[[nodiscard]] std::int32_t AMDServiceConnectionGetSocket(service_handle service);
// Sends all `size` bytes through the service's own connection, in TLS when it runs in TLS: `size`,
// or -1 when the connection fails, is closed, or the handle is stale.
[[nodiscard]] ssize_t AMDServiceConnectionSend(service_handle service, const void* data, std::size_t size);
// Receives through the service's own connection: how many came (at least one, at most `size`), 0
// once the peer has ended the stream, -1 on a failure or time-out. A connection in TLS may wait for
// all `size` bytes, so a caller asks for no more than its framing has announced.
[[nodiscard]] ssize_t AMDServiceConnectionReceive(service_handle service, void* buffer, std::size_t size);
// Closes a started service's connection; the handle refers to nothing from then on.
[[nodiscard]] std::int32_t AMDServiceConnectionInvalidate(service_handle service);

// Power, wake
[[nodiscard]] PlatformObjectRef AMDevicePowerAssertionCreate(am_device device, const char* type, const char* name, void* unused,
                                               PlistRef* details, double duration);
[[nodiscard]] std::int32_t AMDeviceCreateWakeupToken(am_device device, void* unused, PlistRef* token);
[[nodiscard]] std::int32_t AMDeviceWakeupUsingToken(PlistRef token, double timeout);

// AFC connection
[[nodiscard]] std::int32_t AFCConnectionOpen(service_handle service, std::uint32_t ioTimeout, afc_connection* connection);
[[nodiscard]] std::int32_t AFCConnectionSetSecureContext(afc_connection connection, void* context);
[[nodiscard]] std::int32_t AFCConnectionClose(afc_connection connection);
[[nodiscard]] std::uint32_t AFCConnectionGetIOTimeout(afc_connection connection);
[[nodiscard]] std::int32_t AFCConnectionProcessOperation(afc_connection connection, const PlatformObjectRef& operation, double timeout);
[[nodiscard]] PlistRef AFCConnectionCopyLastErrorInfo(afc_connection connection);

// AFC information
[[nodiscard]] std::int32_t AFCDeviceInfoOpen(afc_connection connection, afc_dictionary* info);
[[nodiscard]] std::int32_t AFCFileInfoOpen(afc_connection connection, const char* path, afc_dictionary* info);
[[nodiscard]] std::int32_t AFCKeyValueRead(afc_dictionary info, const char** key, const char** value);
[[nodiscard]] std::int32_t AFCKeyValueClose(afc_dictionary info);

// AFC directories and paths
[[nodiscard]] std::int32_t AFCDirectoryOpen(afc_connection connection, const char* path, afc_directory* directory);
[[nodiscard]] std::int32_t AFCDirectoryRead(afc_connection connection, afc_directory directory, char** name);
[[nodiscard]] std::int32_t AFCDirectoryClose(afc_connection connection, afc_directory directory);
[[nodiscard]] std::int32_t AFCDirectoryCreate(afc_connection connection, const char* path);
[[nodiscard]] std::int32_t AFCRemovePath(afc_connection connection, const char* path);
[[nodiscard]] std::int32_t AFCRenamePath(afc_connection connection, const char* oldPath, const char* newPath);
[[nodiscard]] std::int32_t AFCLinkPath(afc_connection connection, std::int64_t linkType, const char* target, const char* linkPath);

// AFC operations
[[nodiscard]] PlatformObjectRef AFCOperationCreateSetModTime(void* allocator, const std::string& path, std::uint64_t nanoseconds,
                                               void* context);
[[nodiscard]] std::int32_t AFCOperationGetResultStatus(const PlatformObjectRef& operation);

// AFC files
[[nodiscard]] std::int32_t AFCFileRefOpen(afc_connection connection, const char* path, std::uint64_t mode, afc_file_ref* ref);
[[nodiscard]] std::int32_t AFCFileRefClose(afc_connection connection, afc_file_ref ref);
[[nodiscard]] std::int32_t AFCFileRefSeek(afc_connection connection, afc_file_ref ref, std::int64_t offset, std::int64_t mode);
[[nodiscard]] std::int32_t AFCFileRefTell(afc_connection connection, afc_file_ref ref, std::uint64_t* position);
[[nodiscard]] std::int32_t AFCFileRefRead(afc_connection connection, afc_file_ref ref, void* buffer, std::uint64_t* count);
[[nodiscard]] std::int32_t AFCFileRefWrite(afc_connection connection, afc_file_ref ref, const void* buffer, std::uint64_t count);
[[nodiscard]] std::int32_t AFCFileRefSetFileSize(afc_connection connection, afc_file_ref ref, std::uint64_t size);
[[nodiscard]] std::int32_t AFCFileRefLock(afc_connection connection, afc_file_ref ref);
[[nodiscard]] std::int32_t AFCFileRefUnlock(afc_connection connection, afc_file_ref ref);

} // namespace keldo
