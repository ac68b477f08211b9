#pragma once

#include "platform/mobiledevice/MobileDevice.h"

#include <functional>
#include <memory>

typedef struct _GMainContext GMainContext;

namespace keldo {

// Device events from a library thread, handed to the GLib main context that was the calling
// thread's thread-default one when the queue was made: a locked FIFO and at most one idle source
// attached to that context, each dispatch delivering ONE event. Never inline, also when pushed on
// that very thread (a library replays present devices there before its subscribe returns).
class EventQueue {
public:
    using Handler = std::function<void(const am_device_notification_callback_info&)>;

    // `deliver` runs on the context's thread for each event in order; `discard` runs for each event
    // that close() drops (or that arrives after it), on the calling thread.
    EventQueue(Handler deliver, Handler discard);
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Safe from any thread and from inside a delivery.
    void push(am_device_notification_callback_info event);
    // Drops what is still queued; nothing is delivered afterwards.
    void close();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace keldo
