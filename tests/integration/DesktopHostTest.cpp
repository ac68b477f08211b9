// The desktop host against real D-Bus: a private session bus started here (no service directories,
// so nothing gets auto-started), the test notification server on it, and a name owned on it for the
// running companion.
#include "agent/AppDelegate.h"
#include "agent/FakeHost.h"
#include "device/AMDevice.h"
#include "monitor/DeviceMonitor.h"
#include "platform/host/DesktopUserNotificationCenter.h"
#include "platform/host/DesktopWorkspace.h"
#include "platform/host/GLibRunLoop.h"
#include "platform/simulated/SimulatedBackend.h"
#include "support/BinaryPlist.h"
#include "support/LogCapture.h"

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

namespace keldo {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using ::testing::ElementsAre;

struct Notified {
    guint32 id;
    std::string application;
    std::string icon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::map<std::string, std::string> hints;
};

class PrivateSessionBus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = fs::temp_directory_path() / ("keldo-bus-" + std::to_string(getpid()));
        fs::create_directories(dir);
        std::ofstream(dir / "bus.conf") << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                                           "<auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\""
                                           " eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                           "</busconfig>";
        const std::string command = "dbus-daemon --config-file=" + (dir / "bus.conf").string() +
                                    " --fork --print-address=1 --print-pid=1";
        gchar* out = nullptr;
        gint status = 0;
        ASSERT_TRUE(g_spawn_command_line_sync(command.c_str(), &out, nullptr, &status, nullptr));
        std::string text = out ? out : "";
        g_free(out);
        const auto newline = text.find('\n');
        ASSERT_NE(newline, std::string::npos) << text;
        address = text.substr(0, newline);
        busPid = std::stoi(text.substr(newline + 1));
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }
    static void TearDownTestSuite() {
        if (busPid > 0) kill(busPid, SIGTERM);
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    ~PrivateSessionBus() override { stopServer(); }

    // Options as the test server takes them: "--own NAME", "--stall".
    void startServer(std::vector<std::string> options = {}) {
        std::vector<std::string> args{KELDO_TEST_NOTIFICATION_SERVER};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_TRUE(g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                                  &serverPid, nullptr));
        ASSERT_TRUE(waitUntil([&] { return nameHasOwner("org.freedesktop.Notifications"); }));
    }
    void stopServer() {
        if (serverPid <= 0) return;
        kill(serverPid, SIGTERM);
        waitpid(serverPid, nullptr, 0);
        serverPid = 0;
        waitUntil([&] { return !nameHasOwner("org.freedesktop.Notifications"); });
    }

    // Runs the main context until `done` holds, for at most five seconds.
    template <typename Condition>
    bool waitUntil(Condition done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            while (g_main_context_iteration(nullptr, FALSE)) {}
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // The test's own view of the bus, asked synchronously (the test may wait; the agent may not).
    static bool nameHasOwner(const char* name) {
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                                                      G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                                      nullptr);
        g_object_unref(bus);
        gboolean owned = FALSE;
        if (reply) g_variant_get(reply, "(b)", &owned);
        if (reply) g_variant_unref(reply);
        return owned;
    }

    GVariant* callServer(const char* method, GVariant* args) {
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.Notifications",
                                                      "/org/freedesktop/Notifications",
                                                      "org.keldo.TestNotificationServer", method, args, nullptr,
                                                      G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        g_object_unref(bus);
        return reply;
    }

    std::vector<Notified> recorded() {
        std::vector<Notified> list;
        GVariant* reply = callServer("Recorded", nullptr);
        if (!reply) return list;
        GVariantIter* items = nullptr;
        g_variant_get(reply, "(a(ussssasa{ss}))", &items);
        guint32 id;
        const gchar *application, *icon, *summary, *body;
        GVariantIter *actions, *hints;
        while (g_variant_iter_next(items, "(u&s&s&s&sasa{ss})", &id, &application, &icon, &summary, &body, &actions,
                                   &hints)) {
            Notified n{id, application, icon, summary, body, {}, {}};
            const gchar *a, *v;
            while (g_variant_iter_next(actions, "&s", &a)) n.actions.push_back(a);
            while (g_variant_iter_next(hints, "{&s&s}", &a, &v)) n.hints[a] = v;
            g_variant_iter_free(actions);
            g_variant_iter_free(hints);
            list.push_back(n);
        }
        g_variant_iter_free(items);
        g_variant_unref(reply);
        return list;
    }

    static inline fs::path dir;
    static inline std::string address;
    static inline int busPid = 0;
    GPid serverPid = 0;
    DesktopWorkspace workspace;
    testing::LogCapture log;
};

