#include "platform/mobiledevice/ForwardingBackend.h"

namespace keldo {

std::int32_t ForwardingBackend::notificationSubscribe(am_device_notification_callback callback, void* context,
                                                      _am_device_notification** subscription) {
    return inner_->notificationSubscribe(callback, context, subscription);
}
std::int32_t ForwardingBackend::notificationUnsubscribe(_am_device_notification* subscription) {
    return inner_->notificationUnsubscribe(subscription);
}
std::int32_t ForwardingBackend::deviceList(std::vector<AMDeviceListEntry>& devices) { return inner_->deviceList(devices); }
std::int32_t ForwardingBackend::connect(am_device device) { return inner_->connect(device); }
std::int32_t ForwardingBackend::disconnect(am_device device) { return inner_->disconnect(device); }
std::int32_t ForwardingBackend::startSession(am_device device) { return inner_->startSession(device); }
std::int32_t ForwardingBackend::stopSession(am_device device) { return inner_->stopSession(device); }
PlistRef ForwardingBackend::copyValue(am_device device, const char* domain, const char* key) {
    return inner_->copyValue(device, domain, key);
}
std::int32_t ForwardingBackend::interfaceType(am_device device) { return inner_->interfaceType(device); }
std::int32_t ForwardingBackend::isPaired(am_device device) { return inner_->isPaired(device); }
std::int32_t ForwardingBackend::pair(am_device device) { return inner_->pair(device); }
std::int32_t ForwardingBackend::unpair(am_device device) { return inner_->unpair(device); }
std::int32_t ForwardingBackend::validatePairing(am_device device) { return inner_->validatePairing(device); }
am_device ForwardingBackend::retain(am_device device) { return inner_->retain(device); }
void ForwardingBackend::release(am_device device) { inner_->release(device); }
std::int32_t ForwardingBackend::startService(am_device device, const char* name, service_handle* handle,
                                             std::uint32_t* unknown) {
    return inner_->startService(device, name, handle, unknown);
}
std::int32_t ForwardingBackend::secureStartService(am_device device, const char* name, service_handle* handle) {
    return inner_->secureStartService(device, name, handle);
}
void* ForwardingBackend::secureIOContext(service_handle service) { return inner_->secureIOContext(service); }
std::int32_t ForwardingBackend::serviceConnectionGetSocket(service_handle service) {
    return inner_->serviceConnectionGetSocket(service);
}
ssize_t ForwardingBackend::serviceConnectionSend(service_handle service, const void* data, std::size_t size) {
    return inner_->serviceConnectionSend(service, data, size);
}
ssize_t ForwardingBackend::serviceConnectionReceive(service_handle service, void* buffer, std::size_t size) {
    return inner_->serviceConnectionReceive(service, buffer, size);
}
std::int32_t ForwardingBackend::serviceConnectionInvalidate(service_handle service) {
    return inner_->serviceConnectionInvalidate(service);
}
PlatformObjectRef ForwardingBackend::powerAssertionCreate(am_device device, const char* type, const char* name,
                                                          PlistRef* details, double duration) {
    return inner_->powerAssertionCreate(device, type, name, details, duration);
}
std::int32_t ForwardingBackend::createWakeupToken(am_device device, PlistRef* token) {
    return inner_->createWakeupToken(device, token);
}
std::int32_t ForwardingBackend::wakeupUsingToken(const PlistRef& token, double timeout) {
    return inner_->wakeupUsingToken(token, timeout);
}
std::int32_t ForwardingBackend::afcConnectionOpen(service_handle service, std::uint32_t ioTimeout,
                                                  afc_connection* connection) {
    return inner_->afcConnectionOpen(service, ioTimeout, connection);
}
std::int32_t ForwardingBackend::afcConnectionSetSecureContext(afc_connection connection, void* context) {
    return inner_->afcConnectionSetSecureContext(connection, context);
}
std::int32_t ForwardingBackend::afcConnectionClose(afc_connection connection) {
    return inner_->afcConnectionClose(connection);
}
std::uint32_t ForwardingBackend::afcConnectionGetIOTimeout(afc_connection connection) {
    return inner_->afcConnectionGetIOTimeout(connection);
}
std::int32_t ForwardingBackend::afcConnectionProcessOperation(afc_connection connection,
                                                              const PlatformObjectRef& operation, double timeout) {
    return inner_->afcConnectionProcessOperation(connection, operation, timeout);
}
PlistRef ForwardingBackend::afcConnectionCopyLastErrorInfo(afc_connection connection) {
    return inner_->afcConnectionCopyLastErrorInfo(connection);
}
std::int32_t ForwardingBackend::afcDeviceInfoOpen(afc_connection connection, afc_dictionary* info) {
    return inner_->afcDeviceInfoOpen(connection, info);
}
std::int32_t ForwardingBackend::afcFileInfoOpen(afc_connection connection, const char* path, afc_dictionary* info) {
    return inner_->afcFileInfoOpen(connection, path, info);
}
std::int32_t ForwardingBackend::afcKeyValueRead(afc_dictionary info, const char** key, const char** value) {
    return inner_->afcKeyValueRead(info, key, value);
}
std::int32_t ForwardingBackend::afcKeyValueClose(afc_dictionary info) { return inner_->afcKeyValueClose(info); }
std::int32_t ForwardingBackend::afcDirectoryOpen(afc_connection connection, const char* path,
                                                 afc_directory* directory) {
    return inner_->afcDirectoryOpen(connection, path, directory);
}
std::int32_t ForwardingBackend::afcDirectoryRead(afc_connection connection, afc_directory directory, char** name) {
    return inner_->afcDirectoryRead(connection, directory, name);
}
std::int32_t ForwardingBackend::afcDirectoryClose(afc_connection connection, afc_directory directory) {
    return inner_->afcDirectoryClose(connection, directory);
}
std::int32_t ForwardingBackend::afcDirectoryCreate(afc_connection connection, const char* path) {
    return inner_->afcDirectoryCreate(connection, path);
}
std::int32_t ForwardingBackend::afcRemovePath(afc_connection connection, const char* path) {
    return inner_->afcRemovePath(connection, path);
}
std::int32_t ForwardingBackend::afcRenamePath(afc_connection connection, const char* oldPath, const char* newPath) {
    return inner_->afcRenamePath(connection, oldPath, newPath);
}
std::int32_t ForwardingBackend::afcLinkPath(afc_connection connection, std::int64_t linkType, const char* target,
                                            const char* linkPath) {
    return inner_->afcLinkPath(connection, linkType, target, linkPath);
}
PlatformObjectRef ForwardingBackend::afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                                  void* context) {
    return inner_->afcOperationCreateSetModTime(path, nanoseconds, context);
}
std::int32_t ForwardingBackend::afcOperationGetResultStatus(const PlatformObjectRef& operation) {
    return inner_->afcOperationGetResultStatus(operation);
}
std::int32_t ForwardingBackend::afcFileRefOpen(afc_connection connection, const char* path, std::uint64_t mode,
                                               afc_file_ref* ref) {
    return inner_->afcFileRefOpen(connection, path, mode, ref);
}
std::int32_t ForwardingBackend::afcFileRefClose(afc_connection connection, afc_file_ref ref) {
    return inner_->afcFileRefClose(connection, ref);
}
std::int32_t ForwardingBackend::afcFileRefSeek(afc_connection connection, afc_file_ref ref, std::int64_t offset,
                                               std::int64_t mode) {
    return inner_->afcFileRefSeek(connection, ref, offset, mode);
}
std::int32_t ForwardingBackend::afcFileRefTell(afc_connection connection, afc_file_ref ref, std::uint64_t* position) {
    return inner_->afcFileRefTell(connection, ref, position);
}
std::int32_t ForwardingBackend::afcFileRefRead(afc_connection connection, afc_file_ref ref, void* buffer,
                                               std::uint64_t* count) {
    return inner_->afcFileRefRead(connection, ref, buffer, count);
}
std::int32_t ForwardingBackend::afcFileRefWrite(afc_connection connection, afc_file_ref ref, const void* buffer,
                                                std::uint64_t count) {
    return inner_->afcFileRefWrite(connection, ref, buffer, count);
}
std::int32_t ForwardingBackend::afcFileRefSetFileSize(afc_connection connection, afc_file_ref ref, std::uint64_t size) {
    return inner_->afcFileRefSetFileSize(connection, ref, size);
}
std::int32_t ForwardingBackend::afcFileRefLock(afc_connection connection, afc_file_ref ref) {
    return inner_->afcFileRefLock(connection, ref);
}
std::int32_t ForwardingBackend::afcFileRefUnlock(afc_connection connection, afc_file_ref ref) {
    return inner_->afcFileRefUnlock(connection, ref);
}
}  // namespace keldo
