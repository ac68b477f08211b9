// The agent's reminder path on the real GLib host, for the test against dunst: shows one reminder,
// and prints the launch the "Launch" action asks for instead of starting the companion.
#include "agent/AppDelegate.h"
#include "agent/FakeHost.h"
#include "platform/host/Application.h"
#include "platform/host/DesktopUserNotificationCenter.h"
#include "platform/RunLoop.h"

#include <cstdio>

namespace {

class PrintingWorkspace : public keldo::testing::FakeWorkspace {
public:
    explicit PrintingWorkspace(keldo::Application& app) : app_(app) { files.insert(keldo::kCompanionApplicationPath); }
    bool launchApplicationAtPath(const std::string& path, const std::vector<std::string>& arguments) override {
        std::printf("launch %s", path.c_str());
        for (const auto& a : arguments) std::printf(" %s", a.c_str());
        std::printf("\n");
        std::fflush(stdout);
        app_.terminate();
        return true;
    }

private:
    keldo::Application& app_;
};

} // namespace

int main() {
    using namespace keldo;
    Application app;
    auto center = std::make_shared<DesktopUserNotificationCenter>();
    auto workspace = std::make_shared<PrintingWorkspace>(app);
    auto agent = std::make_shared<AppDelegate>(center, workspace);
    center->setDelegate(agent);
    RunLoop::main()->post([agent] { agent->dispatchConnected("Dunst iPhone"); });
    auto giveUp = RunLoop::main()->scheduleTimer(20.0, [&app] { app.terminate(); });
    const int status = app.run();
    giveUp->invalidate();
    return status;
}
