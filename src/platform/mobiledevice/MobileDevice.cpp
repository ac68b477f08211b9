#include "platform/mobiledevice/MobileDevice.h"

#include "platform/mobiledevice/Backend.h"

namespace keldo {

namespace {
// The backend is fetched per call, so that a test fixture installing its own takes effect at once.
std::shared_ptr<Backend> backend() { return Backend::current(); }
} // namespace

std::int32_t AMDeviceNotificationSubscribe(am_device_notification_callback callback, std::uint32_t, std::uint32_t,
                                           void* context, _am_device_notification** subscription) {
    return backend()->notificationSubscribe(callback, context, subscription);
}
std::int32_t AMDeviceNotificationUnsubscribe(_am_device_notification* subscription) {
    return backend()->notificationUnsubscribe(subscription);
}
std::int32_t AMDCreateDeviceList(std::vector<AMDeviceListEntry>& devices) {
    devices.clear();
    const std::int32_t status = backend()->deviceList(devices);
    if (status != 0) devices.clear();
    return status;
}

std::int32_t AMDeviceConnect(am_device device) { return backend()->connect(device); }
std::int32_t AMDeviceDisconnect(am_device device) { return backend()->disconnect(device); }
std::int32_t AMDeviceStartSession(am_device device) { return backend()->startSession(device); }
std::int32_t AMDeviceStopSession(am_device device) { return backend()->stopSession(device); }
PlistRef AMDeviceCopyValue(am_device device, const char* domain, const char* key) {
    return backend()->copyValue(device, domain, key);
}
std::int32_t AMDeviceGetInterfaceType(am_device device) { return backend()->interfaceType(device); }
std::int32_t AMDeviceIsPaired(am_device device) { return backend()->isPaired(device); }
std::int32_t AMDevicePair(am_device device) { return backend()->pair(device); }
std::int32_t AMDeviceUnpair(am_device device) { return backend()->unpair(device); }
std::int32_t AMDeviceValidatePairing(am_device device) { return backend()->validatePairing(device); }
am_device AMDeviceRetain(am_device device) { return backend()->retain(device); }
void AMDeviceRelease(am_device device) { backend()->release(device); }

std::int32_t AMDeviceStartService(am_device device, const char* name, service_handle* handle, std::uint32_t* unknown) {
    return backend()->startService(device, name, handle, unknown);
}
std::int32_t AMDeviceSecureStartService(am_device device, const char* name, void*, service_handle* handle) {
    return backend()->secureStartService(device, name, handle);
}
void* AMDServiceConnectionGetSecureIOContext(service_handle service) { return backend()->secureIOContext(service); }
std::int32_t AMDServiceConnectionGetSocket(service_handle service) {
    return backend()->serviceConnectionGetSocket(service);
}
ssize_t AMDServiceConnectionSend(service_handle service, const void* data, std::size_t size) {
    return backend()->serviceConnectionSend(service, data, size);
}
ssize_t AMDServiceConnectionReceive(service_handle service, void* buffer, std::size_t size) {
    return backend()->serviceConnectionReceive(service, buffer, size);
}
std::int32_t AMDServiceConnectionInvalidate(service_handle service) {
    return backend()->serviceConnectionInvalidate(service);
}

PlatformObjectRef AMDevicePowerAssertionCreate(am_device device, const char* type, const char* name, void*,
                                               PlistRef* details, double duration) {
    return backend()->powerAssertionCreate(device, type, name, details, duration);
}
std::int32_t AMDeviceCreateWakeupToken(am_device device, void*, PlistRef* token) {
    return backend()->createWakeupToken(device, token);
}
std::int32_t AMDeviceWakeupUsingToken(PlistRef token, double timeout) {
    return backend()->wakeupUsingToken(token, timeout);
}

std::int32_t AFCConnectionOpen(service_handle service, std::uint32_t ioTimeout, afc_connection* connection) {
    return backend()->afcConnectionOpen(service, ioTimeout, connection);
}
std::int32_t AFCConnectionSetSecureContext(afc_connection connection, void* context) {
    return backend()->afcConnectionSetSecureContext(connection, context);
}
std::int32_t AFCConnectionClose(afc_connection connection) { return backend()->afcConnectionClose(connection); }
std::uint32_t AFCConnectionGetIOTimeout(afc_connection connection) {
    return backend()->afcConnectionGetIOTimeout(connection);
}
std::int32_t AFCConnectionProcessOperation(afc_connection connection, const PlatformObjectRef& operation,
                                           double timeout) {
    return backend()->afcConnectionProcessOperation(connection, operation, timeout);
}
PlistRef AFCConnectionCopyLastErrorInfo(afc_connection connection) {
    return backend()->afcConnectionCopyLastErrorInfo(connection);
}

std::int32_t AFCDeviceInfoOpen(afc_connection connection, afc_dictionary* info) {
    return backend()->afcDeviceInfoOpen(connection, info);
}
std::int32_t AFCFileInfoOpen(afc_connection connection, const char* path, afc_dictionary* info) {
    return backend()->afcFileInfoOpen(connection, path, info);
}
std::int32_t AFCKeyValueRead(afc_dictionary info, const char** key, const char** value) {
    return backend()->afcKeyValueRead(info, key, value);
}
std::int32_t AFCKeyValueClose(afc_dictionary info) { return backend()->afcKeyValueClose(info); }

std::int32_t AFCDirectoryOpen(afc_connection connection, const char* path, afc_directory* directory) {
    return backend()->afcDirectoryOpen(connection, path, directory);
}
std::int32_t AFCDirectoryRead(afc_connection connection, afc_directory directory, char** name) {
    return backend()->afcDirectoryRead(connection, directory, name);
}
std::int32_t AFCDirectoryClose(afc_connection connection, afc_directory directory) {
    return backend()->afcDirectoryClose(connection, directory);
}
std::int32_t AFCDirectoryCreate(afc_connection connection, const char* path) {
    return backend()->afcDirectoryCreate(connection, path);
}
std::int32_t AFCRemovePath(afc_connection connection, const char* path) {
    return backend()->afcRemovePath(connection, path);
}
std::int32_t AFCRenamePath(afc_connection connection, const char* oldPath, const char* newPath) {
    return backend()->afcRenamePath(connection, oldPath, newPath);
}
std::int32_t AFCLinkPath(afc_connection connection, std::int64_t linkType, const char* target, const char* linkPath) {
    return backend()->afcLinkPath(connection, linkType, target, linkPath);
}

PlatformObjectRef AFCOperationCreateSetModTime(void*, const std::string& path, std::uint64_t nanoseconds,
                                               void* context) {
    return backend()->afcOperationCreateSetModTime(path, nanoseconds, context);
}
std::int32_t AFCOperationGetResultStatus(const PlatformObjectRef& operation) {
    return backend()->afcOperationGetResultStatus(operation);
}

std::int32_t AFCFileRefOpen(afc_connection connection, const char* path, std::uint64_t mode, afc_file_ref* ref) {
    return backend()->afcFileRefOpen(connection, path, mode, ref);
}
std::int32_t AFCFileRefClose(afc_connection connection, afc_file_ref ref) {
    return backend()->afcFileRefClose(connection, ref);
}
std::int32_t AFCFileRefSeek(afc_connection connection, afc_file_ref ref, std::int64_t offset, std::int64_t mode) {
    return backend()->afcFileRefSeek(connection, ref, offset, mode);
}
std::int32_t AFCFileRefTell(afc_connection connection, afc_file_ref ref, std::uint64_t* position) {
    return backend()->afcFileRefTell(connection, ref, position);
}
std::int32_t AFCFileRefRead(afc_connection connection, afc_file_ref ref, void* buffer, std::uint64_t* count) {
    return backend()->afcFileRefRead(connection, ref, buffer, count);
}
std::int32_t AFCFileRefWrite(afc_connection connection, afc_file_ref ref, const void* buffer, std::uint64_t count) {
    return backend()->afcFileRefWrite(connection, ref, buffer, count);
}
std::int32_t AFCFileRefSetFileSize(afc_connection connection, afc_file_ref ref, std::uint64_t size) {
    return backend()->afcFileRefSetFileSize(connection, ref, size);
}
std::int32_t AFCFileRefLock(afc_connection connection, afc_file_ref ref) {
    return backend()->afcFileRefLock(connection, ref);
}
std::int32_t AFCFileRefUnlock(afc_connection connection, afc_file_ref ref) {
    return backend()->afcFileRefUnlock(connection, ref);
}

} // namespace keldo
