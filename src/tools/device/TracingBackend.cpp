#include "tools/device/TracingBackend.h"

#include "platform/SystemLog.h"
#include "tools/device/StatusText.h"

#include <fmt/format.h>

#include <string_view>

namespace keldo {

namespace {

std::string quoted(const char* text) { return text ? fmt::format("\"{}\"", text) : std::string("null"); }

std::string outcome(std::int32_t status) {
    if (status == 0) return "ok";
    const auto code = static_cast<std::uint32_t>(status);
    return fmt::format("{} [0x{:08X}]", StatusText::meaning(code).value_or("failed"), code);
}

// Logs what came of a call (only a failure, unless `always`) and hands its status on.
std::int32_t traced(std::int32_t status, std::string_view call, const std::string& arguments = {},
                    bool always = true) {
    if (status != 0 || always) logLine("{}{}{}: {}", call, arguments.empty() ? "" : " ", arguments, outcome(status));
    return status;
}

} // namespace

TracingBackend::TracingBackend(std::shared_ptr<Backend> inner) : ForwardingBackend(std::move(inner)) {}

void TracingBackend::installOverCurrent() { Backend::install(std::make_shared<TracingBackend>(Backend::current())); }

std::int32_t TracingBackend::notificationSubscribe(am_device_notification_callback callback, void* context,
                                                   _am_device_notification** subscription) {
    return traced(inner_->notificationSubscribe(callback, context, subscription), "AMDeviceNotificationSubscribe");
}

std::int32_t TracingBackend::notificationUnsubscribe(_am_device_notification* subscription) {
    return traced(inner_->notificationUnsubscribe(subscription), "AMDeviceNotificationUnsubscribe", {}, false);
}

std::int32_t TracingBackend::deviceList(std::vector<AMDeviceListEntry>& devices) {
    const std::int32_t status = inner_->deviceList(devices);
    std::string named;
    for (const auto& d : devices) named += fmt::format("{}{} over {}", named.empty() ? "" : ", ", d.udid, d.interfaceType == 2 ? "network" : "usb");
    return traced(status, "AMDCreateDeviceList", status == 0 ? fmt::format("[{}]", named) : std::string(), true);
}

std::int32_t TracingBackend::connect(am_device d) { return traced(inner_->connect(d), "AMDeviceConnect"); }
std::int32_t TracingBackend::disconnect(am_device d) { return traced(inner_->disconnect(d), "AMDeviceDisconnect"); }
std::int32_t TracingBackend::startSession(am_device d) { return traced(inner_->startSession(d), "AMDeviceStartSession"); }
std::int32_t TracingBackend::stopSession(am_device d) { return traced(inner_->stopSession(d), "AMDeviceStopSession"); }

PlistRef TracingBackend::copyValue(am_device d, const char* domain, const char* key) {
    PlistRef value = inner_->copyValue(d, domain, key);
    if (!value) logLine("AMDeviceCopyValue {} {}: no value", quoted(domain), quoted(key));
    return value;
}

std::int32_t TracingBackend::interfaceType(am_device d) { return inner_->interfaceType(d); }
std::int32_t TracingBackend::isPaired(am_device d) { return inner_->isPaired(d); }
std::int32_t TracingBackend::pair(am_device d) { return traced(inner_->pair(d), "AMDevicePair"); }
std::int32_t TracingBackend::unpair(am_device d) { return traced(inner_->unpair(d), "AMDeviceUnpair"); }
std::int32_t TracingBackend::validatePairing(am_device d) {
    return traced(inner_->validatePairing(d), "AMDeviceValidatePairing");
}
am_device TracingBackend::retain(am_device d) { return inner_->retain(d); }
void TracingBackend::release(am_device d) { inner_->release(d); }

std::int32_t TracingBackend::startService(am_device d, const char* name, service_handle* handle,
                                          std::uint32_t* unknown) {
    return traced(inner_->startService(d, name, handle, unknown), "AMDeviceStartService", quoted(name));
}

std::int32_t TracingBackend::secureStartService(am_device d, const char* name, service_handle* handle) {
    return traced(inner_->secureStartService(d, name, handle), "AMDeviceSecureStartService", quoted(name));
}

void* TracingBackend::secureIOContext(service_handle s) { return inner_->secureIOContext(s); }

ssize_t TracingBackend::serviceConnectionSend(service_handle s, const void* data, std::size_t size) {
    const ssize_t sent = inner_->serviceConnectionSend(s, data, size);
    if (sent < 0) logLine("AMDServiceConnectionSend {}: failed", size);
    return sent;
}

ssize_t TracingBackend::serviceConnectionReceive(service_handle s, void* buffer, std::size_t size) {
    const ssize_t got = inner_->serviceConnectionReceive(s, buffer, size);
    if (got < 0) logLine("AMDServiceConnectionReceive {}: failed", size);
    return got;
}

std::int32_t TracingBackend::serviceConnectionInvalidate(service_handle s) {
    return traced(inner_->serviceConnectionInvalidate(s), "AMDServiceConnectionInvalidate", {}, false);
}

PlatformObjectRef TracingBackend::powerAssertionCreate(am_device d, const char* type, const char* name,
                                                       PlistRef* details, double duration) {
    return inner_->powerAssertionCreate(d, type, name, details, duration);
}

std::int32_t TracingBackend::createWakeupToken(am_device d, PlistRef* token) {
    return traced(inner_->createWakeupToken(d, token), "AMDeviceCreateWakeupToken", {}, false);
}

std::int32_t TracingBackend::wakeupUsingToken(const PlistRef& token, double timeout) {
    return traced(inner_->wakeupUsingToken(token, timeout), "AMDeviceWakeupUsingToken", {}, false);
}

std::int32_t TracingBackend::afcConnectionOpen(service_handle s, std::uint32_t ioTimeout, afc_connection* c) {
    return traced(inner_->afcConnectionOpen(s, ioTimeout, c), "AFCConnectionOpen");
}

std::int32_t TracingBackend::afcConnectionSetSecureContext(afc_connection c, void* context) {
    return traced(inner_->afcConnectionSetSecureContext(c, context), "AFCConnectionSetSecureContext", {}, false);
}

std::int32_t TracingBackend::afcConnectionClose(afc_connection c) {
    return traced(inner_->afcConnectionClose(c), "AFCConnectionClose");
}

std::uint32_t TracingBackend::afcConnectionGetIOTimeout(afc_connection c) { return inner_->afcConnectionGetIOTimeout(c); }

std::int32_t TracingBackend::afcConnectionProcessOperation(afc_connection c, const PlatformObjectRef& operation,
                                                           double timeout) {
    return traced(inner_->afcConnectionProcessOperation(c, operation, timeout), "AFCConnectionProcessOperation");
}

PlistRef TracingBackend::afcConnectionCopyLastErrorInfo(afc_connection c) {
    return inner_->afcConnectionCopyLastErrorInfo(c);
}

std::int32_t TracingBackend::afcDeviceInfoOpen(afc_connection c, afc_dictionary* info) {
    return traced(inner_->afcDeviceInfoOpen(c, info), "AFCDeviceInfoOpen", {}, false);
}

std::int32_t TracingBackend::afcFileInfoOpen(afc_connection c, const char* path, afc_dictionary* info) {
    return traced(inner_->afcFileInfoOpen(c, path, info), "AFCFileInfoOpen", quoted(path), false);
}

std::int32_t TracingBackend::afcKeyValueRead(afc_dictionary d, const char** key, const char** value) {
    return traced(inner_->afcKeyValueRead(d, key, value), "AFCKeyValueRead", {}, false);
}

std::int32_t TracingBackend::afcKeyValueClose(afc_dictionary d) {
    return traced(inner_->afcKeyValueClose(d), "AFCKeyValueClose", {}, false);
}

std::int32_t TracingBackend::afcDirectoryOpen(afc_connection c, const char* path, afc_directory* directory) {
    return traced(inner_->afcDirectoryOpen(c, path, directory), "AFCDirectoryOpen", quoted(path), false);
}

std::int32_t TracingBackend::afcDirectoryRead(afc_connection c, afc_directory directory, char** name) {
    return traced(inner_->afcDirectoryRead(c, directory, name), "AFCDirectoryRead", {}, false);
}

std::int32_t TracingBackend::afcDirectoryClose(afc_connection c, afc_directory directory) {
    return traced(inner_->afcDirectoryClose(c, directory), "AFCDirectoryClose", {}, false);
}

std::int32_t TracingBackend::afcDirectoryCreate(afc_connection c, const char* path) {
    return traced(inner_->afcDirectoryCreate(c, path), "AFCDirectoryCreate", quoted(path));
}

std::int32_t TracingBackend::afcRemovePath(afc_connection c, const char* path) {
    return traced(inner_->afcRemovePath(c, path), "AFCRemovePath", quoted(path));
}

std::int32_t TracingBackend::afcRenamePath(afc_connection c, const char* oldPath, const char* newPath) {
    return traced(inner_->afcRenamePath(c, oldPath, newPath), "AFCRenamePath",
                  fmt::format("{} {}", quoted(oldPath), quoted(newPath)));
}

std::int32_t TracingBackend::afcLinkPath(afc_connection c, std::int64_t type, const char* target, const char* link) {
    return traced(inner_->afcLinkPath(c, type, target, link), "AFCLinkPath",
                  fmt::format("{} {} {}", type, quoted(target), quoted(link)));
}

PlatformObjectRef TracingBackend::afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                               void* context) {
    return inner_->afcOperationCreateSetModTime(path, nanoseconds, context);
}

