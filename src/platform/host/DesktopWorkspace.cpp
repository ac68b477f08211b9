#include "platform/host/DesktopWorkspace.h"

#include "platform/host/SessionBus.h"
#include "platform/plist/PlistFile.h"
#include "platform/SystemLog.h"

#include <gio/gio.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <variant>

namespace keldo {

namespace {

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};

constexpr int kRunningCheckTimeoutMs = 5000;
const SessionBus::Method kNameHasOwner{"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                       "NameHasOwner"};

void startOwnSession(gpointer /*data*/) { setsid(); }

// The executable of the bundle at `path`, or why there is none.
struct Refusal {
    std::string reason;
};
std::variant<std::string, Refusal> bundleExecutable(const std::string& path) {
    const PlistRef info = PlistFile::read(path + "/Contents/Info.plist");
    if (!info || !info->isDictionary()) return Refusal{"its Contents/Info.plist is missing or no property list"};
    const PlistValue* executable = info->find("CFBundleExecutable");
    const std::string* name = executable ? executable->text() : nullptr;
    if (!name) return Refusal{"its Info.plist names no executable"};
    // A name from a file decides what runs: nothing but a plain file name in Contents/MacOS/.
    if (name->empty() || *name == "." || *name == ".." || name->find('/') != std::string::npos)
        return Refusal{"its Info.plist names no plain file as executable"};
    return path + "/Contents/MacOS/" + *name;
}

} // namespace

DesktopWorkspace::DesktopWorkspace() : bus_(std::make_unique<SessionBus>()) {}

DesktopWorkspace::~DesktopWorkspace() = default;

void DesktopWorkspace::isApplicationRunning(const std::string& bundleIdentifier, std::function<void(bool)> answer) {
    if (!g_dbus_is_name(bundleIdentifier.c_str())) {
        answer(false);
        return;
    }
    bus_->call(kNameHasOwner, g_variant_new("(s)", bundleIdentifier.c_str()), G_VARIANT_TYPE("(b)"),
               kRunningCheckTimeoutMs, [answer = std::move(answer)](GVariant* reply, const std::string& error) {
                   if (!reply) {
                       logLine("running applications unknown: {}", error);
                       answer(false);
                       return;
                   }
                   gboolean owned = FALSE;
                   g_variant_get(reply, "(b)", &owned);
                   answer(owned);
               });
}

bool DesktopWorkspace::fileExistsAtPath(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

bool DesktopWorkspace::launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) {
    const auto executable = bundleExecutable(path);
    if (const auto* refusal = std::get_if<Refusal>(&executable)) {
        logLine("cannot launch {}: {}", path, refusal->reason);
        return false;
    }
    std::vector<std::string> argv{std::get<std::string>(executable)};
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
