#include "tools/devsim/LockdownConnection.h"

#include "platform/plist/PlistBinary.h"
#include "platform/plist/PlistFile.h"
#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/LockdownSession.h"
#include "tools/devsim/TlsStream.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace keldo {

void LockdownConnection::serve(ClientConnection& connection, LockdownSession& session, const DeviceKey& key,
                               const std::function<void(const std::string&)>& log) {
    std::unique_ptr<TlsStream> tls;
    while (!session.finished()) {
        DeviceStream& stream = tls ? static_cast<DeviceStream&>(*tls) : connection;
        std::uint8_t header[4];
        if (!stream.readExactly(header, sizeof(header))) return;
        const auto length = LockdownSession::messageLength(header);
        if (!length) return;
        std::vector<char> body(*length);
        if (DeviceStream::MessageUnderway underway(stream); !stream.readExactly(body.data(), body.size())) return;
        if (!stream.awaitThaw()) return;
        const bool binary = PlistBinary::isBinary(body.data(), body.size());
        const std::string reply = LockdownSession::frame(session.reply(PlistFile::fromBytes(body.data(), body.size())), binary);
        if (!stream.writeAll(reply.data(), reply.size())) return;
        switch (session.next()) {
        case LockdownSession::Next::StartTls: {
            // The host starts its handshake right behind the reply and waits for it without end:
            // it is answered at once.
            std::string error;
            tls = TlsStream::accept(connection, key, session.hostCertificates(), error);
            if (!tls) {
                if (log) log("lockdownd: " + error);
                return;
            }
            break;
        }
        case LockdownSession::Next::EndTls:
            if (tls && !tls->returnToPlainText()) return;
            tls.reset();
            break;
        case LockdownSession::Next::Continue:
        case LockdownSession::Next::Finish:
            break;
        }
    }
}

} // namespace keldo
