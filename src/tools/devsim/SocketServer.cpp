#include "tools/devsim/SocketServer.h"

#include "tools/devsim/ClientConnection.h"
#include "tools/devsim/LinkPump.h"
#include "tools/devsim/OutgoingQueue.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace keldo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kListenerKey = 0;
constexpr std::uint64_t kWakeKey = 1;
constexpr std::size_t kReadPiece = 64 * 1024;
constexpr std::size_t kSendPiece = 256 * 1024;
// How often time-outs are looked for while any can fall due.
constexpr auto kTick = std::chrono::milliseconds(100);

bool setBlocking(int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

int spareDescriptor() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

} // namespace

// A usbmuxd client that the loop serves. Its descriptor, input and time-outs are the loop's
// alone; what waits to be sent and whether it listens are shared under the server's lock.
struct SocketServer::Peer {
    Peer(int descriptor, std::size_t backlog) : fd(descriptor), out(backlog) {}

    const int fd;
    OutgoingQueue out;
    bool listening = false;
    std::string input;
    std::optional<Clock::time_point> partialSince;  // when a request began that has not all come
    std::function<void(ClientConnection&)> takeOver;  // to run once `out` is sent
    bool draining = false;                            // the client has ended: closed once `out` is sent
    std::uint32_t watched = 0;                        // the epoll events asked for
};

SocketServer::SocketServer(Options options) : options_(std::move(options)) {}

SocketServer::~SocketServer() { stop(); }

bool SocketServer::open(int listener, Protocol& protocol) {
    std::lock_guard lock(mutex_);
    if (open_ || loop_.joinable()) {
        ::close(listener);
        return false;
    }
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A new counter holds nothing: a wake-up the last loop never read (it saw the stop first)
    // must not keep every later one from being written, the next stop's included.
    wakePending_ = false;
    spare_ = spareDescriptor();
    listener_ = listener;
    protocol_ = &protocol;
    bool ready = epoll_ >= 0 && wake_ >= 0 && setBlocking(listener, false);
    for (const auto& [fd, key] : {std::pair{listener_, kListenerKey}, std::pair{wake_, kWakeKey}}) {
        epoll_event event{EPOLLIN, {.u64 = key}};
        ready = ready && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == 0;
    }
    if (ready) {
        try {
            loop_ = std::thread([this] { run(); });
            open_ = true;
            return true;
        } catch (const std::exception&) {
            // No thread: the server does not open.
        }
    }
    for (int* fd : {&epoll_, &wake_, &spare_, &listener_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    return false;
}

bool SocketServer::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void SocketServer::wake() {
    // Once is enough until the loop has seen it: a burst of events costs the loop one wake-up.
    if (wakePending_) return;
    wakePending_ = true;
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof(one));  // never blocks: the counter is far from its end
}

void SocketServer::stop() {
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        stopping_ = true;
        // Wakes every blocked read; each connection's own thread closes it.
        for (const auto& [fd, owner] : connections_) ::shutdown(fd, SHUT_RDWR);
        // Nor what a modelled link still holds for a client that does not read.
        for (const auto& [fd, pump] : pumps_) pump->cut();
        if (wake_ >= 0) wake();
    }
    if (loop_.joinable()) loop_.join();
    {
        // The loop is gone: what it served is closed here.
        std::lock_guard lock(mutex_);
        for (const auto& [key, peer] : peers_) ::close(peer->fd);
        for (const auto& [key, port] : ports_) {
            ::close(port.fd);
            if (port.once) bound_.release();
        }
        peers_.clear();
        peerKeys_.clear();
        ports_.clear();
        listening_.clear();
        toFlush_.clear();
        toClose_.clear();
        for (int* fd : {&epoll_, &wake_, &spare_, &listener_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }
    for (;;) {
        std::list<std::unique_ptr<Worker>> workers;
        {
            std::lock_guard lock(mutex_);
            workers.swap(workers_);
        }
        if (workers.empty()) break;
        for (auto& w : workers) w->thread.join();
    }
    std::lock_guard lock(mutex_);
    stopping_ = false;
}

// The loop ------------------------------------------------------------------------------------

void SocketServer::run() {
    epoll_event events[64];
    auto lastTick = Clock::now();
    for (;;) {
        bool timed = false;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            // Only what can time out wakes the loop by the clock: idle, it sleeps.
            timed = partialPeers_ > 0 || acceptPaused_ ||
                    std::any_of(ports_.begin(), ports_.end(), [](const auto& entry) { return entry.second.once; });
        }
        const int n = ::epoll_wait(epoll_, events, 64, timed ? static_cast<int>(kTick.count()) : -1);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t key = events[i].data.u64;
            const std::uint32_t what = events[i].events;
            if (key == kListenerKey) {
                acceptClients();
            } else if (key == kWakeKey) {
                std::lock_guard lock(mutex_);
                wakePending_ = false;
                std::uint64_t count = 0;
                (void)!::read(wake_, &count, sizeof(count));
            } else if (isPort(key)) {
                acceptOn(key);
            } else {
                if (what & EPOLLOUT) flush(key, true);
                if (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) readFrom(key);
            }
        }
        // What other threads asked for: events to send, listeners and ports to close.
        std::set<std::uint64_t> flushing;
        std::set<std::uint64_t> closing;
        {
            std::lock_guard lock(mutex_);
            flushing.swap(toFlush_);
            closing.swap(toClose_);
        }
        for (const auto key : closing) closeEntry(key);
        for (const auto key : flushing) flush(key, false);
        if (timed && Clock::now() - lastTick >= kTick) {
            lastTick = Clock::now();
            expire();
        }
    }
}

