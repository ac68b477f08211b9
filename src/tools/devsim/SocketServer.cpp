#include "tools/devsim/SocketServer.h"

#include "tools/devsim/LinkPump.h"
#include "tools/devsim/OutgoingQueue.h"
#include "tools/devsim/SocketStream.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace keldo {

SocketServer::SocketServer(Options options) : options_(std::move(options)) {}

SocketServer::~SocketServer() { stop(); }

void SocketServer::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
}

bool SocketServer::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

void SocketServer::stop() {
    {
        std::lock_guard lock(mutex_);
        open_ = false;
        // Wakes every blocked read and accept; each connection's own thread closes it.
        for (const auto& [fd, owner] : connections_) ::shutdown(fd, SHUT_RDWR);
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
}

bool SocketServer::spawn(int fd, std::uint32_t owner, bool counted, std::function<void()> serve) noexcept {
    const char* refusal = nullptr;
    std::size_t refusedBefore = 0;
    bool started = false;
    {
        std::lock_guard lock(mutex_);
        if (open_) {
            reapWorkers();
            if (counted && !bound_.admit()) {
                if (bound_.refuse()) refusal = "all places are taken";
            } else if (startWorker(fd, owner, counted, std::move(serve))) {
                started = true;
                if (counted) refusedBefore = bound_.endRefusals();
            } else {
                if (counted) bound_.release();
                if (!counted || bound_.refuse()) refusal = "no thread could be started";
            }
        }
    }
    // A refused client sees its connection closed; everyone else is served as before.
    if (!started) ::close(fd);
    if (options_.log && (refusal || refusedBefore)) {
        try {
            options_.log(refusal ? fmt::format("refusing connections: {} (at most {})", refusal, bound_.limit())
                                 : fmt::format("serving connections again after refusing {}", refusedBefore));
        } catch (const std::exception&) {
            // Nothing to tell it with: the refusal itself stands.
        }
    }
    return started;
}

bool SocketServer::startWorker(int fd, std::uint32_t owner, bool counted, std::function<void()> serve) {
    bool listed = false;
    try {
        connections_[fd] = owner;
        // In the list before its thread starts: the list never misses a thread it must join.
        workers_.push_back(std::make_unique<Worker>());
        listed = true;
        Worker* self = workers_.back().get();
        self->thread = std::thread([this, fd, counted, serve = std::move(serve), self] {
            try {
                serve();
            } catch (const std::exception&) {
                // No memory for this connection's next message: it ends, the others go on.
            }
            {
                std::lock_guard lock(mutex_);
                connections_.erase(fd);
                listeners_.erase(fd);
                if (counted) bound_.release();
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

void SocketServer::acceptLoop(int listener, std::uint32_t owner, const std::function<void(int)>& serve, bool once,
                              bool pacedAtOnce) {
    for (;;) {
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory for now: the client waits in the backlog until
                // a connection ends, and the simulator goes on.
                ::poll(nullptr, 0, 50);
                continue;
            }
            return;  // shut down
        }
        int served = client;
        std::shared_ptr<LinkPump> pump;
        if (options_.link) {
            pump = LinkPump::start(client, LinkModel(*options_.link), pacedAtOnce);
            if (!pump) continue;  // refused: no room for the link (the client is closed)
            served = pump->inner();
        }
        std::function<void()> job;
        try {
            job = [this, serve, served, pump] {
                if (!pump) return serve(served);
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
                serve(served);
            };
        } catch (const std::exception&) {
            ::close(served);
            continue;
        }
        (void)spawn(served, owner, true, std::move(job));
        if (once) return;
    }
}

void SocketServer::assign(int fd, std::uint32_t owner) {
    std::lock_guard lock(mutex_);
    connections_[fd] = owner;
}

void SocketServer::pace(int fd) {
    std::lock_guard lock(mutex_);
    auto it = pumps_.find(fd);
    if (it != pumps_.end()) it->second->pace();
}

void SocketServer::endConnectionsOf(std::uint32_t owner) {
    std::lock_guard lock(mutex_);
    for (const auto& [fd, belongsTo] : connections_) {
        if (belongsTo == owner) ::shutdown(fd, SHUT_RDWR);
    }
}

std::shared_ptr<OutgoingQueue> SocketServer::addListener(int fd, const std::vector<std::string>& first) {
    auto queue = std::make_shared<OutgoingQueue>(options_.listenerBacklog);
    if (!queue->valid()) return nullptr;
    for (const auto& packet : first) {
        if (!queue->push(packet)) return nullptr;
    }
    std::lock_guard lock(mutex_);
    listeners_[fd] = queue;
    return queue;
}

void SocketServer::sendEvents(int fd, OutgoingQueue& queue) {
    // Nothing more is asked on this socket: it is read only to see the client close it.
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {queue.readyFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents & POLLIN) {
            for (const auto& message : queue.takeAll()) {
                if (!SocketStream::writeAll(fd, message.data(), message.size())) return;
            }
        }
        if (fds[0].revents) {
            char ignored[256];
            const ssize_t n = ::recv(fd, ignored, sizeof(ignored), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        }
    }
}

void SocketServer::broadcast(const std::string& packet) {
    std::lock_guard lock(mutex_);
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if (it->second->push(packet)) {
            ++it;
            continue;
        }
        // Too far behind to catch up: dropped, never waited for. Its thread sees the socket shut.
        ::shutdown(it->first, SHUT_RDWR);
        it = listeners_.erase(it);
    }
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
