#pragma once

#include "platform/mobiledevice/MobileDevice.h"

#include <memory>

namespace keldo {

// What stands behind the platform operations: one virtual per operation of MobileDevice.h.
// Every operation fails by default (a failure status, or a null result), so a backend offers
// exactly the groups it overrides and the callers' failure paths take over for the rest.
class Backend {
public:
    virtual ~Backend() = default;

    // The backend the platform operations dispatch to. One that fails everything is there before
    // any is installed. install returns the one it replaces.
    [[nodiscard]] static std::shared_ptr<Backend> current();
    static std::shared_ptr<Backend> install(std::shared_ptr<Backend> backend);

    // Events
    [[nodiscard]] virtual std::int32_t notificationSubscribe(am_device_notification_callback, void* context,
                                               _am_device_notification** subscription);
    [[nodiscard]] virtual std::int32_t notificationUnsubscribe(_am_device_notification* subscription);
    [[nodiscard]] virtual std::int32_t deviceList(std::vector<AMDeviceListEntry>& devices);

    // Device
    [[nodiscard]] virtual std::int32_t connect(am_device);
    [[nodiscard]] virtual std::int32_t disconnect(am_device);
    [[nodiscard]] virtual std::int32_t startSession(am_device);
    [[nodiscard]] virtual std::int32_t stopSession(am_device);
    [[nodiscard]] virtual PlistRef copyValue(am_device, const char* domain, const char* key);
    [[nodiscard]] virtual std::int32_t interfaceType(am_device);
    [[nodiscard]] virtual std::int32_t isPaired(am_device);
    [[nodiscard]] virtual std::int32_t pair(am_device);
    [[nodiscard]] virtual std::int32_t unpair(am_device);
    [[nodiscard]] virtual std::int32_t validatePairing(am_device);
    virtual am_device retain(am_device device) { return device; }
    virtual void release(am_device) {}

    // Services
    [[nodiscard]] virtual std::int32_t startService(am_device, const char* name, service_handle* handle, std::uint32_t* unknown);
    [[nodiscard]] virtual std::int32_t secureStartService(am_device, const char* name, service_handle* handle);
    virtual void* secureIOContext(service_handle);
    [[nodiscard]] virtual std::int32_t serviceConnectionGetSocket(service_handle);
    [[nodiscard]] virtual ssize_t serviceConnectionSend(service_handle, const void* data, std::size_t size);
    [[nodiscard]] virtual ssize_t serviceConnectionReceive(service_handle, void* buffer, std::size_t size);
    [[nodiscard]] virtual std::int32_t serviceConnectionInvalidate(service_handle);

    // Power, wake
    [[nodiscard]] virtual PlatformObjectRef powerAssertionCreate(am_device, const char* type, const char* name, PlistRef* details,
                                                   double duration);
    [[nodiscard]] virtual std::int32_t createWakeupToken(am_device, PlistRef* token);
    [[nodiscard]] virtual std::int32_t wakeupUsingToken(const PlistRef& token, double timeout);

    // AFC connection
    [[nodiscard]] virtual std::int32_t afcConnectionOpen(service_handle, std::uint32_t ioTimeout, afc_connection* connection);
    [[nodiscard]] virtual std::int32_t afcConnectionSetSecureContext(afc_connection, void* context);
    [[nodiscard]] virtual std::int32_t afcConnectionClose(afc_connection);
    [[nodiscard]] virtual std::uint32_t afcConnectionGetIOTimeout(afc_connection);
    [[nodiscard]] virtual std::int32_t afcConnectionProcessOperation(afc_connection, const PlatformObjectRef& operation, double timeout);
    [[nodiscard]] virtual PlistRef afcConnectionCopyLastErrorInfo(afc_connection);

    // AFC information
    [[nodiscard]] virtual std::int32_t afcDeviceInfoOpen(afc_connection, afc_dictionary* info);
    [[nodiscard]] virtual std::int32_t afcFileInfoOpen(afc_connection, const char* path, afc_dictionary* info);
    [[nodiscard]] virtual std::int32_t afcKeyValueRead(afc_dictionary, const char** key, const char** value);
    [[nodiscard]] virtual std::int32_t afcKeyValueClose(afc_dictionary);

    // AFC directories and paths
    [[nodiscard]] virtual std::int32_t afcDirectoryOpen(afc_connection, const char* path, afc_directory* directory);
    [[nodiscard]] virtual std::int32_t afcDirectoryRead(afc_connection, afc_directory, char** name);
    [[nodiscard]] virtual std::int32_t afcDirectoryClose(afc_connection, afc_directory);
    [[nodiscard]] virtual std::int32_t afcDirectoryCreate(afc_connection, const char* path);
    [[nodiscard]] virtual std::int32_t afcRemovePath(afc_connection, const char* path);
    [[nodiscard]] virtual std::int32_t afcRenamePath(afc_connection, const char* oldPath, const char* newPath);
    [[nodiscard]] virtual std::int32_t afcLinkPath(afc_connection, std::int64_t linkType, const char* target, const char* linkPath);

    // AFC operations
    [[nodiscard]] virtual PlatformObjectRef afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                           void* context);
    [[nodiscard]] virtual std::int32_t afcOperationGetResultStatus(const PlatformObjectRef& operation);

    // AFC files
    [[nodiscard]] virtual std::int32_t afcFileRefOpen(afc_connection, const char* path, std::uint64_t mode, afc_file_ref* ref);
    [[nodiscard]] virtual std::int32_t afcFileRefClose(afc_connection, afc_file_ref);
    [[nodiscard]] virtual std::int32_t afcFileRefSeek(afc_connection, afc_file_ref, std::int64_t offset, std::int64_t mode);
    [[nodiscard]] virtual std::int32_t afcFileRefTell(afc_connection, afc_file_ref, std::uint64_t* position);
    [[nodiscard]] virtual std::int32_t afcFileRefRead(afc_connection, afc_file_ref, void* buffer, std::uint64_t* count);
    [[nodiscard]] virtual std::int32_t afcFileRefWrite(afc_connection, afc_file_ref, const void* buffer, std::uint64_t count);
    [[nodiscard]] virtual std::int32_t afcFileRefSetFileSize(afc_connection, afc_file_ref, std::uint64_t size);
    [[nodiscard]] virtual std::int32_t afcFileRefLock(afc_connection, afc_file_ref);
    [[nodiscard]] virtual std::int32_t afcFileRefUnlock(afc_connection, afc_file_ref);
};

} // namespace keldo
