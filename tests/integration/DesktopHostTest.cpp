// The desktop host against real D-Bus: a private session bus started here (no service directories,
// so nothing gets auto-started), the test notification server on it, and a name owned on it for the
// running companion.
#include "agent/AppDelegate.h"
#include "agent/FakeHost.h"
#include "platform/host/DesktopUserNotificationCenter.h"
#include "platform/host/DesktopWorkspace.h"
#include "platform/host/GLibRunLoop.h"
#include "support/LogCapture.h"

#include <gio/gio.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace keldo {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

struct Notified {
    guint32 id;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
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

    void startServer(std::vector<std::string> ownedNames = {}) {
        std::vector<std::string> args{KELDO_TEST_NOTIFICATION_SERVER};
        for (auto& n : ownedNames) args.insert(args.end(), {"--own", n});
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ASSERT_TRUE(g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                                  &serverPid, nullptr));
        ASSERT_TRUE(waitUntil([&] { return workspace.isApplicationRunning("org.freedesktop.Notifications"); }));
    }
    void stopServer() {
        if (serverPid <= 0) return;
        kill(serverPid, SIGTERM);
        waitpid(serverPid, nullptr, 0);
        serverPid = 0;
        waitUntil([&] { return !workspace.isApplicationRunning("org.freedesktop.Notifications"); });
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
        g_variant_get(reply, "(a(ussas))", &items);
        guint32 id;
        const gchar *summary, *body;
        GVariantIter* actions;
        while (g_variant_iter_next(items, "(u&s&sas)", &id, &summary, &body, &actions)) {
            Notified n{id, summary, body, {}};
            const gchar* a;
            while (g_variant_iter_next(actions, "&s", &a)) n.actions.push_back(a);
            g_variant_iter_free(actions);
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
    EXPECT_FALSE(workspace.isApplicationRunning(kCompanionBundleIdentifier));
    startServer({kCompanionBundleIdentifier});
    EXPECT_TRUE(workspace.isApplicationRunning(kCompanionBundleIdentifier));
    stopServer();
    EXPECT_FALSE(workspace.isApplicationRunning(kCompanionBundleIdentifier));
    EXPECT_FALSE(workspace.isApplicationRunning("not a bus name"));
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
    void writeInfo(const std::string& executable) {
        std::ofstream(bundle / "Contents" / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleExecutable</key><string>" << executable << "</string></dict></plist>\n";
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

TEST_F(DesktopLauncher, StartsTheBundleExecutableWithExactlyTheArguments) {
    writeInfo("Keldo");
    writeExecutable("Keldo");
    EXPECT_TRUE(workspace.fileExistsAtPath(bundle.string()));
    EXPECT_TRUE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"}));
    EXPECT_THAT(recordedArguments(), ElementsAre("fromAgent"));
}

TEST_F(DesktopLauncher, RefusesMissingOrUnsafeExecutableNames) {
    EXPECT_FALSE(workspace.launchApplicationAtPath(bundle.string(), {"fromAgent"}));  // no Info.plist
    for (const char* name : {"../../../bin/true", "", "..", "Keldo/../x"}) {
        writeInfo(name);
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
    auto center = std::make_shared<DesktopUserNotificationCenter>("keldo-agent-test");
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

    callServer("InvokeAction", g_variant_new("(us)", n.id, "default"));
    callServer("InvokeAction", g_variant_new("(us)", n.id, "launch"));
    ASSERT_TRUE(waitUntil([&] { return fakeWorkspace->launches.size() == 1; }));
    EXPECT_THAT(fakeWorkspace->launches[0].arguments, ElementsAre("fromAgent"));
    // Answered: the centre closes it, and lets it go once the server says it is closed.
    EXPECT_TRUE(waitUntil([&] { return center->liveNotifications() == 0; }));
    RunLoop::setMain(nullptr);
    AppDelegate::initialize();
}

TEST_F(DesktopNotifications, NoServerGivesOneLogLineAndNoCrash) {
    DesktopUserNotificationCenter center("keldo-agent-test");
    UserNotification n;
    n.title = "T";
    n.informativeText = "x";
    center.scheduleNotification(n);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_THAT(log.lines()[0], ::testing::HasSubstr("user notification not shown"));
    EXPECT_EQ(center.liveNotifications(), 0u);
}

} // namespace
} // namespace keldo
