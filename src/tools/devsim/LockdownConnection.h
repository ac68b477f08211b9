#pragma once

#include <functional>
#include <string>

namespace keldo {

class ClientConnection;
class DeviceKey;
class LockdownSession;

// Carries a lockdownd conversation over a client's connection: reads each framed request, has
// the session answer it once the device is not frozen, and switches the connection into TLS
// after a session's start and back to plain text after its stop, as the session says.
class LockdownConnection {
public:
    // Serves until the client goes, says Goodbye, breaks the framing or fails a TLS handshake;
    // `log` hears why a handshake failed.
    static void serve(ClientConnection& connection, LockdownSession& session, const DeviceKey& key,
                      const std::function<void(const std::string&)>& log = {});
};

} // namespace keldo
