#include "platform/host/GLibRunLoop.h"

#include <glib.h>

#include <atomic>

namespace keldo {

struct GLibRunLoop::Queue {
    GMainContext* context = nullptr;
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    GSource* idle = nullptr;  // attached while tasks wait
    std::atomic<std::size_t> dispatches{0};

    ~Queue() {
        if (context) g_main_context_unref(context);
    }
};

namespace {

// The idle source's data: a strong hold on the queue, dropped when the source goes.
gboolean drainOne(gpointer data) {
    auto& queue = *static_cast<std::shared_ptr<GLibRunLoop::Queue>*>(data);
    std::function<void()> task;
    {
        std::lock_guard lock(queue->mutex);
        if (queue->tasks.empty()) {
            if (queue->idle) g_source_unref(queue->idle);
            queue->idle = nullptr;
            return G_SOURCE_REMOVE;
        }
        task = std::move(queue->tasks.front());
        queue->tasks.pop_front();
    }
    ++queue->dispatches;
    // One task per dispatch, so sources of other kinds (signals, D-Bus) are not starved.
    try {
        task();
    } catch (...) {
        // A task must not take the loop down with it.
    }
    return G_SOURCE_CONTINUE;
}

void dropQueueHold(gpointer data) { delete static_cast<std::shared_ptr<GLibRunLoop::Queue>*>(data); }

} // namespace

class GLibRunLoop::Timer : public RunLoopTimer {
public:
    struct State {
        std::mutex mutex;
        std::function<void()> action;
        GSource* source = nullptr;
        std::shared_ptr<Queue> queue;
    };

    // Dropping the timer object does not cancel it: like any run loop, the context keeps the timer.
    explicit Timer(std::shared_ptr<State> state) : state_(std::move(state)) {}

    void invalidate() override {
        std::function<void()> dropped;
        GSource* source = nullptr;
        {
            std::lock_guard lock(state_->mutex);
            dropped = std::move(state_->action);
            state_->action = nullptr;
            source = state_->source;
            state_->source = nullptr;
        }
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
    }

    bool isValid() const override {
        std::lock_guard lock(state_->mutex);
        return static_cast<bool>(state_->action);
    }

    static gboolean fire(gpointer data) {
        auto& state = *static_cast<std::shared_ptr<State>*>(data);
        std::function<void()> action;
        GSource* source = nullptr;
        {
            std::lock_guard lock(state->mutex);
            action = std::move(state->action);
            state->action = nullptr;
            source = state->source;
            state->source = nullptr;
        }
        if (source) g_source_unref(source);
        if (action) {
            ++state->queue->dispatches;
            try {
                action();
            } catch (...) {
            }
        }
        return G_SOURCE_REMOVE;
    }

    static void drop(gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); }

private:
    std::shared_ptr<State> state_;
};

GLibRunLoop::GLibRunLoop() : queue_(std::make_shared<Queue>()) {
    queue_->context = g_main_context_ref_thread_default();
}

GLibRunLoop::~GLibRunLoop() {
    // The idle source holds the queue; destroying it breaks that cycle and drops waiting tasks.
    GSource* idle = nullptr;
    {
        std::lock_guard lock(queue_->mutex);
        idle = queue_->idle;
        queue_->idle = nullptr;
        queue_->tasks.clear();
    }
    if (idle) {
        g_source_destroy(idle);
        g_source_unref(idle);
    }
}

std::shared_ptr<GLibRunLoop> GLibRunLoop::forCurrentThread() {
    return std::shared_ptr<GLibRunLoop>(new GLibRunLoop());
}

void GLibRunLoop::post(std::function<void()> task) {
    std::lock_guard lock(queue_->mutex);
    queue_->tasks.push_back(std::move(task));
    if (queue_->idle) return;
    // Queued, never invoked inline: g_main_context_invoke would run the task on this very thread
    // when the loop is not running yet.
    queue_->idle = g_idle_source_new();
    g_source_set_callback(queue_->idle, drainOne, new std::shared_ptr<Queue>(queue_), dropQueueHold);
    g_source_attach(queue_->idle, queue_->context);
}

std::shared_ptr<RunLoopTimer> GLibRunLoop::scheduleTimer(double seconds, std::function<void()> action) {
    auto state = std::make_shared<Timer::State>();
    state->action = std::move(action);
    state->queue = queue_;
    const double ms = seconds <= 0 ? 0.0 : seconds * 1000.0;
    const guint interval = ms > 4.0e9 ? 4000000000u : static_cast<guint>(ms);
    GSource* source = g_timeout_source_new(interval);
    {
        std::lock_guard lock(state->mutex);
        state->source = source;  // the timer's reference; the context takes its own on attach
    }
    g_source_set_callback(source, Timer::fire, new std::shared_ptr<Timer::State>(state), Timer::drop);
    GMainContext* context = g_main_context_ref_thread_default();
    g_source_attach(source, context);
    g_main_context_unref(context);
    return std::make_shared<Timer>(state);
}

std::size_t GLibRunLoop::dispatches() const { return queue_->dispatches.load(); }

} // namespace keldo
