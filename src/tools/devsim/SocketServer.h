#pragma once

#include "tools/devsim/ConnectionBound.h"
#include "tools/devsim/LinkModel.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace keldo {

class ClientConnection;
class LinkPump;

// The simulator's sockets and threads, served as usbmuxd serves its own: one thread runs an epoll
// loop that accepts every client, reads their requests as they come, answers them and sends
// events with non-blocking sends from a bounded queue per client. A client that stops reading
// falls behind by at most the bound and is then dropped; one that stops half-way through a
// request is dropped after a while; neither is ever waited for. Only a connection that becomes a
// device's stream leaves the loop for a thread of its own (up to a bound; more are closed as they
// come), and it belongs to a device (0: none yet) so that detaching the device ends it.
class SocketServer {
public:
    // How long the simulator waits for a client before it frees what the client holds.
    struct Patience {
        // For the rest of a request that a usbmuxd client has begun to send, and of a message to
        // a device (a whole read of lockdownd or a service) that has begun.
        std::chrono::milliseconds stalledRequest{10'000};
        // For a TLS handshake to complete, once it is due.
        std::chrono::milliseconds handshake{10'000};
        // For the one client of a service port to connect (a network device's own port, or one
        // that usbmuxd connects to).
        std::chrono::milliseconds unusedPort{30'000};
    };

    struct Options {
        // Connections served by a thread at once (device streams, and ports waiting for their
        // client); more are closed as they come. usbmuxd's own clients cost no thread.
        std::size_t maxConnections = 128;
        // Bytes that may wait for a usbmuxd client that does not read (its replies and events);
        // one that falls further behind is dropped (its connection closed).
        std::size_t clientBacklog = 4 * 1024 * 1024;
        Patience patience;
        // Told the start and end of each run of refusals, one line at a time.
        std::function<void(const std::string&)> log;
        // The link that a connection to a device crosses (none: the socket alone).
        std::optional<LinkModel::Figures> link;
    };

    // What the loop's clients speak: given all the bytes a client sent that are not used yet.
    class Protocol {
    public:
        struct Answer {
            // Bytes for the client, sent in order after what it was sent before.
            std::string reply;
            // Set: once the reply is sent, the connection leaves the loop for a thread of its own
            // that runs this, with what input is left still to be read.
            std::function<void(ClientConnection&)> takeOver;
            // The input can't be followed any further: the connection is closed.
            bool end = false;

            static Answer replying(std::string bytes) {
                Answer answer;
                answer.reply = std::move(bytes);
                return answer;
            }
            static Answer takingOver(std::function<void(ClientConnection&)> serve) {
                Answer answer;
                answer.takeOver = std::move(serve);
                return answer;
            }
        };
        virtual ~Protocol() = default;
        // Uses what whole requests `input` begins with (removing them), up to one that takes
        // the connection over. The client's descriptor names it to addListener.
        virtual Answer consume(int client, std::string& input) = 0;
    };

    explicit SocketServer(Options options);
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Serves the clients of `listener` (which it takes) with `protocol` from now on; false, the
    // listener closed, when the loop can't be started.
    [[nodiscard]] bool open(int listener, Protocol& protocol);
    // Ends every connection and listener, waits for every thread, and serves no more until
    // opened again. Returns at once whatever clients do: nothing waits for a client.
    void stop();
    bool isOpen() const;

    // Serves each client of `listener` (which it takes; it belongs to `owner`) on a thread of its
    // own (counted). With `once`, the listener is there for one client: it takes a place while it
    // waits, and is closed after its client, or after Patience::unusedPort without one. False,
    // the listener closed, when it is refused (no place, or the server is stopped).
    [[nodiscard]] bool listenOn(int listener, std::uint32_t owner, std::function<void(ClientConnection&)> serve,
                                bool once = false);
    // A served connection's bytes cross the modelled link from now on: its owner's, which all
    // connections to the owner share (one of its own when it has no owner).
    void pace(int fd);
    // The connection belongs to `owner` from now on.
    void assign(int fd, std::uint32_t owner);
    // Ends every connection and listener that belongs to `owner`; their threads see them shut.
    void endConnectionsOf(std::uint32_t owner);

    // Makes the loop's client a listener and queues `first` for it; what it sends from now on is
    // only read to see it close. The caller holds whatever lock orders events, so that the
    // listener misses none and gets none twice. False when `first` does not fit.
    [[nodiscard]] bool addListener(int client, const std::vector<std::string>& first);
    // Queues an event for every listener; one too far behind is dropped.
    void broadcast(const std::string& packet);

    // A TCP listener on the address (a dotted IPv4 text) and port (0: any); -1 when it can't be
    // made. The port taken goes to boundPort.
    static int listenTcp(const std::string& address, std::uint16_t port, std::uint16_t* boundPort);

    std::size_t limit() const { return bound_.limit(); }

private:
    struct Peer;
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    struct Port {
        int fd;
        std::uint32_t owner;
        std::function<void(ClientConnection&)> serve;
        bool once;
        std::chrono::steady_clock::time_point closeAt;
    };

    void run();
    void acceptClients();
    void acceptOn(std::uint64_t key);
    void readFrom(std::uint64_t key);
    // Sends what waits for the client (`writable`: its socket has room again).
    void flush(std::uint64_t key, bool writable);
    // For a client that ended its side: true when answers still wait, which go before the close.
    bool drainBeforeClosing(std::uint64_t key, Peer& peer);
    void expire();
    void closeEntry(std::uint64_t key);
    bool isPort(std::uint64_t key) const;
    // Wakes the loop; the caller holds the lock.
    void wake();
    // Takes the client out of the loop and runs its takeover on a thread of its own.
    void handOver(std::uint64_t key, Peer& peer);
    void serveOnThread(int client, std::uint32_t owner, bool placeTaken, bool pacedAtOnce,
                       std::function<void(ClientConnection&)> serve, std::string input);
    // Runs `serve` on a thread of its own, in a place of the bound (taken already, or now), and
    // closes the descriptor after; false, the descriptor closed, when it is refused.
    [[nodiscard]] bool spawn(int fd, std::uint32_t owner, bool placeTaken, std::function<void()> serve) noexcept;
    [[nodiscard]] bool startWorker(int fd, std::uint32_t owner, std::function<void()> serve);
    void tellRefusal(const char* refusal, std::size_t refusedBefore, bool bounded = true);
    // A client of `listener`; -1 when none waits (errno EAGAIN) or it can't be taken. With no
    // descriptor left, one client is refused.
    int acceptFrom(int listener, int flags);
    void reapWorkers();
    // The link that the connections of `owner` share (0: a link of its own); none when there is no
    // memory for one. The caller holds the lock.
    std::shared_ptr<LinkModel> linkOf(std::uint32_t owner) noexcept;

    const Options options_;
    Protocol* protocol_ = nullptr;
    int epoll_ = -1;
    int wake_ = -1;      // an eventfd: something waits for the loop (output, a close, the stop)
    int listener_ = -1;  // usbmuxd's socket
    int spare_ = -1;     // a descriptor given up to refuse a client when none are left
    std::thread loop_;

    mutable std::mutex mutex_;
    bool open_ = false;
    bool stopping_ = false;
    bool wakePending_ = false;  // written to wake_, not yet seen by the loop
    std::uint64_t nextKey_ = 2;  // names an epoll entry (0 and 1 are the loop's own): never reused
    std::map<std::uint64_t, std::shared_ptr<Peer>> peers_;
    std::map<int, std::uint64_t> peerKeys_;  // by descriptor
    std::map<std::uint64_t, Port> ports_;
    std::set<std::uint64_t> listening_;
    std::size_t partialPeers_ = 0;  // clients with a request begun and not finished
    bool acceptPaused_ = false;     // out of memory: the listener is out of the loop a moment
    std::set<std::uint64_t> toFlush_;
    std::set<std::uint64_t> toClose_;
    ConnectionBound bound_{options_.maxConnections};
    std::map<int, std::uint32_t> connections_;  // every connection served by a thread, by owner
    std::map<int, LinkPump*> pumps_;            // by the descriptor served
    std::map<std::uint32_t, std::weak_ptr<LinkModel>> links_;  // each owner's, while a pump holds it
    std::list<std::unique_ptr<Worker>> workers_;
};

} // namespace keldo
