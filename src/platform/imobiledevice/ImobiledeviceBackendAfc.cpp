#include "platform/imobiledevice/ImobiledeviceBackend.h"

#include "platform/imobiledevice/ImobiledeviceBackendRecords.h"
#include "platform/imobiledevice/ImobiledeviceStatus.h"
#include "platform/imobiledevice/SigpipeHeld.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>

namespace keldo {

using namespace imobiledevice;
using Status = ImobiledeviceStatus;

namespace {

class SetModTimeOperation : public PlatformObject {
public:
    SetModTimeOperation(std::string path, std::uint64_t nanoseconds) : path(std::move(path)), nanoseconds(nanoseconds) {}
    const std::string path;
    const std::uint64_t nanoseconds;
    std::atomic<std::int32_t> result{Status::backend(Status::kNotProcessed)};
};

} // namespace

// AFC connection --------------------------------------------------------------------------------

std::shared_ptr<ImobiledeviceBackend::AfcConnection> ImobiledeviceBackend::findAfc(afc_connection connection) const {
    std::lock_guard lock(mutex_);
    return afcConnections_.find(idOf(connection));
}

template <typename Call>
std::int32_t ImobiledeviceBackend::onAfc(afc_connection connection, const char* what, Call call) {
    std::shared_ptr<AfcConnection> c;
    {
        std::lock_guard lock(mutex_);
        c = afcConnections_.find(idOf(connection));
        if (!c) return Status::backend(Status::kNoSuchObject);
        // A detached device's connections are refused at once: nothing is sent to what has gone.
        auto device = devices_.find(c->service->device);
        if (!device || !device->present) return Status::backend(Status::kNoSuchDevice);
    }
    std::lock_guard io(c->service->io);
    if (c->service->cut) return Status::backend(Status::kNotConnected);
    SigpipeHeld held;
    auto deadline = deadlines_.arm(c->service->socket, c->timeout);
    const afc_error_t status = call(*c, deadline);
    if (deadline.expired()) {
        c->service->cut = true;
        // The whole answer came just as the deadline passed: the call succeeded, and only the
        // calls after it find the connection cut.
        if (status == AFC_E_SUCCESS) return 0;
        c->lastError = fmt::format("{} failed: no answer within {} ms", what, c->timeout.count());
        return Status::backend(Status::kTimedOut);
    }
    if (status != AFC_E_SUCCESS) c->lastError = fmt::format("{} failed: AFC error {}", what, static_cast<int>(status));
    return Status::fromAfc(status);
}

std::int32_t ImobiledeviceBackend::afcConnectionOpen(service_handle handle, std::uint32_t ioTimeout,
                                                     afc_connection* connection) {
    if (!connection) return Status::backend(Status::kInvalidArgument);
    std::shared_ptr<Service> service;
    std::chrono::milliseconds timeout{0};
    {
        std::lock_guard lock(mutex_);
        auto it = services_.find(handle);
        if (it == services_.end()) return Status::backend(Status::kNoSuchObject);
        service = it->second;
        services_.erase(it);  // the AFC connection owns it from now on
        timeout = ioTimeout > 0 ? std::chrono::seconds(ioTimeout)
                                : (service->network ? timeouts_.afcNetwork : timeouts_.afcUsb);
    }
    afc_client_t afc = nullptr;
    const afc_error_t status = afc_client_new_with_service_client(service->client.get(), &afc);
    std::lock_guard lock(mutex_);
    if (status != AFC_E_SUCCESS || !afc) {
        services_[handle] = service;
        return Status::fromAfc(status != AFC_E_SUCCESS ? status : AFC_E_UNKNOWN_ERROR);
    }
    auto record = std::make_shared<AfcConnection>();
    record->service = std::move(service);
    record->serviceHandle = handle;
    record->afc.reset(afc);
    record->timeout = timeout;
    *connection = toHandle<afc_connection>(afcConnections_.add(std::move(record)));
    return 0;
}

std::int32_t ImobiledeviceBackend::afcConnectionClose(afc_connection connection) {
    std::shared_ptr<AfcConnection> record;
    {
        std::lock_guard lock(mutex_);
        record = afcConnections_.take(idOf(connection));
        if (!record) return Status::backend(Status::kNoSuchObject);
    }
    // Freed here, or by the last call still running on it.
    return 0;
}

std::uint32_t ImobiledeviceBackend::afcConnectionGetIOTimeout(afc_connection connection) {
    auto c = findAfc(connection);
    if (!c) return 0;
    // In whole seconds, rounded up.
    return static_cast<std::uint32_t>((c->timeout.count() + 999) / 1000);
}

std::int32_t ImobiledeviceBackend::afcConnectionProcessOperation(afc_connection connection,
                                                                 const PlatformObjectRef& operation, double) {
    auto setModTime = std::dynamic_pointer_cast<SetModTimeOperation>(operation);
    if (!setModTime) return Status::backend(Status::kInvalidArgument);
    if (!findAfc(connection)) return Status::backend(Status::kNoSuchObject);
    setModTime->result = onAfc(connection, "afc_set_file_time", [&](AfcConnection& c, auto&) {
        return afc_set_file_time(c.afc.get(), setModTime->path.c_str(), setModTime->nanoseconds);
    });
    return 0;
}

PlistRef ImobiledeviceBackend::afcConnectionCopyLastErrorInfo(afc_connection connection) {
    auto c = findAfc(connection);
    if (!c) return nullptr;
    std::lock_guard io(c->service->io);
    if (c->lastError.empty()) return nullptr;
    return PlistValue::make(PlistValue::Dictionary{{"NSLocalizedDescription", c->lastError}});
}

// AFC information -------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::openKeyValues(afc_connection connection, const char* what, const char* path,
                                                 afc_dictionary* info) {
    if (!info) return Status::backend(Status::kInvalidArgument);
    auto pairs = std::make_shared<KeyValues>();
    const std::int32_t status = onAfc(connection, what, [&](AfcConnection& c, auto&) {
        char** list = nullptr;
        const afc_error_t s = path ? afc_get_file_info(c.afc.get(), path, &list) : afc_get_device_info(c.afc.get(), &list);
        std::unique_ptr<char*, DictionaryFree> owned(list);
        pairs->items = copyList(list);
        return s;
    });
    if (status != 0) return status;
    std::lock_guard lock(mutex_);
    *info = toHandle<afc_dictionary>(keyValues_.add(std::move(pairs)));
    return 0;
}