std::int32_t TracingBackend::afcOperationGetResultStatus(const PlatformObjectRef& operation) {
    return traced(inner_->afcOperationGetResultStatus(operation), "AFCOperationGetResultStatus", {}, false);
}

std::int32_t TracingBackend::afcFileRefOpen(afc_connection c, const char* path, std::uint64_t mode,
                                            afc_file_ref* ref) {
    return traced(inner_->afcFileRefOpen(c, path, mode, ref), "AFCFileRefOpen", fmt::format("{} {}", quoted(path), mode));
}

std::int32_t TracingBackend::afcFileRefClose(afc_connection c, afc_file_ref ref) {
    return traced(inner_->afcFileRefClose(c, ref), "AFCFileRefClose");
}

std::int32_t TracingBackend::afcFileRefSeek(afc_connection c, afc_file_ref ref, std::int64_t offset, std::int64_t mode) {
    return traced(inner_->afcFileRefSeek(c, ref, offset, mode), "AFCFileRefSeek", {}, false);
}

std::int32_t TracingBackend::afcFileRefTell(afc_connection c, afc_file_ref ref, std::uint64_t* position) {
    return traced(inner_->afcFileRefTell(c, ref, position), "AFCFileRefTell", {}, false);
}

std::int32_t TracingBackend::afcFileRefRead(afc_connection c, afc_file_ref ref, void* buffer, std::uint64_t* count) {
    return traced(inner_->afcFileRefRead(c, ref, buffer, count), "AFCFileRefRead", {}, false);
}

std::int32_t TracingBackend::afcFileRefWrite(afc_connection c, afc_file_ref ref, const void* buffer,
                                             std::uint64_t count) {
    return traced(inner_->afcFileRefWrite(c, ref, buffer, count), "AFCFileRefWrite", {}, false);
}

std::int32_t TracingBackend::afcFileRefSetFileSize(afc_connection c, afc_file_ref ref, std::uint64_t size) {
    return traced(inner_->afcFileRefSetFileSize(c, ref, size), "AFCFileRefSetFileSize", {}, false);
}

std::int32_t TracingBackend::afcFileRefLock(afc_connection c, afc_file_ref ref) {
    return traced(inner_->afcFileRefLock(c, ref), "AFCFileRefLock", {}, false);
}

std::int32_t TracingBackend::afcFileRefUnlock(afc_connection c, afc_file_ref ref) {
    return traced(inner_->afcFileRefUnlock(c, ref), "AFCFileRefUnlock", {}, false);
}

} // namespace keldo
