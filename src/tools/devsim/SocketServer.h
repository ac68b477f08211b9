#pragma once

#include "tools/devsim/ConnectionBound.h"
#include "tools/devsim/LinkModel.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace keldo {

class LinkPump;
class OutgoingQueue;

// The simulator's sockets and threads: every client connection is served by a thread of its own,
// up to a bound (more are closed as they come), and belongs to a device (0: none yet) so that
// detaching the device ends it. Clients that listen for events get them through a queue of their
// own, sent by their own thread: whoever raises an event never waits for a client to read.
class SocketServer {
public:
    struct Options {
        // Client connections served at once; more are closed as they come.
        std::size_t maxConnections = 128;
        // Bytes of events that may wait for a listening client that does not read; one that falls
        // further behind is dropped (its connection closed).
        std::size_t listenerBacklog = 4 * 1024 * 1024;
        // Told the start and end of each run of refusals, one line at a time.
        std::function<void(const std::string&)> log;
        // The link that accepted clients reach the simulator over (none: the socket alone).
        std::optional<LinkModel::Figures> link;
    };

    explicit SocketServer(Options options);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Takes connections from now on (again after stop).
    void open();
    // Ends every connection, waits for every thread, and takes no more until opened again.
    void stop();
    bool isOpen() const;

    // Runs `serve` on a thread of its own for a descriptor that belongs to a device (0: none), and
    // closes the descriptor after. A counted one takes a place of the bound. False, the
    // descriptor closed, when it is refused: no place, no thread, or the server is stopped.
    [[nodiscard]] bool spawn(int fd, std::uint32_t owner, bool counted, std::function<void()> serve) noexcept;
    // Serves each client of `listener` on a thread of its own (counted), until the listener is shut
    // (or after one client). Over a modelled link, its bytes cross the link from the start, or
    // (pacedAtOnce false) from pace() on.
    void acceptLoop(int listener, std::uint32_t owner, const std::function<void(int)>& serve, bool once = false,
                    bool pacedAtOnce = true);
    // A served connection's bytes cross the modelled link from now on.
    void pace(int fd);
    // The connection belongs to `owner` from now on.
    void assign(int fd, std::uint32_t owner);
    // Ends every connection that belongs to `owner`; their threads see them shut.
    void endConnectionsOf(std::uint32_t owner);

    // Makes `fd` a listener and queues `first` for it. The caller holds whatever lock orders
    // events, so that the listener misses none and gets none twice. None when the queue can't be
    // made or `first` does not fit.
    std::shared_ptr<OutgoingQueue> addListener(int fd, const std::vector<std::string>& first);
    // Sends what the queue gets until the client closes its connection or falls too far behind.
    void sendEvents(int fd, OutgoingQueue& queue);
    // Queues an event for every listener; one too far behind is dropped.
    void broadcast(const std::string& packet);

    // A TCP listener on the address (a dotted IPv4 text) and port (0: any); -1 when it can't be
    // made. The port taken goes to boundPort.
    static int listenTcp(const std::string& address, std::uint16_t port, std::uint16_t* boundPort);

    std::size_t limit() const { return bound_.limit(); }

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    [[nodiscard]] bool startWorker(int fd, std::uint32_t owner, bool counted, std::function<void()> serve);
    void reapWorkers();

    const Options options_;
    mutable std::mutex mutex_;
    bool open_ = false;
    ConnectionBound bound_{options_.maxConnections};
    std::map<int, std::uint32_t> connections_;  // every open client connection, by owner
    std::map<int, std::shared_ptr<OutgoingQueue>> listeners_;
    std::map<int, LinkPump*> pumps_;  // by the descriptor served
    std::list<std::unique_ptr<Worker>> workers_;
};

} // namespace keldo