std::int32_t ImobiledeviceBackend::afcDeviceInfoOpen(afc_connection connection, afc_dictionary* info) {
    return openKeyValues(connection, "afc_get_device_info", nullptr, info);
}

std::int32_t ImobiledeviceBackend::afcFileInfoOpen(afc_connection connection, const char* path, afc_dictionary* info) {
    if (!path) return Status::backend(Status::kInvalidArgument);
    return openKeyValues(connection, "afc_get_file_info", path, info);
}

std::int32_t ImobiledeviceBackend::afcKeyValueRead(afc_dictionary info, const char** key, const char** value) {
    if (!key || !value) return Status::backend(Status::kInvalidArgument);
    *key = nullptr;
    *value = nullptr;
    std::lock_guard lock(mutex_);
    auto pairs = keyValues_.find(idOf(info));
    if (!pairs) return Status::backend(Status::kNoSuchObject);
    // After the last pair, both stay null.
    if (pairs->next + 1 < pairs->items.size()) {
        *key = pairs->items[pairs->next].c_str();
        *value = pairs->items[pairs->next + 1].c_str();
        pairs->next += 2;
    }
    return 0;
}

std::int32_t ImobiledeviceBackend::afcKeyValueClose(afc_dictionary info) {
    std::lock_guard lock(mutex_);
    return keyValues_.take(idOf(info)) ? 0 : Status::backend(Status::kNoSuchObject);
}

