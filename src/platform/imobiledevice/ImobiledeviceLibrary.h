#pragma once

#include "platform/imobiledevice/SigpipeHeld.h"
#include "platform/plist/PlistValue.h"

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/service.h>
#include <plist/plist.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Exported by libimobiledevice 1.3.0 but missing from its installed afc.h: an AFC client on a
// service connection that is already open. A started service's port takes one connection only, so
// AFC must use the one the start made. The client does not free the service client.
extern "C" afc_error_t afc_client_new_with_service_client(service_client_t service, afc_client_t* client);

// What the real backend's parts share about libimobiledevice, libusbmuxd and libplist: owners of
// their objects, the sockets under their clients, and conversions. Private to this directory.
namespace keldo::imobiledevice {

inline constexpr const char* kLabel = "keldo-agent";

struct IdeviceFree { void operator()(idevice_t d) const { idevice_free(d); } };
// Freeing stops an open session (lockdownd) or says goodbye to TLS (services): both write.
struct LockdownFree {
    void operator()(lockdownd_client_t c) const {
        SigpipeHeld held;
        lockdownd_client_free(c);
    }
};
struct ServiceFree {
    void operator()(service_client_t c) const {
        SigpipeHeld held;
        service_client_free(c);
    }
};
struct AfcFree { void operator()(afc_client_t c) const { afc_client_free(c); } };
struct DescriptorFree { void operator()(lockdownd_service_descriptor_t d) const { lockdownd_service_descriptor_free(d); } };
struct PlistFree { void operator()(plist_t p) const { plist_free(p); } };
struct DictionaryFree { void operator()(char** d) const { afc_dictionary_free(d); } };

using PlistPtr = std::unique_ptr<void, PlistFree>;

// The stream socket under a client's connection, or -1 (see the .cpp for how it is found).
int socketOf(service_client_t client);
int socketOf(lockdownd_client_t client);

// Tells the library the device's iOS version ("16.0", "7.1.2"), as its own lockdownd handshake
// would. Its TLS takes the version for the device's age: unknown (0), it counts the device as
// older than iOS 5 and offers TLS 1.0 only. False for a text that is no version.
bool setProductVersion(idevice_t device, const std::string& productVersion);

// Makes a socket blocking while it lives, then gives it its flags back. libimobiledevice runs a
// TLS handshake on the socket as it finds it and, on a non-blocking one, sleeps 100 ms whenever
// the peer's answer has not come yet: once or twice per handshake, whatever the link. Blocking,
// the handshake waits just for the answer, bounded by the call's deadline (which shuts the socket
// down). A negative socket is left alone.
class BlockingSocket {
public:
    explicit BlockingSocket(int fd);
    ~BlockingSocket();
    BlockingSocket(const BlockingSocket&) = delete;
    BlockingSocket& operator=(const BlockingSocket&) = delete;

private:
    int fd_;
    int flags_ = -1;
};

// Handles are ids; the platform's types are pointers.
template <typename Handle>
Handle toHandle(std::uint64_t id) {
    return reinterpret_cast<Handle>(static_cast<std::uintptr_t>(id));
}
template <typename Handle>
std::uint64_t idOf(Handle handle) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

timeval toTimeval(std::chrono::milliseconds t);
PlistRef fromLibplist(plist_t value);
// The HostID of the host's pair record for the device, as usbmuxd keeps it.
std::optional<std::string> hostIdOf(const std::string& udid);
// A library list of texts, copied into our own.
std::vector<std::string> copyList(char** list);

} // namespace keldo::imobiledevice