void SocketServer::acceptClients() {
    // A few at a time, so that a flood of connections does not hold up those already served.
    for (int i = 0; i < 64; ++i) {
        const int fd = acceptFrom(listener_, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of memory, or no spare descriptor: accepting pauses a moment, the rest goes on.
            std::lock_guard lock(mutex_);
            (void)::epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
            acceptPaused_ = true;
            return;
        }
        std::shared_ptr<Peer> peer;
        std::uint64_t key = 0;
        try {
            peer = std::make_shared<Peer>(fd, options_.clientBacklog);
            std::lock_guard lock(mutex_);
            key = nextKey_++;
            peers_[key] = peer;
            peerKeys_[fd] = key;
        } catch (const std::exception&) {
            ::close(fd);
            continue;
        }
        peer->watched = EPOLLIN | EPOLLRDHUP;
        epoll_event event{peer->watched, {.u64 = key}};
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) closeEntry(key);
    }
}

int SocketServer::acceptFrom(int listener, int flags) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, flags);
        if (fd >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) return fd;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno != EMFILE && errno != ENFILE) || spare_ < 0) return -1;
        // No descriptor left: the spare one is given up to take the client and close it, so
        // that it is told at once, and the listener does not stay readable for ever.
        ::close(spare_);
        const int refused = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0) ::close(refused);
        spare_ = spareDescriptor();
        bool first = false;
        {
            std::lock_guard lock(mutex_);
            first = bound_.refuse();
        }
        if (first) tellRefusal("no descriptors left", 0, false);
        errno = EAGAIN;
        return -1;
    }
}