// AFC directories and paths ---------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::afcDirectoryOpen(afc_connection connection, const char* path,
                                                    afc_directory* directory) {
    if (!path || !directory) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_read_directory", [&](AfcConnection& c, auto&) {
        char** list = nullptr;
        // The whole listing comes at once; reading it is then local.
        const afc_error_t status = afc_read_directory(c.afc.get(), path, &list);
        std::unique_ptr<char*, DictionaryFree> owned(list);
        if (status != AFC_E_SUCCESS) return status;
        auto names = std::make_shared<KeyValues>();
        names->items = copyList(list);
        *directory = toHandle<afc_directory>(c.directories.add(std::move(names)));
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcDirectoryRead(afc_connection connection, afc_directory directory, char** name) {
    if (!name) return Status::backend(Status::kInvalidArgument);
    *name = nullptr;
    auto c = findAfc(connection);
    if (!c) return Status::backend(Status::kNoSuchObject);
    std::lock_guard io(c->service->io);
    auto names = c->directories.find(idOf(directory));
    if (!names) return Status::backend(Status::kNoSuchObject);
    if (names->next < names->items.size()) *name = names->items[names->next++].data();
    return 0;
}

std::int32_t ImobiledeviceBackend::afcDirectoryClose(afc_connection connection, afc_directory directory) {
    auto c = findAfc(connection);
    if (!c) return Status::backend(Status::kNoSuchObject);
    std::lock_guard io(c->service->io);
    return c->directories.take(idOf(directory)) ? 0 : Status::backend(Status::kNoSuchObject);
}

std::int32_t ImobiledeviceBackend::afcDirectoryCreate(afc_connection connection, const char* path) {
    if (!path) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_make_directory", [&](AfcConnection& c, auto&) { return afc_make_directory(c.afc.get(), path); });
}

std::int32_t ImobiledeviceBackend::afcRemovePath(afc_connection connection, const char* path) {
    if (!path) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_remove_path", [&](AfcConnection& c, auto&) { return afc_remove_path(c.afc.get(), path); });
}

std::int32_t ImobiledeviceBackend::afcRenamePath(afc_connection connection, const char* oldPath, const char* newPath) {
    if (!oldPath || !newPath) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_rename_path",
                 [&](AfcConnection& c, auto&) { return afc_rename_path(c.afc.get(), oldPath, newPath); });
}

std::int32_t ImobiledeviceBackend::afcLinkPath(afc_connection connection, std::int64_t linkType, const char* target,
                                               const char* linkPath) {
    if (!target || !linkPath || (linkType != AFC_HARDLINK && linkType != AFC_SYMLINK))
        return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_make_link", [&](AfcConnection& c, auto&) {
        return afc_make_link(c.afc.get(), static_cast<afc_link_type_t>(linkType), target, linkPath);
    });
}

// AFC operations --------------------------------------------------------------------------------

PlatformObjectRef ImobiledeviceBackend::afcOperationCreateSetModTime(const std::string& path, std::uint64_t nanoseconds,
                                                                     void*) {
    return std::make_shared<SetModTimeOperation>(path, nanoseconds);
}

std::int32_t ImobiledeviceBackend::afcOperationGetResultStatus(const PlatformObjectRef& operation) {
    auto setModTime = std::dynamic_pointer_cast<SetModTimeOperation>(operation);
    return setModTime ? setModTime->result.load() : Status::backend(Status::kInvalidArgument);
}

// AFC files -------------------------------------------------------------------------------------

