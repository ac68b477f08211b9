#include "platform/imobiledevice/EventQueue.h"

#include <glib.h>

#include <deque>
#include <mutex>
#include <vector>

namespace keldo {

struct EventQueue::State {
    std::mutex mutex;
    std::deque<am_device_notification_callback_info> events;
    GMainContext* context = nullptr;
    GSource* pending = nullptr;  // our own reference while attached and not yet done
    bool closed = false;
    Handler deliver;
    Handler discard;

    ~State() { g_main_context_unref(context); }
};

namespace {

// The reference that a source carries is made on the pushing thread and read on the context's.
// GLib's own locking orders the two, but it is invisible to ThreadSanitizer: this lock shows it.
std::mutex handOver;

gboolean dispatchOne(gpointer data) {
    std::shared_ptr<EventQueue::State> state;
    {
        std::lock_guard lock(handOver);
        state = *static_cast<std::shared_ptr<EventQueue::State>*>(data);
    }
    am_device_notification_callback_info event{};
    bool more = false;
    {
        std::lock_guard lock(state->mutex);
        if (state->closed || state->events.empty()) {
            if (state->pending == g_main_current_source()) {
                g_source_unref(state->pending);
                state->pending = nullptr;
            }
            return G_SOURCE_REMOVE;
        }
        event = state->events.front();
        state->events.pop_front();
        more = !state->events.empty();
        if (!more) {
            g_source_unref(state->pending);
            state->pending = nullptr;
        }
    }
    // Without the lock: the receiver calls back into the platform, and may close the queue.
    state->deliver(event);
    return more ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void freeState(gpointer data) {
    std::lock_guard lock(handOver);
    delete static_cast<std::shared_ptr<EventQueue::State>*>(data);
}

} // namespace

EventQueue::EventQueue(Handler deliver, Handler discard) : state_(std::make_shared<State>()) {
    state_->context = g_main_context_ref_thread_default();
    state_->deliver = std::move(deliver);
    state_->discard = std::move(discard);
}

EventQueue::~EventQueue() { close(); }

void EventQueue::push(am_device_notification_callback_info event) {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->closed) {
            state_->events.push_back(event);
            if (!state_->pending) {
                GSource* source = g_idle_source_new();
                std::shared_ptr<State>* reference = nullptr;
                {
                    std::lock_guard handing(handOver);
                    reference = new std::shared_ptr<State>(state_);
                }
                g_source_set_callback(source, dispatchOne, reference, freeState);
                state_->pending = source;
                g_source_attach(source, state_->context);
            }
            return;
        }
    }
    state_->discard(event);
}

void EventQueue::close() {
    std::deque<am_device_notification_callback_info> dropped;
    GSource* source = nullptr;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->closed) return;
        state_->closed = true;
        dropped.swap(state_->events);
        source = state_->pending;
        state_->pending = nullptr;
    }
    if (source) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    for (const auto& event : dropped) state_->discard(event);
}

} // namespace keldo
