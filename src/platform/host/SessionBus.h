#pragma once

#include <functional>
#include <memory>
#include <string>

typedef struct _GVariant GVariant;
typedef struct _GVariantType GVariantType;

namespace keldo {

// The D-Bus session bus, used without ever waiting for it or for a peer: connecting, method
// calls and their replies are all asynchronous. Work queued before the connection is there runs
// in order once it is. Replies and signals arrive on the main context of the thread that made
// the SessionBus (the main loop); use it from that thread only. Once it is destroyed, no reply or
// signal reaches its callbacks any more.
class SessionBus {
public:
    struct Method {
        std::string destination;
        std::string path;
        std::string interface;
        std::string name;
    };
    // The reply's body, or null with the error's text when there is none.
    using Reply = std::function<void(GVariant* body, const std::string& error)>;
    using Signal = std::function<void(GVariant* parameters)>;

    SessionBus();
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Listens to a signal from whoever owns `sender` now or later, from the first connection on.
    void subscribe(const std::string& sender, const std::string& interface, const std::string& member,
                   const std::string& path, Signal signal);
    // Calls `method` with `arguments` (a floating one is taken over). `timeoutMs` < 0 is the bus
    // library's default. A null `reply` asks the peer for none.
    void call(const Method& method, GVariant* arguments, const GVariantType* replyType, int timeoutMs, Reply reply);

    // Shared with the callbacks that GDBus holds (defined with the code).
    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace keldo