std::int32_t ImobiledeviceBackend::afcFileRefOpen(afc_connection connection, const char* path, std::uint64_t mode,
                                                  afc_file_ref* ref) {
    if (!path || !ref) return Status::backend(Status::kInvalidArgument);
    // The wire's numbers mean other things than ours: its 2 is "r+" and its 3 is "w", which
    // truncates. Passing ours through would empty a file opened for reading and writing.
    afc_file_mode_t wire;
    switch (mode) {
    case 1: wire = AFC_FOPEN_RDONLY; break;
    case 2: wire = AFC_FOPEN_WRONLY; break;
    case 3: wire = AFC_FOPEN_RW; break;
    default: return Status::backend(Status::kInvalidArgument);
    }
    return onAfc(connection, "afc_file_open", [&](AfcConnection& c, auto&) {
        std::uint64_t handle = 0;
        const afc_error_t status = afc_file_open(c.afc.get(), path, wire, &handle);
        if (status == AFC_E_SUCCESS) *ref = handle;
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefClose(afc_connection connection, afc_file_ref ref) {
    return onAfc(connection, "afc_file_close", [&](AfcConnection& c, auto&) { return afc_file_close(c.afc.get(), ref); });
}

std::int32_t ImobiledeviceBackend::afcFileRefSeek(afc_connection connection, afc_file_ref ref, std::int64_t offset,
                                                  std::int64_t mode) {
    if (mode < 0 || mode > 2) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_seek", [&](AfcConnection& c, auto&) {
        return afc_file_seek(c.afc.get(), ref, offset, static_cast<int>(mode));
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefTell(afc_connection connection, afc_file_ref ref, std::uint64_t* position) {
    if (!position) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_tell", [&](AfcConnection& c, auto&) {
        std::uint64_t value = 0;
        const afc_error_t status = afc_file_tell(c.afc.get(), ref, &value);
        if (status == AFC_E_SUCCESS) *position = value;
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefRead(afc_connection connection, afc_file_ref ref, void* buffer,
                                                  std::uint64_t* count) {
    if (!count || (!buffer && *count > 0)) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_read", [&](AfcConnection& c, TimeoutWatch::Deadline& deadline) {
        auto* bytes = static_cast<char*>(buffer);
        std::uint64_t done = 0;
        afc_error_t status = AFC_E_SUCCESS;
        // One request may bring less than asked: ask again until the count or the end of the file.
        while (done < *count) {
            const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(*count - done, kAfcChunk));
            std::uint32_t got = 0;
            deadline.renew();  // each round trip has its own time-out
            status = afc_file_read(c.afc.get(), ref, bytes + done, chunk, &got);
            if (status != AFC_E_SUCCESS || got == 0) break;
            done += std::min<std::uint64_t>(got, chunk);
        }
        // Bytes already read are handed over; a failure after them shows at the next read.
        if (done > 0) status = AFC_E_SUCCESS;
        if (status == AFC_E_SUCCESS) *count = done;
        return status;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefWrite(afc_connection connection, afc_file_ref ref, const void* buffer,
                                                   std::uint64_t count) {
    if (!buffer && count > 0) return Status::backend(Status::kInvalidArgument);
    return onAfc(connection, "afc_file_write", [&](AfcConnection& c, TimeoutWatch::Deadline& deadline) {
        const auto* bytes = static_cast<const char*>(buffer);
        std::uint64_t done = 0;
        // The library sends a whole buffer as one packet; a device takes packets of limited size.
        while (done < count) {
            const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(count - done, kAfcChunk));
            std::uint32_t written = 0;
            deadline.renew();
            const afc_error_t status = afc_file_write(c.afc.get(), ref, bytes + done, chunk, &written);
            if (status != AFC_E_SUCCESS) return status;
            if (written == 0) return AFC_E_WRITE_ERROR;
            done += std::min<std::uint64_t>(written, chunk);
        }
        return AFC_E_SUCCESS;
    });
}

std::int32_t ImobiledeviceBackend::afcFileRefSetFileSize(afc_connection connection, afc_file_ref ref,
                                                         std::uint64_t size) {
    return onAfc(connection, "afc_file_truncate",
                 [&](AfcConnection& c, auto&) { return afc_file_truncate(c.afc.get(), ref, size); });
}

std::int32_t ImobiledeviceBackend::afcFileRefLock(afc_connection connection, afc_file_ref ref) {
    return onAfc(connection, "afc_file_lock", [&](AfcConnection& c, auto&) { return afc_file_lock(c.afc.get(), ref, AFC_LOCK_EX); });
}

std::int32_t ImobiledeviceBackend::afcFileRefUnlock(afc_connection connection, afc_file_ref ref) {
    return onAfc(connection, "afc_file_lock", [&](AfcConnection& c, auto&) { return afc_file_lock(c.afc.get(), ref, AFC_LOCK_UN); });
}

} // namespace keldo
