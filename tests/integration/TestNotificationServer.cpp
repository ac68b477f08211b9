// A freedesktop notification server for tests, on whatever session bus it is started on. It records
// every Notify and, through its own control method, emits ActionInvoked from the connection that
// owns org.freedesktop.Notifications (clients ignore the signal from anyone else).
// Usage: keldo-test-notification-server [--stall] [--own NAME]...
//   --own NAME  owns NAME too (a stand-in for a running application)
//   --stall     records each Notify but never answers it (a server that hangs)
#include <gio/gio.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace {

const char* kIntrospection = R"xml(
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/>
    </method>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  </interface>
  <interface name="org.keldo.TestNotificationServer">
    <method name="InvokeAction"><arg type="u" direction="in"/><arg type="s" direction="in"/></method>
    <method name="Recorded"><arg type="a(ussssasa{ss})" direction="out"/></method>
  </interface>
</node>)xml";

struct Recorded {
    guint32 id;
    std::string application;
    std::string icon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::vector<std::pair<std::string, std::string>> hints;  // text hints as they are, others printed
};

std::vector<Recorded> recorded;
guint32 nextId = 1;
bool stalling = false;
std::vector<GDBusMethodInvocation*> unanswered;  // kept, never returned, while stalling

void emit(GDBusConnection* c, const char* signal, GVariant* args) {
    g_dbus_connection_emit_signal(c, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications", signal,
                                  args, nullptr);
}

void onCall(GDBusConnection* c, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* params,
            GDBusMethodInvocation* call, gpointer) {
    const std::string m = method;
    if (m == "GetCapabilities") {
        const gchar* caps[] = {"actions", "body", nullptr};
        g_dbus_method_invocation_return_value(call, g_variant_new("(^as)", caps));
    } else if (m == "Notify") {
        const gchar *app, *icon, *summary, *body;
        guint32 replaces;
        GVariantIter* actions;
        GVariant* hints;
        gint32 timeout;
        g_variant_get(params, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &summary, &body, &actions, &hints,
                      &timeout);
        Recorded r{nextId++, app, icon, summary, body, {}, {}};
        const gchar* a;
        while (g_variant_iter_next(actions, "&s", &a)) r.actions.push_back(a);
        g_variant_iter_free(actions);
        GVariantIter hintItems;
        g_variant_iter_init(&hintItems, hints);
        const gchar* key;
        GVariant* value;
        while (g_variant_iter_next(&hintItems, "{&sv}", &key, &value)) {
            gchar* printed = g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ? g_variant_dup_string(value, nullptr)
                                                                                 : g_variant_print(value, FALSE);
            r.hints.emplace_back(key, printed);
            g_free(printed);
            g_variant_unref(value);
        }
        g_variant_unref(hints);
        recorded.push_back(r);
        // Arrival time on the monotonic clock, for latency measurements.
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::printf("notify %u at %ld.%09ld\n", r.id, static_cast<long>(now.tv_sec), now.tv_nsec);
        std::fflush(stdout);
        if (stalling) {
            unanswered.push_back(static_cast<GDBusMethodInvocation*>(g_object_ref(call)));
            return;
        }
        g_dbus_method_invocation_return_value(call, g_variant_new("(u)", r.id));
    } else if (m == "CloseNotification") {
        guint32 id;
        g_variant_get(params, "(u)", &id);
        g_dbus_method_invocation_return_value(call, nullptr);
        emit(c, "NotificationClosed", g_variant_new("(uu)", id, 3u));
    } else if (m == "GetServerInformation") {
        g_dbus_method_invocation_return_value(call, g_variant_new("(ssss)", "keldo-test", "keldo", "1", "1.2"));
    } else if (m == "InvokeAction") {
        guint32 id;
        const gchar* key;
        g_variant_get(params, "(u&s)", &id, &key);
        emit(c, "ActionInvoked", g_variant_new("(us)", id, key));
        g_dbus_method_invocation_return_value(call, nullptr);
    } else if (m == "Recorded") {
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE("a(ussssasa{ss})"));
        for (const auto& r : recorded) {
            GVariantBuilder actions;
            g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
            for (const auto& a : r.actions) g_variant_builder_add(&actions, "s", a.c_str());
            GVariantBuilder hints;
            g_variant_builder_init(&hints, G_VARIANT_TYPE("a{ss}"));
            for (const auto& [k, v] : r.hints) g_variant_builder_add(&hints, "{ss}", k.c_str(), v.c_str());
            g_variant_builder_add(&list, "(ussssasa{ss})", r.id, r.application.c_str(), r.icon.c_str(),
                                  r.summary.c_str(), r.body.c_str(), &actions, &hints);
        }
        g_dbus_method_invocation_return_value(call, g_variant_new("(a(ussssasa{ss}))", &list));
    }
}

} // namespace

int main(int argc, char** argv) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_printerr("no session bus: %s\n", error->message);
        return 1;
    }
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
    const GDBusInterfaceVTable vtable = {onCall, nullptr, nullptr, {}};
    for (int i = 0; node->interfaces[i]; ++i)
        g_dbus_connection_register_object(bus, "/org/freedesktop/Notifications", node->interfaces[i], &vtable, nullptr,
                                          nullptr, &error);
    // Extra names first, so that once the notification name is owned, every name is.
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--stall") stalling = true;
        if (option == "--own" && i + 1 < argc)
            g_bus_own_name_on_connection(bus, argv[++i], G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr,
                                         nullptr);
    }
    g_bus_own_name_on_connection(bus, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr,
                                 nullptr, nullptr);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);
    return 0;
}
