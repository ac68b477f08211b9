#pragma once

#include "platform/imobiledevice/EventQueue.h"
#include "platform/imobiledevice/ImobiledeviceBackend.h"
#include "platform/imobiledevice/ImobiledeviceLibrary.h"

#include <sys/socket.h>

#include <mutex>
#include <string>
#include <vector>

// The records behind the real backend's handles, shared by the files of its parts (events, the
// device table, lockdownd, services, AFC). Private to this directory.
namespace keldo {

struct ImobiledeviceBackend::Device {
    std::uint64_t id = 0;
    std::string udid;
    int connectionType = CONNECTION_USBMUXD;
    bool present = true;  // guarded by the backend's mutex
    int references = 0;   // guarded by the backend's mutex

    // The conversation with the device's lockdownd, one at a time.
    std::mutex io;
    std::shared_ptr<idevice_private> idevice;
    bool versionKnown = false;  // told to the library (see setProductVersion)
    std::unique_ptr<lockdownd_client_private, imobiledevice::LockdownFree> lockdown;
    std::string sessionId;
    bool inSession = false;

    bool network() const { return connectionType == CONNECTION_NETWORK; }
};

struct ImobiledeviceBackend::Subscription {
    std::shared_ptr<EventQueue> queue;
};

struct ImobiledeviceBackend::Service {
    // A caller may hold a duplicate of a plain service's socket for a message in flight: it ends
    // with the service, not when the peer gives up.
    ~Service() {
        if (!tls && socket >= 0) ::shutdown(socket, SHUT_RDWR);
    }

    std::shared_ptr<idevice_private> idevice;  // outlives the client made on it
    std::unique_ptr<service_client_private, imobiledevice::ServiceFree> client;
    std::uint64_t device = 0;
    bool network = false;
    bool tls = false;  // the device started it in TLS: only the client may read and write it
    int socket = -1;
    // One send or receive at a time through the client (a TLS connection is one state), also
    // for the AFC connection made on it: one lock for the one connection.
    std::mutex io;
    bool cut = false;  // a send or an AFC round trip outlasted its time-out: the socket is shut down
};

struct ImobiledeviceBackend::KeyValues {
    std::vector<std::string> items;
    std::size_t next = 0;
};

struct ImobiledeviceBackend::AfcConnection {
    std::shared_ptr<Service> service;  // declared first: freed after the AFC client made on it
    service_handle serviceHandle = 0;
    std::unique_ptr<afc_client_private, imobiledevice::AfcFree> afc;
    std::chrono::milliseconds timeout{0};
    // These, and the AFC client, are guarded by the service's io lock.
    std::string lastError;
    HandleTable<KeyValues> directories;
};

} // namespace keldo