using DesktopWorkspaceOnTheBus = PrivateSessionBus;

TEST_F(DesktopWorkspaceOnTheBus, AnApplicationRunsWhileItsIdentifierIsAnOwnedName) {
    auto running = [&](const std::string& id) {
        std::optional<bool> answer;
        workspace.isApplicationRunning(id, [&](bool owned) { answer = owned; });
        EXPECT_TRUE(waitUntil([&] { return answer.has_value(); }));
        return answer.value_or(true);
    };
    EXPECT_FALSE(running(kCompanionBundleIdentifier));
    startServer({"--own", kCompanionBundleIdentifier});
    EXPECT_TRUE(running(kCompanionBundleIdentifier));
    stopServer();
    EXPECT_FALSE(running(kCompanionBundleIdentifier));
    EXPECT_FALSE(running("not a bus name"));
}

class DesktopLauncher : public ::testing::Test {
protected:
    DesktopLauncher() {
        bundle = fs::temp_directory_path() / ("keldo-bundle-" + std::to_string(getpid())) / "Keldo.app";
        fs::create_directories(bundle / "Contents" / "MacOS");
        record = bundle.parent_path() / "args";
    }
    ~DesktopLauncher() override {
        std::error_code ignored;
        fs::remove_all(bundle.parent_path(), ignored);
    }
    static std::string xmlInfo(const std::string& executable) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleExecutable</key><string>" + executable + "</string></dict></plist>\n";
    }
    void writeInfo(const std::string& bytes) {
        std::ofstream(bundle / "Contents" / "Info.plist", std::ios::binary) << bytes;
    }
    void writeExecutable(const std::string& name) {
        const fs::path exe = bundle / "Contents" / "MacOS" / name;
        std::ofstream(exe) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " << record.string()
                           << ".tmp\nmv " << record.string() << ".tmp " << record.string() << "\n";
        fs::permissions(exe, fs::perms::owner_all);
    }
    std::vector<std::string> recordedArguments() {
        for (int i = 0; i < 500 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::vector<std::string> lines;
        std::ifstream in(record);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    fs::path bundle;
    fs::path record;
    DesktopWorkspace workspace;
    testing::LogCapture log;
};

// A binary Info.plist whose CFBundleExecutable is the text object `name` (marker and content).
std::string binaryInfo(const std::string& name) {
    return testing::binaryPlist({"\xD1\x01\x02"s, "\x5F\x10\x12" "CFBundleExecutable"s, name});
}

TEST_F(DesktopLauncher, StartsTheBundleExecutableWithExactlyTheArguments) {
    writeInfo(xmlInfo("Keldo"));
    writeExecutable("Keldo");
    EXPECT_TRUE(workspace.fileExistsAtPath(bundle.string()));
    EXPECT_TRUE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"}));
    EXPECT_THAT(recordedArguments(), ElementsAre("fromAgent"));

    fs::remove(record);
    writeInfo(binaryInfo("\x55Keldo"s));
    EXPECT_TRUE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"}));
    EXPECT_THAT(recordedArguments(), ElementsAre("fromAgent"));
}

TEST_F(DesktopLauncher, RefusesANameHoldingANulOrAnInfoPlistNestedTooDeepWithOneLogLine) {
    writeExecutable("Kel");  // what a name cut at the NUL would start
    writeExecutable("Keldo");
    std::vector<std::string> deep;  // more levels than the library's recursion survives
    for (std::uint32_t i = 0; i < 100000; ++i) deep.push_back("\xA1"s + testing::plistRef(i + 1, 4));
    deep.push_back("\x09"s);
    const std::string infos[] = {
        xmlInfo("Kel\0do"s),
        binaryInfo("\x56Kel\0do"s),                    // ASCII
        binaryInfo("\x66\0K\0\xE9\0l\0\0\0d\0o"s),  // UTF-16
        testing::binaryPlist(deep, 4),
    };
    for (std::size_t i = 0; i < std::size(infos); ++i) {
        writeInfo(infos[i]);
        log.clear();
        EXPECT_FALSE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"})) << "Info.plist " << i;
        EXPECT_EQ(log.lines().size(), 1u) << "Info.plist " << i;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(DesktopLauncher, RefusesMissingOrUnsafeExecutableNames) {
    EXPECT_FALSE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"}));  // no Info.plist
    for (const char* name : {"../../../bin/true", "", "..", "Keldo/../x"}) {
        writeInfo(xmlInfo(name));
        EXPECT_FALSE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"})) << name;
    }
    std::ofstream(bundle / "Contents" / "Info.plist") << "\x01\x02not a plist";
    EXPECT_FALSE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"}));
    EXPECT_FALSE(workspace.fileExistsAtPath((bundle / "nothing").string()));
}

using DesktopNotifications = PrivateSessionBus;

TEST_F(DesktopNotifications, ReminderReachesTheServerAndItsLaunchActionLaunches) {
    startServer();
    auto loop = GLibRunLoop::forCurrentThread();
    RunLoop::setMain(loop);
    AppDelegate::initialize();
    auto center = std::make_shared<DesktopUserNotificationCenter>();
    auto fakeWorkspace = std::make_shared<testing::FakeWorkspace>();
    fakeWorkspace->files.insert(kCompanionApplicationPath);
    auto agent = std::make_shared<AppDelegate>(center, fakeWorkspace, nullptr, [] { return 23; });
    center->setDelegate(agent);

    agent->dispatchConnected("Dana's iPhone");
    ASSERT_TRUE(waitUntil([&] { return recorded().size() == 1; }));
    const Notified n = recorded()[0];
    EXPECT_EQ(n.summary, "Dana's iPhone");
    EXPECT_EQ(n.body, "New videos on your Mac? Take them on-the-go using KELDO!");
    EXPECT_THAT(n.actions, ElementsAre("default", "Open", "launch", "Launch"));
    // Named and drawn as the installed desktop file says, so desktops group it with the agent.
    EXPECT_EQ(n.application, "Keldo");
    EXPECT_EQ(n.icon, "phone");
    EXPECT_EQ(n.hints.count("desktop-entry") ? n.hints.at("desktop-entry") : "", "keldo-agent");

    callServer("InvokeAction", g_variant_new("(us)", n.id, "default"));
    callServer("InvokeAction", g_variant_new("(us)", n.id, "launch"));
    ASSERT_TRUE(waitUntil([&] { return fakeWorkspace->launches.size() == 1; }));
    EXPECT_THAT(fakeWorkspace->launches[0].arguments, ElementsAre("fromAgent"));
    // Answered: the centre closes it, and lets it go once the server says it is closed.
    EXPECT_TRUE(waitUntil([&] { return center->liveNotifications() == 0; }));
    RunLoop::setMain(nullptr);
    AppDelegate::initialize();
}

TEST_F(DesktopNotifications, AServerThatNeverAnswersHoldsUpNoDeviceEvent) {
    startServer({"--stall"});
    auto sim = SimulatedBackend::installNew();
    auto loop = GLibRunLoop::forCurrentThread();
    RunLoop::setMain(loop);
    DeviceMonitor::resetSingletonForTesting();
    AppDelegate::initialize();
    std::time_t now = 1700000000;
    auto center = std::make_shared<DesktopUserNotificationCenter>();
    auto agent = std::make_shared<AppDelegate>(center, std::make_shared<DesktopWorkspace>(), [&] { return now; },
                                               [] { return 1; });
    agent->applicationDidFinishLaunching();
    ASSERT_TRUE(waitUntil([&] { return sim->subscriptionCount() == 1; }));

    const am_device first = sim->addDevice(SimulatedDeviceInfo::iPhone("udid-1", "First", "7.1"));
    loop->post([&] { sim->attach(first); });
    ASSERT_TRUE(waitUntil([&] { return recorded().size() == 1; }));  // and the server keeps it unanswered

    // Events arrive through the main loop, as the platform delivers them.
    loop->post([&] {
        sim->detach(first);
        now += 24 * 60 * 60;
        sim->attach(sim->addDevice(SimulatedDeviceInfo::iPhone("udid-2", "Second", "7.1")));
    });
    ASSERT_TRUE(waitUntil([&] { return recorded().size() == 2; }));
    ASSERT_EQ(DeviceMonitor::singleton()->devices().size(), 1u);
    EXPECT_EQ(DeviceMonitor::singleton()->devices()[0]->deviceName(), "Second");
    // Handled while the first call still waits: nothing has run into the bus's time-out.
    EXPECT_THAT(log.lines(), ::testing::IsEmpty());

    DeviceMonitor::resetSingletonForTesting();
    RunLoop::setMain(nullptr);
    Backend::install(nullptr);
    AppDelegate::initialize();
}

TEST_F(DesktopNotifications, NoServerGivesOneLogLineAndNoCrash) {
    DesktopUserNotificationCenter center;
    UserNotification n;
    n.title = "T";
    n.informativeText = "x";
    center.scheduleNotification(n);
    ASSERT_TRUE(waitUntil([&] { return !log.lines().empty(); }));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(log.lines()[0], ::testing::HasSubstr("user notification not shown"));
    EXPECT_EQ(center.liveNotifications(), 0u);
}

} // namespace
} // namespace keldo
