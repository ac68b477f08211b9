#include "platform/mobiledevice/Backend.h"

#include <mutex>

namespace keldo {

namespace {

std::mutex& backendMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<Backend>& installedBackend() {
    static std::shared_ptr<Backend> backend = std::make_shared<Backend>();
    return backend;
}

} // namespace

std::shared_ptr<Backend> Backend::current() {
    std::lock_guard lock(backendMutex());
    return installedBackend();
}

std::shared_ptr<Backend> Backend::install(std::shared_ptr<Backend> backend) {
    if (!backend) backend = std::make_shared<Backend>();
    std::lock_guard lock(backendMutex());
    std::swap(installedBackend(), backend);
    return backend;
}

std::int32_t Backend::notificationSubscribe(am_device_notification_callback, void*, _am_device_notification**) { return kAMDUndefinedError; }
std::int32_t Backend::notificationUnsubscribe(_am_device_notification*) { return kAMDUndefinedError; }
std::int32_t Backend::deviceList(std::vector<AMDeviceListEntry>&) { return kAMDUndefinedError; }
std::int32_t Backend::connect(am_device) { return kAMDUndefinedError; }
std::int32_t Backend::disconnect(am_device) { return kAMDUndefinedError; }
std::int32_t Backend::startSession(am_device) { return kAMDUndefinedError; }
std::int32_t Backend::stopSession(am_device) { return kAMDUndefinedError; }
PlistRef Backend::copyValue(am_device, const char*, const char*) { return nullptr; }
std::int32_t Backend::interfaceType(am_device) { return 0; }
std::int32_t Backend::isPaired(am_device) { return 0; }
std::int32_t Backend::pair(am_device) { return kAMDUndefinedError; }
std::int32_t Backend::unpair(am_device) { return kAMDUndefinedError; }
std::int32_t Backend::validatePairing(am_device) { return kAMDUndefinedError; }
std::int32_t Backend::startService(am_device, const char*, service_handle*, std::uint32_t*) { return kAMDUndefinedError; }
std::int32_t Backend::secureStartService(am_device, const char*, service_handle*) { return kAMDUndefinedError; }
void* Backend::secureIOContext(service_handle) { return nullptr; }
std::int32_t Backend::serviceConnectionGetSocket(service_handle) { return -1; }
ssize_t Backend::serviceConnectionSend(service_handle, const void*, std::size_t) { return -1; }
ssize_t Backend::serviceConnectionReceive(service_handle, void*, std::size_t) { return -1; }
std::int32_t Backend::serviceConnectionInvalidate(service_handle) { return kAMDUndefinedError; }
PlatformObjectRef Backend::powerAssertionCreate(am_device, const char*, const char*, PlistRef*, double) { return nullptr; }
std::int32_t Backend::createWakeupToken(am_device, PlistRef*) { return kAMDUndefinedError; }
std::int32_t Backend::wakeupUsingToken(const PlistRef&, double) { return kAMDUndefinedError; }
std::int32_t Backend::afcConnectionOpen(service_handle, std::uint32_t, afc_connection*) { return kAMDUndefinedError; }
std::int32_t Backend::afcConnectionSetSecureContext(afc_connection, void*) { return kAMDUndefinedError; }
std::int32_t Backend::afcConnectionClose(afc_connection) { return kAMDUndefinedError; }
std::uint32_t Backend::afcConnectionGetIOTimeout(afc_connection) { return 0; }
std::int32_t Backend::afcConnectionProcessOperation(afc_connection, const PlatformObjectRef&, double) { return kAMDUndefinedError; }
PlistRef Backend::afcConnectionCopyLastErrorInfo(afc_connection) { return nullptr; }
std::int32_t Backend::afcDeviceInfoOpen(afc_connection, afc_dictionary*) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileInfoOpen(afc_connection, const char*, afc_dictionary*) { return kAMDUndefinedError; }
std::int32_t Backend::afcKeyValueRead(afc_dictionary, const char**, const char**) { return kAMDUndefinedError; }
std::int32_t Backend::afcKeyValueClose(afc_dictionary) { return kAMDUndefinedError; }
std::int32_t Backend::afcDirectoryOpen(afc_connection, const char*, afc_directory*) { return kAMDUndefinedError; }
std::int32_t Backend::afcDirectoryRead(afc_connection, afc_directory, char**) { return kAMDUndefinedError; }
std::int32_t Backend::afcDirectoryClose(afc_connection, afc_directory) { return kAMDUndefinedError; }
std::int32_t Backend::afcDirectoryCreate(afc_connection, const char*) { return kAMDUndefinedError; }
std::int32_t Backend::afcRemovePath(afc_connection, const char*) { return kAMDUndefinedError; }
std::int32_t Backend::afcRenamePath(afc_connection, const char*, const char*) { return kAMDUndefinedError; }
std::int32_t Backend::afcLinkPath(afc_connection, std::int64_t, const char*, const char*) { return kAMDUndefinedError; }
PlatformObjectRef Backend::afcOperationCreateSetModTime(const std::string&, std::uint64_t, void*) { return nullptr; }
std::int32_t Backend::afcOperationGetResultStatus(const PlatformObjectRef&) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefOpen(afc_connection, const char*, std::uint64_t, afc_file_ref*) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefClose(afc_connection, afc_file_ref) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefSeek(afc_connection, afc_file_ref, std::int64_t, std::int64_t) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefTell(afc_connection, afc_file_ref, std::uint64_t*) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefRead(afc_connection, afc_file_ref, void*, std::uint64_t*) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefWrite(afc_connection, afc_file_ref, const void*, std::uint64_t) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefSetFileSize(afc_connection, afc_file_ref, std::uint64_t) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefLock(afc_connection, afc_file_ref) { return kAMDUndefinedError; }
std::int32_t Backend::afcFileRefUnlock(afc_connection, afc_file_ref) { return kAMDUndefinedError; }

} // namespace keldo
