#pragma once

#include "tools/devsim/LinkModel.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace keldo {

// Carries one client connection's bytes between the client's socket and the simulator across a
// modelled link, the device's, which its other connections share: the simulator serves the other end of a socket pair (inner()), and the pump's
// thread hands each direction's bytes on when the model says they have arrived. It waits in
// ppoll for bytes or for the next arrival, never spinning; what it holds per direction is
// bounded, so that a sender that outruns the link waits as it would on a real one. It hands bytes
// to the link only while the link has room for them (LinkModel::roomToDevice), so that the
// connections to one device take turns on it.
//
// Until paced the bytes pass at once: usbmuxd's own messages never cross the link, only what
// follows a Connect does, and only then is the device known.
class LinkPump {
public:
    // Takes `client` (closed with the pump); none, `client` closed, when no socket pair or thread
    // can be made. With a link, paced from the start.
    static std::unique_ptr<LinkPump> start(int client, std::shared_ptr<LinkModel> link);
    ~LinkPump() { finish(); }
    LinkPump(const LinkPump&) = delete;
    LinkPump& operator=(const LinkPump&) = delete;

    // The simulator's end, the caller's to close.
    int inner() const { return inner_; }
    // Bytes from now on cross `link` (none: they keep passing at once). Once: a pump that is
    // paced already keeps its link.
    void pace(std::shared_ptr<LinkModel> link);
    // For when the simulator is done with inner() (before it closes it): what it sent still
    // reaches the client (given a second more than the link needs), then the client's connection
    // is closed. Waits for the thread.
    void finish();
    // The client's connection ends now, with what it has not been given: for a simulator that
    // stops, which waits for no client.
    void cut();

    // Bytes that one direction holds at most before it stops reading its sender.
    static constexpr std::size_t kMostHeld = 4 * 1024 * 1024;

private:
    LinkPump(int client, int pumpEnd, int inner, int stop, std::shared_ptr<LinkModel> link);
    void run();
    // The link once paced, else none.
    LinkModel* link() const { return paced_.load(std::memory_order_acquire) ? link_.get() : nullptr; }

    int client_;
    int pumpEnd_;  // the socket pair's end that the pump reads and writes
    int inner_;
    int stop_;  // an eventfd, readable once finish() is called
    std::mutex paceMutex_;  // for those who pace; the thread reads link_ once paced_ is set
    std::shared_ptr<LinkModel> link_;
    std::atomic<bool> paced_;
    std::thread thread_;
};

} // namespace keldo