void SocketServer::readFrom(std::uint64_t key) {
    std::shared_ptr<Peer> peer;
    bool listening = false;
    {
        std::lock_guard lock(mutex_);
        auto it = peers_.find(key);
        if (it == peers_.end()) return;
        peer = it->second;
        listening = peer->listening;
    }
    if (peer->takeOver || peer->draining) return;  // its input goes with it, unread; or it has ended
    char piece[kReadPiece];
    const ssize_t n = ::recv(peer->fd, piece, sizeof(piece), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n == 0 && !listening && drainBeforeClosing(key, *peer)) return;
    if (n <= 0) {
        closeEntry(key);
        return;
    }
    // A listener asks nothing more: what it sends is read only to see it close.
    if (listening) return;
    const bool wasPartial = peer->partialSince.has_value();
    try {
        peer->input.append(piece, static_cast<std::size_t>(n));
        for (;;) {
            const std::size_t before = peer->input.size();
            Protocol::Answer answer = protocol_->consume(peer->fd, peer->input);
            bool queued = true;
            if (!answer.reply.empty()) {
                std::lock_guard lock(mutex_);
                queued = peer->out.push(std::move(answer.reply));
            }
            if (answer.end || !queued) {
                closeEntry(key);
                return;
            }
            if (answer.takeOver) {
                peer->takeOver = std::move(answer.takeOver);
                break;
            }
            {
                std::lock_guard lock(mutex_);
                if (peer->listening) peer->input.clear();
            }
            if (peer->input.empty() || peer->input.size() == before) break;
        }
    } catch (const std::exception&) {
        // No memory for this client's request: it ends, the others go on.
        closeEntry(key);
        return;
    }
    // A request begun and not finished starts the clock; one finished stops it.
    const bool partial = !peer->input.empty() && !peer->takeOver;
    if (partial != wasPartial) {
        std::lock_guard lock(mutex_);
        if (partial) {
            peer->partialSince = Clock::now();
            ++partialPeers_;
        } else {
            peer->partialSince.reset();
            --partialPeers_;
        }
    }
    flush(key, false);
}

bool SocketServer::drainBeforeClosing(std::uint64_t key, Peer& peer) {
    std::lock_guard lock(mutex_);
    if (peer.out.empty()) return false;
    // The client has sent its last request and waits for the answers: they go first, within
    // the time a stalled client gets.
    peer.draining = true;
    if (!peer.partialSince) {
        peer.partialSince = Clock::now();
        ++partialPeers_;
    }
    peer.watched = EPOLLOUT;
    epoll_event event{EPOLLOUT, {.u64 = key}};
    (void)::epoll_ctl(epoll_, EPOLL_CTL_MOD, peer.fd, &event);
    return true;
}

void SocketServer::flush(std::uint64_t key, bool writable) {
    std::shared_ptr<Peer> peer;
    {
        std::lock_guard lock(mutex_);
        auto it = peers_.find(key);
        if (it == peers_.end()) return;
        peer = it->second;
    }
    // A client whose socket was full is sent more once it has read some, not at every event.
    if (!writable && (peer->watched & EPOLLOUT)) return;
    // Taken out under the lock, sent without it: whoever queues events never waits for a send.
    for (;;) {
        std::string piece;
        {
            std::lock_guard lock(mutex_);
            piece = peer->out.take(kSendPiece);
        }
        if (piece.empty()) break;
        const ssize_t n = ::send(peer->fd, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        const bool full = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
        if (n < 0 && !full) {
            closeEntry(key);
            return;
        }
        const auto sent = static_cast<std::size_t>(full ? 0 : n);
        if (sent < piece.size()) {
            {
                std::lock_guard lock(mutex_);
                peer->out.giveBack(piece.substr(sent));
            }
            // The rest goes when the client has read some.
            const std::uint32_t wanted = EPOLLOUT | (peer->takeOver || peer->draining ? 0u : EPOLLIN | EPOLLRDHUP);
            if (peer->watched != wanted) {
                peer->watched = wanted;
                epoll_event event{wanted, {.u64 = key}};
                (void)::epoll_ctl(epoll_, EPOLL_CTL_MOD, peer->fd, &event);
            }
            return;
        }
    }
    if (peer->takeOver) {
        handOver(key, *peer);
        return;
    }
    if (peer->draining) {
        closeEntry(key);
        return;
    }
    if (peer->watched & EPOLLOUT) {
        peer->watched = EPOLLIN | EPOLLRDHUP;
        epoll_event event{peer->watched, {.u64 = key}};
        (void)::epoll_ctl(epoll_, EPOLL_CTL_MOD, peer->fd, &event);
    }
}

void SocketServer::expire() {
    const auto now = Clock::now();
    std::vector<std::uint64_t> late;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, peer] : peers_) {
            if (peer->partialSince && now - *peer->partialSince >= options_.patience.stalledRequest) late.push_back(key);
        }
        for (const auto& [key, port] : ports_) {
            if (port.once && now >= port.closeAt) late.push_back(key);
        }
        if (acceptPaused_) {
            epoll_event event{EPOLLIN, {.u64 = kListenerKey}};
            acceptPaused_ = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &event) != 0;
        }
    }
    // A client that stopped half-way through a request, and a port that no one came to, free
    // what they hold.
    for (const auto key : late) closeEntry(key);
}

