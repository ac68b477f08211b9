#pragma once

#include "platform/mobiledevice/ForwardingBackend.h"

#include <memory>
#include <string>

namespace keldo {

// The platform under keldo-device -v: every call goes on to the backend it wraps, and a line in
// the system log tells what came of it. The library itself keeps a failure's status in its
// error text and logs only a few situations, so without this a verbose run says next to
// nothing. Calls that set things up or change the device are logged whatever their result
// (connections, sessions, services, path operations, opened files); the many small ones of a
// listing or a transfer (reads, writes, key/value pairs) only when they fail.
class TracingBackend : public ForwardingBackend {
public:
    explicit TracingBackend(std::shared_ptr<Backend> inner);

    // Puts a tracing backend in front of the installed one.
    static void installOverCurrent();

    std::int32_t notificationSubscribe(am_device_notification_callback, void* context,
                                       _am_device_notification** subscription) override;
    std::int32_t notificationUnsubscribe(_am_device_notification* subscription) override;
    std::int32_t deviceList(std::vector<AMDeviceListEntry>& devices) override;

    std::int32_t connect(am_device) override;
    std::int32_t disconnect(am_device) override;
    std::int32_t startSession(am_device) override;
    std::int32_t stopSession(am_device) override;
    PlistRef copyValue(am_device, const char* domain, const char* key) override;
    std::int32_t interfaceType(am_device) override;
    std::int32_t isPaired(am_device) override;
    std::int32_t pair(am_device) override;
    std::int32_t unpair(am_device) override;
    std::int32_t validatePairing(am_device) override;
    am_device retain(am_device device) override;
    void release(am_device) override;

    std::int32_t startService(am_device, const char* name, service_handle* handle, std::uint32_t* unknown) override;
    std::int32_t secureStartService(am_device, const char* name, service_handle* handle) override;
    void* secureIOContext(service_handle) override;
    ssize_t serviceConnectionSend(service_handle, const void* data, std::size_t size) override;
    ssize_t serviceConnectionReceive(service_handle, void* buffer, std::size_t size) override;
    std::int32_t serviceConnectionInvalidate(service_handle) override;

    PlatformObjectRef powerAssertionCreate(am_device, const char* type, const char* name, PlistRef* details,
                                           double duration) override;
    std::int32_t createWakeupToken(am_device, PlistRef* token) override;
    std::int32_t wakeupUsingToken(const PlistRef& token, double timeout) override;

    std::int32_t afcConnectionOpen(service_handle, std::uint32_t ioTimeout, afc_connection* connection) override;
    std::int32_t afcConnectionSetSecureContext(afc_connection, void* context) override;
    std::int32_t afcConnectionClose(afc_connection) override;
    std::uint32_t afcConnectionGetIOTimeout(afc_connection) override;
    std::int32_t afcConnectionProcessOperation(afc_connection, const PlatformObjectRef& operation,
                                               double timeout) override;
    PlistRef afcConnectionCopyLastErrorInfo(afc_connection) override;

    std::int32_t afcDeviceInfoOpen(afc_connection, afc_dictionary* info) override;
    std::int32_t afcFileInfoOpen(afc_connection, const char* path, afc_dictionary* info) override;
    std::int32_t afcKeyValueRead(afc_dictionary, const char** key, const char** value) override;
    std::int32_t afcKeyValueClose(afc_dictionary) override;

    std::int32_t afcDirectoryOpen(afc_connection, const char* path, afc_directory* directory) override;
    std::int32_t afcDirectoryRead(afc_connection, afc_directory, char** name) override;
    std::int32_t afcDirectoryClose(afc_connection, afc_directory) override;
    std::int32_t afcDirectoryCreate(afc_connection, const char* path) override;
    std::int32_t afcRemovePath(afc_connection, const char* path) override;
    std::int32_t afcRenamePath(afc_connection, const char* oldPath, const char* newPath) override;
    std::int32_t afcLinkPath(afc_connection, std::int64_t linkType, const char* target, const char* linkPath) override;

    PlatformObjectRef afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                   void* context) override;
    std::int32_t afcOperationGetResultStatus(const PlatformObjectRef& operation) override;

    std::int32_t afcFileRefOpen(afc_connection, const char* path, std::uint64_t mode, afc_file_ref* ref) override;
    std::int32_t afcFileRefClose(afc_connection, afc_file_ref) override;
    std::int32_t afcFileRefSeek(afc_connection, afc_file_ref, std::int64_t offset, std::int64_t mode) override;
    std::int32_t afcFileRefTell(afc_connection, afc_file_ref, std::uint64_t* position) override;
    std::int32_t afcFileRefRead(afc_connection, afc_file_ref, void* buffer, std::uint64_t* count) override;
    std::int32_t afcFileRefWrite(afc_connection, afc_file_ref, const void* buffer, std::uint64_t count) override;
    std::int32_t afcFileRefSetFileSize(afc_connection, afc_file_ref, std::uint64_t size) override;
    std::int32_t afcFileRefLock(afc_connection, afc_file_ref) override;
    std::int32_t afcFileRefUnlock(afc_connection, afc_file_ref) override;
};

} // namespace keldo
