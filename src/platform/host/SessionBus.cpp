#include "platform/host/SessionBus.h"

#include <gio/gio.h>

#include <deque>
#include <vector>

namespace keldo {

namespace {

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorOwner = std::unique_ptr<GError, GErrorFree>;

// Work waiting for the connection: given it, or null and the reason there is none.
using Use = std::function<void(GDBusConnection* connection, const std::string& error)>;

struct Subscription {
    std::string sender;
    std::string interface;
    std::string member;
    std::string path;
    SessionBus::Signal signal;
};

} // namespace

struct SessionBus::State {
    GDBusConnection* connection = nullptr;  // owned reference, once connected
    GCancellable* cancellable = g_cancellable_new();
    bool connecting = false;
    std::deque<Use> waiting;
    std::vector<std::shared_ptr<Subscription>> subscriptions;
    std::vector<guint> subscribed;  // ids on `connection`

    ~State() {
        // Replies still under way come back cancelled and find no state.
        g_cancellable_cancel(cancellable);
        g_object_unref(cancellable);
        if (!connection) return;
        for (guint id : subscribed) g_dbus_connection_signal_unsubscribe(connection, id);
        g_object_unref(connection);
    }
};

namespace {

// What an asynchronous callback holds: the state only if it still exists when the callback runs.
struct Pending {
    std::weak_ptr<SessionBus::State> state;
    SessionBus::Reply reply;
};
struct Listener {
    std::weak_ptr<SessionBus::State> state;
    std::shared_ptr<Subscription> subscription;
};

void onSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
              gpointer data) {
    auto* listener = static_cast<Listener*>(data);
    if (!listener->state.lock()) return;
    // Held for the call: the handler may unsubscribe or end the bus.
    auto subscription = listener->subscription;
    subscription->signal(parameters);
}

void dropListener(gpointer data) { delete static_cast<Listener*>(data); }

void subscribeOn(const std::shared_ptr<SessionBus::State>& state, const std::shared_ptr<Subscription>& s) {
    state->subscribed.push_back(g_dbus_connection_signal_subscribe(
        state->connection, s->sender.c_str(), s->interface.c_str(), s->member.c_str(), s->path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onSignal, new Listener{state, s}, dropListener));
}

void onConnected(GObject*, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::weak_ptr<SessionBus::State>> hold(static_cast<std::weak_ptr<SessionBus::State>*>(data));
    GError* rawError = nullptr;
    GDBusConnection* connection = g_bus_get_finish(result, &rawError);
    ErrorOwner error(rawError);
    auto state = hold->lock();
    if (!state) {
        if (connection) g_object_unref(connection);
        return;
    }
    state->connecting = false;
    state->connection = connection;
    if (connection)
        for (const auto& s : state->subscriptions) subscribeOn(state, s);
    // Without a connection each waiting use hears why; the next use tries again.
    const std::string reason = error ? error->message : "no session bus";
    std::deque<Use> waiting = std::move(state->waiting);
    state->waiting.clear();
    for (auto& use : waiting) use(connection, reason);
}

void withConnection(const std::shared_ptr<SessionBus::State>& state, Use use) {
    if (state->connection) {
        use(state->connection, {});
        return;
    }
    state->waiting.push_back(std::move(use));
    if (state->connecting) return;
    state->connecting = true;
    g_bus_get(G_BUS_TYPE_SESSION, state->cancellable, onConnected, new std::weak_ptr<SessionBus::State>(state));
}

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    GError* rawError = nullptr;
    GVariant* body = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError);
    ErrorOwner error(rawError);
    std::unique_ptr<GVariant, decltype(&g_variant_unref)> ownedBody(body, g_variant_unref);
    if (!pending->state.lock()) return;
    pending->reply(body, error ? error->message : "no reply");
}

} // namespace

SessionBus::SessionBus() : state_(std::make_shared<State>()) {}

SessionBus::~SessionBus() = default;

void SessionBus::subscribe(const std::string& sender, const std::string& interface, const std::string& member,
                           const std::string& path, Signal signal) {
    auto subscription = std::make_shared<Subscription>(Subscription{sender, interface, member, path, std::move(signal)});
    state_->subscriptions.push_back(subscription);
    if (state_->connection) {
        subscribeOn(state_, subscription);
        return;
    }
    // Connecting now, so that the subscription is in place before the first call is sent.
    withConnection(state_, [](GDBusConnection*, const std::string&) {});
}

void SessionBus::call(const Method& method, GVariant* arguments, const GVariantType* replyType, int timeoutMs,
                      Reply reply) {
    std::shared_ptr<GVariant> args(arguments ? g_variant_ref_sink(arguments) : nullptr, [](GVariant* v) {
        if (v) g_variant_unref(v);
    });
    std::shared_ptr<GVariantType> type(replyType ? g_variant_type_copy(replyType) : nullptr, [](GVariantType* t) {
        if (t) g_variant_type_free(t);
    });
    std::weak_ptr<State> weak = state_;
    withConnection(state_, [weak, method, args, type, timeoutMs, reply](GDBusConnection* connection,
                                                                        const std::string& error) {
        auto state = weak.lock();
        if (!state) return;
        if (!connection) {
            if (reply) reply(nullptr, error);
            return;
        }
        auto* pending = reply ? new Pending{state, reply} : nullptr;
        g_dbus_connection_call(connection, method.destination.c_str(), method.path.c_str(), method.interface.c_str(),
                               method.name.c_str(), args.get(), type.get(),
                               G_DBUS_CALL_FLAGS_NONE, timeoutMs,
                               state->cancellable, pending ? onReply : nullptr, pending);
    });
}

} // namespace keldo