void SocketServer::closeEntry(std::uint64_t key) {
    int fd = -1;
    {
        std::lock_guard lock(mutex_);
        if (auto it = peers_.find(key); it != peers_.end()) {
            fd = it->second->fd;
            if (it->second->partialSince) --partialPeers_;
            peerKeys_.erase(fd);
            listening_.erase(key);
            peers_.erase(it);
        } else if (auto port = ports_.find(key); port != ports_.end()) {
            fd = port->second.fd;
            if (port->second.once) bound_.release();
            ports_.erase(port);
        }
    }
    if (fd < 0) return;
    (void)::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
}

// Threads ---------------------------------------------------------------------------------------

void SocketServer::handOver(std::uint64_t key, Peer& peer) {
    {
        std::lock_guard lock(mutex_);
        peerKeys_.erase(peer.fd);
        listening_.erase(key);
        if (peer.partialSince) --partialPeers_;
        peers_.erase(key);  // `peer` lives on in the caller's hold
    }
    (void)::epoll_ctl(epoll_, EPOLL_CTL_DEL, peer.fd, nullptr);
    if (!setBlocking(peer.fd, true)) {
        ::close(peer.fd);
        return;
    }
    // usbmuxd's own answers don't cross the link: only what follows the takeover does.
    serveOnThread(peer.fd, 0, false, false, std::move(peer.takeOver), std::move(peer.input));
}

void SocketServer::serveOnThread(int client, std::uint32_t owner, bool placeTaken, bool pacedAtOnce,
                                 std::function<void(ClientConnection&)> serve, std::string input) {
    int served = client;
    std::shared_ptr<LinkPump> pump;
    if (options_.link) {
        std::shared_ptr<LinkModel> link;
        if (pacedAtOnce) {
            std::lock_guard lock(mutex_);
            link = linkOf(owner);
        }
        if (pacedAtOnce && !link) {
            ::close(client);
        } else {
            pump = LinkPump::start(client, std::move(link));
        }
        if (!pump) {  // refused: no room for the link (the client is closed)
            if (placeTaken) {
                std::lock_guard lock(mutex_);
                bound_.release();
            }
            return;
        }
        served = pump->inner();
    }
    std::function<void()> job;
    try {
        job = [this, served, pump, serve = std::move(serve), input = std::move(input)] {
            ClientConnection connection(served);
            connection.limitHandshakes(options_.patience.handshake);
            connection.limitStalls(options_.patience.stalledRequest);
            if (!input.empty()) connection.unread(input);
            if (!pump) return serve(connection);
            {
                std::lock_guard lock(mutex_);
                pumps_[served] = pump.get();
            }
            // Done with the link before the descriptor is closed, even when serving throws.
            struct Finish {
                SocketServer& server;
                int fd;
                LinkPump& pump;
                ~Finish() {
                    {
                        std::lock_guard lock(server.mutex_);
                        server.pumps_.erase(fd);
                    }
                    pump.finish();
                }
            } finish{*this, served, *pump};
            serve(connection);
        };
    } catch (const std::exception&) {
        ::close(served);
        if (placeTaken) {
            std::lock_guard lock(mutex_);
            bound_.release();
        }
        return;
    }
    (void)spawn(served, owner, placeTaken, std::move(job));
}

