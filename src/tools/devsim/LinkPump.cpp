#include "tools/devsim/LinkPump.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace keldo {

namespace {

using Clock = std::chrono::steady_clock;

// What one recv takes at most: the unit in which bytes arrive, so that a large message arrives
// piece by piece at the link's rate rather than all at once at its end.
constexpr std::size_t kPiece = 64 * 1024;
// How long the bytes that the simulator sent last may wait for a client that does not read them.
constexpr auto kLastBytesWait = std::chrono::seconds(1);

// One direction: the bytes read from `from` and not yet handed to `to`, each with its arrival.
struct Flow {
    Flow(int from, int to) : from(from), to(to) {}

    int from;
    int to;
    std::deque<std::pair<LinkModel::Time, std::string>> held;
    std::size_t heldBytes = 0;
    std::size_t frontSent = 0;  // of held.front()
    bool ended = false;  // `from` has nothing more to send
    bool shut = false;  // ...and `to` has been told so
    bool blocked = false;  // `to` takes nothing more for now
};

// Hands on what has arrived; false when `to` is gone.
bool deliver(Flow& flow, Clock::time_point now) {
    flow.blocked = false;
    while (!flow.held.empty() && flow.held.front().first <= now) {
        const std::string& bytes = flow.held.front().second;
        const ssize_t n = ::send(flow.to, bytes.data() + flow.frontSent, bytes.size() - flow.frontSent,
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
            flow.blocked = true;
            return true;
        }
        flow.frontSent += static_cast<std::size_t>(n);
        if (flow.frontSent == bytes.size()) {
            flow.heldBytes -= bytes.size();
            flow.held.pop_front();
            flow.frontSent = 0;
        }
    }
    if (flow.ended && flow.held.empty() && !flow.shut) {
        ::shutdown(flow.to, SHUT_WR);
        flow.shut = true;
    }
    return true;
}

} // namespace

std::unique_ptr<LinkPump> LinkPump::start(int client, std::shared_ptr<LinkModel> link) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        ::close(client);
        return nullptr;
    }
    const int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::unique_ptr<LinkPump> pump;
    if (stop >= 0) {
        try {
            pump.reset(new LinkPump(client, pair[0], pair[1], stop, std::move(link)));
            pump->thread_ = std::thread([p = pump.get()] { p->run(); });
            return pump;
        } catch (const std::exception&) {
            // No memory or no thread: refused like a connection beyond the bound.
        }
    }
    if (pump) {
        pump->client_ = pump->pumpEnd_ = pump->inner_ = pump->stop_ = -1;
    }
    ::close(client);
    ::close(pair[0]);
    ::close(pair[1]);
    if (stop >= 0) ::close(stop);
    return nullptr;
}

LinkPump::LinkPump(int client, int pumpEnd, int inner, int stop, std::shared_ptr<LinkModel> link)
    : client_(client), pumpEnd_(pumpEnd), inner_(inner), stop_(stop), link_(std::move(link)), paced_(link_ != nullptr) {}

void LinkPump::pace(std::shared_ptr<LinkModel> link) {
    std::lock_guard lock(paceMutex_);
    if (!link || paced_.load(std::memory_order_relaxed)) return;
    link_ = std::move(link);
    paced_.store(true, std::memory_order_release);
}

void LinkPump::finish() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof(one));
        thread_.join();
    }
    for (int* fd : {&client_, &pumpEnd_, &stop_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void LinkPump::cut() {
    // The pump's next send or read fails, and it ends; the descriptor stays open until finish().
    if (client_ >= 0) ::shutdown(client_, SHUT_RDWR);
}

void LinkPump::run() {
    // Woken at each arrival: the kernel's default slack (50 us) would add itself to every one.
    (void)::prctl(PR_SET_TIMERSLACK, 1UL);
    Flow up{client_, pumpEnd_};
    Flow down{pumpEnd_, client_};
    std::optional<Clock::time_point> giveUpAt;
    auto read = [&](Flow& flow, bool toDevice, bool drain) {
        char piece[kPiece];
        for (;;) {
            const ssize_t n = ::recv(flow.from, piece, sizeof(piece), MSG_DONTWAIT);
            if (n > 0) {
                const auto now = Clock::now();
                const auto size = static_cast<std::size_t>(n);
                LinkModel* const model = link();
                const auto arrival = !model ? now : toDevice ? model->toDevice(now, size) : model->toHost(now, size);
                flow.held.emplace_back(arrival, std::string(piece, size));
                flow.heldBytes += size;
                if (drain) continue;
                return;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) flow.ended = true;
            if (drain) flow.ended = true;
            return;
        }
    };
    try {
        for (;;) {
            const auto now = Clock::now();
            if (!deliver(up, now) || !deliver(down, now)) break;
            // The simulator is done and what it sent is out (or waited for long enough).
            if (down.shut || (giveUpAt && now >= *giveUpAt)) break;

            // A flow reads its sender while it holds little enough and the link has room; until
            // then its sender is watched only for hanging up, and the pump wakes when there is room.
            const auto waitsForRoom = [&, model = link()](const Flow& flow, bool toDevice) -> std::optional<Clock::time_point> {
                if (!model || flow.ended || flow.heldBytes >= kMostHeld) return std::nullopt;
                const auto room = toDevice ? model->roomToDevice() : model->roomToHost();
                if (room <= now) return std::nullopt;
                return room;
            };
            const auto upRoom = waitsForRoom(up, true);
            const auto downRoom = waitsForRoom(down, false);
            const short clientEvents = static_cast<short>((!up.ended && up.heldBytes < kMostHeld && !upRoom ? POLLIN : 0) |
                                                          (down.blocked ? POLLOUT : 0));
            const short innerEvents = static_cast<short>((!down.ended && down.heldBytes < kMostHeld && !downRoom ? POLLIN : 0) |
                                                         (up.blocked ? POLLOUT : 0));
            std::optional<Clock::time_point> wake = giveUpAt;
            for (const auto& room : {upRoom, downRoom}) {
                if (room && (!wake || *room < *wake)) wake = room;
            }
            for (const Flow* flow : {&up, &down}) {
                if (!flow->blocked && !flow->held.empty() && (!wake || flow->held.front().first < *wake))
                    wake = flow->held.front().first;
            }
            pollfd fds[3] = {{clientEvents || upRoom ? client_ : -1, clientEvents, 0},
                             {innerEvents || downRoom ? pumpEnd_ : -1, innerEvents, 0},
                             {giveUpAt ? -1 : stop_, POLLIN, 0}};
            timespec timeout{};
            if (wake) {
                const auto left = std::max(Clock::duration::zero(), *wake - Clock::now());
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                timeout = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
            }
            if (::ppoll(fds, 3, wake ? &timeout : nullptr, nullptr) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) read(up, true, false);
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) read(down, false, false);
            if (fds[2].revents & POLLIN) {
                // The simulator wrote its last: take what it left, and give it its time.
                read(down, false, true);
                const auto last = down.held.empty() ? Clock::now() : std::max(Clock::now(), down.held.back().first);
                giveUpAt = last + kLastBytesWait;
            }
        }
    } catch (const std::exception&) {
        // No memory for what is in flight: the connection ends, as one whose link went down.
    }
    // Both ends see the connection end.
    ::shutdown(client_, SHUT_RDWR);
    ::shutdown(pumpEnd_, SHUT_RDWR);
}

} // namespace keldo
