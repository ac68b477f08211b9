#pragma once

#include "tools/devsim/DeviceStream.h"
#include "tools/devsim/FreezeGate.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace keldo {

// One client's connection as the simulator serves it (a blocking socket it does not own): whole
// reads and writes, and the wait while the device it reaches is frozen. While it waits it goes on
// reading what the client sends, up to kMostHeld bytes, so that the client's sends go through as
// to a device that is only slow to answer; what it read is served, in order, after the thaw.
class ClientConnection : public DeviceStream {
public:
    explicit ClientConnection(int fd) : fd_(fd) {}
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // While one lives, the connection's reads and writes fail once its handshake time has passed
    // (none set: they wait as long as they take): a TLS handshake that never completes frees
    // its thread.
    class HandshakeLimit {
    public:
        explicit HandshakeLimit(ClientConnection& connection);
        ~HandshakeLimit() { connection_.deadline_.reset(); }
        HandshakeLimit(const HandshakeLimit&) = delete;
        HandshakeLimit& operator=(const HandshakeLimit&) = delete;

    private:
        ClientConnection& connection_;
    };

    // How long a handshake on this connection may take from now on.
    void limitHandshakes(std::chrono::milliseconds time) { handshakeTime_ = time; }
    // How long a whole read that has begun may wait for its next bytes: a client that stops
    // half-way through a message is not waited for. Between messages it may wait without end.
    void limitStalls(std::chrono::milliseconds time) { stallTime_ = time; }
    // From now on the connection answers for the device behind this gate.
    void answerFor(std::shared_ptr<const FreezeGate> gate) { gate_ = std::move(gate); }

    [[nodiscard]] bool readExactly(void* buffer, std::size_t size) override;
    [[nodiscard]] std::size_t readSome(void* buffer, std::size_t size) override;
    // The same, for the next bytes of something that has begun (a TLS record, say): its wait is
    // bounded by the stall time.
    [[nodiscard]] std::size_t readMore(void* buffer, std::size_t size);
    [[nodiscard]] bool writeAll(const void* buffer, std::size_t size) override;
    // Puts bytes back in front of what is still to be read: a layer above that read further than
    // it needed (TLS, reading past its last record) hands the rest to the next reader.
    void unread(const std::string& bytes);

    // False when the connection ended meanwhile (the client closed it, or the device was
    // detached).
    [[nodiscard]] bool awaitThaw() override { return await(true); }
    // The same, reading nothing: for a connection about to be handed over as a raw socket.
    [[nodiscard]] bool awaitThawUnread() { return await(false); }

    int fd() const { return fd_; }

    static constexpr std::size_t kMostHeld = 16 * 1024 * 1024;

    void markUnderway(bool underway) override { underway_ = underway; }

private:
    bool await(bool reading);
    // Waits until the socket is ready for `events`; false once the handshake's deadline has
    // passed or, in the middle of a read, the stall time.
    bool ready(short events, bool midRead) const;
    std::size_t takeHeld(void* buffer, std::size_t size);
    std::size_t receive(void* buffer, std::size_t size, bool midRead);
    std::size_t heldSize() const { return held_.size() - heldAt_; }

    int fd_;
    std::shared_ptr<const FreezeGate> gate_;
    std::string held_;  // read while frozen, not yet served; from heldAt_ on
    std::size_t heldAt_ = 0;
    bool ended_ = false;  // the client sent its last byte while the device was frozen
    std::optional<std::chrono::milliseconds> handshakeTime_;
    std::optional<std::chrono::milliseconds> stallTime_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool underway_ = false;  // a message has begun: no wait may outlast the stall time
};

} // namespace keldo