bool SocketServer::spawn(int fd, std::uint32_t owner, bool placeTaken, std::function<void()> serve) noexcept {
    const char* refusal = nullptr;
    std::size_t refusedBefore = 0;
    bool started = false;
    {
        std::lock_guard lock(mutex_);
        if (!open_) {
            if (placeTaken) bound_.release();
        } else {
            reapWorkers();
            if (!placeTaken && !bound_.admit()) {
                if (bound_.refuse()) refusal = "all places are taken";
            } else if (startWorker(fd, owner, std::move(serve))) {
                started = true;
                refusedBefore = bound_.endRefusals();
            } else {
                bound_.release();
                if (bound_.refuse()) refusal = "no thread could be started";
            }
        }
    }
    // A refused client sees its connection closed; everyone else is served as before.
    if (!started) ::close(fd);
    tellRefusal(refusal, refusedBefore);
    return started;
}

void SocketServer::tellRefusal(const char* refusal, std::size_t refusedBefore, bool bounded) {
    if (!options_.log || (!refusal && !refusedBefore)) return;
    try {
        options_.log(refusal ? fmt::format("refusing connections: {}{}", refusal,
                                           bounded ? fmt::format(" (at most {})", bound_.limit()) : "")
                             : fmt::format("serving connections again after refusing {}", refusedBefore));
    } catch (const std::exception&) {
        // Nothing to tell it with: the refusal itself stands.
    }
}

bool SocketServer::startWorker(int fd, std::uint32_t owner, std::function<void()> serve) {
    bool listed = false;
    try {
        connections_[fd] = owner;
        // In the list before its thread starts: the list never misses a thread it must join.
        workers_.push_back(std::make_unique<Worker>());
        listed = true;
        Worker* self = workers_.back().get();
        self->thread = std::thread([this, fd, serve = std::move(serve), self] {
            try {
                serve();
            } catch (const std::exception&) {
                // No memory for this connection's next message: it ends, the others go on.
            }
            {
                std::lock_guard lock(mutex_);
                connections_.erase(fd);
                bound_.release();
            }
            ::close(fd);
            self->done = true;
        });
        return true;
    } catch (const std::exception&) {
        // Threads or memory have run out: a refusal like any other, never the end of the process.
        connections_.erase(fd);
        if (listed) workers_.pop_back();
        return false;
    }
}

void SocketServer::reapWorkers() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void SocketServer::acceptOn(std::uint64_t key) {
    Port port;
    {
        std::lock_guard lock(mutex_);
        auto it = ports_.find(key);
        if (it == ports_.end()) return;
        port = it->second;
    }
    const int client = acceptFrom(port.fd, SOCK_CLOEXEC);
    if (client < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        // Out of memory: a port for one client gives up, one for many waits.
        if (port.once) closeEntry(key);
        return;
    }
    if (port.once) {
        // Its place goes to the connection.
        {
            std::lock_guard lock(mutex_);
            ports_.erase(key);
        }
        (void)::epoll_ctl(epoll_, EPOLL_CTL_DEL, port.fd, nullptr);
        ::close(port.fd);
    }
    serveOnThread(client, port.owner, port.once, true, std::move(port.serve), {});
}

bool SocketServer::isPort(std::uint64_t key) const {
    std::lock_guard lock(mutex_);
    return ports_.count(key) != 0;
}

// What other threads ask -------------------------------------------------------------------------

