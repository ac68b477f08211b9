#include "platform/host/DesktopWorkspace.h"

#include "platform/SystemLog.h"

#include <gio/gio.h>
#include <glib.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>

namespace keldo {

namespace {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct GVariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
struct PlistFree {
    void operator()(plist_t value) const { plist_free(value); }
};

using PlistOwner = std::unique_ptr<void, PlistFree>;

constexpr std::size_t kLargestInfoPlist = 1 << 20;

std::optional<std::string> readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > kLargestInfoPlist) return std::nullopt;
    }
    return bytes;
}

void startOwnSession(gpointer /*data*/) { setsid(); }

} // namespace

bool DesktopWorkspace::isApplicationRunning(const std::string& bundleIdentifier) {
    GError* rawError = nullptr;
    std::unique_ptr<GDBusConnection, GObjectUnref> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    std::unique_ptr<GError, GErrorFree> error(rawError);
    if (!bus) {
        logLine("running applications unknown: {}", error ? error->message : "no session bus");
        return false;
    }
    if (!g_dbus_is_name(bundleIdentifier.c_str())) return false;
    rawError = nullptr;
    std::unique_ptr<GVariant, GVariantUnref> reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", bundleIdentifier.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        &rawError));
    error.reset(rawError);
    if (!reply) {
        logLine("running applications unknown: {}", error ? error->message : "no reply");
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply.get(), "(b)", &owned);
    return owned;
}

bool DesktopWorkspace::fileExistsAtPath(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

std::optional<std::string> DesktopWorkspace::bundleExecutablePath(const std::string& path) {
    const auto bytes = readSmallFile(path + "/Contents/Info.plist");
    if (!bytes || bytes->empty()) return std::nullopt;
    plist_t raw = nullptr;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &raw);
    PlistOwner root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    plist_t executable = plist_dict_get_item(root.get(), "CFBundleExecutable");
    if (!executable || plist_get_node_type(executable) != PLIST_STRING) return std::nullopt;
    char* rawName = nullptr;
    plist_get_string_val(executable, &rawName);
    std::unique_ptr<char, decltype(&std::free)> owned(rawName, std::free);
    if (!owned) return std::nullopt;
    const std::string name = owned.get();
    // A name from a file decides what runs: nothing but a plain file name in Contents/MacOS/.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return std::nullopt;
    return path + "/Contents/MacOS/" + name;
}

bool DesktopWorkspace::launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) {
    const auto executable = bundleExecutablePath(path);
    if (!executable) {
        logLine("cannot launch {}: no executable named in its Info.plist", path);
        return false;
    }
    std::vector<std::string> argv{*executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);

    GError* rawError = nullptr;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib forks twice, so the application is nobody's zombie.
    const bool started = g_spawn_async(nullptr, pointers.data(), nullptr, G_SPAWN_DEFAULT, startOwnSession, nullptr,
                                       nullptr, &rawError);
    std::unique_ptr<GError, GErrorFree> error(rawError);
    if (!started) logLine("cannot launch {}: {}", path, error ? error->message : "unknown error");
    return started;
}

} // namespace keldo