bool SocketServer::listenOn(int listener, std::uint32_t owner, std::function<void(ClientConnection&)> serve, bool once) {
    const char* refusal = nullptr;
    bool added = false;
    {
        std::lock_guard lock(mutex_);
        if (open_ && setBlocking(listener, false) && (!once || bound_.admit())) {
            const std::uint64_t key = nextKey_++;
            try {
                ports_[key] = Port{listener, owner, std::move(serve), once, Clock::now() + options_.patience.unusedPort};
                epoll_event event{EPOLLIN, {.u64 = key}};
                added = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener, &event) == 0;
                if (!added) ports_.erase(key);
            } catch (const std::exception&) {
                ports_.erase(key);
            }
            if (!added && once) bound_.release();
            // The loop's wait changes: a time-out can fall due now.
            if (added) wake();
        } else if (open_ && once && bound_.refuse()) {
            refusal = "all places are taken";
        }
    }
    if (!added) ::close(listener);
    tellRefusal(refusal, 0);
    return added;
}

void SocketServer::assign(int fd, std::uint32_t owner) {
    std::lock_guard lock(mutex_);
    connections_[fd] = owner;
}

void SocketServer::pace(int fd) {
    std::lock_guard lock(mutex_);
    auto it = pumps_.find(fd);
    if (it == pumps_.end()) return;
    const auto owner = connections_.find(fd);
    auto link = linkOf(owner == connections_.end() ? 0 : owner->second);
    // No memory for a link: the connection ends rather than pass unpaced.
    if (!link) return it->second->cut();
    it->second->pace(std::move(link));
}

std::shared_ptr<LinkModel> SocketServer::linkOf(std::uint32_t owner) noexcept {
    try {
        // A device's links go with its last connection.
        std::erase_if(links_, [](const auto& entry) { return entry.second.expired(); });
        if (owner != 0) {
            if (auto shared = links_[owner].lock()) return shared;
        }
        auto link = std::make_shared<LinkModel>(*options_.link);
        if (owner != 0) links_[owner] = link;
        return link;
    } catch (const std::exception&) {
        return nullptr;
    }
}

void SocketServer::endConnectionsOf(std::uint32_t owner) {
    std::lock_guard lock(mutex_);
    for (const auto& [fd, belongsTo] : connections_) {
        if (belongsTo == owner) ::shutdown(fd, SHUT_RDWR);
    }
    bool any = false;
    for (const auto& [key, port] : ports_) {
        if (port.owner != owner) continue;
        toClose_.insert(key);
        any = true;
    }
    if (any) wake();
}

bool SocketServer::addListener(int client, const std::vector<std::string>& first) {
    std::lock_guard lock(mutex_);
    auto key = peerKeys_.find(client);
    if (key == peerKeys_.end()) return false;
    Peer& peer = *peers_.at(key->second);
    for (const auto& packet : first) {
        if (!peer.out.push(packet)) return false;
    }
    peer.listening = true;
    listening_.insert(key->second);
    return true;
}

void SocketServer::broadcast(const std::string& packet) {
    std::lock_guard lock(mutex_);
    if (listening_.empty()) return;
    bool waking = false;
    for (auto it = listening_.begin(); it != listening_.end();) {
        OutgoingQueue& out = peers_.at(*it)->out;
        const bool idle = out.empty();
        if (out.push(packet)) {
            // A queue that held something already has its send coming (or waits for room).
            if (idle) toFlush_.insert(*it);
            waking = waking || idle;
            ++it;
            continue;
        }
        // Too far behind to catch up: dropped, never waited for; it gets no event after a gap.
        toClose_.insert(*it);
        it = listening_.erase(it);
        waking = true;
    }
    if (waking) wake();
}

int SocketServer::listenTcp(const std::string& address, std::uint16_t port, std::uint16_t* boundPort) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return -1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    socklen_t size = sizeof(where);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &size) != 0) {
        ::close(fd);
        return -1;
    }
    if (boundPort) *boundPort = ntohs(where.sin_port);
    return fd;
}

} // namespace keldo
